// The v2 streaming method when the service misbehaves, when the channel closes at each
// stage of a stream, and when the engine shuts down with streams open: every recognition
// ends once with the right cause and no call stays open at the sim.
#include <algorithm>

#include "stream_harness.h"

namespace ZephStreamTest {
namespace {

struct FaultCase {
    const char* name;
    const char* agent;
    long creationTimeout;
    long resultTimeout;
    int cause;
    const char* logLine;  // a line the plugin must have logged; empty: none
    // The sim holds each new connection this long (--hold-connections); empty: not at all.
    // Nothing then reaches the sim before the creation timer fires.
    const char* holdConnections = "";
    // Streams the sim sees: a transient refusal is retried up to the attempts allowed.
    size_t streams = 1;
};

std::ostream& operator<<(std::ostream& out, const FaultCase& fault) {
    return out << fault.name;
}

const FaultCase kFaults[] = {
    {"refuse", R"({"faults": {"refuse": {"code": "PERMISSION_DENIED", "message": "no access"}}})",
     0, 35000, RECOGNIZER_COMPLETION_CAUSE_ERROR, "gRPC Status: no access <ch-1@zeph>"},
    {"refuse_after_first_request",
     R"({"utterances": [{"transcript": "x", "faults": {"refuse": {"code": "RESOURCE_EXHAUSTED",
         "message": "quota"}}}]})",
     0, 35000, RECOGNIZER_COMPLETION_CAUSE_ERROR, "gRPC Status: quota <ch-1@zeph>", "", 3},
    // The sim only reads late: the stream exists at once, the creation timer stops. The
    // timer leaves room for a slow TLS handshake (ThreadSanitizer, a loaded machine) and
    // still fires well before the sim reads.
    {"delay_accept", R"({"faults": {"delay_accept_ms": 3000}})", 1500, 35000,
     RECOGNIZER_COMPLETION_CAUSE_SUCCESS, ""},
    // The stream cannot be created while the connection is held: the creation timer fires.
    {"hold_connection", R"({})", 200, 35000, RECOGNIZER_COMPLETION_CAUSE_ERROR,
     "Create gRPC Stream Timed out <ch-1@zeph>", "3000"},
    {"abort_after_bytes", R"({"faults": {"abort_after_bytes": 16000}})", 0, 35000,
     RECOGNIZER_COMPLETION_CAUSE_ERROR, "gRPC Status: Scripted abort. <ch-1@zeph>"},
    {"reset_after_bytes", R"({"faults": {"reset_after_bytes": 16000}})", 0, 35000,
     RECOGNIZER_COMPLETION_CAUSE_ERROR, "gRPC Status: "},
    {"end_without_result", R"({"faults": {"end_without_result": true}})", 0, 35000,
     RECOGNIZER_COMPLETION_CAUSE_NO_MATCH, ""},
    {"no_end_of_utterance", R"({"faults": {"no_end_of_utterance": true}})", 0, 35000,
     RECOGNIZER_COMPLETION_CAUSE_SUCCESS, ""},
    {"stall", R"({"faults": {"stall": true}})", 0, 300, RECOGNIZER_COMPLETION_CAUSE_ERROR,
     "No Result within Result Timeout [300 ms]: Cancel Stream <ch-1@zeph>"},
};

