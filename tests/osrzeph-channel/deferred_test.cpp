// A RECOGNIZE that arrives while the previous recognition's call is finishing waits
// for the finish and is then carried out, in the order the requests came. The window is a
// completion-queue round trip wide, so the test holds the plugin's event thread inside the
// finish (at its log line) while the client sends, and the host runtime runs in this
// process with its conformance checker.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ostrin_runtime/host_engine.h>

#include "dlopen_sanitizer_options.h"
#include "nothing_left_behind.h"
#include "scenario_run.h"
#include "sim_process.h"

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

// One channel of a host runtime in this process, against dialogflow-sim, with the process's
// log held at will.
class DeferredRecognize : public ::testing::Test {
protected:
    void SetUp() override {
        m_leftovers.reset(new ZephTest::NothingLeftBehind());
        ASSERT_FALSE(m_root.Path().empty());
        ZephChannelTest::WriteFile(m_root.Path() + "/agent.json", R"({
          "intents": [{"name": "order", "display_name": "Order Pizza", "events": ["order"]}]})");
        ZephTest::UseTestCredentials();
        ASSERT_TRUE(m_sim.Start({"--agent", m_root.Path() + "/agent.json", "--record",
                                 m_root.Path() + "/streams.jsonl"}));
        m_root.WriteConfig(m_sim.target(), "", "<utterance-manager save-waveforms=\"false\"/>");
        apr_initialize();
        apr_pool_create(&m_pool, nullptr);
        apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, m_pool);
        apt_log_handler_set(&HoldingLog::Handler, &m_log);
        HostOptions options;
        options.plugin_path = std::string(ZEPH_LIB_DIR) + "/osrzeph.so";
        options.conf_dir = m_root.Path() + "/conf";
        options.log_dir = m_root.Path() + "/log";
        options.data_dir = m_root.Path() + "/data";
        options.var_dir = m_root.Path() + "/var";
        options.pace = OstrinRuntime::MediaPace::kFast;
        m_host.reset(new HostEngine(options));
        std::string error;
        ASSERT_TRUE(m_host->Open(&error)) << error;
        ASSERT_TRUE(m_host->OpenChannel("A", 8000, 2, {}, &error)) << error;
    }

    void TearDown() override {
        m_log.Release();
        std::string error;
        if (m_host) {
            EXPECT_TRUE(m_host->Shutdown(&error)) << error;
            EXPECT_EQ(m_host->violation_count(), 0u);
            m_host.reset();
        }
        apt_log_handler_set(nullptr, nullptr);
        apt_log_instance_destroy();
        if (m_pool)
            apr_pool_destroy(m_pool);
        // Every call ended before the sim stops (it records one it has to end itself).
        size_t streams = StreamsRecorded();
        EXPECT_EQ(m_sim.Stop(), 0);
        EXPECT_EQ(StreamsRecorded(), streams);
        // The host, the plugin's engine and their threads are gone.
        EXPECT_TRUE(m_leftovers->Check());
    }

    size_t StreamsRecorded() const {
        return ZephChannelTest::Count(ZephChannelTest::ReadFile(m_root.Path() + "/streams.jsonl"),
                                      "\n");
    }

    // The first recognition's answer has come and its call is about to finish: the event
    // thread is held there, so what the client sends now meets the finishing call.
    void RecognizeAndHoldTheFinish() {
        std::string error;
        m_log.HoldAt("Finish Streaming <A");
        ASSERT_TRUE(m_host->SendRequest("A", Recognize(1), &error)) << error;
        ASSERT_TRUE(m_log.WaitHeld());
    }

    ZephChannelTest::ServerRoot m_root;
    ZephTest::SimProcess m_sim;
    apr_pool_t* m_pool = nullptr;
    HoldingLog m_log;
    std::unique_ptr<HostEngine> m_host;
    std::unique_ptr<ZephTest::NothingLeftBehind> m_leftovers;
};

