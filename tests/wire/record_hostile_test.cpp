// Messages that lie about their lengths, or end early: refused before any
// large allocation, and without leaving anything allocated.
#include "wire_test_support.h"

#include <trellis.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

struct Hostile {
    const char *name;
    Message message;
    int buffer_size;
};

std::vector<Hostile> hostile_messages() {
    const std::string five = "abcde";
    std::vector<Hostile> cases;
    cases.push_back({"string_of_2_gib_in_16_bytes", Message().head().u32(0x7fffffff), 7168});
    cases.push_back(
        {"string_of_2_gib_with_a_few_bytes", Message().head().u32(0x7fffffff).u32(0x41424344), 7168});
    cases.push_back({"string_above_the_maximum", Message().head().u32(0xffffffff).u32(0), 7168});
    cases.push_back(
        {"destination_of_2_gib", Message().head().counted("src").u32(0x7fffffff).u32(0), 7168});
    cases.push_back(
        {"net_dir_of_2_gib", Message().head().counted("").counted("").u32(0x7fffffff), 7168});
    // The string claims one byte more than the message still holds.
    Message just_beyond;
    just_beyond.head().u32(static_cast<uint32_t>(five.size() + 1));
    for (char c : five)
        just_beyond.u32(static_cast<uint8_t>(c));
    cases.push_back({"string_one_byte_beyond_the_end", just_beyond, 7168});
    cases.push_back({"data_count_of_2_gib_small_chunk",
                     Message().head().counted("").counted("").counted("").numbers().u32(0x7fffffff),
                     7168});
    cases.push_back({"data_count_of_2_gib_large_chunk",
                     Message().head().counted("").counted("").counted("").numbers().u32(0x7fffffff),
                     INT_MAX});
    cases.push_back({"data_one_byte_short",
                     Message().head().counted("").counted("").counted("").numbers().u32(1 << 20).raw(
                         (1 << 20) - 1, 'x'),
                     1 << 20});
    return cases;
}

void PrintTo(const Hostile &hostile, std::ostream *out) { *out << hostile.name; }

class RecordHostile : public testing::TestWithParam<Hostile> {
protected:
    void TearDown() override { trellis_fail_reset(); }
};

TEST_P(RecordHostile, RefusedWithoutALargeAllocation) {
    const Hostile &h = GetParam();
    trellis_stats_reset();
    Decoded decoded(h.message.bytes(), h.buffer_size);
    EXPECT_FALSE(decoded.ok());
    EXPECT_TRUE(holds_nothing(decoded.record));
    // Nothing larger than the message itself was ever asked for.
    EXPECT_LE(trellis_largest_request(), static_cast<size_t>(h.message.size()));
}

// A stream that cannot say how many bytes it holds (a stdio stream): the
// block grows with the bytes that arrive, from a first piece of 64 KiB, so
// it never gets much larger than the message.
TEST_P(RecordHostile, RefusedOnAStreamOfUnknownLength) {
    const Hostile &h = GetParam();
    std::vector<uint8_t> bytes = h.message.bytes();
    FILE *file = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(file, nullptr);
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_DECODE);
    zem_request_data record{};
    trellis_stats_reset();
    EXPECT_FALSE(xdr_zem_request_data_sized(&xdrs, &record, h.buffer_size));
    EXPECT_TRUE(holds_nothing(record));
    EXPECT_LE(trellis_largest_request(), std::max(size_t{64 * 1024 + 1}, bytes.size() * 2));
    XDR_DESTROY(&xdrs);
    std::fclose(file);
}

INSTANTIATE_TEST_SUITE_P(Messages, RecordHostile, testing::ValuesIn(hostile_messages()),
                         [](const testing::TestParamInfo<Hostile> &hostile) {
                             return std::string(hostile.param.name);
                         });

// A record with every kind of item and odd lengths, so that every cut falls
// somewhere different: inside a number, a count, the bytes or the padding.
std::vector<uint8_t> full_record(int buffer_size, std::vector<char> &data) {
    data.assign(static_cast<size_t>(buffer_size), 'q');
    zem_request_data record{};
    record.request_id = 77;
    record.action = ZEM_STORE;
    record.source = const_cast<char *>("abcde");
    record.destination = const_cast<char *>("/dst/f");
    record.net_dir = const_cast<char *>("/net");
    record.length = buffer_size;
    record.total_size = 0x100000001ull;
    record.data = data.data();
    return encode(record, buffer_size);
}

TEST(RecordTruncated, EveryShorterMessageFailsCleanly) {
    std::vector<char> data;
    const std::vector<uint8_t> bytes = full_record(13, data);
    ASSERT_EQ(bytes.size(), 48u + 8 + 8 + 4 + 16);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        // A copy of exactly cut bytes, so that ASan sees any read past it.
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        Decoded decoded(prefix.data(), static_cast<int>(cut), 13);
        EXPECT_FALSE(decoded.ok());
        EXPECT_TRUE(holds_nothing(decoded.record));
    }
    Decoded whole(bytes, 13);
    ASSERT_TRUE(whole.ok());
    EXPECT_STREQ(whole.record.destination, "/dst/f");
    EXPECT_EQ(std::memcmp(whole.record.data, data.data(), data.size()), 0);
}

TEST(RecordTruncated, FailedAllocationsFailTheDecodeCleanly) {
    std::vector<char> data;
    const std::vector<uint8_t> bytes = full_record(13, data);
    // The decode allocates four blocks: three strings and the data.
    for (long skip = 0; skip < 4; ++skip) {
        SCOPED_TRACE(skip);
        trellis_fail_allocations(skip, 1);
        Decoded decoded(bytes, 13);
        trellis_fail_reset();
        EXPECT_FALSE(decoded.ok());
        EXPECT_TRUE(holds_nothing(decoded.record));
    }
}

TEST(RecordUnknownLength, ValidRecordsDecodeAcrossPieces) {
    // Chunks larger than the first piece exercise the growing block; the
    // odd size puts padding after the last piece.
    for (int buffer_size : {5, 64 * 1024, 200001}) {
        SCOPED_TRACE(buffer_size);
        std::vector<char> data;
        std::vector<uint8_t> bytes = full_record(buffer_size, data);
        FILE *file = fmemopen(bytes.data(), bytes.size(), "rb");
        ASSERT_NE(file, nullptr);
        XDR xdrs;
        xdrstdio_create(&xdrs, file, XDR_DECODE);
        zem_request_data record{};
        ASSERT_TRUE(xdr_zem_request_data_sized(&xdrs, &record, buffer_size));
        EXPECT_EQ(XDR_GETPOS(&xdrs), bytes.size());
        EXPECT_STREQ(record.source, "abcde");
        EXPECT_STREQ(record.net_dir, "/net");
        EXPECT_EQ(record.total_size, 0x100000001ull);
        EXPECT_EQ(std::memcmp(record.data, data.data(), data.size()), 0);
        zem_release_decoded(&record);
        XDR_DESTROY(&xdrs);
        std::fclose(file);
    }
}

} // namespace
