// Checks the test host with a small fake plug-in that, like the real one,
// reaches the host only through the host_api table.
#include "test_host.h"

#include "parlance.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using zem::test::Bytes;
using zem::test::TestHost;

constexpr std::uint32_t kMsgError = 0x70020020;
constexpr std::uint32_t kMsgTrace = 0x70000011;

// --- the fake plug-in ---------------------------------------------------------

struct FakePlugin {
    const host_api *api = nullptr;
    zem_handle host = 0;
    zem_handle event = 0;
    zem_handle thread = 0;
    void (*setup)() = nullptr;  // builds the "service object" on the service thread
    void (*teardown)() = nullptr;
    std::thread::id service_thread;
    zem_handle registration = 0;
    zem_handle timer = 0;
    zem_handle request_sub = 0, ack_sub = 0, data_pub = 0;
    bool in_handler = false;
    bool nested = false;
    std::vector<std::string> log;
    std::vector<std::thread::id> handler_threads;
};
FakePlugin g;

int noop() { return 0; }

int report(std::uint32_t msg_id, int code, ...) {
    va_list args;
    va_start(args, code);
    int result = g.api->host_report(msg_id, code, args);
    va_end(args);
    return result;
}

int service_main(zem_handle argument) {
    g.api->host_thread_begin(g.host, argument, noop, 0, 1);
    g.service_thread = std::this_thread::get_id();
    if (g.setup != nullptr) {
        g.setup();
    }
    g.api->host_set_event(g.host, g.event);
    g.api->host_run_loop(g.host, 0);
    if (g.teardown != nullptr) {
        g.teardown();
    }
    g.api->host_thread_end(g.host);
    return 0;
}

int plugin_start() {
    g.event = g.api->host_create_event(g.host, 1);
    zem_handle context = g.api->host_thread_context(g.host);
    g.thread = g.api->host_create_thread(g.host, context, service_main, noop, 0, noop, noop, 0);
    if (g.thread == 0) {
        return -1;
    }
    if (g.api->host_wait_event(g.host, g.event, 10000) == ZEM_WAIT_TIMEOUT) {
        return -2;
    }
    g.api->host_close_event(g.host, g.event);
    return 0;
}

int plugin_stop() { return g.api->host_stop_thread(g.host, g.thread, 0, 10000); }

int on_request(void *, const void *buffer, int length) {
    g.handler_threads.push_back(std::this_thread::get_id());
    g.log.push_back("request " + std::string(static_cast<const char *>(buffer), length));
    return length + 100;
}

int on_tick(void *) {
    g.handler_threads.push_back(std::this_thread::get_id());
    g.log.push_back("tick");
    return 0;
}

void setup_point_to_point() {
    g.registration = g.api->host_register_service(g.host, "Requests", &g, on_request);
    g.timer = g.api->host_add_timer(g.host, on_tick, &g, 1000);
}

void teardown_point_to_point() {
    g.api->host_unregister_service(g.host, g.registration);
    g.api->host_remove_timer(g.host, g.timer);
}

// A request handler that publishes two chunks; the test's send hook answers
// each with an acknowledgement.
int on_pubsub_request(void *, const void *, int) {
    g.nested = g.nested || g.in_handler;
    g.in_handler = true;
    g.log.push_back("request");
    g.api->host_publish(g.host, g.data_pub, "c1", 2, 0);
    g.api->host_publish(g.host, g.data_pub, "c2", 2, 0);
    g.log.push_back("request done");
    g.in_handler = false;
    return 0;
}

int on_pubsub_ack(void *, const void *buffer, int length) {
    g.nested = g.nested || g.in_handler;
    g.handler_threads.push_back(std::this_thread::get_id());
    g.log.push_back("ack " + std::string(static_cast<const char *>(buffer), length));
    return 0;
}

void setup_pubsub() {
    g.request_sub = g.api->host_subscribe(g.host, "ZemBrQkService_lab1", on_pubsub_request, &g, 0);
    g.ack_sub = g.api->host_subscribe(g.host, "ZemBrQkAckSvc_lab1", on_pubsub_ack, &g, 0);
    g.data_pub = g.api->host_create_publisher(g.host, "ZemQkBrService_lab1", 3);
}

Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

