// `ostrin recognize` against the Zeph plugin and dialogflow-sim over TLS on loopback: one
// result per WAV file, in order, in one dialog session, and the exit status that tells
// whether every file was recognized.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../common/sim_process.h"
#include "../common/test_audio.h"
#include "../osrzeph-channel/scenario_run.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::ReadFile;
using ZephChannelTest::ServerRoot;
using ZephChannelTest::WriteFile;

// The agent's script for the session "rehearsal": an order, then a confirmation, then an
// answer it does not understand. In the session "early" the order has an interim transcript
// after half a second of its audio.
const char* const kAgent = R"({
  "intents": [
    {"name": "order-pizza", "display_name": "Order Pizza", "action": "pizza.order",
     "parameters": {"size": "large", "topping": "mushrooms"}, "confidence": 0.92},
    {"name": "confirm", "display_name": "Confirm Order", "action": "order.confirm",
     "parameters": {"confirmed": true}, "confidence": 0.97}],
  "sessions": {"rehearsal": [
    {"transcript": "a large pizza with mushrooms", "confidence": 0.91, "intent": "order-pizza"},
    {"transcript": "yes please", "confidence": 0.95, "intent": "confirm"},
    {"transcript": "mumble", "confidence": 0.2}],
   "early": [
    {"interim": [{"at_bytes": 8000, "transcript": "a large"}], "transcript": "a large",
     "intent": "order-pizza"},
    {"transcript": "yes please", "intent": "confirm"}]}})";

struct CommandResult {
    int status = -1;
    std::string out;  // stdout: the results
    std::string log;  // stderr: the host log and errors
};

class OstrinRecognize : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        ASSERT_TRUE(Speak("a large pizza with mushrooms", "order.wav"));
        ASSERT_TRUE(Speak("yes please", "yes.wav"));
        WriteFile(m_root.Path() + "/agent.json", kAgent);
        ZephTest::UseTestCredentials();
        ASSERT_TRUE(m_sim.Start({"--agent", m_root.Path() + "/agent.json", "--record",
                                 m_root.Path() + "/streams.jsonl"}));
        m_root.WriteConfig(m_sim.target(), "agent=\"pizza\"",
                           "<results indent=\"2\"/>"
                           "<utterance-manager save-waveforms=\"true\" waveform-folder=\"utt\"/>");
    }

    bool Speak(const std::string& text, const std::string& name) {
        return ZephTest::WriteWavFile(m_root.Path() + "/" + name,
                                      ZephTest::SynthesizeSpeech(text, 8000), 8000);
    }

    CommandResult Recognize(const std::string& options, const std::vector<std::string>& files) {
        std::string command = std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" ") +
                              ZEPH_BIN_DIR + "/ostrin recognize --plugin " + ZEPH_LIB_DIR +
                              "/osrzeph.so --root " + m_root.Path() + " --strict " + options;
        for (const std::string& file : files)
            command += " " + m_root.Path() + "/" + file;
        command += " 2>" + m_root.Path() + "/stderr.txt";
        CommandResult result;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return result;
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            result.out.append(buffer, count);
        int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.log = ReadFile(m_root.Path() + "/stderr.txt");
        return result;
    }

    // Every stream the sim saw ended before it was stopped: none was left open.
    void ExpectNoStreamLeftOpen(size_t streams) {
        m_sim.Stop();
        std::string record = ReadFile(m_root.Path() + "/streams.jsonl");
        EXPECT_EQ(Count(record, "\"flavour\""), streams) << record;
        EXPECT_EQ(record.find("shutting down"), std::string::npos) << record;
    }

    ServerRoot m_root;
    ZephTest::SimProcess m_sim;
};

