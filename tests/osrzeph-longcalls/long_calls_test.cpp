// Long calls end to end: the plugin in `ostrin run --strict` against dialogflow-sim over
// TLS. A stream the service refuses at its start as unavailable is started again with every
// byte of audio and the turn succeeds; a refusal for lack of permission is not retried; a
// session id too long for the service reaches it as its 36-character UUID; every
// recognition leaves its timeline in its record and its timings in the usage file. Against
// the service's audio cap (scaled down from minutes to 4 s, in the sim and the plugin
// alike, so that no test runs for minutes): silence longer than the cap is carried by fresh
// streams until the caller speaks, and speech longer than it is cut before it with a
// maxtime cause.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "scenario_run.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::ReadFile;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;
using ZephChannelTest::WriteFile;

// Per session: the first stream is refused with the given status, the second hears the
// pizza order.
const char kAgent[] = R"({"sessions": {
  "refused-once": [{"faults": {"refuse": {"code": "UNAVAILABLE", "message": "Try again."}}},
                   {"end_of_utterance": "half-close", "transcript": "I want a large pizza"}],
  "denied": [{"faults": {"refuse": {"code": "PERMISSION_DENIED", "message": "No access."}}},
             {"end_of_utterance": "half-close", "transcript": "I want a large pizza"}],
  "quiet-start": [{"transcript": "I want a large pizza"}],
  "long-talk": [{"end_of_utterance": "never", "transcript": "I want a large pizza",
                 "intent": "order"}]},
  "intents": [{"name": "order", "confidence": 0.6}]})";

// The audio cap of every flavour in the sim and the plugin, and the plugin's margin.
const char kCapMs[] = "4000";
const char kCapAttributes[] =
    "stream-audio-cap-es=\"4000\" stream-audio-cap-cx=\"4000\" stream-audio-cap-margin=\"1000\"";

class LongCallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("I want a large pizza", 8000);
        ASSERT_FALSE(samples.empty()) << "espeak-ng and sox make the test audio";
        ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/speech.wav", samples, 8000));
        WriteFile(m_root.Path() + "/agent.json", kAgent);
        std::vector<std::string> simArgs = {"--record", m_root.Path() + "/streams.jsonl", "--agent",
                                            m_root.Path() + "/agent.json"};
        if (m_capped)
            simArgs.insert(simArgs.end(), {"--max-audio-ms", kCapMs});
        ASSERT_TRUE(m_sim.Start(simArgs));
        m_root.WriteConfig(m_sim.target(), m_capped ? kCapAttributes : "",
                           "<rdr-manager save-records=\"true\" record-folder=\"records\"/>\n"
                           "<monitoring-agent><usage-change-handler><update-usage "
                           "enable=\"true\" status-file=\"usage.txt\"/></usage-change-handler>"
                           "</monitoring-agent>");
    }

    // On one channel, one RECOGNIZE per session id, each with `before` (scenario lines),
    // `audio` and two seconds of silence, up to its RECOGNITION-COMPLETE.
    RunResult Recognize(const std::vector<std::string>& sessions, const std::string& headers = "",
                        const std::string& before = "", const std::string& audio = "speech.wav") {
        std::string scenario = "channel A\n";
        int id = 1;
        for (const std::string& session : sessions) {
            scenario += "send A <<END\nMRCP/2.0 0 RECOGNIZE " + std::to_string(id++) + "\n" +
                        headers + "Vendor-Specific-Parameters: dialogid=" + session +
                        "\nContent-Type: text/uri-list\n\nbuiltin:speech/transcribe\nEND\n"
                        "wait A response\n" +
                        before + "audio A " + audio +
                        "\nsilence A 2000\n"
                        "wait A RECOGNITION-COMPLETE timeout=30000\n";
        }
        return m_root.Run(scenario + "close A\n");
    }

    // The sim's streams, one JSON object each, once the sim has stopped.
    std::vector<rapidjson::Document> Streams() {
        m_sim.Stop();
        std::istringstream lines(ReadFile(m_root.Path() + "/streams.jsonl"));
        std::vector<rapidjson::Document> streams;
        for (std::string line; std::getline(lines, line);) {
            streams.emplace_back();
            streams.back().Parse(line.c_str());
            EXPECT_FALSE(streams.back().HasParseError()) << line;
        }
        return streams;
    }

    // The recognition's record (the first RECOGNIZE's), its members parsed.
    bool Record(rapidjson::Document& record) {
        std::string path;
        for (const auto& entry :
             std::filesystem::directory_iterator(m_root.Path() + "/var/records"))
            if (entry.path().filename().string().find("-1.json") != std::string::npos)
                path = entry.path().string();
        std::string text = ReadFile(path);
        record.Parse(text.c_str());
        EXPECT_FALSE(record.HasParseError()) << text;
        return !record.HasParseError() && record.IsObject() &&
               record.HasMember("recog-details-record");
    }

    // A turn of speech that got its result: every moment of its timeline, as numbers of ms up
    // to the completion, its timing line, and the engine's percentiles in the usage file.
    void ExpectTurnTimed(const rapidjson::Value& record, const std::string& log) {
        ASSERT_TRUE(record.HasMember("stream-retries") && record["stream-retries"].IsInt());
        ASSERT_TRUE(record.HasMember("timeline") && record["timeline"].IsObject());
        const rapidjson::Value& timeline = record["timeline"];
        for (const char* moment :
             {"stream-created", "first-audio-sent", "start-of-speech", "first-interim-result",
              "end-of-speech", "half-close", "final-result", "completion-sent"}) {
            ASSERT_TRUE(timeline.HasMember(moment) && timeline[moment].IsInt64()) << moment;
            EXPECT_GE(timeline[moment].GetInt64(), 0) << moment;
            EXPECT_LE(timeline[moment].GetInt64(), timeline["completion-sent"].GetInt64())
                << moment;
        }
        EXPECT_LE(timeline["half-close"].GetInt64(), timeline["final-result"].GetInt64());
        EXPECT_NE(log.find("Turn Timing: first-interim ["), std::string::npos) << log;
        std::string usage = ReadFile(m_root.Path() + "/var/status/usage.txt");
        for (const char* figure :
             {"\ntime to first interim p50: ", "\nend of speech to result p50: ",
              "\nresult to completion p50: "})
            EXPECT_EQ(Count(usage, figure), 1u) << usage;
    }

    static int StatusCode(const rapidjson::Value& stream) {
        return stream["status"]["code"].GetInt();
    }

    // Printed for the reader (not checked): ms from the end of stream `i` at the sim to the
    // start of the next one, the caller's wait while the plugin replaces it.
    static void PrintGap(const char* what, const std::vector<rapidjson::Document>& streams,
                         size_t i) {
        const rapidjson::Value& ended = streams[i];
        std::cout << what << " gap: "
                  << streams[i + 1]["start_ms"].GetInt64() - ended["start_ms"].GetInt64() -
                         ended["duration_ms"].GetInt64()
                  << " ms\n";
    }

    ServerRoot m_root;
    ZephTest::SimProcess m_sim;
    // The sim and the plugin with the audio cap scaled down.
    bool m_capped = false;
};

