// The record's bytes on the wire, kept as fixtures, and what decoding them
// gives back.
#include "wire_test_support.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(RecordGolden, RecordWithoutStringsOrDataTakes48Bytes) {
    zem_request_data record{};
    record.request_id = 0x01020304;
    record.action = ZEM_ACK;
    record.flags = ZEM_FLAG_QUIET | ZEM_FLAG_LOCAL_PATH;
    record.offset = -2;
    record.length = 7; // null data sends no bytes whatever length says
    record.final = 1;

    const std::vector<uint8_t> expected = {
        0x01, 0x02, 0x03, 0x04, 0, 0, 0, 5,    0, 0, 0x01, 0x80, // id, action, flags
        0,    0,    0,    0,    0, 0, 0, 0,    0, 0, 0,    0,    // three empty strings
        0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 7,    0, 0, 0,    1,    // offset, length, final
        0,    0,    0,    0,    0, 0, 0, 0,    0, 0, 0,    0};   // total_size, data count
    ASSERT_EQ(encode(record, 7168), expected);

    Decoded decoded(expected, 7168);
    ASSERT_TRUE(decoded.ok());
    const zem_request_data &got = decoded.record;
    EXPECT_EQ(got.request_id, 0x01020304);
    EXPECT_EQ(got.action, ZEM_ACK);
    EXPECT_EQ(got.flags, ZEM_FLAG_QUIET | ZEM_FLAG_LOCAL_PATH);
    EXPECT_EQ(got.offset, -2);
    EXPECT_EQ(got.length, 7);
    EXPECT_EQ(got.final, 1);
    EXPECT_EQ(got.total_size, 0u);
    // Null strings come back empty, not null; no data stays null.
    ASSERT_NE(got.source, nullptr);
    ASSERT_NE(got.destination, nullptr);
    ASSERT_NE(got.net_dir, nullptr);
    EXPECT_STREQ(got.source, "");
    EXPECT_STREQ(got.destination, "");
    EXPECT_STREQ(got.net_dir, "");
    EXPECT_EQ(got.data, nullptr);
    EXPECT_EQ(got.operation, nullptr);
}

TEST(RecordGolden, ReplyFitsItsBufferAndNoLess) {
    zem_request_data reply{};
    reply.action = ZEM_NOT_FOUND;
    char buffer[ZEM_REPLY_BUFFER_BYTES];
    EXPECT_EQ(zem_encode_record(&reply, buffer, ZEM_REPLY_BUFFER_BYTES, 7168),
              ZEM_RECORD_FIXED_BYTES);
    EXPECT_EQ(zem_encode_record(&reply, buffer, ZEM_RECORD_FIXED_BYTES, 7168),
              ZEM_RECORD_FIXED_BYTES);
    EXPECT_EQ(zem_encode_record(&reply, buffer, ZEM_RECORD_FIXED_BYTES - 1, 7168), -1);
}

TEST(RecordGolden, TotalSizeTravelsLowHalfFirst) {
    struct Case {
        uint64_t total_size;
        std::vector<uint8_t> halves;
    };
    const Case cases[] = {
        {0x0000000100000002ull, {0, 0, 0, 2, 0, 0, 0, 1}},
        {0xfffffffffffffffeull, {0xff, 0xff, 0xff, 0xfe, 0xff, 0xff, 0xff, 0xff}},
        {0x80000000ull, {0x80, 0, 0, 0, 0, 0, 0, 0}},
        {0x8000000000000000ull, {0, 0, 0, 0, 0x80, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.total_size);
        zem_request_data record{};
        record.total_size = c.total_size;
        std::vector<uint8_t> bytes = encode(record, 7168);
        ASSERT_EQ(bytes.size(), 48u);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 36, bytes.begin() + 44), c.halves);
        Decoded decoded(bytes, 7168);
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded.record.total_size, c.total_size);
    }
}

TEST(RecordGolden, StringsArePaddedToFourBytes) {
    zem_request_data record{};
    record.source = const_cast<char *>("abcde");
    record.destination = const_cast<char *>("wxyz");
    record.net_dir = const_cast<char *>("n");
    std::vector<uint8_t> bytes = encode(record, 7168);

    std::vector<uint8_t> strings(bytes.begin() + 12, bytes.begin() + 12 + 12 + 8 + 8);
    const std::vector<uint8_t> expected = {
        0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0, // 5 bytes take 12
        0, 0, 0, 4, 'w', 'x', 'y', 'z',               // 4 bytes need no padding
        0, 0, 0, 1, 'n', 0, 0, 0};
    EXPECT_EQ(strings, expected);
    EXPECT_EQ(bytes.size(), 48u + 8 + 4 + 4);

    Decoded decoded(bytes, 7168);
    ASSERT_TRUE(decoded.ok());
    EXPECT_STREQ(decoded.record.source, "abcde");
    EXPECT_STREQ(decoded.record.destination, "wxyz");
    EXPECT_STREQ(decoded.record.net_dir, "n");
}

