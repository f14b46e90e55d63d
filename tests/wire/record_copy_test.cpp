// The request table's copy of a record: own strings, borrowed data.
#include "wire_test_support.h"

#include <trellis.h>

#include <gtest/gtest.h>

namespace {

TEST(RecordCopy, CopiesStringsAndBorrowsData) {
    char data[] = "chunk bytes";
    int operation = 0;
    zem_request_data record{};
    record.request_id = 12;
    record.action = ZEM_STORE;
    record.flags = ZEM_FLAG_DIRECTORY;
    record.source = const_cast<char *>("/src/tree");
    record.destination = nullptr;
    record.net_dir = const_cast<char *>("");
    record.offset = 5;
    record.length = 11;
    record.final = 1;
    record.total_size = 0x1234567890ull;
    record.data = data;
    record.operation = &operation;

    zem_request_data *copy = zem_request_data_copy(&record);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->request_id, 12);
    EXPECT_EQ(copy->action, ZEM_STORE);
    EXPECT_EQ(copy->flags, ZEM_FLAG_DIRECTORY);
    EXPECT_EQ(copy->offset, 5);
    EXPECT_EQ(copy->length, 11);
    EXPECT_EQ(copy->final, 1);
    EXPECT_EQ(copy->total_size, 0x1234567890ull);
    EXPECT_EQ(copy->destination, nullptr);
    ASSERT_NE(copy->source, record.source);
    EXPECT_STREQ(copy->source, "/src/tree");
    ASSERT_NE(copy->net_dir, record.net_dir);
    EXPECT_STREQ(copy->net_dir, "");
    EXPECT_EQ(copy->data, data);
    EXPECT_EQ(copy->operation, &operation);

    // The data on the stack would make ASan complain if it were released.
    zem_request_data_free(copy);
    EXPECT_STREQ(data, "chunk bytes");
}

TEST(RecordCopy, DecodedRecordOutlivesItsCopy) {
    zem_request_data record{};
    record.source = const_cast<char *>("a");
    std::vector<char> chunk(16, 'z');
    record.data = chunk.data();
    Decoded decoded(encode(record, 16), 16);
    ASSERT_TRUE(decoded.ok());

    zem_request_data *copy = zem_request_data_copy(&decoded.record);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->data, decoded.record.data);
    zem_request_data_free(copy);
    // Still the decoder's to release; reading it shows it is still there.
    EXPECT_EQ(std::memcmp(decoded.record.data, chunk.data(), chunk.size()), 0);
}

TEST(RecordCopy, FailedAllocationGivesNullAndKeepsNothing) {
    zem_request_data record{};
    record.source = const_cast<char *>("s");
    record.destination = const_cast<char *>("d");
    record.net_dir = const_cast<char *>("n");
    // The record, then each of the three strings.
    for (long skip = 0; skip < 4; ++skip) {
        SCOPED_TRACE(skip);
        trellis_fail_allocations(skip, 1);
        EXPECT_EQ(zem_request_data_copy(&record), nullptr);
        trellis_fail_reset();
    }
}

TEST(RecordCopy, NullIsIgnored) {
    EXPECT_EQ(zem_request_data_copy(nullptr), nullptr);
    zem_request_data_free(nullptr);
}

} // namespace
