// The plug-in's routine: the chunk size comes from zem_buffer_size on every
// call, and xdr_free releases a decoded record through it.
#include "wire/xdr_zem_request_data.h"
#include "wire_test_support.h"

#include <gtest/gtest.h>

namespace {

class XdrRoutine : public testing::Test {
protected:
    void SetUp() override { g_stub_buffer_size_reads = 0; }
    void TearDown() override { g_stub_buffer_size = 7168; }

    // Encodes with the plug-in routine; the number of bytes produced.
    int encode_with_routine(zem_request_data &record) {
        XDR xdrs;
        xdrmem_create(&xdrs, buffer_, sizeof buffer_, XDR_ENCODE);
        int produced = xdr_zem_request_data(&xdrs, &record) ? static_cast<int>(XDR_GETPOS(&xdrs)) : -1;
        XDR_DESTROY(&xdrs);
        return produced;
    }

    char buffer_[256];
};

TEST_F(XdrRoutine, ReadsTheChunkSizeOnEveryCall) {
    char data[64] = {};
    zem_request_data record{};
    record.data = data;

    g_stub_buffer_size = 8;
    EXPECT_EQ(encode_with_routine(record), 48 + 8);
    g_stub_buffer_size = 20;
    EXPECT_EQ(encode_with_routine(record), 48 + 20);
    EXPECT_EQ(g_stub_buffer_size_reads, 2);
}

TEST_F(XdrRoutine, DecodesAndFreesThroughXdrFree) {
    char data[32];
    std::memset(data, 'k', sizeof data);
    zem_request_data sent{};
    sent.source = const_cast<char *>("/a/b");
    sent.data = data;
    g_stub_buffer_size = 32;
    int length = encode_with_routine(sent);
    ASSERT_GT(length, 0);

    zem_request_data received{};
    XDR xdrs;
    xdrmem_create(&xdrs, buffer_, static_cast<u_int>(length), XDR_DECODE);
    ASSERT_TRUE(xdr_zem_request_data(&xdrs, &received));
    XDR_DESTROY(&xdrs);
    EXPECT_STREQ(received.source, "/a/b");
    EXPECT_EQ(std::memcmp(received.data, data, sizeof data), 0);

    // What the decode allocated goes; ASan reports anything left behind.
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_zem_request_data), &received);
    EXPECT_TRUE(holds_nothing(received));
    EXPECT_EQ(g_stub_buffer_size_reads, 3);
}

TEST_F(XdrRoutine, RefusesAChunkLargerThanTheReceiversSize) {
    char data[32] = {};
    zem_request_data sent{};
    sent.data = data;
    g_stub_buffer_size = 32;
    int length = encode_with_routine(sent);
    ASSERT_GT(length, 0);

    g_stub_buffer_size = 31;
    zem_request_data received{};
    XDR xdrs;
    xdrmem_create(&xdrs, buffer_, static_cast<u_int>(length), XDR_DECODE);
    EXPECT_FALSE(xdr_zem_request_data(&xdrs, &received));
    XDR_DESTROY(&xdrs);
    EXPECT_TRUE(holds_nothing(received));
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_zem_request_data), &received);
}

} // namespace
