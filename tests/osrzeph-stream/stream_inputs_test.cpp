// The v2 streaming method when a recognition's inputs and endings cross: a restart met by a
// close or STOP, a restart whose new stream cannot start, audio that comes with a DTMF or
// event first request, a key pressed during an event recognition, a result timeout after
// the result, audio after the finish. Each recognition ends once, with the result it got,
// and nothing stays open at the sim.
#include <algorithm>

#include "stream_harness.h"

namespace ZephStreamTest {
namespace {

// The first stream hears the end of the utterance with an empty transcript and is then
// aborted: an empty final result, which "skip-empty-results" answers with a new stream.
// The new stream would hear a real utterance.
const char* const kEmptyThenPizza = R"({
  "utterances": [
    {"end_of_utterance": 3200, "transcript": "", "faults": {"abort_after_bytes": 6400}},
    {"transcript": "I want a large pizza"}
  ]
})";

// A host that runs `m_onRestart` as an event of its own once the method asks for a new
// stream: it lands while the skipped stream half-closes and finishes.
class RestartHost : public TestHost {
public:
    using TestHost::TestHost;
    void SetStreamRestart(bool restart) override {
        TestHost::SetStreamRestart(restart);
        if (!restart || !m_onRestart)
            return;
        auto* event = new FunctionEvent(std::move(m_onRestart));
        m_onRestart = nullptr;
        event->Ref();
        m_processor->PostEvent(event);
    }
    std::function<void()> m_onRestart;
};

// The v2 method whose streams after the first cannot be started.
class NoSecondStreamMethod : public Zeph::APIV2::StreamingDetectIntentMethod {
public:
    using Zeph::APIV2::StreamingDetectIntentMethod::StreamingDetectIntentMethod;
    bool CreateContext() override {
        return m_streams++ == 0 && Zeph::APIV2::StreamingDetectIntentMethod::CreateContext();
    }

private:
    int m_streams = 0;
};

class StreamInputsTest : public StreamFixture {
protected:
    RestartHost* NewRestartHost() {
        m_hosts.push_back(std::make_unique<RestartHost>(m_processor, "ch-1"));
        auto* host = static_cast<RestartHost*>(m_hosts.back().get());
        host->m_speech = SpeechGrammar();
        return host;
    }

    // Two blocks of audio, the second reaching the abort; the input stays open.
    void SendUntilTheAbort(TestHost* host) { SendSpeech(host, m_twoBlocks, 3200, false); }

    static StreamingMethod* Method(TestHost* host) {
        return static_cast<StreamingMethod*>(host->m_method.get());
    }

    static int Restarts(TestHost* host) {
        return static_cast<int>(std::count(host->m_marks.begin(), host->m_marks.end(), "restart"));
    }

    std::vector<int16_t> m_twoBlocks = std::vector<int16_t>(3200);  // outlives the events
};

// ---- A restart against the recognition's end ---------------------------------------------

struct RestartEnd {
    const char* name;
    void (*end)(TestHost* host);
};

const RestartEnd kRestartEnds[] = {
    // What the channel's close does with a call in flight.
    {"close",
     [](TestHost* host) {
         host->m_pendingClose = true;
         host->m_method->Cancel();
     }},
    // A client's STOP as the channel carries it out.
    {"stop",
     [](TestHost* host) {
         host->m_pendingStop = true;
         host->m_cause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
         host->ProcessStop();
     }},
};

class StreamRestartEndTest : public StreamInputsTest,
                             public ::testing::WithParamInterface<RestartEnd> {};

// The close or STOP comes while the skipped stream half-closes and finishes: the
// recognition is over, so no new stream starts; it ends cancelled and is answered.
TEST_P(StreamRestartEndTest, NeverStartsANewStream) {
    StartSim(kEmptyThenPizza);
    StartEngine();
    RestartHost* host = NewRestartHost();
    const RestartEnd ending = GetParam();
    host->m_onRestart = [host, ending] { ending.end(host); };
    ASSERT_TRUE(Invoke(host));
    SendUntilTheAbort(host);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_TRUE(m_log.Has("Skip Empty Result <ch-1@zeph>")) << m_log.Dump();
    EXPECT_EQ(Restarts(host), 0);
    EXPECT_EQ(host->m_completions, 1);
    if (host->m_pendingStop) {
        EXPECT_TRUE(host->m_stopAnswered);
    } else {
        EXPECT_TRUE(host->m_closeAnswered);
        EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_CANCELLED);
    }
    EXPECT_EQ(WaitRecords(1).size(), 1u);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Ends, StreamRestartEndTest, ::testing::ValuesIn(kRestartEnds),
                         [](const ::testing::TestParamInfo<RestartEnd>& info) {
                             return std::string(info.param.name);
                         });

// The new stream cannot be started: the recognition ends with an error, not in silence.
TEST_F(StreamInputsTest, ARestartThatCannotStartEndsWithAnError) {
    StartSim(kEmptyThenPizza);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    auto stub = google::cloud::dialogflow::v2::Sessions::NewStub(m_grpcChannel);
    bool invoked = false;
    Run([&] {
        host->m_method = std::make_shared<NoSecondStreamMethod>(
            nullptr, host, stub.get(), m_task->GetCompletionQueue(), m_processor, 0);
        invoked = host->m_method->Validate() && host->m_method->Invoke();
    });
    ASSERT_TRUE(invoked);
    SendUntilTheAbort(host);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    ExpectNothingLeft();
}