class TestHostTest : public ::testing::Test {
protected:
    TestHostTest() {
        g = FakePlugin{};
        g.api = host.api();
        g.host = host.handle();
    }

    TestHost host;
};

// --- threads, delivery and timers ---------------------------------------------

TEST_F(TestHostTest, ServiceThreadRunsDeliveriesAndTimersUntilStopped) {
    g.setup = setup_point_to_point;
    g.teardown = teardown_point_to_point;
    ASSERT_EQ(plugin_start(), 0);

    EXPECT_EQ(host.deliver("Requests", bytes("abc")), 103);
    host.advance(999);
    EXPECT_EQ(g.log, (std::vector<std::string>{"request abc"}));
    host.advance(1);
    host.advance(2500);
    EXPECT_EQ(host.now(), 3500);
    EXPECT_EQ(g.log, (std::vector<std::string>{"request abc", "tick", "tick", "tick"}));
    for (std::thread::id id : g.handler_threads) {
        EXPECT_EQ(id, g.service_thread);
    }
    EXPECT_NE(g.service_thread, std::this_thread::get_id());

    bool posted_on_service_thread = false;
    EXPECT_TRUE(host.post(
        [&] { posted_on_service_thread = std::this_thread::get_id() == g.service_thread; }));
    EXPECT_TRUE(posted_on_service_thread);

    EXPECT_EQ(plugin_stop(), 0);
    auto threads = host.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_TRUE(threads[0].began_right);
    EXPECT_TRUE(threads[0].loop_entered);
    EXPECT_TRUE(threads[0].main_returned);
    EXPECT_TRUE(threads[0].joined);
    EXPECT_EQ(threads[0].end_calls, 1);
    EXPECT_EQ(host.calls(),
              (std::vector<std::string>{"create_event", "create_thread", "thread_begin",
                                        "register_service Requests", "add_timer 1000",
                                        "set_event", "close_event", "stop_thread",
                                        "unregister_service Requests", "remove_timer 1000",
                                        "thread_end"}));
    EXPECT_EQ(host.live_channel_handles(), 0u);
    EXPECT_TRUE(host.active_timers().empty());
    EXPECT_EQ(host.live_events(), 0u);
    EXPECT_TRUE(host.errors().empty());
    // With no listener left, nothing handles a delivery.
    EXPECT_EQ(host.deliver("Requests", bytes("x")), std::nullopt);
}

TEST_F(TestHostTest, SlowThreadMakesTheStartWaitTimeOut) {
    host.delay_thread_start(std::chrono::milliseconds(200));
    host.set_max_wait(std::chrono::milliseconds(10));
    EXPECT_EQ(plugin_start(), -2);
    EXPECT_EQ(host.live_events(), 1u);
    // The thread comes up later; the destructor stops and joins it.
}

TEST_F(TestHostTest, CreateThreadCanBeMadeToFail) {
    host.fail_create_thread(true);
    EXPECT_EQ(plugin_start(), -1);
    EXPECT_TRUE(host.threads().empty());
}

// --- timers -------------------------------------------------------------------

std::vector<std::pair<std::string, std::int64_t>> g_fired;

int fire_a(void *) {
    g_fired.emplace_back("a", TestHost::current()->now());
    return 0;
}
int fire_b(void *) {
    g_fired.emplace_back("b", TestHost::current()->now());
    return 0;
}
int fire_late(void *) {
    g_fired.emplace_back("late", TestHost::current()->now());
    return 0;
}
// Removes timer b and adds a 30 ms timer on its first run.
int fire_changer(void *) {
    g_fired.emplace_back("changer", TestHost::current()->now());
    if (g.timer != 0) {
        g.api->host_remove_timer(g.host, g.timer);
        g.timer = 0;
        g.api->host_add_timer(g.host, fire_late, nullptr, 30);
    }
    return 0;
}