class AudioCapTest : public LongCallsTest {
protected:
    void SetUp() override {
        m_capped = true;
        LongCallsTest::SetUp();
    }
};

// The first stream is refused as unavailable after its first request; a second one carries
// the first request and every byte of audio again, and the turn succeeds. The retry is
// logged and counted; the record holds the turn's timeline, and the usage file the
// engine's timings.
TEST_F(LongCallsTest, StreamRefusedAsUnavailableIsRetriedWithAllItsAudio) {
    RunResult run = Recognize({"refused-once"});
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 000 success"), std::string::npos)
        << run.messages;
    EXPECT_EQ(Count(run.log, "Retry gRPC Stream Refused at Start: attempt [2]"), 1u) << run.log;

    rapidjson::Document document;
    ASSERT_TRUE(Record(document));
    const rapidjson::Value& record = document["recog-details-record"];
    ExpectTurnTimed(record, run.log);
    EXPECT_EQ(record["stream-retries"].GetInt(), 1);

    std::vector<rapidjson::Document> streams = Streams();
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(StatusCode(streams[0]), 14);  // UNAVAILABLE
    EXPECT_EQ(StatusCode(streams[1]), 0);
    EXPECT_EQ(streams[1]["first_request"], streams[0]["first_request"]);
    PrintGap("retry", streams, 0);
    EXPECT_EQ(record["gRPC"]["sent"].GetUint64(), streams[1]["audio_bytes"].GetUint64()) << run.log;
}

// A refusal for lack of permission is final: one stream, error at once, nothing retried.
TEST_F(LongCallsTest, StreamRefusedForPermissionIsNotRetried) {
    RunResult run = Recognize({"denied"});
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 006 recognizer-error"), std::string::npos)
        << run.messages;
    EXPECT_EQ(Count(run.log, "Retry gRPC Stream"), 0u) << run.log;
    rapidjson::Document document;
    ASSERT_TRUE(Record(document));
    EXPECT_EQ(document["recog-details-record"]["stream-retries"].GetInt(), 0);
    std::vector<rapidjson::Document> streams = Streams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(StatusCode(streams[0]), 7);  // PERMISSION_DENIED
}