// ---- One kind of input per stream --------------------------------------------------------

struct MixedInput {
    const char* name;
    bool eventGrammar;
    // Runs in the event that starts the call: before its creation completes.
    void (*beforeTheStream)(TestHost* host);
};

// Speech is detected and its first block queued.
void SpeechBegins(TestHost* host) {
    host->m_inputMode = MPF_SDI_MODE_SPEECH;
    host->m_speechStarted = true;
    std::vector<int16_t> block(1600);
    DataChunk chunk = DataChunk::Copy(block.data(), block.size() * 2);
    host->m_method->ProcessSpeechInput(chunk, false);
}

const MixedInput kMixedInputs[] = {
    {"speech_during_an_event_request", true, SpeechBegins},
    {"speech_then_digits", false,
     [](TestHost* host) {
         SpeechBegins(host);
         host->m_inputMode = MPF_SDI_MODE_DTMF;
         host->m_inputText = "1234#";
         host->CompleteInput();
         host->m_method->ProcessDtmfInput("1234#", true);
     }},
    // A key is pressed during the event recognition: the event has the answer.
    {"key_during_an_event_request", true,
     [](TestHost* host) { host->m_inputMode = MPF_SDI_MODE_DTMF; }},
};

class StreamMixedInputTest : public StreamInputsTest,
                             public ::testing::WithParamInterface<MixedInput> {};

// The first request decides the stream's input: no audio follows a text or event query
// (the service would end the stream with INVALID_ARGUMENT), and the answer is taken once.
TEST_P(StreamMixedInputTest, TheFirstRequestDecidesTheStreamsInput) {
    const MixedInput& input = GetParam();
    StartSim(R"({"intents": [{"name": "order", "texts": ["1234#"], "events": ["ORDER"]}]})");
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    host->m_dtmf = DtmfGrammar(nullptr);
    if (input.eventGrammar)
        host->m_event = EventGrammar("ORDER", {});
    ASSERT_TRUE(Invoke(host, 0, [&] { input.beforeTheStream(host); }));
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS) << m_log.Dump();
    EXPECT_EQ(Restarts(host), 0);
    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->statusCode, 0);
    EXPECT_EQ(records[0]->audioRequests, 0);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Inputs, StreamMixedInputTest, ::testing::ValuesIn(kMixedInputs),
                         [](const ::testing::TestParamInfo<MixedInput>& info) {
                             return std::string(info.param.name);
                         });

// ---- Endings that cross the result -------------------------------------------------------

// A host that holds the processor right after the query result was stored, longer than
// the result timeout: the timer fires between the result and the end of the stream.
class SlowAfterResultHost : public TestHost {
public:
    using TestHost::TestHost;
    void SetQueryResultText(const std::string& json) override {
        TestHost::SetQueryResultText(json);
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * m_settings.m_resultTimeout));
    }
};

TEST_F(StreamInputsTest, AResultTimeoutAfterTheResultKeepsTheResult) {
    // The answer comes after the half-close has started the result timer.
    StartSim(R"({"faults": {"delay_answer_ms": 300}})");
    StartEngine();
    m_hosts.push_back(std::make_unique<SlowAfterResultHost>(m_processor, "ch-1"));
    TestHost* host = m_hosts.back().get();
    host->m_event = EventGrammar("WELCOME", {});
    // Long enough for the answer to come first; the event ends with the half-close.
    host->m_settings.m_resultTimeout = 1000;
    ASSERT_TRUE(Invoke(host));
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS) << m_log.Dump();
    EXPECT_FALSE(host->m_body.empty());
    ExpectNothingLeft();
}

// A host that hands the method one more block of audio in the event that completed the
// recognition, as a block already on its way does.
class LateAudioHost : public TestHost {
public:
    using TestHost::TestHost;
    bool CompleteRecognition(int cause, const std::string& contentType,
                             const std::string& body) override {
        if (!TestHost::CompleteRecognition(cause, contentType, body))
            return false;
        std::vector<int16_t> block(1600);
        DataChunk chunk = DataChunk::Copy(block.data(), block.size() * 2);
        m_method->ProcessSpeechInput(chunk, false);
        chunk.Free();
        return true;
    }
};

// The recognition ends on an aborted stream while audio still comes: the finish has
// started, and nothing is written after it.
TEST_F(StreamInputsTest, NoAudioIsWrittenAfterTheFinishStarted) {
    StartSim(R"({"faults": {"abort_after_bytes": 6400}})");
    StartEngine();
    m_hosts.push_back(std::make_unique<LateAudioHost>(m_processor, "ch-1"));
    TestHost* host = m_hosts.back().get();
    host->m_speech = SpeechGrammar();
    ASSERT_TRUE(Invoke(host));
    SendUntilTheAbort(host);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    auto lines = m_log.Lines();
    auto finish = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("Finish Streaming") != std::string::npos;
    });
    ASSERT_NE(finish, lines.end()) << m_log.Dump();
    EXPECT_EQ(std::count_if(finish, lines.end(),
                            [](const std::string& line) { return line.rfind("Send [", 0) == 0; }),
              0)
        << m_log.Dump();
    ExpectNothingLeft();
}

}  // namespace
}  // namespace ZephStreamTest
