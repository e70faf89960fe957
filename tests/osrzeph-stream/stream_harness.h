// Drives streaming methods against dialogflow-sim without an MRCP server: a real event
// processor, the real completion-queue task, real gRPC over TLS with the test credentials,
// and the recognition host of stream_host.h.
//
// Threads: the test's main thread drives; everything of the host and the methods runs on
// the processor's thread (Run/Post), as in the plugin.
#pragma once

#include <gtest/gtest.h>

#include "stream_host.h"

namespace ZephStreamTest {

// The engine's pieces: event processor, completion-queue task, a gRPC channel to the sim
// and its v2 session stub.
class StreamFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ZephTest::UseTestCredentials(); }

    void SetUp() override {
        ASSERT_EQ(apr_initialize(), APR_SUCCESS);
        ASSERT_EQ(apr_pool_create(&m_pool, nullptr), APR_SUCCESS);
        apt_log_instance_create(0, APT_PRIO_DEBUG, m_pool);
        apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);
        m_log.Install();
        m_dir = ZephTest::MakeTempDir("zeph-stream");
        ASSERT_FALSE(m_dir.empty());
        m_recordPath = m_dir + "/streams.jsonl";
    }

    void TearDown() override {
        StopEngine();
        m_hosts.clear();
        m_sim.Stop();
        m_log.Remove();
        apt_log_instance_destroy();
        apr_pool_destroy(m_pool);
        apr_terminate();
        ZephTest::RunCommand("rm -rf '" + m_dir + "'");
    }

    // Starts the sim with an agent (JSON text) and a record file.
    void StartSim(const std::string& agent, std::vector<std::string> extra = {}) {
        std::string agentPath = m_dir + "/agent.json";
        std::ofstream(agentPath) << agent;
        extra.insert(extra.end(), {"--agent", agentPath, "--record", m_recordPath});
        ASSERT_TRUE(m_sim.Start(extra));
    }

    // The engine's shutdown, on the processor's thread after its last event: whatever the
    // test asks for, then the completion queue is shut down and drained.
    class ShutdownObserver : public OstEdpf::SoftEventProcessor::Observer {
    public:
        explicit ShutdownObserver(StreamFixture* fixture) : m_fixture(fixture) {}
        void OnShutdown(OstEdpf::SoftEventProcessor*) override {
            if (m_fixture->m_onShutdown)
                m_fixture->m_onShutdown();
            m_fixture->m_task->Terminate();
        }

    private:
        StreamFixture* m_fixture;
    };

    void StartEngine() {
        m_processor = new OstEdpf::SoftEventProcessor();
        m_observer = std::make_unique<ShutdownObserver>(this);
        m_processor->AddObserver(m_observer.get());
        ASSERT_TRUE(m_processor->Start());
        m_task = new Zeph::Task("GRPC");
        ASSERT_TRUE(m_task->Create(m_pool));
        ASSERT_TRUE(m_task->Start());
        auto credentials = grpc::GoogleDefaultCredentials();
        ASSERT_TRUE(credentials);
        m_grpcChannel =
            grpc::CreateCustomChannel(m_sim.target(), credentials, grpc::ChannelArguments());
        m_stub = std::make_shared<Zeph::APIV2::SessionStub>(nullptr, m_grpcChannel);
        ASSERT_TRUE(m_stub->CreateGrpcStub());
    }

    // The engine's close: methods still open are shut down on the processor, then the
    // completion queue drains and the processor ends.
    void StopEngine(std::function<void()> onShutdown = nullptr) {
        if (!m_processor)
            return;
        m_onShutdown = std::move(onShutdown);
        m_processor->Shutdown(true);
        m_task->Destroy();
        delete m_task;
        m_task = nullptr;
        delete m_processor;
        m_processor = nullptr;
        m_stub.reset();
        m_grpcChannel.reset();
    }

    void Post(std::function<void()> function) {
        auto* event = new FunctionEvent(std::move(function));
        event->Ref();
        m_processor->PostEvent(event);
    }

    // Runs on the processor's thread and waits for it.
    void Run(std::function<void()> function) {
        std::promise<void> done;
        Post([&] {
            function();
            done.set_value();
        });
        done.get_future().wait();
    }

    // Polls `condition` on the processor's thread until it holds; FALSE after a generous
    // bound (a hang, not a timing check).
    bool WaitUntil(std::function<bool()> condition, int seconds = 20) {
        for (int i = 0; i < seconds * 50; ++i) {
            bool holds = false;
            Run([&] { holds = condition(); });
            if (holds)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    TestHost* NewHost(const std::string& id = "ch-1") {
        m_hosts.push_back(std::make_unique<TestHost>(m_processor, id));
        return m_hosts.back().get();
    }

    // Creates the method of `host` and invokes it. FALSE when either step fails.
    // `inTheSameEvent` runs on the processor right after a successful Invoke, before any
    // completion of the call can be processed.
    bool Invoke(TestHost* host, long creationTimeout = 0,
                const std::function<void()>& inTheSameEvent = {}) {
        bool ok = false;
        Run([&] {
            host->m_method = m_stub->CreateStreamingDetectIntentMethod(
                host, m_task->GetCompletionQueue(), m_processor, creationTimeout);
            ok = host->m_method && host->m_method->Validate() && host->m_method->Invoke();
            if (!ok)
                host->m_active = false;
            else if (inTheSameEvent)
                inTheSameEvent();
        });
        return ok;
    }

    // Speech as the channel hands it on: start of speech, then blocks of `block` bytes, the
    // last one marked.
    void SendSpeech(TestHost* host, const std::vector<int16_t>& samples, size_t block = 3200,
                    bool last = true) {
        const char* bytes = reinterpret_cast<const char*>(samples.data());
        size_t total = samples.size() * 2;
        for (size_t at = 0; at < total; at += block) {
            size_t size = std::min(block, total - at);
            const char* data = bytes + at;
            bool isLast = last && at + size >= total;
            Post([host, data, size, isLast] {
                DataChunk chunk = DataChunk::Copy(data, size);
                if (!host->m_active)
                    return;
                if (host->m_inputMode == MPF_SDI_MODE_NONE)
                    host->m_inputMode = MPF_SDI_MODE_SPEECH;
                if (host->m_finalResponsePending) {
                    host->ProcessStop();
                    return;
                }
                if (!host->m_speechStarted) {
                    host->m_speechStarted = true;
                    if (host->m_streamCreated)
                        host->m_method->ProcessStartOfSpeechInput();
                }
                host->m_method->ProcessSpeechInput(chunk, isLast);
            });
        }
    }

    // DTMF input as the channel hands it on.
    void SendDtmf(TestHost* host, const std::string& digits) {
        Post([host, digits] {
            host->m_inputMode = MPF_SDI_MODE_DTMF;
            host->m_confidence = 1.0f;
            host->m_inputText = digits;
            host->CompleteInput();
            host->m_method->ProcessDtmfInput(digits, true);
        });
    }

    // The recognition has ended and its method has nothing in flight.
    bool WaitDone(TestHost* host) {
        return WaitUntil([host] {
            auto* method = static_cast<StreamingMethod*>(host->m_method.get());
            return !host->m_active && method->GetOperationsInFlight() == 0u &&
                   !method->IsContextActive();
        });
    }

#if defined(ZEPH_THREAD_SANITIZER)
    static constexpr int kSettleRounds = 40;
#else
    static constexpr int kSettleRounds = 4;
#endif

    // Ends the engine and lets go of every method: none may be left alive.
    // No call is left open at the sim either: stopping it records no further stream (it
    // would record one it had to cancel).
    void ExpectNothingLeft() {
        StopEngine();
        m_hosts.clear();
        EXPECT_EQ(MethodBase::GetLiveCount(), 0);
        // A cancelled call is over for the plugin at once, but its reset reaches the sim a
        // little later (much later under ThreadSanitizer): let the record settle first.
        size_t ended = ReadRecords(m_recordPath).size();
        for (int quietRounds = 0, round = 0; quietRounds < kSettleRounds && round < 200; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            size_t now = ReadRecords(m_recordPath).size();
            quietRounds = now == ended ? quietRounds + 1 : 0;
            ended = now;
        }
        EXPECT_EQ(m_sim.Stop(), 0);
        EXPECT_EQ(ReadRecords(m_recordPath).size(), ended) << "a call was still open at the sim";
    }

    // Every stream started has been recorded by the sim as ended.
    std::vector<std::shared_ptr<StreamRecord>> WaitRecords(size_t count) {
        std::vector<std::shared_ptr<StreamRecord>> records;
        for (int i = 0; i < 3000; ++i) {
            records = ReadRecords(m_recordPath);
            if (records.size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return records;
    }

    apr_pool_t* m_pool = nullptr;
    LogCapture m_log;
    std::string m_dir;
    std::string m_recordPath;
    ZephTest::SimProcess m_sim;
    OstEdpf::SoftEventProcessor* m_processor = nullptr;
    Zeph::Task* m_task = nullptr;
    std::shared_ptr<grpc::Channel> m_grpcChannel;
    std::shared_ptr<Zeph::APIV2::SessionStub> m_stub;
    std::vector<std::unique_ptr<TestHost>> m_hosts;
    std::unique_ptr<ShutdownObserver> m_observer;
    std::function<void()> m_onShutdown;
};

}  // namespace ZephStreamTest
