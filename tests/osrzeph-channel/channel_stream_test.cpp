// The recognizer channel with a live stream: the plugin in the `ostrin` command against
// dialogflow-sim over TLS with the test credentials. STOP, deferred RECOGNIZE and close in
// the middle of a recognition, each request answered exactly once (the host's conformance
// checks fail the run otherwise), and no call left open at the sim.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario_run.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::DropLengths;
using ZephChannelTest::ReadFile;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;
using ZephChannelTest::WriteFile;

std::string Send(const std::string& channel, const std::string& method, int id,
                 const std::string& headers = "", const std::string& uris = "") {
    std::string body = uris.empty() ? "" : "Content-Type: text/uri-list\n\n" + uris + "\n";
    return "send " + channel + " <<END\nMRCP/2.0 0 " + method + " " + std::to_string(id) + "\n" +
           headers + (uris.empty() ? "\n" : body) + "END\n";
}

std::string Message(const std::string& channel, int id, const std::string& startLine,
                    const std::string& headers = "") {
    return "### " + channel + "\nMRCP/2.0 LENGTH " + std::to_string(id) + " " + startLine +
           "\nChannel-Identifier: " + channel + "@speechrecog\n" + headers + "\n";
}

std::string Event(const std::string& channel, const std::string& name, int id,
                  const std::string& state, const std::string& headers = "") {
    return "### " + channel + "\nMRCP/2.0 LENGTH " + name + " " + std::to_string(id) + " " + state +
           "\nChannel-Identifier: " + channel + "@speechrecog\n" + headers + "\n";
}

class ChannelStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        m_audio = m_root.Path() + "/speech.wav";
        std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("I want a large pizza", 8000);
        ASSERT_FALSE(samples.empty()) << "espeak-ng and sox make the test audio";
        ASSERT_TRUE(ZephTest::WriteWavFile(m_audio, samples, 8000));
    }

    // Starts the sim with `agent` (JSON text; empty: the built-in agent) and records every
    // stream.
    bool StartSim(const std::string& agent = "", std::vector<std::string> args = {},
                  const std::string& streamingAttributes = "") {
        args.insert(args.end(), {"--record", m_root.Path() + "/streams.jsonl"});
        if (!agent.empty()) {
            WriteFile(m_root.Path() + "/agent.json", agent);
            args.insert(args.end(), {"--agent", m_root.Path() + "/agent.json"});
        }
        if (!m_sim.Start(args))
            return false;
        m_root.WriteConfig(m_sim.target(), streamingAttributes,
                           "<utterance-manager save-waveforms=\"false\"/>");
        return true;
    }

    RunResult Run(const std::string& scenario) {
        RunResult result = m_root.Run(scenario);
        result.messages = DropLengths(result.messages);
        return result;
    }

    // The sim's record once it has stopped. A stream it still had to end at its shutdown
    // would be recorded with "The service is shutting down."
    std::string Streams() {
        m_sim.Stop();
        return ReadFile(m_root.Path() + "/streams.jsonl");
    }

    // No call was left open at the sim, and the sim (which never answers in these
    // scenarios) ended none by itself: every stream it saw was ended by the plugin's cancel.
    // A stream cancelled early may never have reached it; one cancelled before the sim read
    // its requests may be recorded as ended without them.
    static void ExpectAllCancelled(const std::string& streams) {
        EXPECT_EQ(Count(streams, "shutting down"), 0u) << streams;
        EXPECT_EQ(Count(streams, "\"status\":{\"code\":0,"), 0u) << streams;
    }

    ServerRoot m_root;
    ZephTest::SimProcess m_sim;
    std::string m_audio;
};