class StreamFaultTest : public StreamFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StreamFaultTest, EndsOnceWithTheRightCauseAndNothingOpen) {
    const FaultCase& fault = GetParam();
    std::vector<int16_t> speech = ZephTest::SynthesizeSpeech("I want a large pizza", 16000);
    ASSERT_FALSE(speech.empty());
    bool held = *fault.holdConnections != '\0';
    std::vector<std::string> simArgs;
    if (held)
        simArgs = {"--hold-connections", fault.holdConnections};
    StartSim(fault.agent, simArgs);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    host->m_settings.m_resultTimeout = fault.resultTimeout;
    ASSERT_TRUE(Invoke(host, fault.creationTimeout));
    SendSpeech(host, speech);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, fault.cause) << m_log.Dump();
    if (*fault.logLine) {
        EXPECT_TRUE(m_log.Has(fault.logLine)) << m_log.Dump();
    }
    if (held) {
        EXPECT_TRUE(m_log.Has("Failed to Create gRPC Stream <ch-1@zeph>")) << m_log.Dump();
        EXPECT_FALSE(m_log.Has("Send Config"));
        ExpectNothingLeft();
        EXPECT_TRUE(ReadRecords(m_recordPath).empty());
        return;
    }
    auto records = WaitRecords(fault.streams);
    ASSERT_EQ(records.size(), fault.streams) << m_log.Dump();
    EXPECT_NE(records[0]->statusCode, -1);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(SimFaults, StreamFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- Close at each stage ------------------------------------------------------------------

class StreamCloseTest : public StreamFixture {
protected:
    void SetUp() override {
        StreamFixture::SetUp();
        m_speech = ZephTest::SynthesizeSpeech("I want a large pizza", 16000);
        ASSERT_FALSE(m_speech.empty());
    }

    // Closes on the processor once `stage` holds, then checks the close was answered after
    // exactly one completion and the sim saw the stream end.
    void CloseWhen(TestHost* host, std::function<bool()> stage) {
        ASSERT_TRUE(WaitUntil(stage)) << m_log.Dump();
        Run([host] { host->Close(); });
        ASSERT_TRUE(WaitUntil([host] { return host->m_closeAnswered; })) << m_log.Dump();
        ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
        EXPECT_EQ(host->m_completions, 1);
        auto records = WaitRecords(1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_NE(records[0]->statusCode, -1);
        ExpectNothingLeft();
    }

    // The sim with `agent`, the engine, and a host with a speech grammar.
    TestHost* StartSpeechHost(const char* agent) {
        StartSim(agent);
        StartEngine();
        TestHost* host = NewHost();
        host->m_speech = SpeechGrammar();
        return host;
    }

    // What the channel's close does with a call in flight: it holds the close back and
    // cancels the call (on the processor).
    static void CloseAsTheChannelDoes(TestHost* host) {
        host->m_pendingClose = true;
        host->m_method->Cancel();
    }

    std::vector<int16_t> m_speech;
};

TEST_F(StreamCloseTest, WhileCreating) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host));
    Run([host] { host->Close(); });
    ASSERT_TRUE(WaitUntil([host] { return host->m_closeAnswered; })) << m_log.Dump();
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_CANCELLED);
    ExpectNothingLeft();
}

// The close comes after gRPC has started the call, while its creation completion still
// waits behind the close on the processor: the completion says ok, but the cancelled call
// will never carry a request, so the recognition must end there and answer the close.
TEST_F(StreamCloseTest, AfterTheCallStartedBeforeItsCreationIsProcessed) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host, 0, [host] {
        // Time for the call to start (not a timing check: a shorter wait only makes the
        // completion fail, which ends the recognition as well).
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        CloseAsTheChannelDoes(host);
    }));
    ASSERT_TRUE(WaitUntil([host] { return host->m_closeAnswered; })) << m_log.Dump();
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    ExpectNothingLeft();
}

// The close comes after the service signalled the end of the utterance, before the query
// result: the read then ends because of the cancel, which is no empty result to skip with
// a new stream; the recognition ends and the close is answered.
TEST_F(StreamCloseTest, AfterTheEndOfUtteranceBeforeTheResult) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host));
    // A second of silence after the speech, for the service to hear the utterance end; no
    // end of speech here: the call stays open.
    std::vector<int16_t> heard = m_speech;
    heard.resize(heard.size() + 16000);
    SendSpeech(host, heard, 3200, false);
    ASSERT_TRUE(WaitUntil([host] { return host->m_endOfUtterance; })) << m_log.Dump();
    Run([host] { CloseAsTheChannelDoes(host); });
    ASSERT_TRUE(WaitUntil([host] { return host->m_closeAnswered; })) << m_log.Dump();
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(std::count(host->m_marks.begin(), host->m_marks.end(), "restart"), 0);
    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0]->cancelled);
    ExpectNothingLeft();
}