// Two files, two turns of one session: two results in file order, each an NLSML document
// with the intent and its parameters, and exit status 0. The second is recorded as a phone
// system does, A-law at 8000 Hz, and decoded by the command.
TEST_F(OstrinRecognize, EveryFileRecognizedGivesOneNlsmlResultPerFileAndStatusZero) {
    ASSERT_TRUE(ZephTest::RunCommand("sox " + m_root.Path() + "/yes.wav -e a-law " + m_root.Path() +
                                     "/yes-alaw.wav"));
    CommandResult run = Recognize("--grammar 'builtin:speech/transcribe?dialogid=rehearsal'",
                                  {"order.wav", "yes-alaw.wav"});
    EXPECT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_EQ(run.out.find("!!!"), std::string::npos) << run.out;
    std::string order = m_root.Path() + "/order.wav\n";
    std::string yes = m_root.Path() + "/yes-alaw.wav\n";
    size_t order_at = run.out.find(order);
    size_t yes_at = run.out.find(yes);
    ASSERT_NE(order_at, std::string::npos) << run.out;
    ASSERT_NE(yes_at, std::string::npos) << run.out;
    ASSERT_LT(order_at, yes_at) << run.out;
    std::string first = run.out.substr(order_at, yes_at - order_at);
    std::string second = run.out.substr(yes_at);
    const std::string head =
        "Completion-Cause: 000 success\n"
        "Content-Type: application/x-nlsml\n\n"
        "<?xml version=\"1.0\"?>\n<result>\n"
        "  <interpretation grammar=\"builtin:speech/transcribe\" confidence=\"0.91\">\n";
    EXPECT_EQ(first.compare(order.size(), head.size(), head), 0) << first;
    EXPECT_NE(first.find("<display_name>Order Pizza</display_name>"), std::string::npos) << first;
    EXPECT_NE(first.find("<size>large</size>"), std::string::npos) << first;
    EXPECT_NE(first.find("<topping>mushrooms</topping>"), std::string::npos) << first;
    EXPECT_NE(first.find("<input mode=\"speech\">a large pizza with mushrooms</input>\n"
                         "  </interpretation>\n</result>\n\n"),
              std::string::npos)
        << first;
    const std::string second_head =
        "Completion-Cause: 000 success\nContent-Type: application/x-nlsml\n\n";
    EXPECT_EQ(second.compare(yes.size(), second_head.size(), second_head), 0) << second;
    EXPECT_NE(second.find("<display_name>Confirm Order</display_name>"), std::string::npos)
        << second;
    EXPECT_NE(second.find("<confirmed>true</confirmed>"), std::string::npos) << second;
    // Without Save-Waveform the files are saved but no URI is announced.
    EXPECT_EQ(run.out.find("Waveform-URI"), std::string::npos) << run.out;
    ExpectNoStreamLeftOpen(2);
}

// JSON results of the CX flavour picked by a channel attribute, with the Waveform-URI the
// request asked for; a file the agent did not understand falls below the request's
// confidence threshold and is a no-match, and the exit status says that not every file was
// recognized.
TEST_F(OstrinRecognize, JsonResultsAndANoMatchGiveStatusThree) {
    CommandResult run = Recognize(
        "--grammar 'builtin:speech/transcribe?dialogid=rehearsal;format=json' "
        "--attribute api=v3beta1 --header 'Save-Waveform: true' "
        "--header 'Confidence-Threshold: 0.5'",
        {"order.wav", "yes.wav", "yes.wav"});
    EXPECT_EQ(run.status, 3) << run.out << run.log;
    EXPECT_EQ(run.out.find("!!!"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, "Completion-Cause: 000 success\n"), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "Completion-Cause: 001 no-match\n"), 1u) << run.out;
    EXPECT_EQ(Count(run.out, "Content-Type: application/json\n\n{"), 3u) << run.out;
    EXPECT_EQ(Count(run.out, "Waveform-URI: <http://localhost/utterances/osrzeph-rec-"), 3u)
        << run.out;
    // The first body is the CX query result of the order, as JSON.
    size_t begin = run.out.find("\n{");
    size_t end = run.out.find("\n}\n");
    ASSERT_NE(begin, std::string::npos) << run.out;
    ASSERT_NE(end, std::string::npos) << run.out;
    rapidjson::Document result;
    std::string body = run.out.substr(begin + 1, end + 2 - begin - 1);
    ASSERT_FALSE(result.Parse(body.c_str()).HasParseError()) << body;
    ASSERT_TRUE(result.IsObject()) << body;
    ASSERT_TRUE(result.HasMember("transcript")) << body;
    EXPECT_STREQ(result["transcript"].GetString(), "a large pizza with mushrooms");
    ASSERT_TRUE(result.HasMember("match") && result["match"].HasMember("matchType")) << body;
    EXPECT_STREQ(result["match"]["matchType"].GetString(), "INTENT");
    ASSERT_TRUE(result.HasMember("parameters")) << body;
    EXPECT_STREQ(result["parameters"]["size"].GetString(), "large");
    // CX names the matched intent in the match (the deprecated top-level intent is unset).
    ASSERT_TRUE(result["match"].HasMember("intent") && result["match"]["intent"].HasMember("name"))
        << body;
    EXPECT_NE(std::string(result["match"]["intent"]["name"].GetString())
                  .find("/locations/global/agents/pizza/"),
              std::string::npos)
        << body;
    ExpectNoStreamLeftOpen(3);
    std::string record = ReadFile(m_root.Path() + "/streams.jsonl");
    EXPECT_EQ(Count(record, "\"flavour\":\"v3beta1\""), 3u) << record;
}

