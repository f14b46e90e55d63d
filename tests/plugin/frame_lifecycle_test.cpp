// Entry point, lifecycle callbacks and the service thread.
#include <chrono>
#include <cstring>

#include "frame/zem_report.h"
#include "plugin_fixture.h"

namespace zem::test {
namespace {

using Lifecycle = PluginTest;

TEST_F(Lifecycle, DescriptorNamesTheServiceAndIsRefilledByASecondConfigure)
{
    ASSERT_NE(descriptor, nullptr);
    EXPECT_STREQ(descriptor->name, "ZEM Server Ver1.0");
    EXPECT_NE(descriptor->init, nullptr);
    EXPECT_NE(descriptor->term, nullptr);
    EXPECT_NE(descriptor->start, nullptr);
    EXPECT_NE(descriptor->stop, nullptr);
    for (void *word : descriptor->reserved) EXPECT_EQ(word, nullptr);

    descriptor->reserved[3] = descriptor; // scribbled on by a careless host
    service_descriptor *again = configure_zem_svc(host.handle(), host.api());
    EXPECT_EQ(again, descriptor);
    EXPECT_EQ(again->reserved[3], nullptr);
    EXPECT_STREQ(again->name, "ZEM Server Ver1.0");
}

TEST_F(Lifecycle, InitWritesDefaultsOnlyForUnsetAttributes)
{
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    EXPECT_EQ(host.attrib("zem_window_size"), "20");
    EXPECT_EQ(host.attrib("zem_buffer_size"), "7168");
}

TEST_F(Lifecycle, InitKeepsValuesAlreadySetEvenWhenEmpty)
{
    host.set_attrib("zem_window_size", "");
    host.set_attrib("zem_buffer_size", "4096");
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    EXPECT_EQ(host.attrib("zem_window_size"), "");
    EXPECT_EQ(host.attrib("zem_buffer_size"), "4096");
}

TEST_F(Lifecycle, InitWithoutNetdirPathFails)
{
    host.unset_attrib("netdir_path");
    EXPECT_EQ(descriptor->init(), -1);
    initialised = true;
    const auto reports = host.reports_with(-51988);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].msg_id, ZEM_MSG_ERROR);
    EXPECT_TRUE(reports[0].args.empty());
    EXPECT_TRUE(reports[0].terminated);
}

TEST_F(Lifecycle, StartRunsTheHostLoopOnTheServiceThreadAndStopEndsIt)
{
    start_service();
    // start returns once the thread is ready, just before it enters the
    // loop: work posted to it runs only inside the loop.
    ASSERT_TRUE(host.post([] {}));
    auto threads = host.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_TRUE(threads[0].loop_entered);
    EXPECT_EQ(threads[0].begin_calls, 1);
    EXPECT_TRUE(threads[0].began_right);
    EXPECT_EQ(host.live_events(), 0u) << "the start event is closed once the thread is ready";
    EXPECT_EQ(host.registered(), (std::vector<std::string>{kRequests, kAcks}));
    EXPECT_EQ(host.opened(), (std::vector<std::string>{kData, kReplies}));

    stop_service();
    threads = host.threads();
    EXPECT_TRUE(threads[0].stop_requested);
    EXPECT_TRUE(threads[0].main_returned);
    EXPECT_EQ(threads[0].main_result, 0);
    // The service object is torn down on its own thread after the loop.
    EXPECT_EQ(threads[0].end_calls, 1);
    EXPECT_EQ(host.live_channel_handles(), 0u);
    EXPECT_TRUE(host.active_timers().empty());
    EXPECT_EQ(descriptor->term(), 0);
    initialised = false;
    EXPECT_TRUE(host.errors().empty());
}

TEST_F(Lifecycle, StartFailsWhenTheThreadCannotBeCreated)
{
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    host.fail_create_thread(true);
    EXPECT_EQ(descriptor->start(), -1);
    const auto reports = host.reports_with(-51990);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].args.empty());
    EXPECT_TRUE(reports[0].terminated);
}

TEST_F(Lifecycle, StartTimesOutWhenTheThreadIsNotReadyInTime)
{
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    host.set_max_wait(std::chrono::milliseconds(50));
    host.delay_thread_start(std::chrono::milliseconds(300));
    EXPECT_EQ(descriptor->start(), -1);
    const auto reports = host.reports_with(-51989);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].int_arg(0), 10000);
    // The thread still comes up later; stop ends it.
    started = true;
}

TEST_F(Lifecycle, ReportBeforeInitCallsNothing)
{
    EXPECT_EQ(zem_report(ZEM_MSG_ERROR, -51992, "x", 0), -1);
    EXPECT_TRUE(host.reports().empty());
}

TEST_F(Lifecycle, TracesOnlyWhileZemDebugExists)
{
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    zem_trace("ZEM TRACE: fread read %ld bytes", 5L);
    EXPECT_TRUE(host.reports_with(-51999).empty());

    host.set_attrib("zem_debug", "");
    zem_trace("ZEM TRACE: fread read %ld bytes", 5L);
    const auto traces = host.reports_with(-51999);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].msg_id, ZEM_MSG_TRACE);
    EXPECT_EQ(traces[0].str_arg(0), "ZEM TRACE: fread read 5 bytes");
}

TEST_F(Lifecycle, RequestLogIsTruncatedAtStartAndHasALinePerStoreChunk)
{
    const fs::path log = root / "requests.log";
    write_file(log, "old contents\n");
    host.set_attrib("zem_debug_file", log.string());
    start_service();
    EXPECT_EQ(read_file(log), "");

    store_file(7, "a.txt", pattern(3 * static_cast<size_t>(buffer_size()) - 10));
    Request du;
    du.request_id = 8;
    du.action = ZEM_DISK_USAGE;
    du.source = "a.txt";
    send_request(du);
    Request prepare; // prepares write no line
    prepare.request_id = 9;
    prepare.action = ZEM_PREPARE;
    send_request(prepare);
    Request terminate;
    terminate.request_id = 9;
    terminate.action = ZEM_TERMINATE;
    send_request(terminate);
    EXPECT_EQ(read_file(log), "store() : request = 7 source = a.txt\n"
                              "store() : request = 7 source = a.txt\n"
                              "store() : request = 7 source = a.txt\n"
                              "disk_usage() : request = 8 source = a.txt\n"
                              "terminate() : request = 9\n");
}

TEST_F(Lifecycle, NoRequestLogWhenTheAttributeIsEmpty)
{
    host.set_attrib("zem_debug_file", "");
    start_service();
    store_file(1, "a.txt", "abc");
    EXPECT_EQ(read_file(netdir / "a.txt"), "abc");
    size_t entries = 0;
    for (const auto &entry : fs::directory_iterator(root)) entries += entry.path() != netdir;
    EXPECT_EQ(entries, 0u) << "no log file is created";
}

} // namespace
} // namespace zem::test
