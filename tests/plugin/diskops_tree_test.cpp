// Directory trees carried as one tar stream.
#include <sys/stat.h>

#include <cstdlib>

#include "plugin_fixture.h"

namespace zem::test {
namespace {

class Trees : public PluginTest {
protected:
    void start_with(int buffer, int window)
    {
        host.set_attrib("zem_buffer_size", std::to_string(buffer));
        host.set_attrib("zem_window_size", std::to_string(window));
        start_service();
    }
    Request tree_request(int32_t id, int32_t action, const std::string &path)
    {
        Request request;
        request.request_id = id;
        request.action = action;
        request.flags = ZEM_FLAG_DIRECTORY;
        request.source = path;
        request.destination = path;
        return request;
    }
    // Retrieves a tree, acknowledging every chunk; the stream and its chunks.
    std::string retrieve_tree(int32_t id, const std::string &path, std::vector<Message> *all = nullptr)
    {
        send_request(tree_request(id, ZEM_RETRIEVE, path));
        std::string stream;
        for (;;) {
            for (Message &m : messages(kReplies)) replies_seen.push_back(m);
            const auto chunks = take(kData);
            if (chunks.empty()) break;
            for (const Message &c : chunks) {
                stream.append(c.data.begin(), c.data.end());
                if (all) all->push_back(c);
            }
            if (chunks.back().final) break;
            for (size_t i = 0; i < chunks.size(); ++i) send_ack(id);
        }
        return stream;
    }
    // Stores a stream as a tree in chunks of B; the replies.
    std::vector<Message> store_tree(int32_t id, const std::string &path, const std::string &stream)
    {
        const size_t B = static_cast<size_t>(buffer_size());
        std::vector<Message> replies;
        size_t position = 0;
        do {
            Request chunk = tree_request(id, ZEM_STORE, path);
            const size_t n = std::min(B, stream.size() - position);
            chunk.data.assign(stream.begin() + static_cast<long>(position), stream.begin() + static_cast<long>(position + n));
            position += n;
            chunk.final = position >= stream.size() ? 1 : 0;
            send_request(chunk);
            for (Message &m : take(kReplies)) replies.push_back(m);
        } while (position < stream.size());
        return replies;
    }
    void make_tree(const fs::path &top)
    {
        write_file(top / "a.txt", "alpha");
        write_file(top / ".dot", "hidden");
        write_file(top / "nested/deeper/b.bin", pattern(70000, 4));
        write_file(top / (std::string(120, 'n') + ".txt"), "long name");
        write_file(top / "n\xc3\xa4me.txt", "non-ascii");
        fs::create_directories(top / "empty/inner");
        fs::create_symlink("a.txt", top / "link");
        write_file(top / "big.bin", pattern(20u << 20, 11));
        fs::permissions(top / "a.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        fs::permissions(top / "nested/deeper/b.bin", fs::perms::owner_all);
    }
    static int run(const std::string &command) { return std::system(command.c_str()); }

    std::vector<Message> replies_seen; // replies that came during retrieve_tree
};

TEST_F(Trees, TreeRoundTripsThroughRetrieveAndStore)
{
    start_with(7168, 20);
    make_tree(netdir / "src");
    std::vector<Message> chunks;
    const std::string stream = retrieve_tree(1, "src", &chunks);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front().total_size, stream.size());
    host.clear_sent(); // the completion reply is not needed here
    EXPECT_EQ(table_size(), 0u);

    const auto replies = store_tree(2, "dst", stream);
    ASSERT_FALSE(replies.empty());
    for (size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].action, ZEM_ACK);
        EXPECT_EQ(replies[i].final, i + 1 == replies.size() ? 1 : 0);
    }
    EXPECT_EQ(run("diff -r --no-dereference '" + (netdir / "src").string() + "' '" + (netdir / "dst").string() + "'"), 0);
    EXPECT_EQ(fs::read_symlink(netdir / "dst/link"), "a.txt");
    EXPECT_EQ(fs::status(netdir / "dst/a.txt").permissions(), fs::status(netdir / "src/a.txt").permissions());
    EXPECT_EQ(fs::status(netdir / "dst/nested/deeper/b.bin").permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_directory(netdir / "dst/empty/inner"));
}

TEST_F(Trees, StreamIsATarThatGnuTarReadsAndGnuTarStreamsStore)
{
    start_with(7168, 20);
    write_file(netdir / "src/x/y.txt", "why");
    write_file(netdir / "src/z.txt", "zed");
    const std::string stream = retrieve_tree(3, "src");
    write_file(root / "tree.tar", stream);
    EXPECT_EQ(run("tar -tf '" + (root / "tree.tar").string() + "' >/dev/null"), 0);
    fs::create_directories(root / "gnu");
    EXPECT_EQ(run("tar -xf '" + (root / "tree.tar").string() + "' -C '" + (root / "gnu").string() + "'"), 0);
    EXPECT_EQ(read_file(root / "gnu/x/y.txt"), "why");

    EXPECT_EQ(run("tar -cf '" + (root / "gnu.tar").string() + "' -C '" + (netdir / "src").string() + "' ."), 0);
    const auto replies = store_tree(4, "from-gnu", read_file(root / "gnu.tar"));
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back().action, ZEM_ACK);
    EXPECT_EQ(read_file(netdir / "from-gnu/x/y.txt"), "why");
    EXPECT_EQ(read_file(netdir / "from-gnu/z.txt"), "zed");
}

