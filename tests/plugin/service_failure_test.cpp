// Failures: their reports and what the requester is told.
#include <sys/stat.h>

#include <cerrno>

#include "corvel.h"
#include "diskops/file_operations.h"
#include "frame/service_factory.h"
#include "plugin_fixture.h"
#include "service/zem_svc.h"
#include "trellis.h"

namespace zem::test {
namespace {

class Failures : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        host.set_attrib("zem_buffer_size", "64");
        start_service();
    }
    void TearDown() override
    {
        trellis_fail_reset();
        corvel_clear_faults();
        PluginTest::TearDown();
    }
    Request store_chunk(int32_t id, const std::string &destination, int32_t flags = 0, int32_t final = 1)
    {
        Request chunk;
        chunk.request_id = id;
        chunk.action = ZEM_STORE;
        chunk.flags = flags;
        chunk.destination = destination;
        chunk.final = final;
        chunk.data = {'a', 'b', 'c'};
        return chunk;
    }
    Message only_reply()
    {
        auto replies = take(kReplies);
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? Message{} : replies[0];
    }
};

TEST_F(Failures, DestinationWhoseParentIsAFile)
{
    write_file(netdir / "plain", "file");
    send_request(store_chunk(1, "plain/sub/x.txt"));
    const Message reply = only_reply();
    EXPECT_EQ(reply.action, -51979);
    EXPECT_EQ(reply.final, 0);
    const auto reports = host.reports_with(-51977);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), (netdir / "plain/sub/x.txt").string());
    EXPECT_EQ(host.reports_with(-51985).size(), 1u);
    EXPECT_EQ(table_size(), 1u) << "a failed chunk keeps its entry";
}

TEST_F(Failures, DestinationThatIsADirectory)
{
    fs::create_directories(netdir / "adir");
    send_request(store_chunk(2, "adir"));
    EXPECT_EQ(only_reply().action, -51979);
    const auto reports = host.reports_with(-51976);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(1), "Is a directory");
}

TEST_F(Failures, OpenFailureWithoutSpaceIsNoSpace)
{
    fs::create_directories(netdir / "adir");
    corvel_override_free_space(0);
    host.set_attrib("localhost", "hostA");
    send_request(store_chunk(3, "adir"));
    EXPECT_EQ(only_reply().action, -46);
    const auto reports = host.reports_with(-51974);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), "hostA");
    EXPECT_EQ(reports[0].str_arg(1), netdir.string());
}

TEST_F(Failures, WriteFailureOnAFullDiskIsNeverAcknowledgedAsStored)
{
    // /dev/full accepts the open and fails every write with ENOSPC. A chunk
    // small enough to sit in the stream's buffer fails only at the flush:
    // the final acknowledgement must carry the failure.
    send_request(store_chunk(4, "/dev/full", ZEM_FLAG_LOCAL_PATH, 1));
    const Message reply = only_reply();
    EXPECT_EQ(reply.final, 1);
    EXPECT_NE(reply.action, ZEM_ACK);
    EXPECT_LT(reply.action, 0);
    EXPECT_EQ(table_size(), 0u);

    corvel_override_free_space(0);
    send_request(store_chunk(5, "/dev/full", ZEM_FLAG_LOCAL_PATH, 1));
    EXPECT_EQ(only_reply().action, -46);
}

TEST_F(Failures, StoreChunkThatAnnouncesMoreBytesThanItCarries)
{
    Request chunk = store_chunk(6, "short.txt");
    chunk.length = 65; // more than the 64 bytes any data can carry
    send_request(chunk);
    Message reply = only_reply();
    EXPECT_LT(reply.action, 0);
    EXPECT_FALSE(fs::exists(netdir / "short.txt"));

    Request empty = store_chunk(7, "nodata.txt");
    empty.data.clear();
    empty.length = 10; // no data at all
    send_request(empty);
    reply = only_reply();
    EXPECT_LT(reply.action, 0);
    EXPECT_FALSE(fs::exists(netdir / "nodata.txt"));
    EXPECT_EQ(table_size(), 0u);
}