// A STOP while the call is being created, after speech began: the creation completes, no
// request was sent, so nothing is in flight; the STOP is answered and the call finished.
TEST_F(StreamCloseTest, StopWhileCreatingAfterSpeechBegan) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host, 0, [host] {
        // Before the creation completes: speech begins, then the STOP comes.
        host->m_speechStarted = true;
        host->m_inputMode = MPF_SDI_MODE_SPEECH;
        host->m_pendingStop = true;
    }));
    ASSERT_TRUE(WaitUntil([host] { return host->m_stopAnswered; })) << m_log.Dump();
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    ExpectNothingLeft();
}

TEST_F(StreamCloseTest, WhileWaitingForInput) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host));
    CloseWhen(host, [host] { return host->m_streamCreated; });
}

TEST_F(StreamCloseTest, WhileStreaming) {
    TestHost* host = StartSpeechHost(R"({"faults": {"delay_answer_ms": 200}})");
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech, 3200, false);  // no end of speech
    CloseWhen(host, [host] { return host->m_bytesSent >= 16000; });
}

TEST_F(StreamCloseTest, WhileHalfClosed) {
    TestHost* host = StartSpeechHost(R"({"faults": {"stall": true}})");
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    CloseWhen(host, [host] {
        return static_cast<StreamingMethod*>(host->m_method.get())->IsInputCompleteSent();
    });
}

TEST_F(StreamCloseTest, WhileFinishing) {
    TestHost* host = StartSpeechHost(R"({})");
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    // The recognition has completed; the finish may still be on its way.
    CloseWhen(host, [host] { return !host->m_active; });
}

TEST_F(StreamCloseTest, ChannelDestroyedWhileStreamingEndsTheCallWithoutIt) {
    TestHost* host = StartSpeechHost(R"({"faults": {"delay_answer_ms": 200}})");
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech, 3200, false);
    ASSERT_TRUE(WaitUntil([host] { return host->m_bytesSent >= 16000; }));
    std::weak_ptr<MethodBase> method = host->m_method;
    // The channel lets go of the method and is gone: whatever completes later must not
    // reach it (the sanitizer would see it).
    Run([&] {
        static_cast<StreamingMethod*>(host->m_method.get())->Detach();
        host->m_method.reset();
        m_hosts.clear();
    });
    ASSERT_TRUE(WaitUntil([&] { return method.expired(); })) << m_log.Dump();
    EXPECT_TRUE(m_log.Has("Cancel Streaming Detect Intent <ch-1@zeph>"));
    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0]->cancelled);
    ExpectNothingLeft();
}

// ---- A client's STOP at each stage ------------------------------------------------------

// STOP as the channel carries it out once the detector has stopped: a pending STOP
// response, the cause cancelled, then the channel's stop handling.
void StopRecognition(TestHost* host) {
    host->m_pendingStop = true;
    host->m_cause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
    host->ProcessStop();
}

class StreamStopTest : public StreamCloseTest {
protected:
    // The STOP was answered once, no RECOGNITION-COMPLETE went out, and nothing is open.
    // A stream that reached the sim was recorded there as cancelled by the client (the
    // cancel reaches it after the plugin's call has ended).
    void ExpectStoppedOnce(TestHost* host, bool reachedTheSim = true) {
        ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
        EXPECT_EQ(host->m_completions, 1);
        EXPECT_TRUE(host->m_stopAnswered);
        EXPECT_EQ(host->m_completeCause, -1);
        EXPECT_TRUE(m_log.Has("Cancel Streaming Detect Intent <ch-1@zeph>")) << m_log.Dump();
        if (reachedTheSim) {
            // Ended by the plugin, not by the sim's answer: the sim sees the cancel, or (the
            // cancel dropping what it had not read yet) a stream without its requests.
            auto records = WaitRecords(1);
            ASSERT_EQ(records.size(), 1u);
            EXPECT_TRUE(records[0]->cancelled || records[0]->statusCode != 0);
        }
        ExpectNothingLeft();
    }
};