TEST_F(Trees, HostileArchivesWriteNothingOutsideAndFail)
{
    start_with(7168, 20);
    write_file(root / "outside/keep.txt", "keep");
    struct Hostile {
        const char *name;
        std::string command; // makes root/hostile.tar
    };
    const std::string out = (root / "hostile.tar").string();
    const std::string work = (root / "work").string();
    const std::vector<Hostile> cases = {
        {"dot-dot", "mkdir -p " + work + "/a && echo evil > " + root.string() + "/evil.txt && tar -cf " + out +
                        " -C " + work + "/a -P ../../evil.txt"},
        {"absolute", "tar -cf " + out + " -P " + root.string() + "/outside/keep.txt"},
        {"through-link", "mkdir -p " + work + "/l && ln -sfn " + root.string() + "/outside " + work +
                             "/l/link && tar -cf " + out + " -C " + work + "/l link && mkdir -p " + work +
                             "/f/link && echo pwned > " + work + "/f/link/keep.txt && tar -rf " + out + " -C " +
                             work + "/f link/keep.txt"},
    };
    int32_t id = 10;
    for (const Hostile &hostile : cases) {
        SCOPED_TRACE(hostile.name);
        fs::remove(out);
        ASSERT_EQ(run(hostile.command + " 2>/dev/null"), 0);
        const std::string stream = read_file(out);
        fs::remove(root / "evil.txt");
        const auto replies = store_tree(++id, "dest", stream);
        ASSERT_FALSE(replies.empty());
        bool failed = false;
        for (const Message &m : replies) failed = failed || m.action < 0;
        EXPECT_TRUE(failed) << "a hostile archive is answered with a failure code";
        EXPECT_EQ(read_file(root / "outside/keep.txt"), "keep");
        EXPECT_FALSE(fs::exists(root / "evil.txt"));
        // A failed chunk keeps its transfer until the requester drops it.
        Request terminate = tree_request(id, ZEM_TERMINATE, "");
        send_request(terminate);
        EXPECT_EQ(table_size(), 0u);
    }
}

TEST_F(Trees, ChunkSequencesAtTheEndOfTheStream)
{
    // Tar streams are whole 512-byte blocks: with B = 512 every stream is
    // k * B bytes and ends with an empty final chunk that takes no slot.
    start_with(512, 1000);
    write_file(netdir / "t/f.txt", pattern(3000));
    std::vector<Message> chunks;
    retrieve_tree(20, "t", &chunks);
    ASSERT_GE(chunks.size(), 2u);
    for (size_t i = 0; i + 1 < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].length, 512);
        EXPECT_EQ(chunks[i].final, 0);
    }
    EXPECT_EQ(chunks.back().length, 0);
    EXPECT_EQ(chunks.back().final, 1);
    const auto &done = replies_seen;
    ASSERT_EQ(done.size(), 1u) << "a tree retrieve always ends with a completion reply";
    EXPECT_EQ(done[0].action, ZEM_RETRIEVE);
    EXPECT_EQ(done[0].final, 1);
}

TEST_F(Trees, ShortLastChunkWithRoomLeftIsFollowedByAnEmptyOne)
{
    start_with(1000, 1000);
    write_file(netdir / "t/f.txt", pattern(3000));
    std::vector<Message> chunks;
    const std::string stream = retrieve_tree(21, "t", &chunks);
    ASSERT_GE(chunks.size(), 3u);
    const Message &short_one = chunks[chunks.size() - 2];
    EXPECT_GT(short_one.length, 0);
    EXPECT_LT(short_one.length, 1000);
    EXPECT_EQ(short_one.final, 1);
    EXPECT_EQ(chunks.back().length, 0);
    EXPECT_EQ(chunks.back().final, 1);
    EXPECT_EQ(stream.size(), chunks.front().total_size);
    EXPECT_EQ(replies_seen.size(), 1u);
}

TEST_F(Trees, ShortLastChunkThatFillsTheWindowEndsTheTransfer)
{
    start_with(1000, 1000);
    write_file(netdir / "t/f.txt", pattern(3000));
    std::vector<Message> probe;
    retrieve_tree(22, "t", &probe);
    const uint64_t size = probe.front().total_size;
    const int full = static_cast<int>((size + 999) / 1000);
    descriptor->stop();
    started = false;
    host.set_attrib("zem_window_size", std::to_string(full));
    ASSERT_EQ(descriptor->start(), 0);
    started = true;
    host.clear_sent();
    send_request(tree_request(23, ZEM_RETRIEVE, "t"));
    const auto chunks = take(kData);
    ASSERT_EQ(chunks.size(), static_cast<size_t>(full));
    EXPECT_EQ(chunks.back().final, 1);
    EXPECT_EQ(table_size(), 0u);
}

TEST_F(Trees, DirectoryRetrievalsAreNeverPurgedAndMissingTreesAreReported)
{
    start_with(512, 1);
    write_file(netdir / "t/f.txt", pattern(3000));
    send_request(tree_request(30, ZEM_RETRIEVE, "t"));
    host.advance(120000);
    EXPECT_EQ(table_size(), 1u);

    Request remove = tree_request(31, ZEM_REMOVE, "gone");
    remove.flags |= ZEM_FLAG_QUIET;
    send_request(remove);
    const auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, -47);
    EXPECT_EQ(replies[0].final, 1);
    EXPECT_EQ(host.reports_with(-51992).size(), 1u);

    send_request(tree_request(32, ZEM_REMOVE, "t"));
    EXPECT_EQ(take(kReplies).at(0).action, ZEM_ACK);
    EXPECT_FALSE(fs::exists(netdir / "t"));
}

} // namespace
} // namespace zem::test