TEST_F(Failures, ChunkLongerThanTheBufferIsWrittenInPieces)
{
    // Chunks from the wire never exceed B; an operation given a larger one
    // still writes it whole, B bytes at a time.
    const std::string content = pattern(64 * 3 + 5);
    zem_request_data record{};
    record.request_id = 1;
    record.action = ZEM_STORE;
    const std::string destination = (netdir / "pieces.bin").string();
    record.destination = const_cast<char *>(destination.c_str());
    record.data = const_cast<char *>(content.data());
    record.length = static_cast<int32_t>(content.size());
    host.post([&] {
        CFileOperations operation(&record, record.data, record.length);
        EXPECT_EQ(operation.store(), 0);
        EXPECT_EQ(operation.complete_store(), 0);
    });
    EXPECT_EQ(read_file(netdir / "pieces.bin"), content);
}

TEST_F(Failures, ReadErrorIsReportedWithoutAReply)
{
    fs::create_directories(netdir / "dir-as-file");
    Request retrieve;
    retrieve.request_id = 8;
    retrieve.action = ZEM_RETRIEVE;
    retrieve.source = "dir-as-file";
    send_request(retrieve);
    EXPECT_EQ(host.reports_with(-51982).size(), 1u);
    EXPECT_TRUE(host.sent_log().empty());
}

TEST_F(Failures, SendFailureIsReported)
{
    write_file(netdir / "s.bin", pattern(100));
    host.fail_sends(kData, -5, 1);
    Request retrieve;
    retrieve.request_id = 9;
    retrieve.action = ZEM_RETRIEVE;
    retrieve.source = "s.bin";
    send_request(retrieve);
    const auto reports = host.reports_with(-51993);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), "CFileOperations::retrieve()");
    EXPECT_EQ(reports[0].int_arg(1), -5);
    // The transfer stays; a repeated retrieve goes on where it stopped (the
    // chunk that failed is not sent again: the requester's byte count shows it).
    send_request(retrieve);
    const auto chunks = messages(kData);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].length, 36);
    EXPECT_EQ(chunks[0].final, 1);
}

TEST_F(Failures, AllocationFailuresReportNoMemory)
{
    write_file(netdir / "m.bin", "abc");
    Request retrieve;
    retrieve.request_id = 10;
    retrieve.action = ZEM_RETRIEVE;
    retrieve.source = "m.bin";
    // Walk the allocations of one retrieve: each failure is reported and
    // leaves nothing half-made behind.
    for (long skip = 0; skip < 12; ++skip) {
        host.clear_reports();
        host.clear_sent();
        host.post([skip] { trellis_fail_allocations(skip, 1); });
        send_request(retrieve);
        host.post([] { trellis_fail_reset(); });
        Request terminate;
        terminate.request_id = 10;
        terminate.action = ZEM_TERMINATE;
        send_request(terminate);
        EXPECT_EQ(table_size(), 0u);
    }
    host.post([] { trellis_fail_allocations(0, 1); });
    send_request(store_chunk(11, "never.txt"));
    host.post([] { trellis_fail_reset(); });
    EXPECT_FALSE(host.reports_with(-51991).empty());
}

TEST_F(Failures, StatusReplyBufferFailure)
{
    host.post([] {
        trellis_fail_allocations(0, 1);
        EXPECT_EQ(zem_service_instance()->send_status(1, ZEM_FAILED), -1);
        trellis_fail_reset();
    });
    EXPECT_EQ(host.reports_with(-51991).size(), 1u);
    EXPECT_TRUE(host.sent_log().empty());
}

TEST_F(Failures, UndecodableMessagesAndUnknownActions)
{
    host.deliver(kRequests, Bytes{1, 2, 3});
    host.deliver(kAcks, Bytes(12, 0xff));
    const auto decode = host.reports_with(-51997);
    ASSERT_EQ(decode.size(), 2u);
    EXPECT_EQ(decode[0].str_arg(0), "xdr_zem_request_data");

    Request odd;
    odd.action = ZEM_ACK;
    send_request(odd);
    const auto unknown = host.reports_with(-51994);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].int_arg(0), 5);
    EXPECT_EQ(unknown[0].str_arg(1), "zem_actions_e");
    EXPECT_TRUE(host.sent_log().empty());
    EXPECT_EQ(table_size(), 0u);
}

