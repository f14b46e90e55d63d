// Our codec against the one rpcgen generates from zem_record.x: the same
// records give the same bytes, and each side decodes what the other wrote.
#include "wire_test_support.h"

#include "zem_record.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Sample {
    const char *name;
    int32_t request_id;
    int32_t action;
    int32_t flags;
    std::optional<std::string> source, destination, net_dir; // nullopt: null
    int32_t offset;
    int32_t length;
    int32_t final;
    uint64_t total_size;
    int buffer_size;
    bool has_data;
};

const Sample kSamples[] = {
    {"reply", 42, ZEM_ACK, 0, {}, {}, {}, 0, 0, 1, 0, 7168, false},
    {"failure_code", -7, -51977, ZEM_FLAG_DIRECTORY, {}, {}, {}, 0, 0, 1, 0, 7168, false},
    {"store_chunk", 1, ZEM_STORE, ZEM_FLAG_LOCAL_PATH, "/home/a/in.bin", "/tmp/out.bin", "", 4096,
     5, 0, 0, 7168, true},
    {"first_retrieve_chunk", INT32_MAX, ZEM_RETRIEVE, ZEM_FLAG_GZL | ZEM_FLAG_QUIET, "x.gzl", {},
     "/srv/net", INT32_MIN, 7, 1, 0x123456789abcdefull, 7, true},
    {"disk_usage", 3, ZEM_DISK_USAGE, 0x7fff0000, "d\xc3\xa9j\xc3\xa0", "", {}, 0, 0, 0,
     0xffffffffffffffffull, 64, false},
    {"odd_chunk", 9, ZEM_RETRIEVE, 0, "a", "bb", "ccc", 1, 1, 0, 1, 1, true},
};

std::vector<char> pattern(int size) {
    std::vector<char> bytes(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(i * 31 + 5);
    return bytes;
}

char *text_or_null(const std::optional<std::string> &text) {
    return text ? const_cast<char *>(text->c_str()) : nullptr;
}

zem_request_data ours(const Sample &s, std::vector<char> &data) {
    zem_request_data record{};
    record.request_id = s.request_id;
    record.action = s.action;
    record.flags = s.flags;
    record.source = text_or_null(s.source);
    record.destination = text_or_null(s.destination);
    record.net_dir = text_or_null(s.net_dir);
    record.offset = s.offset;
    record.length = s.length;
    record.final = s.final;
    record.total_size = s.total_size;
    record.data = s.has_data ? data.data() : nullptr;
    return record;
}

// rpcgen's record for the same message: "" for null strings, count B.
zem_record theirs(const Sample &s, std::vector<char> &data) {
    static char empty[] = "";
    auto text = [](const std::optional<std::string> &t) {
        return t ? const_cast<char *>(t->c_str()) : empty;
    };
    zem_record record{};
    record.request_id = s.request_id;
    record.action = s.action;
    record.flags = s.flags;
    record.source = text(s.source);
    record.destination = text(s.destination);
    record.net_dir = text(s.net_dir);
    record.offset = s.offset;
    record.length = s.length;
    record.final = s.final;
    record.total_size_low = static_cast<u_int>(s.total_size);
    record.total_size_high = static_cast<u_int>(s.total_size >> 32);
    record.data.data_len = s.has_data ? static_cast<u_int>(s.buffer_size) : 0;
    record.data.data_val = s.has_data ? data.data() : nullptr;
    return record;
}

void expect_matches(const zem_request_data &got, const Sample &s, const std::vector<char> &data) {
    EXPECT_EQ(got.request_id, s.request_id);
    EXPECT_EQ(got.action, s.action);
    EXPECT_EQ(got.flags, s.flags);
    EXPECT_STREQ(got.source, s.source.value_or("").c_str());
    EXPECT_STREQ(got.destination, s.destination.value_or("").c_str());
    EXPECT_STREQ(got.net_dir, s.net_dir.value_or("").c_str());
    EXPECT_EQ(got.offset, s.offset);
    EXPECT_EQ(got.length, s.length);
    EXPECT_EQ(got.final, s.final);
    EXPECT_EQ(got.total_size, s.total_size);
    if (s.has_data) {
        ASSERT_NE(got.data, nullptr);
        EXPECT_EQ(std::memcmp(got.data, data.data(), data.size()), 0);
    } else {
        EXPECT_EQ(got.data, nullptr);
    }
}

void PrintTo(const Sample &sample, std::ostream *out) { *out << sample.name; }

class RecordCross : public testing::TestWithParam<Sample> {};

TEST_P(RecordCross, BothCodecsWriteTheSameBytes) {
    const Sample &s = GetParam();
    std::vector<char> data = pattern(s.buffer_size);
    zem_request_data mine = ours(s, data);
    std::vector<uint8_t> our_bytes = encode(mine, s.buffer_size);
    ASSERT_FALSE(our_bytes.empty());

    zem_record reference = theirs(s, data);
    std::vector<char> their_bytes(our_bytes.size() + 64);
    XDR xdrs;
    xdrmem_create(&xdrs, their_bytes.data(), static_cast<u_int>(their_bytes.size()), XDR_ENCODE);
    ASSERT_TRUE(xdr_zem_record(&xdrs, &reference));
    ASSERT_EQ(XDR_GETPOS(&xdrs), our_bytes.size());
    EXPECT_EQ(std::memcmp(their_bytes.data(), our_bytes.data(), our_bytes.size()), 0);
    XDR_DESTROY(&xdrs);
}

TEST_P(RecordCross, ReferenceDecodesOurs) {
    const Sample &s = GetParam();
    std::vector<char> data = pattern(s.buffer_size);
    zem_request_data mine = ours(s, data);
    std::vector<uint8_t> bytes = encode(mine, s.buffer_size);
    ASSERT_FALSE(bytes.empty());

    zem_record got{};
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(bytes.data()), static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    ASSERT_TRUE(xdr_zem_record(&xdrs, &got));
    EXPECT_EQ(XDR_GETPOS(&xdrs), bytes.size());
    XDR_DESTROY(&xdrs);

    EXPECT_EQ(got.request_id, s.request_id);
    EXPECT_EQ(got.action, s.action);
    EXPECT_EQ(got.flags, s.flags);
    EXPECT_STREQ(got.source, s.source.value_or("").c_str());
    EXPECT_STREQ(got.destination, s.destination.value_or("").c_str());
    EXPECT_STREQ(got.net_dir, s.net_dir.value_or("").c_str());
    EXPECT_EQ(got.offset, s.offset);
    EXPECT_EQ(got.length, s.length);
    EXPECT_EQ(got.final, s.final);
    EXPECT_EQ((uint64_t{got.total_size_high} << 32) | got.total_size_low, s.total_size);
    ASSERT_EQ(got.data.data_len, s.has_data ? static_cast<u_int>(s.buffer_size) : 0u);
    if (s.has_data) {
        EXPECT_EQ(std::memcmp(got.data.data_val, data.data(), data.size()), 0);
    }
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_zem_record), &got);
}