// Speech has started and its audio waits for the stream: no request went out, so nothing
// the service does can answer the STOP. It is answered at once and the call is cancelled
// and finished when its creation completes.
TEST_F(StreamStopTest, BeforeTheStreamIsCreatedIsAnsweredAtOnce) {
    TestHost* host = StartSpeechHost(R"({"faults": {"stall": true}})");
    host->m_settings.m_resultTimeout = 0;
    bool created = true;
    // In the event that starts the call, so that its creation cannot have completed.
    ASSERT_TRUE(Invoke(host, 0, [&] {
        host->m_inputMode = MPF_SDI_MODE_SPEECH;
        host->m_speechStarted = true;
        DataChunk chunk = DataChunk::Copy(m_speech.data(), 3200);
        host->m_method->ProcessSpeechInput(chunk, false);
        created = host->m_streamCreated;
        StopRecognition(host);
    }));
    EXPECT_FALSE(created);
    EXPECT_TRUE(host->m_stopAnswered) << m_log.Dump();
    ExpectStoppedOnce(host, false);
    EXPECT_FALSE(m_log.Has("Send Config"));
    for (const auto& record : ReadRecords(m_recordPath))
        EXPECT_TRUE(record->cancelled || record->statusCode == 1);
}

// An event request is out and the service does not answer: the STOP does not wait for it.
TEST_F(StreamStopTest, WhileAnEventRequestWaitsForItsAnswer) {
    StartSim(R"({"faults": {"stall": true}})");
    StartEngine();
    TestHost* host = NewHost();
    host->m_event = EventGrammar("WELCOME", {});
    host->m_settings.m_resultTimeout = 0;
    ASSERT_TRUE(Invoke(host));
    ASSERT_TRUE(WaitUntil([host] {
        return static_cast<StreamingMethod*>(host->m_method.get())->IsInputCompleteSent();
    }));
    Run([host] { StopRecognition(host); });
    ExpectStoppedOnce(host);
}

// The service has signalled the end of the utterance (the half-close is out), but its
// result does not come: the STOP cancels the call rather than wait for the result.
TEST_F(StreamStopTest, AfterEndOfUtteranceWhileHalfClosed) {
    TestHost* host = StartSpeechHost(R"({"faults": {"stall": true}})");
    host->m_settings.m_resultTimeout = 0;
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    ASSERT_TRUE(WaitUntil([host] {
        return static_cast<StreamingMethod*>(host->m_method.get())->IsInputCompleteSent();
    }));
    Run([host] {
        host->SetEndOfUtterance();
        StopRecognition(host);
    });
    ExpectStoppedOnce(host);
}

// While audio streams, the STOP half-closes and cancels; the call ends cancelled.
TEST_F(StreamStopTest, WhileStreaming) {
    TestHost* host = StartSpeechHost(R"({"faults": {"stall": true}})");
    host->m_settings.m_resultTimeout = 0;
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech, 3200, false);
    ASSERT_TRUE(WaitUntil([host] { return host->m_bytesSent >= 16000; }));
    Run([host] { StopRecognition(host); });
    ExpectStoppedOnce(host);
}

// ---- Engine shutdown -------------------------------------------------------------------

// ---- The back-off before a retry ---------------------------------------------------------