// A session id of 53 characters reaches the service as its UUID, the same in both turns,
// and the mapping is logged once. Each turn is timed.
TEST_F(LongCallsTest, LongSessionIdReachesTheServiceAsItsUuid) {
    const std::string id = "sip-call-0123456789abcdef0123456789abcdef@pbx.example";
    RunResult run = Recognize({id, id});
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 2u) << run.messages;
    EXPECT_EQ(Count(run.log, "Map Session ID [" + id +
                                 "] of More than 36 Characters to "
                                 "[6c04f34d-6399-5d08-980c-74ce3965b874]"),
              1u)
        << run.log;
    rapidjson::Document document;
    ASSERT_TRUE(Record(document));
    ExpectTurnTimed(document["recog-details-record"], run.log);
    EXPECT_EQ(Count(run.log, "Turn Timing: "), 2u);
    std::vector<rapidjson::Document> streams = Streams();
    ASSERT_EQ(streams.size(), 2u);
    for (const rapidjson::Document& stream : streams)
        EXPECT_STREQ(stream["session"].GetString(),
                     "projects/zeph-test-project/agent/sessions/"
                     "6c04f34d-6399-5d08-980c-74ce3965b874");
}

// Nine seconds of silence, more than twice the cap, then speech: each stream that carried
// nothing is cancelled before the cap and followed by a fresh one, the last carries the
// whole utterance, and the turn succeeds as if nothing had happened.
TEST_F(AudioCapTest, SilenceLongerThanTheCapIsCarriedByFreshStreams) {
    RunResult run = Recognize({"quiet-start"}, "No-Input-Timeout: 200000\n", "silence A 9000\n");
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 000 success"), std::string::npos)
        << run.messages;
    EXPECT_NE(run.messages.find("I want a large pizza"), std::string::npos) << run.messages;
    rapidjson::Document document;
    ASSERT_TRUE(Record(document));
    const uint64_t sent = document["recog-details-record"]["gRPC"]["sent"].GetUint64();

    std::vector<rapidjson::Document> streams = Streams();
    ASSERT_GE(streams.size(), 3u) << run.log;
    EXPECT_EQ(Count(run.log, "Replace Idle gRPC Stream"), streams.size() - 1) << run.log;
    for (size_t i = 0; i + 1 < streams.size(); ++i) {
        EXPECT_EQ(StatusCode(streams[i]), 1) << i;  // CANCELLED by the plugin
        EXPECT_TRUE(streams[i]["cancelled"].GetBool()) << i;
        EXPECT_EQ(streams[i]["audio_bytes"].GetUint64(), 0u) << i;
        PrintGap("replacement", streams, i);
    }
    const rapidjson::Value& last = streams.back();
    EXPECT_EQ(StatusCode(last), 0);
    EXPECT_EQ(last["audio_bytes"].GetUint64(), sent);
}

// Speech longer than the cap: the input ends before the cap, the service answers what it
// heard, and the cause says that the input was cut: 008 for a match, 015 for a result under
// the confidence threshold. The stream ends normally, not with OUT_OF_RANGE.
TEST_F(AudioCapTest, SpeechLongerThanTheCapEndsBeforeItWithAMaxtimeCause) {
    std::vector<int16_t> samples = ZephTest::SynthesizeSpeech(
        "I want a large pizza with ham and mushrooms and olives and peppers and onions and "
        "extra cheese and a large bottle of cola and some garlic bread",
        8000);
    ASSERT_GT(samples.size(), 8000u * 5) << "longer than the cap";
    ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/long.wav", samples, 8000));
    const struct {
        const char* threshold;
        const char* cause;
    } cases[] = {{"0.3", "Completion-Cause: 008 success-maxtime"},
                 {"0.95", "Completion-Cause: 015 no-match-maxtime"}};
    for (const auto& c : cases) {
        RunResult run =
            Recognize({"long-talk"}, std::string("Confidence-Threshold: ") + c.threshold + "\n", "",
                      "long.wav");
        ASSERT_EQ(run.status, 0) << run.messages << run.log;
        EXPECT_NE(run.messages.find(c.cause), std::string::npos) << run.messages;
        EXPECT_EQ(Count(run.log, "Speech Reaches the Audio Cap"), 1u) << run.log;
    }
    std::vector<rapidjson::Document> streams = Streams();
    ASSERT_EQ(streams.size(), 2u);
    for (const rapidjson::Document& stream : streams) {
        EXPECT_EQ(StatusCode(stream), 0);
        EXPECT_TRUE(stream["half_close"].GetBool());
        EXPECT_LT(stream["audio_bytes"].GetUint64(), 4u * 16000);  // under the cap
    }
}

}  // namespace