TEST_F(TestHostTest, TimersRunInDueOrderAndRearm) {
    g_fired.clear();
    g.api->host_add_timer(g.host, fire_a, nullptr, 100);
    g.api->host_add_timer(g.host, fire_b, nullptr, 250);
    host.advance(500);
    using Fired = std::vector<std::pair<std::string, std::int64_t>>;
    EXPECT_EQ(g_fired, (Fired{{"a", 100}, {"a", 200}, {"b", 250}, {"a", 300}, {"a", 400},
                              {"a", 500}, {"b", 500}}));
    EXPECT_EQ(host.now(), 500);
}

TEST_F(TestHostTest, TimerCallbacksRemoveAndAddTimers) {
    g_fired.clear();
    g.api->host_add_timer(g.host, fire_changer, nullptr, 100);
    g.timer = g.api->host_add_timer(g.host, fire_b, nullptr, 100);
    host.advance(150);
    using Fired = std::vector<std::pair<std::string, std::int64_t>>;
    EXPECT_EQ(g_fired, (Fired{{"changer", 100}, {"late", 130}}));
    ASSERT_EQ(host.active_timers().size(), 2u);
    EXPECT_EQ(host.errors(), std::vector<std::string>{});
}

// --- reports ------------------------------------------------------------------

class ReportTest : public TestHostTest {
protected:
    void SetUp() override {
        parlance_clear();
        path_ = std::filesystem::temp_directory_path() /
                ("test_host_catalogue_" + std::to_string(getpid()));
        std::ofstream(path_) << "-51970\tPath refused: %s\n"
                                "-51974\tNo space on %s to write %s\n"
                                "-51989\tNot ready within %d ms\n";
        ASSERT_EQ(AddResourceFile(path_.c_str()), 0);
    }
    void TearDown() override {
        parlance_clear();
        std::filesystem::remove(path_);
    }
    std::filesystem::path path_;
};

TEST_F(ReportTest, ArgumentsAreDecodedByTheCatalogueFormat) {
    report(kMsgError, -51970, "/data/x", 0);
    report(kMsgError, -51974, static_cast<const char *>(nullptr), "/d", 0);
    report(kMsgError, -51989, 10000, 0);
    report(kMsgError, -51989, 10000, 7);  // not terminated by 0
    report(kMsgError, -51990, 0);         // no catalogue entry
    report(kMsgTrace, -51999, "ZEM TRACE: hello", 0, 0, 0);

    auto reports = host.reports();
    ASSERT_EQ(reports.size(), 6u);
    using Args = std::vector<zem::test::ReportArg>;
    EXPECT_EQ(reports[0].args, (Args{std::string("/data/x")}));
    EXPECT_EQ(reports[0].text, "Path refused: /data/x");
    EXPECT_TRUE(reports[0].terminated);
    EXPECT_EQ(reports[1].args, (Args{nullptr, std::string("/d")}));
    EXPECT_EQ(reports[1].text, "No space on (none) to write /d");
    EXPECT_EQ(reports[2].int_arg(0), 10000);
    EXPECT_EQ(reports[2].text, "Not ready within 10000 ms");
    EXPECT_TRUE(reports[2].terminated);
    EXPECT_FALSE(reports[3].terminated);
    EXPECT_FALSE(reports[4].catalogued);
    EXPECT_TRUE(reports[4].args.empty());
    EXPECT_EQ(reports[5].msg_id, kMsgTrace);
    EXPECT_EQ(reports[5].str_arg(0), "ZEM TRACE: hello");
    EXPECT_EQ(reports[5].text, "ZEM TRACE: hello");
    EXPECT_TRUE(reports[5].terminated);

    EXPECT_EQ(host.reports_with(-51989).size(), 2u);
    host.clear_reports();
    EXPECT_TRUE(host.reports().empty());
}

// --- channels -----------------------------------------------------------------