// A STOP in the middle of a recognition gets its 200 when the recognition has ended, naming
// the stopped request; a second STOP is answered right after it; no RECOGNITION-COMPLETE.
TEST_F(ChannelStreamTest, EveryStopOfARecognitionIsAnsweredOnce) {
    ASSERT_TRUE(StartSim("{\"faults\": {\"stall\": true}}"));
    RunResult run = Run("channel A\n" + Send("A", "RECOGNIZE", 1, "", "builtin:speech/transcribe") +
                        "wait A response\naudio A speech.wav\nsleep 300\n" + Send("A", "STOP", 2) +
                        Send("A", "STOP", 3) + "wait A response\nwait A response\nclose A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.messages, Message("A", 1, "200 IN-PROGRESS") +
                                Message("A", 2, "200 COMPLETE", "Active-Request-Id-List: 1\n") +
                                Message("A", 3, "200 COMPLETE"))
        << run.log;
    std::string streams = Streams();
    EXPECT_LE(Count(streams, "\"flavour\""), 1u) << streams;
    ExpectAllCancelled(streams);
}

// The stream cannot be created yet (the sim holds the connection) when speech has started
// and the STOP comes: no request went out, so nothing will come back from the service. The
// STOP is answered with no RECOGNITION-COMPLETE, the call is cancelled, and the close after
// it is answered too.
TEST_F(ChannelStreamTest, StopBeforeTheStreamIsCreatedIsAnswered) {
    ASSERT_TRUE(StartSim("", {"--hold-connections", "600000"}));
    RunResult run = Run("channel A\n" + Send("A", "RECOGNIZE", 1, "", "builtin:speech/transcribe") +
                        "wait A response\naudio A speech.wav\nsleep 1000\n" + Send("A", "STOP", 2) +
                        "wait A response\nclose A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.messages, Message("A", 1, "200 IN-PROGRESS") +
                                Message("A", 2, "200 COMPLETE", "Active-Request-Id-List: 1\n"))
        << run.log;
    // Speech had reached the channel, waiting for the stream.
    EXPECT_NE(run.log.find("Input Complete [stopped] size="), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("Input Complete [stopped] size=0 "), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Cancel Streaming Detect Intent <A@zeph>"), std::string::npos);
    EXPECT_EQ(run.log.find("Send Config <A@zeph>"), std::string::npos) << run.log;
    EXPECT_EQ(Count(Streams(), "\"flavour\""), 0u);
}

// The detector has ended the input and the stream waits for a result the service does not
// give: the STOP does not wait for the result (nor for the result timeout); no detector
// event comes for it, the call is cancelled at once.
TEST_F(ChannelStreamTest, StopAfterTheInputEndedCancelsTheCall) {
    ASSERT_TRUE(StartSim("{\"faults\": {\"stall\": true}}"));
    RunResult run = Run("channel A\n" + Send("A", "RECOGNIZE", 1, "", "builtin:speech/transcribe") +
                        "wait A response\naudio A speech.wav\nsleep 6000\n" + Send("A", "STOP", 2) +
                        "wait A response\nclose A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.messages, Message("A", 1, "200 IN-PROGRESS") +
                                Message("A", 2, "200 COMPLETE", "Active-Request-Id-List: 1\n"))
        << run.log;
    // The input had ended before the STOP: the half-close went out.
    size_t done = run.log.find("Send Done Message <A@zeph>");
    EXPECT_NE(done, std::string::npos) << run.log;
    EXPECT_LT(done, run.log.find("Cancel Streaming Detect Intent <A@zeph>")) << run.log;
    ExpectAllCancelled(Streams());
}

// A close while the stream runs is answered once the call has ended; the client's hang-up
// cancels the recognition (011), it is no recognizer error; nothing is left open.
TEST_F(ChannelStreamTest, CloseWhileStreamingEndsTheCall) {
    ASSERT_TRUE(StartSim("{\"faults\": {\"stall\": true}}"));
    RunResult run = Run("channel A\n" + Send("A", "RECOGNIZE", 1, "", "builtin:speech/transcribe") +
                        "wait A response\naudio A speech.wav\nsleep 1000\nclose A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.messages,
              Message("A", 1, "200 IN-PROGRESS") + Event("A", "RECOGNITION-COMPLETE", 1, "COMPLETE",
                                                         "Completion-Cause: 011 cancelled\n"))
        << run.log;
    std::string streams = Streams();
    EXPECT_LE(Count(streams, "\"flavour\""), 1u) << streams;
    ExpectAllCancelled(streams);
}

// The final transcript's confidence decides the cause against the request's
// Confidence-Threshold (a match at the threshold itself); the intent detection confidence
// does not count. Below it the result still goes out, with 001 no-match.
TEST_F(ChannelStreamTest, ConfidenceThresholdDecidesTheCause) {
    ASSERT_TRUE(StartSim(R"({
      "intents": [{"name": "order", "display_name": "Order", "confidence": 0.2}],
      "utterances": [{"transcript": "I want a large pizza", "confidence": 0.8,
                      "intent": "order"}]})"));
    std::string scenario;
    const char* thresholds[] = {"0.9", "0.8", "0.5"};
    for (int i = 0; i < 3; ++i) {
        std::string channel = std::string(1, static_cast<char>('A' + i));
        scenario += "channel " + channel + "\n" +
                    Send(channel, "RECOGNIZE", 1,
                         std::string("Confidence-Threshold: ") + thresholds[i] + "\n",
                         "builtin:speech/transcribe") +
                    "wait " + channel + " response\naudio " + channel + " speech.wav\nwait " +
                    channel + " RECOGNITION-COMPLETE timeout=30000\nclose " + channel + "\n";
    }
    RunResult run = Run(scenario);
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    const std::string body =
        "<?xml version=\"1.0\"?><result><interpretation grammar=\"builtin:speech/transcribe\" "
        "confidence=\"0.8\"><instance><query_text>I want a large pizza</query_text>"
        "<parameters>"
        "</parameters><all_required_params_present>true</all_required_params_present><intent>"
        "<name>projects/zeph-test-project/agent/intents/order</name><display_name>Order"
        "</display_name></intent><intent_detection_confidence>0.2</intent_detection_confidence>"
        "<language_code>en-US</language_code></instance><input mode=\"speech\">I want a large "
        "pizza</input></interpretation></result>";
    std::string expected;
    const char* causes[] = {"001 no-match", "000 success", "000 success"};
    for (int i = 0; i < 3; ++i) {
        std::string channel = std::string(1, static_cast<char>('A' + i));
        expected += Message(channel, 1, "200 IN-PROGRESS") +
                    Event(channel, "START-OF-INPUT", 1, "IN-PROGRESS", "Input-Type: speech\n") +
                    Event(channel, "RECOGNITION-COMPLETE", 1, "COMPLETE",
                          std::string("Completion-Cause: ") + causes[i] +
                              "\nContent-Type: application/x-nlsml\nContent-Length: " +
                              std::to_string(body.size()) + "\n") +
                    body + "\n";
    }
    EXPECT_EQ(run.messages, expected) << run.log;
}

// The Recognition-Timeout cuts the caller off: what was said is still recognized, and the
// cause tells the timeout: 008 when it matched, 015 when it did not (Confidence-Threshold).
// The detector's own start of input starts the timer at the start of speech.
TEST_F(ChannelStreamTest, RecognitionTimeoutGivesTheMaxtimeCauses) {
    ASSERT_TRUE(StartSim(R"({"utterances": [{"transcript": "I want a large pizza",
                                            "confidence": 0.8}]})"));
    std::string scenario;
    for (const char* channel : {"A", "B"}) {
        std::string threshold = *channel == 'A' ? "0.5" : "0.9";
        scenario += std::string("channel ") + channel + "\n" +
                    Send(channel, "RECOGNIZE", 1,
                         "Recognition-Timeout: 600\nConfidence-Threshold: " + threshold + "\n",
                         "builtin:speech/transcribe?start-of-input=internal") +
                    "wait " + channel + " response\naudio " + channel + " speech.wav\nwait " +
                    channel + " RECOGNITION-COMPLETE timeout=30000\nclose " + channel + "\n";
    }
    RunResult run = Run(scenario);
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.log, "Input Complete [timedout]"), 2u) << run.log;
    size_t b = run.messages.find("### B");
    ASSERT_NE(b, std::string::npos) << run.messages;
    EXPECT_NE(run.messages.substr(0, b).find("Completion-Cause: 008 success-maxtime\n"),
              std::string::npos)
        << run.messages;
    EXPECT_NE(run.messages.find("Completion-Cause: 015 no-match-maxtime\n", b), std::string::npos)
        << run.messages;
    // The answer came for the audio up to the timeout.
    EXPECT_EQ(Count(run.messages, "<query_text>I want a large pizza</query_text>"), 2u)
        << run.messages;
}

