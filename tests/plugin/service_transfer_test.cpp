// Store and retrieve of single files through the service, with the window.
#include <functional>

#include "frame/host_binding.h"
#include "plugin_fixture.h"

namespace zem::test {
namespace {

class Transfer : public PluginTest {
protected:
    void start_with(int buffer, int window)
    {
        host.set_attrib("zem_buffer_size", std::to_string(buffer));
        host.set_attrib("zem_window_size", std::to_string(window));
        start_service();
    }
    Request retrieve_request(int32_t id, const std::string &source, int32_t flags = 0)
    {
        Request request;
        request.request_id = id;
        request.action = ZEM_RETRIEVE;
        request.source = source;
        request.flags = flags;
        return request;
    }
};

TEST_F(Transfer, ThreeChunkStoreIsAcknowledgedAndWrittenExactly)
{
    start_with(16, 20);
    const std::string content = pattern(40);
    store_file(3, "dir/sub/three.bin", content); // asserts ACK final 0, 0, 1
    EXPECT_EQ(read_file(netdir / "dir/sub/three.bin"), content);
    EXPECT_EQ(table_size(), 0u);
}

TEST_F(Transfer, OffsetZeroReplacesAndNonzeroAppends)
{
    start_with(16, 20);
    write_file(netdir / "f.txt", "existing content");
    store_file(1, "f.txt", "new");
    EXPECT_EQ(read_file(netdir / "f.txt"), "new");

    Request append;
    append.request_id = 2;
    append.action = ZEM_STORE;
    append.destination = "f.txt";
    append.offset = 5; // a flag, not a position
    append.final = 1;
    append.data = {'+', '+'};
    send_request(append);
    EXPECT_EQ(read_file(netdir / "f.txt"), "new++");
}

TEST_F(Transfer, EmptyDestinationStoresToTheSourcePath)
{
    start_with(16, 20);
    Request chunk;
    chunk.request_id = 4;
    chunk.action = ZEM_STORE;
    chunk.source = "from/source.txt";
    chunk.final = 1;
    chunk.data = {'x'};
    send_request(chunk);
    EXPECT_EQ(read_file(netdir / "from/source.txt"), "x");
}

TEST_F(Transfer, EmptyFirstChunkCreatesTheFile)
{
    start_with(16, 20);
    write_file(netdir / "e.txt", "old");
    store_file(5, "e.txt", "");
    EXPECT_TRUE(fs::exists(netdir / "e.txt"));
    EXPECT_EQ(fs::file_size(netdir / "e.txt"), 0u);
}

struct ChunkShape {
    size_t file_size;
    std::vector<int> lengths;
};

TEST_F(Transfer, RetrieveChunkLengthsFinalFlagsAndTotalSize)
{
    start_with(16, 20);
    const std::vector<ChunkShape> cases = {
        {0, {0}}, {16, {16, 0}}, {32, {16, 16, 0}}, {33, {16, 16, 1}}, {5, {5}},
    };
    int32_t id = 100;
    for (const ChunkShape &shape : cases) {
        SCOPED_TRACE("file of " + std::to_string(shape.file_size) + " bytes");
        const std::string content = pattern(shape.file_size, static_cast<unsigned>(shape.file_size) + 1);
        write_file(netdir / "r.bin", content);
        host.clear_sent();
        send_request(retrieve_request(++id, "r.bin"));
        const auto chunks = take(kData);
        ASSERT_EQ(chunks.size(), shape.lengths.size());
        std::string received;
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].request_id, id);
            EXPECT_EQ(chunks[i].action, ZEM_RETRIEVE);
            EXPECT_EQ(chunks[i].length, shape.lengths[i]);
            EXPECT_EQ(chunks[i].final, i + 1 == chunks.size() ? 1 : 0);
            EXPECT_EQ(chunks[i].total_size, i == 0 ? shape.file_size : 0u);
            EXPECT_EQ(chunks[i].wire_size % 4, 0u);
            EXPECT_EQ(chunks[i].net_dir, netdir.string());
            received.append(chunks[i].data.begin(), chunks[i].data.end());
        }
        EXPECT_EQ(received, content);
        // Done in the first burst: no completion reply, no entry left.
        EXPECT_TRUE(messages(kReplies).empty());
        EXPECT_EQ(table_size(), 0u);
    }
}

TEST_F(Transfer, WindowOfTwoSendsOneChunkPerAcknowledgement)
{
    start_with(16, 2);
    const std::string content = pattern(16 * 4 + 3);
    write_file(netdir / "w.bin", content);
    send_request(retrieve_request(9, "w.bin"));
    auto chunks = take(kData);
    ASSERT_EQ(chunks.size(), 2u);
    std::string received;
    for (auto &c : chunks) received.append(c.data.begin(), c.data.end());
    for (int ack = 0; ack < 2; ++ack) {
        send_ack(9);
        chunks = take(kData);
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].final, 0);
        received.append(chunks[0].data.begin(), chunks[0].data.end());
    }
    send_ack(9);
    const auto last = messages(kData);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].length, 3);
    EXPECT_EQ(last[0].final, 1);
    received.append(last[0].data.begin(), last[0].data.end());
    EXPECT_EQ(received, content);
    // Completed by an acknowledgement's burst: one completion reply.
    const auto replies = messages(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_RETRIEVE);
    EXPECT_EQ(replies[0].final, 1);
    EXPECT_EQ(replies[0].wire_size, 48u);
    EXPECT_EQ(table_size(), 0u);
    host.clear_sent();
    send_ack(9); // late acknowledgements are ignored
    EXPECT_TRUE(host.sent_log().empty());
}