TEST(RecordGolden, DataChunkCarriesTheWholeBuffer) {
    const int chunk = 7168;
    std::vector<char> buffer(chunk);
    for (int i = 0; i < chunk; ++i)
        buffer[i] = static_cast<char>(i * 7 + 1);
    zem_request_data record{};
    record.action = ZEM_RETRIEVE;
    record.length = 10;
    record.data = buffer.data();

    std::vector<uint8_t> bytes = encode(record, chunk);
    ASSERT_EQ(bytes.size(), 48u + chunk);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 44, bytes.begin() + 48),
              (std::vector<uint8_t>{0, 0, 0x1c, 0x00}));
    EXPECT_EQ(std::memcmp(bytes.data() + 48, buffer.data(), chunk), 0);

    Decoded decoded(bytes, chunk);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.record.length, 10);
    ASSERT_NE(decoded.record.data, nullptr);
    EXPECT_EQ(std::memcmp(decoded.record.data, buffer.data(), chunk), 0);
}

TEST(RecordGolden, DataCountMustNotExceedTheReceiversBuffer) {
    const std::string bytes9(9, 'x');
    struct Case {
        std::string data;
        int buffer_size;
        bool decodes;
    };
    const Case cases[] = {
        {bytes9, 8, false}, // B + 1
        {bytes9, 9, true},
        {bytes9, 10, true}, // a larger receiver takes a smaller chunk
        {"x", 0, false},
        {"x", -1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.data.size() << " bytes, B " << c.buffer_size);
        Message message;
        message.head().counted("").counted("").counted("").numbers().counted(c.data);
        Decoded decoded(message.bytes(), c.buffer_size);
        EXPECT_EQ(decoded.ok(), c.decodes);
        if (c.decodes) {
            EXPECT_EQ(std::memcmp(decoded.record.data, c.data.data(), c.data.size()), 0);
        } else {
            EXPECT_TRUE(holds_nothing(decoded.record));
        }
    }
}

TEST(RecordGolden, DataWithoutAChunkSizeCannotBeEncoded) {
    char data[4] = {1, 2, 3, 4};
    zem_request_data record{};
    record.data = data;
    // With B 0 the chunk is empty and decodes to no data.
    std::vector<uint8_t> bytes = encode(record, 0);
    ASSERT_EQ(bytes.size(), 48u);
    Decoded decoded(bytes, 0);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.record.data, nullptr);
    EXPECT_TRUE(encode(record, -1).empty());
}

TEST(RecordGolden, SizeBoundHoldsEveryDataRecord) {
    // The bound is the encode buffer of a data chunk: the encoding must fit
    // it for every combination of string lengths and padding.
    std::vector<char> data(11, 'd');
    const std::string text(9, 't');
    for (int buffer_size = 0; buffer_size <= 11; ++buffer_size)
        for (int source = -1; source <= 5; ++source)
            for (int destination = -1; destination <= 5; ++destination)
                for (int net_dir = -1; net_dir <= 5; ++net_dir) {
                    std::string s = text.substr(0, std::max(source, 0));
                    std::string d = text.substr(0, std::max(destination, 0));
                    std::string n = text.substr(0, std::max(net_dir, 0));
                    zem_request_data record{};
                    record.source = source < 0 ? nullptr : s.data();
                    record.destination = destination < 0 ? nullptr : d.data();
                    record.net_dir = net_dir < 0 ? nullptr : n.data();
                    record.data = data.data();
                    int bound = zem_encoded_size_bound(source, destination, net_dir, buffer_size);
                    ASSERT_GT(bound, 0);
                    ASSERT_FALSE(encode(record, buffer_size, bound).empty())
                        << source << " " << destination << " " << net_dir << " B " << buffer_size;
                }
}

TEST(RecordGolden, SizeBoundFollowsTheSendersFormula) {
    EXPECT_EQ(zem_encoded_size_bound(10, 20, 5, 7168), 10 + 20 + 6 + 7168 + 59);
    EXPECT_EQ(zem_encoded_size_bound(-1, 0, -1, 7168), 1 + 1 + 1 + 7168 + 59);
    EXPECT_EQ(zem_encoded_size_bound(-2, 0, 0, 7168), -1);
    EXPECT_EQ(zem_encoded_size_bound(0, 0, 0, -1), -1);
    EXPECT_EQ(zem_encoded_size_bound(INT_MAX, 0, 0, 7168), -1);
}

TEST(RecordGolden, DecodeNeverWritesThroughAPointerItDidNotAllocate) {
    Message message;
    message.head().counted("abc").counted("").counted("").numbers().u32(0);
    char mine[] = "keep";
    zem_request_data record{};
    record.source = mine;
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(message.bytes().data())),
                  static_cast<u_int>(message.size()), XDR_DECODE);
    EXPECT_FALSE(xdr_zem_request_data_sized(&xdrs, &record, 16));
    EXPECT_EQ(record.source, mine);
    EXPECT_STREQ(mine, "keep");
    EXPECT_EQ(record.destination, nullptr);
}

} // namespace
