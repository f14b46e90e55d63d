// Stores: chunking, the window, the flags, and negative acknowledgements.
#include "test_support.h"

#include "wire/zem_request_data.h"

#include <atomic>
#include <deque>

namespace zem::test {
namespace {

// Acknowledges store chunks as the service does, but only when the
// requester has gone quiet (or sent the final chunk), so that a requester
// that does not wait for its window shows more chunks outstanding.
struct LazyAcker {
    std::deque<Received> pending;
    std::atomic<int> most_outstanding{0};

    void install(FakeService &fake) {
        fake.on_message([this](FakeService &f, const Received &m) {
            if (m.channel != kRequestChannel || m.action != ZEM_STORE) return;
            pending.push_back(m);
            if (static_cast<int>(pending.size()) > most_outstanding) most_outstanding = static_cast<int>(pending.size());
            if (m.final) flush(f);
        });
        fake.on_idle(std::chrono::milliseconds(20), [this](FakeService &f) { flush(f); });
    }
    void flush(FakeService &f) {
        for (const auto &m : pending) f.reply(m.request_id, ZEM_ACK, m.final);
        pending.clear();
    }
};

TEST(Store, SendsTheFileInWholeChunksWithinTheWindow) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{kChunk}, std::size_t{10 * kChunk + 5}}) {
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
        ScratchDir dir;
        const std::string content = pattern(size);
        write_file(dir / "a.bin", content);
        LazyAcker acker;
        FakeService fake(kChunk);
        acker.install(fake);
        auto requester = connect_to(fake, 3);
        ASSERT_TRUE(requester);

        const Result r = requester->put_file(dir / "a.bin", "remote/a.bin", {});
        ASSERT_TRUE(r) << r.message;
        EXPECT_EQ(r.bytes, size);

        const auto chunks = select(fake.received(), kRequestChannel, ZEM_STORE);
        const std::size_t expected_chunks = size == 0 ? 1 : (size + kChunk - 1) / kChunk;
        ASSERT_EQ(chunks.size(), expected_chunks);
        std::string stored;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const auto &c = chunks[i];
            EXPECT_EQ(c.request_id, chunks[0].request_id);
            EXPECT_EQ(c.final, i + 1 == chunks.size() ? 1 : 0) << "chunk " << i;
            EXPECT_EQ(c.destination, "remote/a.bin");
            EXPECT_EQ(c.source, dir / "a.bin");
            EXPECT_EQ(c.offset, 0);
            EXPECT_EQ(c.flags, 0);
            if (i + 1 < chunks.size()) {
                EXPECT_EQ(c.length, kChunk);
            }
            stored.append(c.data.begin(), c.data.end());
        }
        EXPECT_EQ(stored, content);
        EXPECT_LE(acker.most_outstanding.load(), 3);
        if (expected_chunks >= 3) {
            EXPECT_EQ(acker.most_outstanding.load(), 3);
        }
    }
}

TEST(Store, NegativeAcknowledgementEndsItAndDropsTheRequest) {
    struct Case {
        int code;
        ErrorKind kind;
    };
    for (const Case c : {Case{-46, ErrorKind::no_space}, Case{-47, ErrorKind::not_found},
                         Case{-51979, ErrorKind::failed}, Case{-45, ErrorKind::failed}}) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        ScratchDir dir;
        write_file(dir / "a.bin", pattern(20 * kChunk));
        int seen = 0;
        FakeService fake(kChunk);
        fake.on_message([&seen, code = c.code](FakeService &f, const Received &m) {
            if (m.action != ZEM_STORE) return;
            // The third chunk fails; the host keeps answering the rest.
            f.reply(m.request_id, ++seen == 3 ? code : ZEM_ACK, 0);
        });
        auto requester = connect_to(fake, 4);
        ASSERT_TRUE(requester);
        const Result r = requester->put_file(dir / "a.bin", "a.bin", {});
        EXPECT_EQ(r.kind, c.kind) << r.message;
        EXPECT_NE(r.message.find("a.bin"), std::string::npos) << r.message;
        const std::int32_t id = requester->last_request_id();
        EXPECT_TRUE(fake.wait_for([&](const auto &all) {
            for (const auto &m : select(all, kRequestChannel, ZEM_TERMINATE))
                if (m.request_id == id) return true;
            return false;
        })) << "no terminate for the failed store";
        // Nothing past the window that was open when the failure came.
        EXPECT_LE(select(fake.received(), kRequestChannel, ZEM_STORE).size(), 3u + 4u);
    }
}