TEST_F(TestHostTest, SendsAreRecordedUnlessMadeToFail) {
    host.fail_open("Refused");
    EXPECT_EQ(g.api->host_open_service(g.host, "Refused", 0), 0u);
    zem_handle out = g.api->host_open_service(g.host, "Out", 0);
    ASSERT_NE(out, 0u);
    EXPECT_EQ(host.channel_of(out), "Out");

    EXPECT_EQ(g.api->host_send(g.host, out, "one", 3), 0);
    host.fail_sends("Out", -3, 1);
    EXPECT_EQ(g.api->host_send(g.host, out, "two", 3), -3);
    EXPECT_EQ(g.api->host_send(g.host, out, "three", 5), 0);
    host.fail_next_sends(1, -9);
    EXPECT_EQ(g.api->host_send(g.host, out, "four", 4), -9);
    EXPECT_EQ(host.sent("Out"), (std::vector<Bytes>{bytes("one"), bytes("three")}));
    EXPECT_EQ(host.failed_sends("Out"), 2);

    // Handle 0 (a failed open) is refused quietly; a closed handle is misuse.
    EXPECT_NE(g.api->host_send(g.host, 0, "x", 1), 0);
    EXPECT_TRUE(host.errors().empty());
    EXPECT_EQ(g.api->host_close_service(g.host, out), 0);
    EXPECT_NE(g.api->host_send(g.host, out, "x", 1), 0);
    EXPECT_EQ(host.errors().size(), 1u);
    EXPECT_EQ(host.opened(), std::vector<std::string>{"Out"});
}

TEST_F(TestHostTest, WrongHostHandleIsRefusedAndRecorded) {
    EXPECT_EQ(g.api->host_open_service(g.host + 1, "Out", 0), 0u);
    EXPECT_EQ(g.api->host_get_attrib(0, "x"), nullptr);
    EXPECT_EQ(host.errors().size(), 2u);
}

TEST_F(TestHostTest, AttributeValuesOutliveChanges) {
    host.set_attrib("netdir_path", "/srv/a");
    const char *kept = g.api->host_get_attrib(g.host, "netdir_path");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(g.api->host_set_attrib(g.host, "netdir_path", "/srv/b"), 0);
    EXPECT_STREQ(kept, "/srv/a");
    EXPECT_EQ(host.attrib("netdir_path"), "/srv/b");
    host.unset_attrib("netdir_path");
    EXPECT_EQ(g.api->host_get_attrib(g.host, "netdir_path"), nullptr);
}

// Runs the same publish/subscribe exchange inline and on a service thread:
// the send hook acknowledges each chunk, and the acknowledgements run after
// the request handler, never inside it.
class PubSubTest : public TestHostTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PubSubTest, HookRepliesRunAfterTheCurrentHandler) {
    bool service_thread = GetParam();
    if (service_thread) {
        g.setup = setup_pubsub;
        ASSERT_EQ(plugin_start(), 0);
    } else {
        setup_pubsub();
    }
    host.fail_subscribe("Other");
    EXPECT_EQ(g.api->host_subscribe(g.host, "Other", on_pubsub_ack, &g, 0), 0u);

    host.on_send([&](const std::string &name, const Bytes &message) {
        if (name == "ZemQkBrService_lab1") {
            EXPECT_EQ(host.deliver("ZemBrQkAckSvc_lab1", message), std::nullopt);
        }
    });
    EXPECT_EQ(host.deliver("ZemBrQkService_lab1", bytes("req")), 0);

    EXPECT_EQ(g.log, (std::vector<std::string>{"request", "request done", "ack c1", "ack c2"}));
    EXPECT_FALSE(g.nested);
    EXPECT_EQ(host.sent("ZemQkBrService_lab1"), (std::vector<Bytes>{bytes("c1"), bytes("c2")}));
    EXPECT_EQ(host.subscribed(),
              (std::vector<std::string>{"ZemBrQkService_lab1", "ZemBrQkAckSvc_lab1"}));
    EXPECT_EQ(host.publishers(), std::vector<std::string>{"ZemQkBrService_lab1"});
    std::thread::id expected = service_thread ? g.service_thread : std::this_thread::get_id();
    for (std::thread::id id : g.handler_threads) {
        EXPECT_EQ(id, expected);
    }
    if (service_thread) {
        EXPECT_EQ(plugin_stop(), 0);
    }
    EXPECT_TRUE(host.errors().empty());
}

std::string dispatch_name(const ::testing::TestParamInfo<bool> &param) {
    return param.param ? "ServiceThread" : "Inline";
}

INSTANTIATE_TEST_SUITE_P(Dispatch, PubSubTest, ::testing::Values(false, true), dispatch_name);

}  // namespace
