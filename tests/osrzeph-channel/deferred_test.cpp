// A RECOGNIZE that arrives while the previous recognition's call is finishing waits
// for the finish and is then carried out, in the order the requests came. The window is a
// completion-queue round trip wide, so the test holds the plugin's event thread inside the
// finish (at its log line) while the client sends, and the host runtime runs in this
// process with its conformance checker.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <ostrin_runtime/host_engine.h>

#include "scenario_run.h"
#include "sim_process.h"

// The plugin (and with it gRPC) is dlopen()ed into this process: LeakSanitizer's scan of
// such libraries' thread-local storage crashes now and then unless __tls_get_addr is left
// alone.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}
extern "C" const char* __lsan_default_options() {
    return "intercept_tls_get_addr=0";
}

namespace {

using OstrinRuntime::HostEngine;
using OstrinRuntime::HostOptions;
using OstrinRuntime::MessageFilter;
using OstrinRuntime::PluginMessage;

// Every log record of the process; the thread that logs the held text waits until Release().
class HoldingLog {
public:
    static void Handler(void* obj, const char*, int, const apt_log_source_t*, apt_log_priority_e,
                        const char* message) {
        auto* self = static_cast<HoldingLog*>(obj);
        std::unique_lock<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(message);
        self->m_cond.notify_all();
        if (!self->m_holdAt.empty() &&
            self->m_lines.back().find(self->m_holdAt) != std::string::npos) {
            self->m_held = true;
            self->m_cond.notify_all();
            self->m_cond.wait(lock, [self] { return self->m_holdAt.empty(); });
        }
    }

    void HoldAt(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = text;
        m_held = false;
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(30), [this] { return m_held; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt.clear();
        m_cond.notify_all();
    }
    size_t Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t count = 0;
        for (const std::string& line : m_lines)
            count += line.find(text) != std::string::npos;
        return count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::string> m_lines;
    std::string m_holdAt;
    bool m_held = false;
};

std::string Recognize(int id) {
    return "MRCP/2.0 0 RECOGNIZE " + std::to_string(id) +
           "\nContent-Type: text/uri-list\n\nbuiltin:event/order\n";
}

TEST(DeferredRecognize, WaitsForTheFinishAndIsCarriedOutInOrder) {
    ZephChannelTest::ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    ZephChannelTest::WriteFile(root.Path() + "/agent.json", R"({
      "intents": [{"name": "order", "display_name": "Order Pizza", "events": ["order"]}]})");
    ZephTest::UseTestCredentials();
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--agent", root.Path() + "/agent.json", "--record", root.Path() + "/streams.jsonl"}));
    root.WriteConfig(sim.target(), "", "<utterance-manager save-waveforms=\"false\"/>");

    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    HoldingLog log;
    apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, pool);
    apt_log_handler_set(&HoldingLog::Handler, &log);
    size_t violations = 0;
    {
        HostOptions options;
        options.plugin_path = std::string(ZEPH_LIB_DIR) + "/osrzeph.so";
        options.conf_dir = root.Path() + "/conf";
        options.log_dir = root.Path() + "/log";
        options.data_dir = root.Path() + "/data";
        options.var_dir = root.Path() + "/var";
        options.pace = OstrinRuntime::MediaPace::kFast;
        HostEngine host(options);
        std::string error;
        ASSERT_TRUE(host.Open(&error)) << error;
        ASSERT_TRUE(host.OpenChannel("A", 8000, 2, {}, &error)) << error;

        // The first recognition's answer has come and its call is about to finish: the
        // event thread is held there, so what the client sends now meets the finishing call.
        struct ReleaseAtExit {
            HoldingLog& log;
            ~ReleaseAtExit() { log.Release(); }
        } releaseAtExit{log};
        log.HoldAt("Finish Streaming <A");
        ASSERT_TRUE(host.SendRequest("A", Recognize(1), &error)) << error;
        ASSERT_TRUE(log.WaitHeld());
        ASSERT_TRUE(host.SendRequest("A", Recognize(2), &error)) << error;
        ASSERT_TRUE(host.SendRequest("A", Recognize(3), &error)) << error;
        log.Release();
        ASSERT_TRUE(host.WaitForMessage("A", MessageFilter{"RECOGNITION-COMPLETE", 1, 0}, 30000));

        // The first waiting one is carried out; the second then meets it in progress.
        PluginMessage second;
        ASSERT_TRUE(host.WaitForMessage("A", MessageFilter{"response", 2, -1}, 30000, &second));
        EXPECT_NE(second.text.find(" 2 200 IN-PROGRESS"), std::string::npos) << second.text;
        PluginMessage third;
        ASSERT_TRUE(host.WaitForMessage("A", MessageFilter{"response", 3, -1}, 30000, &third));
        // Refused, not held: one recognition at a time.
        EXPECT_EQ(third.text.find(" 3 200 "), std::string::npos) << third.text;
        EXPECT_NE(third.text.find(" COMPLETE"), std::string::npos) << third.text;
        ASSERT_TRUE(host.WaitForMessage("A", MessageFilter{"RECOGNITION-COMPLETE", 2, 0}, 30000));
        EXPECT_EQ(log.Count("Wait for Finish to Complete <A"), 2u);
        EXPECT_TRUE(host.CloseChannel("A", &error)) << error;
        EXPECT_TRUE(host.Shutdown(&error)) << error;
        violations = host.violation_count();
    }
    EXPECT_EQ(violations, 0u);
    apt_log_handler_set(nullptr, nullptr);
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    // Two calls, both ended before the sim stops (it records one it has to end itself).
    size_t streams =
        ZephChannelTest::Count(ZephChannelTest::ReadFile(root.Path() + "/streams.jsonl"), "\n");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(
        ZephChannelTest::Count(ZephChannelTest::ReadFile(root.Path() + "/streams.jsonl"), "\n"),
        streams);
    EXPECT_EQ(streams, 2u);
}

}  // namespace