// A recognition that ends while its file still plays (the inter-result timer ends the
// input soon after the interim transcript): the rest of the file plays out to no one, and
// the next file's stream carries that file's audio only.
TEST_F(OstrinRecognize, WhatIsLeftOfAFileNeverReachesTheNextRecognition) {
    CommandResult run =
        Recognize("--grammar 'builtin:speech/transcribe?dialogid=early;inter-result-timeout=300'",
                  {"order.wav", "yes.wav"});
    EXPECT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_EQ(Count(run.out, "Completion-Cause: 000 success\n"), 2u) << run.out;
    EXPECT_NE(run.out.find("<input mode=\"speech\">yes please</input>"), std::string::npos)
        << run.out;
    ExpectNoStreamLeftOpen(2);
    std::string record = ReadFile(m_root.Path() + "/streams.jsonl");
    size_t second_line = record.find('\n');
    ASSERT_NE(second_line, std::string::npos) << record;
    rapidjson::Document first, second;
    ASSERT_FALSE(first.Parse(record.substr(0, second_line).c_str()).HasParseError()) << record;
    ASSERT_FALSE(second.Parse(record.substr(second_line + 1).c_str()).HasParseError()) << record;
    ASSERT_TRUE(first.IsObject() && first.HasMember("audio_bytes")) << record;
    ASSERT_TRUE(second.IsObject() && second.HasMember("audio_bytes")) << record;
    // The order was cut short, well before its 2.4 s of speech were sent.
    EXPECT_LT(first["audio_bytes"].GetInt64(), 24000) << record;
    // At most the whole of "yes please": none of the order's tail.
    size_t yes_bytes = ReadFile(m_root.Path() + "/yes.wav").size();
    ASSERT_GT(yes_bytes, 44u);
    EXPECT_LE(size_t(second["audio_bytes"].GetInt64()), yes_bytes) << record;
}

// Silence ends in no-input; a refused RECOGNIZE (no grammar the plugin knows) is answered
// at once with its status; both count as not recognized.
TEST_F(OstrinRecognize, NoInputAndARefusedRequestAreNotRecognized) {
    ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/silence.wav",
                                       std::vector<int16_t>(8000, 0), 8000));
    CommandResult silent = Recognize(
        "--grammar 'builtin:speech/transcribe?dialogid=quiet' --header 'No-Input-Timeout: 500'",
        {"silence.wav"});
    EXPECT_EQ(silent.status, 3) << silent.out << silent.log;
    EXPECT_NE(silent.out.find("/silence.wav\nCompletion-Cause: 002 no-input-timeout\n\n"),
              std::string::npos)
        << silent.out;
    CommandResult refused = Recognize("--grammar 'session:nothing-defined'", {"order.wav"});
    EXPECT_EQ(refused.status, 3) << refused.out << refused.log;
    EXPECT_NE(refused.out.find("/order.wav\nStatus: 4"), std::string::npos) << refused.out;
    EXPECT_EQ(refused.out.find("RECOGNITION-COMPLETE"), std::string::npos) << refused.out;
    ExpectNoStreamLeftOpen(1);
}

// Mistakes that need no plugin: a bad attribute is a command-line error (2); every file that
// is not a whole WAV file is named, and the command stops before the plugin is loaded (1).
TEST_F(OstrinRecognize, BadCommandLinesAndFilesAreRefusedBeforeTheRun) {
    CommandResult bad =
        Recognize("--grammar builtin:speech/transcribe --attribute api", {"yes.wav"});
    EXPECT_EQ(bad.status, 2) << bad.log;
    EXPECT_NE(bad.log.find("--attribute needs NAME=VALUE"), std::string::npos) << bad.log;
    WriteFile(m_root.Path() + "/text.wav", "not audio");
    const std::string yes = ReadFile(m_root.Path() + "/yes.wav");
    WriteFile(m_root.Path() + "/cut.wav", yes.substr(0, yes.size() / 2));
    CommandResult files =
        Recognize("--grammar builtin:speech/transcribe", {"text.wav", "yes.wav", "cut.wav"});
    EXPECT_EQ(files.status, 1) << files.log;
    EXPECT_EQ(files.out, "");
    EXPECT_NE(files.log.find("ostrin: error: " + m_root.Path() + "/text.wav: not a RIFF/WAVE"),
              std::string::npos)
        << files.log;
    EXPECT_NE(files.log.find("ostrin: error: " + m_root.Path() + "/cut.wav: truncated"),
              std::string::npos)
        << files.log;
    ExpectNoStreamLeftOpen(0);
}

