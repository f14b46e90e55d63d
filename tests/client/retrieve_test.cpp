// Retrieves: acknowledgements, the byte count, the temporary file, status
// replies, offsets and resume.
#include "test_support.h"

#include "wire/zem_request_data.h"

#include <filesystem>

namespace zem::test {
namespace {

bool has_terminate(const FakeService &fake, std::int32_t id) {
    return fake.wait_for([&](const auto &all) {
        for (const auto &m : select(all, kRequestChannel, ZEM_TERMINATE))
            if (m.request_id == id) return true;
        return false;
    });
}

TEST(Retrieve, AcknowledgesEveryChunkAndWritesTheWholeFile) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{kChunk - 1}, std::size_t{kChunk},
                                   std::size_t{3 * kChunk}, std::size_t{7 * kChunk + 7}}) {
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
        ScratchDir dir;
        FileSender sender;
        FakeService fake(kChunk);
        sender.content = pattern(size, 7);
        sender.window = 2;
        fake.on_message(std::ref(sender));
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);

        const Result r = requester->get_file("srv/a.bin", dir / "a.bin", {});
        ASSERT_TRUE(r) << r.message;
        EXPECT_EQ(r.bytes, size);
        EXPECT_EQ(r.total_size, size);
        EXPECT_EQ(read_file(dir / "a.bin"), sender.content);
        EXPECT_TRUE(dir.hidden_entries().empty());

        const auto requests = select(fake.received(), kRequestChannel, ZEM_RETRIEVE);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].source, "srv/a.bin");
        EXPECT_EQ(requests[0].offset, 0);
        EXPECT_EQ(requests[0].flags, 0);
        // One acknowledgement per chunk: whole chunks, then a short or empty final one.
        const std::size_t chunks = size / kChunk + 1;
        EXPECT_TRUE(fake.wait_for([&](const auto &all) { return select(all, kAckChannel, ZEM_ACK).size() == chunks; }));
        for (const auto &ack : select(fake.received(), kAckChannel, ZEM_ACK)) {
            EXPECT_EQ(ack.request_id, requests[0].request_id);
            EXPECT_EQ(ack.final, 0);
        }
    }
}

TEST(Retrieve, IntoAnExistingDirectoryUsesTheRemoteName) {
    ScratchDir dir;
    FileSender sender;
    FakeService fake(kChunk);
    sender.content = "hello";
    fake.on_message(std::ref(sender));
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    ASSERT_TRUE(requester->get_file("srv/greeting.txt", dir.path().string(), {}));
    EXPECT_EQ(read_file(dir / "greeting.txt"), "hello");
}

TEST(Retrieve, WrongByteCountLeavesNoFile) {
    struct Case {
        const char *name;
        std::uint64_t announced;
        std::size_t cut_at;
    };
    const Case cases[] = {
        {"fewer bytes than announced", 5 * kChunk, 2 * kChunk + 3},
        {"more bytes than announced", 2 * kChunk, std::string::npos},
        {"final chunk before the end", 5 * kChunk, 2 * kChunk},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        write_file(dir / "a.bin", "old content");
        FileSender sender;
        FakeService fake(kChunk);
        sender.content = pattern(5 * kChunk);
        sender.announced = c.announced;
        sender.cut_at = c.cut_at;
        fake.on_message(std::ref(sender));
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        const Result r = requester->get_file("a.bin", dir / "a.bin", {});
        EXPECT_EQ(r.kind, ErrorKind::failed) << r.message;
        EXPECT_EQ(read_file(dir / "a.bin"), "old content");
        EXPECT_TRUE(dir.hidden_entries().empty());
        EXPECT_TRUE(has_terminate(fake, requester->last_request_id()));
    }
}