TEST_F(Transfer, WindowOfZeroSendsNothing)
{
    start_with(16, 0);
    write_file(netdir / "z.bin", pattern(100));
    send_request(retrieve_request(1, "z.bin"));
    EXPECT_TRUE(host.sent_log().empty());
    EXPECT_EQ(table_size(), 1u);
}

TEST_F(Transfer, RetrieveFromAnOffset)
{
    start_with(256, 20);
    const std::string content = pattern(1000);
    write_file(netdir / "o.bin", content);
    const std::string received = retrieve_file(2, "o.bin", 0, 100);
    EXPECT_EQ(received, content.substr(100));
    host.clear_sent();
    Request request = retrieve_request(3, "o.bin");
    request.offset = 100;
    send_request(request);
    const auto chunks = messages(kData);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].total_size, 1000u);
    for (const auto &c : chunks) EXPECT_EQ(c.offset, 100);
}

TEST_F(Transfer, MissingFileAnswersNotFoundAndReportsUnlessQuiet)
{
    start_with(16, 20);
    send_request(retrieve_request(11, "missing.bin"));
    auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_NOT_FOUND);
    EXPECT_EQ(replies[0].final, 0);
    ASSERT_EQ(host.reports_with(-51992).size(), 1u);
    EXPECT_EQ(host.reports_with(-51992)[0].str_arg(0), (netdir / "missing.bin").string());
    EXPECT_EQ(table_size(), 1u) << "the entry stays until a terminate";

    Request terminate;
    terminate.request_id = 11;
    terminate.action = ZEM_TERMINATE;
    send_request(terminate);
    EXPECT_EQ(table_size(), 0u);
    EXPECT_TRUE(host.sent_log().empty());

    host.clear_reports();
    send_request(retrieve_request(12, "missing.bin", ZEM_FLAG_QUIET));
    replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_NOT_FOUND);
    EXPECT_TRUE(host.reports_with(-51992).empty());
}

TEST_F(Transfer, FinalOrForeignAcknowledgementEndsTheTransferSilently)
{
    start_with(16, 1);
    write_file(netdir / "a.bin", pattern(100));
    for (const auto &[action, final] : std::vector<std::pair<int, int>>{{ZEM_ACK, 1}, {ZEM_FAILED, 0}}) {
        send_request(retrieve_request(21, "a.bin"));
        ASSERT_EQ(take(kData).size(), 1u);
        EXPECT_EQ(table_size(), 1u);
        send_ack(21, action, final);
        EXPECT_TRUE(host.sent_log().empty());
        EXPECT_EQ(table_size(), 0u);
        send_ack(21);
        EXPECT_TRUE(host.sent_log().empty());
    }
}

TEST_F(Transfer, PrepareThenRetrieveUsesThePreparedOperation)
{
    start_with(16, 20);
    write_file(netdir / "p.bin", "prepared");
    Request prepare = retrieve_request(31, "p.bin");
    prepare.action = ZEM_PREPARE;
    send_request(prepare);
    EXPECT_TRUE(host.sent_log().empty());
    EXPECT_EQ(table_size(), 1u);
    send_request(retrieve_request(31, "ignored-name"));
    const auto chunks = take(kData);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(std::string(chunks[0].data.begin(), chunks[0].data.end()), "prepared");
}

TEST_F(Transfer, PurgeDropsFinishedFileRetrievalsOnly)
{
    start_with(64, 1);
    write_file(netdir / "small.txt", "x");
    write_file(netdir / "big.bin", pattern(200));
    // A compressed retrieval sends its final chunk from a timer tick and
    // leaves the finished transfer to the purge.
    send_request(retrieve_request(40, "small.txt.gzl", ZEM_FLAG_GZL));
    host.advance(1);
    const auto image = take(kData);
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(image[0].final, 1);
    send_request(retrieve_request(41, "big.bin")); // running
    send_request(retrieve_request(42, "missing.bin")); // failed, not finished
    EXPECT_EQ(table_size(), 3u);
    host.advance(59999 - 1);
    EXPECT_EQ(table_size(), 3u);
    host.advance(1);
    EXPECT_EQ(table_size(), 2u) << "only the finished retrieval is purged";
    host.clear_sent();
    send_ack(41);
    EXPECT_EQ(take(kData).size(), 1u) << "the running transfer goes on";
}

TEST_F(Transfer, LargeFileRoundTripIsByteExact)
{
    start_with(7168, 20);
    const std::string content = pattern(64u << 20, 7);
    store_file(50, "big/large.bin", content);
    ASSERT_EQ(fs::file_size(netdir / "big/large.bin"), content.size());
    const std::string back = retrieve_file(51, "big/large.bin");
    EXPECT_EQ(std::hash<std::string>{}(back), std::hash<std::string>{}(content));
    EXPECT_TRUE(back == content);
}

TEST_F(Transfer, RemoveAnswersWithFinalAcknowledgement)
{
    start_with(16, 20);
    write_file(netdir / "gone.txt", "x");
    Request remove;
    remove.request_id = 61;
    remove.action = ZEM_REMOVE;
    remove.source = "gone.txt";
    send_request(remove);
    auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_ACK);
    EXPECT_EQ(replies[0].final, 1);
    EXPECT_FALSE(fs::exists(netdir / "gone.txt"));
    send_request(remove);
    replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, -47);
    EXPECT_EQ(table_size(), 0u);
}

} // namespace
} // namespace zem::test