TEST(Store, FinalChunkRefusedIsAFailure) {
    ScratchDir dir;
    write_file(dir / "a.bin", pattern(3 * kChunk + 1));
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action == ZEM_STORE) f.reply(m.request_id, m.final ? -46 : ZEM_ACK, m.final);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    const Result r = requester->put_file(dir / "a.bin", "a.bin", {});
    EXPECT_EQ(r.kind, ErrorKind::no_space) << r.message;
}

TEST(Store, AppendOffsetAndResumeChooseWhatIsSent) {
    ScratchDir dir;
    const std::string content = pattern(5 * kChunk + 3);
    write_file(dir / "a.bin", content);

    struct Case {
        const char *name;
        TransferOptions options;
        std::uint64_t remote_size; // what a disk usage request is answered with
        std::size_t from;          // the first local byte sent
        bool appends;
    };
    TransferOptions append, offset, resume, resume_new;
    append.append = true;
    offset.offset = 70;
    resume.resume = true;
    resume_new.resume = true;
    const Case cases[] = {
        {"replace", {}, 0, 0, false},
        {"append", append, 0, 0, true},
        {"offset", offset, 0, 70, true},
        {"resume", resume, 2 * kChunk + 1, 2 * kChunk + 1, true},
        {"resume of a missing file", resume_new, UINT64_MAX, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeService fake(kChunk);
        fake.on_message([&c](FakeService &f, const Received &m) {
            if (m.action == ZEM_STORE) f.reply(m.request_id, ZEM_ACK, m.final);
            if (m.action == ZEM_DISK_USAGE) {
                EXPECT_TRUE(m.flags & ZEM_FLAG_QUIET);
                if (c.remote_size == UINT64_MAX)
                    f.reply(m.request_id, ZEM_NOT_FOUND, 0);
                else
                    f.reply(m.request_id, ZEM_DISK_USAGE, 0, c.remote_size);
            }
        });
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        const Result r = requester->put_file(dir / "a.bin", "a.bin", c.options);
        ASSERT_TRUE(r) << r.message;
        std::string sent;
        const auto chunks = select(fake.received(), kRequestChannel, ZEM_STORE);
        for (const auto &m : chunks) {
            sent.append(m.data.begin(), m.data.end());
            EXPECT_EQ(m.offset != 0, c.appends);
        }
        EXPECT_EQ(sent, content.substr(c.from));
        EXPECT_EQ(r.bytes, content.size() - c.from);
    }
}

TEST(Store, ResumeRefusesARemoteFileLongerThanTheLocalOne) {
    ScratchDir dir;
    write_file(dir / "a.bin", pattern(100));
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action == ZEM_DISK_USAGE) f.reply(m.request_id, ZEM_DISK_USAGE, 0, 101);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    TransferOptions options;
    options.resume = true;
    const Result r = requester->put_file(dir / "a.bin", "a.bin", options);
    EXPECT_EQ(r.kind, ErrorKind::failed);
    EXPECT_TRUE(select(fake.received(), kRequestChannel, ZEM_STORE).empty());
}

TEST(Store, RequestFlagsFollowTheOptions) {
    ScratchDir dir;
    write_file(dir / "a.bin", "x");
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action == ZEM_STORE) f.reply(m.request_id, ZEM_ACK, m.final);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    TransferOptions options;
    options.quiet = options.local_paths = options.temp_base = true;
    ASSERT_TRUE(requester->put_file(dir / "a.bin", "/abs/a.bin", options));
    const auto chunks = select(fake.received(), kRequestChannel, ZEM_STORE);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].flags, ZEM_FLAG_QUIET | ZEM_FLAG_LOCAL_PATH | ZEM_FLAG_TEMP_BASE);
    EXPECT_EQ(chunks[0].destination, "/abs/a.bin");

    // A remote path ending in '/' names a directory that receives the local name.
    ASSERT_TRUE(requester->put_file(dir / "a.bin", "inbox/", {}));
    EXPECT_EQ(select(fake.received(), kRequestChannel, ZEM_STORE).back().destination, "inbox/a.bin");
}

TEST(Store, LocalProblemsAreReportedBeforeAnythingIsSent) {
    ScratchDir dir;
    FakeService fake(kChunk);
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    EXPECT_EQ(requester->put_file(dir / "missing", "x", {}).kind, ErrorKind::not_found);
    EXPECT_EQ(requester->put_file(dir.path().string(), "x", {}).kind, ErrorKind::usage);
    write_file(dir / "a.bin", "abc");
    TransferOptions beyond;
    beyond.offset = 4;
    EXPECT_EQ(requester->put_file(dir / "a.bin", "x", beyond).kind, ErrorKind::usage);
    EXPECT_TRUE(fake.received().empty());
}

} // namespace
} // namespace zem::test