// A set-up that cannot work stops the run at the first file: exit status 1 and one error
// line naming the reason, on stderr and in ostrin.log. Nothing listens at the service's
// address; the service refuses a key it does not know, a project the account may not use
// and an environment the agent does not have, once the stream has started.
TEST_F(OstrinRecognize, ASetUpFailureStopsTheRunAtOnce) {
    const std::string foreignKey =
        "--attribute gapp-credentials-file=" + std::string(ZEPH_TEST_CREDENTIALS_DIR) +
        "/service-account-2.json";
    struct Case {
        std::string service;
        std::string streaming;
        std::string options;
        const char* reason;
    } cases[] = {
        {"127.0.0.1:1", "", "", "UNAVAILABLE: "},
        {m_sim.target(), "", foreignKey, "UNAUTHENTICATED: "},
        {m_sim.target(), "project-id=\"not-ours\"", "", "PERMISSION_DENIED: "},
        {m_sim.target(), "environment=\"nowhere\"", "", "NOT_FOUND: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        m_root.WriteConfig(c.service, "agent=\"pizza\" " + c.streaming);
        CommandResult run =
            Recognize("--grammar 'builtin:speech/transcribe?dialogid=rehearsal' " + c.options,
                      {"order.wav", "yes.wav"});
        EXPECT_EQ(run.status, 1) << run.out << run.log;
        EXPECT_NE(run.out.find("/order.wav\nCompletion-Cause: 006 recognizer-error\n"
                               "Completion-Reason: " +
                               std::string(c.reason)),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(run.out.find("/yes.wav"), std::string::npos) << run.out;
        const std::string error = "ostrin: error: " + m_root.Path() +
                                  "/order.wav: the recognizer's set-up fails: " + c.reason;
        EXPECT_EQ(Count(run.log, error), 1u) << run.log;
        EXPECT_EQ(Count(ReadFile(m_root.Path() + "/log/ostrin.log"), error), 1u);
    }
    // One refused stream each for the cases the service answered.
    ExpectNoStreamLeftOpen(3);
}

// With --turns a long recording of two utterances gives two results, one RECOGNIZE after
// the other on the same audio.
TEST_F(OstrinRecognize, TurnsRecognizeEveryUtteranceOfALongFile) {
    std::vector<int16_t> call = ZephTest::SynthesizeSpeech("a large pizza with mushrooms", 8000);
    call.insert(call.end(), 8000 * 3, 0);
    const std::vector<int16_t> yes = ZephTest::SynthesizeSpeech("yes please", 8000);
    call.insert(call.end(), yes.begin(), yes.end());
    call.insert(call.end(), 8000 * 2, 0);
    ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/call.wav", call, 8000));
    CommandResult run =
        Recognize("--turns --grammar 'builtin:speech/transcribe?dialogid=rehearsal'", {"call.wav"});
    EXPECT_EQ(run.status, 0) << run.out << run.log;
    const std::string call_path = m_root.Path() + "/call.wav";
    EXPECT_NE(run.out.find(call_path + " (turn 1)\nCompletion-Cause: 000 success\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(call_path + " (turn 2)\nCompletion-Cause: 000 success\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("<display_name>Confirm Order</display_name>"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("(turn 3)\nCompletion-Cause: 000"), std::string::npos) << run.out;
    // A turn started in the trailing silence may have opened a stream that the file's end
    // then stopped; none is left open.
    m_sim.Stop();
    const std::string record = ReadFile(m_root.Path() + "/streams.jsonl");
    const size_t streams = Count(record, "\"flavour\""), turns = Count(run.out, "(turn ");
    EXPECT_TRUE(streams == turns || streams == turns + 1) << record;
    EXPECT_EQ(record.find("shutting down"), std::string::npos) << record;
}

}  // namespace