TEST(Retrieve, StatusRepliesEndItWithTheirKind) {
    struct Case {
        int action;
        ErrorKind kind;
    };
    for (const Case c : {Case{ZEM_NOT_FOUND, ErrorKind::not_found}, Case{ZEM_NO_SPACE, ErrorKind::no_space},
                         Case{ZEM_FAILED, ErrorKind::failed}}) {
        SCOPED_TRACE("status " + std::to_string(c.action));
        ScratchDir dir;
        FakeService fake(kChunk);
        fake.on_message([&c](FakeService &f, const Received &m) {
            if (m.action == ZEM_RETRIEVE) f.reply(m.request_id, c.action, 0);
        });
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        const Result r = requester->get_file("srv/a.bin", dir / "a.bin", {});
        EXPECT_EQ(r.kind, c.kind) << r.message;
        EXPECT_NE(r.message.find("srv/a.bin"), std::string::npos) << r.message;
        EXPECT_FALSE(std::filesystem::exists(dir / "a.bin"));
        EXPECT_TRUE(dir.hidden_entries().empty());
        // The host keeps the entry after a status reply: the requester drops it.
        EXPECT_TRUE(has_terminate(fake, requester->last_request_id()));
    }
}

TEST(Retrieve, StatusAfterSomeChunksRemovesThePartialFile) {
    ScratchDir dir;
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action != ZEM_RETRIEVE) return;
        const std::string data = pattern(kChunk);
        f.chunk(m.request_id, data.data(), kChunk, 0, 10 * kChunk);
        f.reply(m.request_id, ZEM_FAILED, 0);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    EXPECT_EQ(requester->get_file("a.bin", dir / "a.bin", {}).kind, ErrorKind::failed);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.bin"));
    EXPECT_TRUE(dir.hidden_entries().empty());
}

TEST(Retrieve, ChunksThatDoNotFitTheBufferAreRefused) {
    struct Case {
        const char *name;
        int requester_buffer;
        int claimed_length;
        const char *message;
    };
    const Case cases[] = {
        // A length above the chunk size claims bytes that the chunk does not carry.
        {"length above the chunk size", kChunk, kChunk + 10, "malformed"},
        // The host's chunks are larger than the requester's buffer.
        {"host buffer larger", kChunk / 2, kChunk, "--buffer-size"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        FakeService fake(kChunk);
        fake.on_message([&c](FakeService &f, const Received &m) {
            if (m.action != ZEM_RETRIEVE) return;
            const std::string data = pattern(kChunk);
            f.chunk(m.request_id, data.data(), c.claimed_length, 0, 1000);
        });
        RequesterOptions options;
        options.url = fake.url();
        options.buffer_size = c.requester_buffer;
        options.timeout = std::chrono::seconds(5);
        Result result;
        auto requester = Requester::connect(options, result);
        ASSERT_TRUE(requester) << result.message;
        const Result r = requester->get_file("a.bin", dir / "a.bin", {});
        EXPECT_EQ(r.kind, ErrorKind::failed);
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
        EXPECT_FALSE(std::filesystem::exists(dir / "a.bin"));
        EXPECT_TRUE(dir.hidden_entries().empty());
    }
}

TEST(Retrieve, ConnectionLostMidwayLeavesNoFile) {
    ScratchDir dir;
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action != ZEM_RETRIEVE) return;
        const std::string data = pattern(kChunk);
        f.chunk(m.request_id, data.data(), kChunk, 0, 4 * kChunk);
        f.disconnect();
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    const Result r = requester->get_file("a.bin", dir / "a.bin", {});
    EXPECT_EQ(r.kind, ErrorKind::connection) << r.message;
    EXPECT_FALSE(std::filesystem::exists(dir / "a.bin"));
    EXPECT_TRUE(dir.hidden_entries().empty());
}