TEST_F(Failures, StatusCodesOfSendError)
{
    host.post([] {
        CZemSvc *service = zem_service_instance();
        for (int code : {-47, -46, -40, 0, 3, -1}) service->send_error(1, code);
    });
    std::vector<int> actions;
    for (const Message &m : messages(kReplies)) {
        actions.push_back(m.action);
        EXPECT_EQ(m.wire_size, 48u);
    }
    EXPECT_EQ(actions, (std::vector<int>{8, 9, 10, 10, 10, 10}));
    EXPECT_TRUE(messages(kData).empty());
}

class PublishSubscribe : public PluginTest {};

TEST_F(PublishSubscribe, SubjectNamesAndATransferOverThem)
{
    host.set_attrib("zem_ps_subject", "lab1");
    host.set_attrib("zem_buffer_size", "32");
    start_service();
    EXPECT_EQ(host.subscribed(), (std::vector<std::string>{"ZemBrQkService_lab1", "ZemBrQkAckSvc_lab1"}));
    EXPECT_EQ(host.publishers(), (std::vector<std::string>{"ZemQkBrService_lab1", "ZemQkBrAckSvc_lab1"}));
    EXPECT_TRUE(host.registered().empty());

    Request store;
    store.request_id = 1;
    store.action = ZEM_STORE;
    store.destination = "ps.txt";
    store.final = 1;
    store.data = {'p', 's'};
    host.deliver("ZemBrQkService_lab1", encode(store));
    const auto acks = messages("ZemQkBrAckSvc_lab1");
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].action, ZEM_ACK);
    EXPECT_EQ(read_file(netdir / "ps.txt"), "ps");

    write_file(netdir / "big.txt", pattern(100));
    host.set_attrib("zem_window_size", "1");
    Request retrieve;
    retrieve.request_id = 2;
    retrieve.action = ZEM_RETRIEVE;
    retrieve.source = "big.txt";
    host.deliver("ZemBrQkService_lab1", encode(retrieve));
    EXPECT_EQ(messages("ZemQkBrService_lab1").size(), 1u);
    Request ack;
    ack.request_id = 2;
    ack.action = ZEM_ACK;
    host.deliver("ZemBrQkAckSvc_lab1", encode(ack));
    EXPECT_EQ(messages("ZemQkBrService_lab1").size(), 2u);
}

TEST_F(PublishSubscribe, EmptySubjectMeansPointToPoint)
{
    host.set_attrib("zem_ps_subject", "");
    start_service();
    EXPECT_EQ(host.registered().size(), 2u);
    EXPECT_TRUE(host.subscribed().empty());
}

TEST_F(PublishSubscribe, FailedChannelSetupsAreReportedAndTheServiceStillRuns)
{
    host.fail_register(kRequests);
    host.fail_register(kAcks);
    host.fail_open(kData);
    host.fail_open(kReplies);
    start_service();
    EXPECT_EQ(host.reports_with(-51995).size(), 2u);
    EXPECT_EQ(host.reports_with(-51996).size(), 2u);
    EXPECT_EQ(table_size(), 0u);
    EXPECT_EQ(host.active_timers().size(), 1u);
}

} // namespace
} // namespace zem::test

namespace zem::test {
namespace {

TEST_F(Failures, MissingParentThatCannotBeCreated)
{
    corvel_fail_make_path(1, ENOENT);
    send_request(store_chunk(12, "new/dir/x.txt"));
    EXPECT_EQ(only_reply().action, -51979);
#ifndef ZEM_LEGACY_BUILD
    const auto reports = host.reports_with(-51969);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), (netdir / "new/dir").string());
#else
    // The older build always names the file.
    const auto reports = host.reports_with(-51977);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), (netdir / "new/dir/x.txt").string());
#endif
}

} // namespace
} // namespace zem::test