TEST_P(RecordCross, WeDecodeTheReferences) {
    const Sample &s = GetParam();
    std::vector<char> data = pattern(s.buffer_size);
    zem_record reference = theirs(s, data);
    std::vector<char> bytes(zem_encoded_size_bound(
        s.source ? static_cast<int>(s.source->size()) : -1,
        s.destination ? static_cast<int>(s.destination->size()) : -1,
        s.net_dir ? static_cast<int>(s.net_dir->size()) : -1, s.buffer_size));
    XDR xdrs;
    xdrmem_create(&xdrs, bytes.data(), static_cast<u_int>(bytes.size()), XDR_ENCODE);
    ASSERT_TRUE(xdr_zem_record(&xdrs, &reference));
    int length = static_cast<int>(XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);

    Decoded decoded(bytes.data(), length, s.buffer_size);
    ASSERT_TRUE(decoded.ok());
    expect_matches(decoded.record, s, data);
}

INSTANTIATE_TEST_SUITE_P(Samples, RecordCross, testing::ValuesIn(kSamples),
                         [](const testing::TestParamInfo<Sample> &sample) {
                             return std::string(sample.param.name);
                         });

TEST(RecordCrossChunk, SmallerChunkOfAnotherSenderDecodes) {
    // A sender with a smaller zem_buffer_size: the count is its own chunk.
    std::vector<char> data = pattern(5);
    zem_record reference{};
    static char empty[] = "";
    reference.source = reference.destination = reference.net_dir = empty;
    reference.length = 5;
    reference.data.data_len = 5;
    reference.data.data_val = data.data();
    char bytes[64];
    XDR xdrs;
    xdrmem_create(&xdrs, bytes, sizeof bytes, XDR_ENCODE);
    ASSERT_TRUE(xdr_zem_record(&xdrs, &reference));
    int length = static_cast<int>(XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);

    Decoded decoded(bytes, length, 7168);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.record.length, 5);
    EXPECT_EQ(std::memcmp(decoded.record.data, data.data(), 5), 0);
}

} // namespace