// The stream is refused as unavailable and waits for its retry, with no call in flight,
// when the recognition ends: stopped by the client, its channel gone, or the engine shut
// down. It ends once, no further call starts, and no timer is left behind.
class StreamBackOffTest : public StreamStopTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(StreamBackOffTest, EndsTheRecognitionAndStartsNoFurtherCall) {
    const std::string end = GetParam();
    TestHost* host = StartSpeechHost(
        R"({"utterances": [{"transcript": "x", "faults": {"refuse": {"code": "UNAVAILABLE",
            "message": "busy"}}}]})");
    host->m_settings.m_retryBackoff = 10000;
    host->m_settings.m_retryMaxBackoff = 10000;
    host->m_settings.m_retryBudget = 10000;
    std::weak_ptr<MethodBase> method;
    bool ended = false;
    // In the event right after the retry was decided: well inside its back-off.
    m_log.OnLine("Retry gRPC Stream Refused at Start", [&] {
        Post([&] {
            if (end == "stop") {
                StopRecognition(host);
            } else if (end == "destroy") {
                method = host->m_method;
                static_cast<StreamingMethod*>(host->m_method.get())->Detach();
                host->m_method.reset();
            }
            ended = true;
        });
    });
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech, 3200, false);
    ASSERT_TRUE(WaitUntil([&] { return ended; })) << m_log.Dump();
    if (end == "stop") {
        ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
        EXPECT_EQ(host->m_completions, 1);
        EXPECT_TRUE(host->m_stopAnswered);
    } else if (end == "destroy") {
        EXPECT_TRUE(method.expired());
    } else {  // shutdown: the recognition fails at once
        StopEngine([host] { static_cast<StreamingMethod*>(host->m_method.get())->Shutdown(); });
        EXPECT_EQ(host->m_completions, 1);
        EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    if (m_processor) {
        // Timers are stopped through the processor's queue, in order: this event comes after.
        bool noTimer = false;
        Run([&] { noTimer = m_processor->GetTimerQueue().IsEmpty(); });
        EXPECT_TRUE(noTimer);
    }
    EXPECT_EQ(m_log.Count("gRPC Streaming Detect Intent <"), 1) << m_log.Dump();
    EXPECT_EQ(WaitRecords(1).size(), 1u);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Ends, StreamBackOffTest, ::testing::Values("stop", "destroy", "shutdown"));

TEST_F(StreamCloseTest, EngineShutdownWithTwentyRecognitionsInFlight) {
    StartSim(R"({"faults": {"stall": true}})");
    StartEngine();
    std::vector<TestHost*> hosts;
    for (int i = 0; i < 20; ++i) {
        TestHost* host = NewHost("ch-" + std::to_string(i));
        host->m_dialogId = "call-" + std::to_string(i);
        host->m_speech = SpeechGrammar();
        ASSERT_TRUE(Invoke(host));
        // Half of them are streaming, half wait for input.
        if (i % 2 == 0)
            SendSpeech(host, m_speech, 3200, i % 4 == 0);
        hosts.push_back(host);
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (TestHost* host : hosts)
            if (!host->m_streamCreated)
                return false;
        return true;
    }));
    StopEngine([&] {
        for (TestHost* host : hosts)
            static_cast<StreamingMethod*>(host->m_method.get())->Shutdown();
    });
    for (TestHost* host : hosts) {
        EXPECT_EQ(host->m_completions, 1) << host->m_id;
        EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_ERROR) << host->m_id;
    }
    // "Completion Queue Shutdown" comes after every recognition was answered.
    auto lines = m_log.Lines();
    int lastEnded = -1, queueShutdown = -1;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].find("Streaming Detect Intent Ended by Shutdown") != std::string::npos)
            lastEnded = i;
        if (lines[i] == "Completion Queue Shutdown")
            queueShutdown = i;
    }
    EXPECT_GE(lastEnded, 0);
    EXPECT_GT(queueShutdown, lastEnded);
    // The sim saw all twenty streams cancelled by the plugin, before it was stopped.
    auto records = WaitRecords(20);
    EXPECT_EQ(records.size(), 20u);
    for (const auto& record : records)
        EXPECT_TRUE(record->cancelled) << record->session;
    ExpectNothingLeft();
}

}  // namespace
}  // namespace ZephStreamTest