TEST(Retrieve, OtherRequestsMessagesAreIgnored) {
    ScratchDir dir;
    FileSender sender;
    FakeService fake(kChunk);
    sender.content = pattern(3 * kChunk + 9);
    fake.on_message([&sender](FakeService &f, const Received &m) {
        if (m.action == ZEM_RETRIEVE) {
            // Another requester's traffic on the same channels comes first.
            const std::string noise = pattern(kChunk, 99);
            f.chunk(m.request_id + 1, noise.data(), kChunk, 1, 12345);
            f.reply(m.request_id + 1, ZEM_NOT_FOUND, 0);
            f.reply(m.request_id - 1, ZEM_FAILED, 0);
        }
        sender(f, m);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    const Result r = requester->get_file("a.bin", dir / "a.bin", {});
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(read_file(dir / "a.bin"), sender.content);
}

TEST(Retrieve, OffsetResumeAndAppend) {
    const std::string remote = pattern(4 * kChunk + 10, 3);
    struct Case {
        const char *name;
        std::string local_before;
        TransferOptions options;
        std::int32_t offset_sent;
        std::string local_after;
    };
    TransferOptions offset, resume, append;
    offset.offset = 100;
    resume.resume = true;
    append.append = true;
    const Case cases[] = {
        {"offset into a new file", "stale", offset, 100, remote.substr(100)},
        {"resume a partial file", remote.substr(0, 77), resume, 77, remote},
        {"resume a complete file", remote, resume, static_cast<std::int32_t>(remote.size()), remote},
        {"resume with no local file", "", resume, 0, remote},
        {"append", "head:", append, 0, "head:" + remote},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        if (!c.local_before.empty()) write_file(dir / "a.bin", c.local_before);
        FileSender sender;
        FakeService fake(kChunk);
        sender.content = remote;
        fake.on_message(std::ref(sender));
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        const Result r = requester->get_file("a.bin", dir / "a.bin", c.options);
        ASSERT_TRUE(r) << r.message;
        const auto requests = select(fake.received(), kRequestChannel, ZEM_RETRIEVE);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].offset, c.offset_sent);
        EXPECT_EQ(read_file(dir / "a.bin"), c.local_after);
        EXPECT_EQ(r.total_size, remote.size());
    }
}

TEST(Retrieve, FailedResumeCutsTheLocalFileBack) {
    const std::string remote = pattern(4 * kChunk, 3);
    for (const bool too_long : {false, true}) {
        SCOPED_TRACE(too_long ? "local file longer than the remote one" : "transfer cut short");
        ScratchDir dir;
        const std::string before = too_long ? remote + "extra" : remote.substr(0, 30);
        write_file(dir / "a.bin", before);
        FileSender sender;
        FakeService fake(kChunk);
        sender.content = remote;
        sender.cut_at = 2 * kChunk + 1;
        fake.on_message(std::ref(sender));
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        TransferOptions options;
        options.resume = true;
        const Result r = requester->get_file("a.bin", dir / "a.bin", options);
        EXPECT_EQ(r.kind, ErrorKind::failed) << r.message;
        EXPECT_EQ(read_file(dir / "a.bin"), before);
    }
}

TEST(Retrieve, CompressedImageAsksForTheGzlAndDropsTheRequestAfterwards) {
    ScratchDir dir;
    FileSender sender;
    FakeService fake(kChunk);
    sender.content = pattern(2 * kChunk + 1);
    fake.on_message(std::ref(sender));
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    TransferOptions options;
    options.gzl = true;
    const Result r = requester->get_file("srv/data", dir.path().string(), options);
    ASSERT_TRUE(r) << r.message;
    const auto requests = select(fake.received(), kRequestChannel, ZEM_RETRIEVE);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].source, "srv/data.gzl");
    EXPECT_EQ(requests[0].flags, ZEM_FLAG_GZL);
    EXPECT_EQ(read_file(dir / "data.gzl"), sender.content);
    EXPECT_TRUE(has_terminate(fake, requests[0].request_id));
}

TEST(Retrieve, OffsetsBeyondTheProtocolAreRefused) {
    ScratchDir dir;
    FakeService fake(kChunk);
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    TransferOptions options;
    options.offset = 0x80000000ull;
    EXPECT_EQ(requester->get_file("a.bin", dir / "a.bin", options).kind, ErrorKind::usage);
    EXPECT_TRUE(fake.received().empty());
}

} // namespace
} // namespace zem::test