// A grammar's x-goog-user-project is billed for its own recognition only: the next one on
// the channel, with a grammar that names none, sends none.
TEST_F(ChannelStreamTest, AGrammarsUserProjectIsForItsRecognitionOnly) {
    ASSERT_TRUE(StartSim());
    std::string scenario = "channel A\n";
    const char* grammars[] = {"builtin:speech/transcribe?x-goog-user-project=billing",
                              "builtin:speech/transcribe"};
    for (int id = 1; id <= 2; ++id)
        scenario += Send("A", "RECOGNIZE", id, "", grammars[id - 1]) +
                    "wait A response\naudio A speech.wav\n"
                    "wait A RECOGNITION-COMPLETE timeout=30000\n";
    RunResult run = Run(scenario + "close A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    std::string streams = Streams();
    EXPECT_EQ(Count(streams, "\"user_project\":\"billing\""), 1u) << streams;
    EXPECT_EQ(Count(streams, "\"user_project\":\"\""), 1u) << streams;
    EXPECT_LT(streams.find("billing"), streams.find("\"user_project\":\"\"")) << streams;
}

// Vendor-Specific-Parameters projectid and dialogid name the session, a value between
// double quotes without them; the sim's record shows the session path the stream used.
TEST_F(ChannelStreamTest, VendorProjectAndDialogIdsNameTheSession) {
    // The service account may use both projects (the service refuses a project it may not).
    ASSERT_TRUE(StartSim(R"({
      "intents": [{"name": "default-welcome", "display_name": "Default Welcome Intent",
                   "action": "input.welcome", "fulfillment_text": "Hi! How can I help?"}],
      "utterances": [{"transcript": "hello world", "intent": "default-welcome"}],
      "projects": {"zeph-test@zeph-test-project.iam.gserviceaccount.com":
                   ["other-project", "plain"]}})"));
    RunResult run = Run(
        "channel A\n" +
        Send("A", "RECOGNIZE", 1,
             "Vendor-Specific-Parameters: projectid=\"other-project\";dialogid=\"call-42\"\n",
             "builtin:speech/transcribe") +
        "wait A response\naudio A speech.wav\nwait A RECOGNITION-COMPLETE timeout=30000\n" +
        "channel B\n" +
        Send("B", "RECOGNIZE", 1, "Vendor-Specific-Parameters: projectid=plain;dialogid=call-7\n",
             "builtin:speech/transcribe") +
        "wait B response\naudio B speech.wav\nwait B RECOGNITION-COMPLETE timeout=30000\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    // The service answers in the project the session names.
    auto body = [](const std::string& project) {
        return "<?xml version=\"1.0\"?><result><interpretation "
               "grammar=\"builtin:speech/transcribe\" confidence=\"0.9\"><instance><query_text>"
               "hello world</query_text><action>input.welcome</action><parameters>"
               "</parameters><all_required_params_present>true</all_required_params_present>"
               "<fulfillment_text>Hi! How can I help?</fulfillment_text><fulfillment_messages>"
               "<text><text>Hi! How can I help?</text></text></fulfillment_messages><intent>"
               "<name>projects/" +
               project +
               "/agent/intents/default-welcome</name><display_name>Default Welcome Intent"
               "</display_name></intent><intent_detection_confidence>1"
               "</intent_detection_confidence><language_code>en-US</language_code></instance>"
               "<input mode=\"speech\">hello world</input></interpretation></result>";
    };
    std::string expected;
    for (const char* channel : {"A", "B"}) {
        std::string text = body(*channel == 'A' ? "other-project" : "plain");
        expected += Message(channel, 1, "200 IN-PROGRESS") +
                    Event(channel, "START-OF-INPUT", 1, "IN-PROGRESS", "Input-Type: speech\n") +
                    Event(channel, "RECOGNITION-COMPLETE", 1, "COMPLETE",
                          "Completion-Cause: 000 success\nContent-Type: "
                          "application/x-nlsml\nContent-Length: " +
                              std::to_string(text.size()) + "\n") +
                    text + "\n";
    }
    EXPECT_EQ(run.messages, expected) << run.log;
    std::string streams = Streams();
    EXPECT_EQ(Count(streams,
                    "\"flavour\":\"v2\",\"session\":\"projects/other-project/agent/"
                    "sessions/call-42\""),
              1u)
        << streams;
    EXPECT_EQ(Count(streams,
                    "\"flavour\":\"v2\",\"session\":\"projects/plain/agent/sessions/"
                    "call-7\""),
              1u)
        << streams;
    EXPECT_EQ(Count(streams, "\\\""), 0u) << "a quote reached the service: " << streams;
}

// Twenty channels feed audio while requests, STOPs and closes arrive: every request is
// answered once and every call ends (run under ThreadSanitizer too).
TEST_F(ChannelStreamTest, TwentyChannelsWithAudioStopsAndCloses) {
    // The service hears everything and answers nothing: the recognitions that are neither
    // stopped nor closed end by the result guard once their input has ended.
    ASSERT_TRUE(StartSim("{\"faults\": {\"stall\": true}}", {}, "result-timeout=\"2000\""));
    std::string scenario;
    const int kChannels = 20;
    auto name = [](int i) { return "C" + std::to_string(i); };
    for (int i = 0; i < kChannels; ++i)
        scenario += "channel " + name(i) + "\n";
    for (int i = 0; i < kChannels; ++i)
        scenario += Send(name(i), "RECOGNIZE", 1, "", "builtin:speech/transcribe");
    for (int i = 0; i < kChannels; ++i)
        scenario += "wait " + name(i) + " response\naudio " + name(i) + " speech.wav\n";
    scenario += "sleep 200\n";
    for (int i = 0; i < kChannels; ++i) {
        if (i % 4 == 0)
            scenario += Send(name(i), "STOP", 2) + "wait " + name(i) + " response\n";
        else if (i % 4 == 1)
            scenario += "close " + name(i) + "\n";
        else if (i % 4 == 2)
            scenario += Send(name(i), "START-INPUT-TIMERS", 2) + "wait " + name(i) + " response\n";
    }
    for (int i = 0; i < kChannels; ++i) {
        if (i % 4 >= 2)
            scenario += "wait " + name(i) + " RECOGNITION-COMPLETE timeout=30000\n";
    }
    RunResult run = Run(scenario);
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.log.find("ThreadSanitizer"), std::string::npos) << run.log;
    // Closed channels end their recognition too; stopped ones only with the STOP response.
    EXPECT_EQ(Count(run.messages, "RECOGNITION-COMPLETE"), 15u) << run.messages;
    EXPECT_EQ(Count(run.log, "No Result within Result Timeout [2000 ms]: Cancel Stream"), 10u)
        << run.log;
    // A call stopped or closed early may never have reached the sim (as under
    // ThreadSanitizer); those that ran to their end did, and none was left open.
    std::string streams = Streams();
    ExpectAllCancelled(streams);
    EXPECT_LE(Count(streams, "\"flavour\""), static_cast<size_t>(kChannels)) << streams;
    for (int i = 2; i < kChannels; i += 4) {
        for (int j = i; j < i + 2; ++j)
            EXPECT_EQ(
                Count(
                    streams,
                    "\"flavour\":\"v2\",\"session\":\"projects/zeph-test-project/agent/sessions/" +
                        name(j) + "\""),
                1u)
                << name(j) << streams;
    }
}

}  // namespace