TEST_F(DeferredRecognize, WaitsForTheFinishAndIsCarriedOutInOrder) {
    RecognizeAndHoldTheFinish();
    std::string error;
    ASSERT_TRUE(m_host->SendRequest("A", Recognize(2), &error)) << error;
    ASSERT_TRUE(m_host->SendRequest("A", Recognize(3), &error)) << error;
    m_log.Release();
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"RECOGNITION-COMPLETE", 1, 0}, 30000));

    // The first waiting one is carried out; the second then meets it in progress.
    PluginMessage second;
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"response", 2, -1}, 30000, &second));
    EXPECT_NE(second.text.find(" 2 200 IN-PROGRESS"), std::string::npos) << second.text;
    PluginMessage third;
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"response", 3, -1}, 30000, &third));
    // Refused, not held: one recognition at a time.
    EXPECT_EQ(third.text.find(" 3 200 "), std::string::npos) << third.text;
    EXPECT_NE(third.text.find(" COMPLETE"), std::string::npos) << third.text;
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"RECOGNITION-COMPLETE", 2, 0}, 30000));
    EXPECT_EQ(m_log.Count("Wait for Finish to Complete <A"), 2u);
    EXPECT_TRUE(m_host->CloseChannel("A", &error)) << error;
    EXPECT_EQ(StreamsRecorded(), 2u);
}

// A STOP while a RECOGNIZE waits for the finish stops that one too: it is answered PENDING,
// the STOP's Active-Request-Id-List names it, and it never starts.
TEST_F(DeferredRecognize, AStopEndsTheWaitingRequest) {
    RecognizeAndHoldTheFinish();
    std::string error;
    ASSERT_TRUE(m_host->SendRequest("A", Recognize(2), &error)) << error;
    ASSERT_TRUE(m_host->SendRequest("A", "MRCP/2.0 0 STOP 3\n\n", &error)) << error;
    m_log.Release();
    PluginMessage pending;
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"response", 2, -1}, 30000, &pending));
    EXPECT_NE(pending.text.find(" 2 200 PENDING"), std::string::npos) << pending.text;
    PluginMessage stop;
    ASSERT_TRUE(m_host->WaitForMessage("A", MessageFilter{"response", 3, -1}, 30000, &stop));
    EXPECT_NE(stop.text.find(" 3 200 COMPLETE"), std::string::npos) << stop.text;
    EXPECT_NE(stop.text.find("Active-Request-Id-List: 2\r\n"), std::string::npos) << stop.text;
    // Anything for request 2 after the STOP would be a violation of the host's checker
    // (counted at the end); the sim saw the first call only.
    EXPECT_TRUE(m_host->CloseChannel("A", &error)) << error;
    EXPECT_EQ(m_log.Count("Stop Deferred Recognize [2] <A"), 1u);
    EXPECT_EQ(StreamsRecorded(), 1u);
}

// The client hangs up while its RECOGNIZE waits for the finish: the close wins, and the
// waiting request is answered (407) before the close response.
TEST_F(DeferredRecognize, ACloseWinsAndTheWaitingRequestIsAnsweredFirst) {
    RecognizeAndHoldTheFinish();
    std::string error;
    ASSERT_TRUE(m_host->SendRequest("A", Recognize(2), &error)) << error;
    // The close waits for its answer on this thread, so the event thread is let go from
    // another one once the close has been handed over (in all likelihood: if it is let go
    // first, RECOGNIZE 2 runs and the close ends it, which is checked as well).
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_log.Release();
    });
    EXPECT_TRUE(m_host->CloseChannel("A", &error)) << error;
    releaser.join();
    EXPECT_EQ(m_host->violation_count(), 0u);
    if (m_log.Count("Deferred Recognize Dropped by Close [2] <A") == 1u) {
        EXPECT_EQ(m_log.Count("Wait for Finish to Complete <A"), 1u);
        EXPECT_EQ(StreamsRecorded(), 1u);
    } else {
        // Let go before the close arrived: RECOGNIZE 2 ran and the close ended it.
        EXPECT_EQ(m_log.Count("Deferred Recognize Dropped by Close"), 0u);
    }
}

}  // namespace
