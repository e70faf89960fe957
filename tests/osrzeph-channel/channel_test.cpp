// The recognizer channel through the real host: RECOGNIZE, STOP and START-INPUT-TIMERS as
// an MRCP client sends them, the exact messages the plugin answers with, and the host's
// conformance checks (one response per request, nothing after COMPLETE, ...).
//
// These scenarios need no service: every recognition here ends before a stream is started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario_run.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::DropLengths;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;

// A loopback address where nothing listens: no test here may reach a service.
const char* const kNoService = "127.0.0.1:1";

// A RECOGNIZE of request `id` with `headers` (each ending in a newline) and a uri-list body.
std::string Recognize(int id, const std::string& headers, const std::string& uris) {
    return "send A <<END\nMRCP/2.0 0 RECOGNIZE " + std::to_string(id) + "\n" + headers +
           "Content-Type: text/uri-list\n\n" + uris + "\nEND\nwait A response\n";
}

std::string Request(const std::string& method, int id, const std::string& headers = "") {
    return "send A <<END\nMRCP/2.0 0 " + method + " " + std::to_string(id) + "\n" + headers +
           "\nEND\nwait A response\n";
}

// The response the host prints for request `id` of channel A.
std::string Response(int id, int status, const std::string& state,
                     const std::string& headers = "") {
    return "### A\nMRCP/2.0 LENGTH " + std::to_string(id) + " " + std::to_string(status) + " " +
           state + "\nChannel-Identifier: A@speechrecog\n" + headers + "\n";
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        m_root.WriteConfig(kNoService);
    }

    RunResult Run(const std::string& scenario) {
        RunResult result = m_root.Run(scenario);
        result.messages = DropLengths(result.messages);
        return result;
    }

    ServerRoot m_root;
};

// Each grammar failure is answered with its status and grammar-load-failure.
TEST_F(ChannelTest, GrammarFailuresAnswerWithTheirStatusAndCause004) {
    RunResult run = Run("channel A\n" + Request("RECOGNIZE", 1) +
                        Recognize(2, "", "http://example.com/grammar.grxml") +
                        Recognize(3, "", "session:nothing") + "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_EQ(run.messages,
              Response(1, 406, "COMPLETE", "Completion-Cause: 004 grammar-load-failure\n") +
                  Response(2, 406, "COMPLETE", "Completion-Cause: 004 grammar-load-failure\n") +
                  Response(3, 404, "COMPLETE", "Completion-Cause: 004 grammar-load-failure\n"))
        << run.log;
    EXPECT_NE(run.log.find("No Grammar Specified <A@zeph>"), std::string::npos);
}

// An unsupported Media-Type fails with 409 and 006, naming the header; the Sensitivity-Level
// of the refused request does not reach the next recognition.
TEST_F(ChannelTest, UnsupportedMediaTypeFailsAndLeavesNothingBehind) {
    RunResult run =
        Run("channel A\n" +
            Recognize(1, "Sensitivity-Level: 1.0\nMedia-Type: audio/L16\n",
                      "builtin:speech/transcribe") +
            Recognize(2, "Media-Type: AUDIO/WAV\n", "builtin:speech/transcribe?method=Other") +
            "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_EQ(run.messages,
              Response(1, 409, "COMPLETE",
                       "Media-Type: audio/L16\nCompletion-Cause: 006 recognizer-error\n") +
                  Response(2, 407, "COMPLETE", "Completion-Cause: 006 recognizer-error\n"))
        << run.log;
    EXPECT_NE(run.log.find("Not Supported Media-Type [audio/L16] <A@zeph>"), std::string::npos)
        << run.log;
    EXPECT_EQ(Count(run.log, "Init Speech Detector"), 1u) << run.log;
    EXPECT_NE(run.log.find("vad-mode=2,"), std::string::npos) << run.log;
}

// A method name other than StreamingDetectIntent fails the RECOGNIZE with 407 and 006,
// after the detector was set up: Sensitivity-Level maps onto the four VAD modes.
TEST_F(ChannelTest, SensitivityLevelSetsTheVadModeAndAnUnknownMethodFails) {
    std::string scenario = "channel A\n";
    const std::vector<std::string> levels = {"0.5", "0.74", "0.75", "1.0", "0.0"};
    for (size_t i = 0; i < levels.size(); ++i)
        scenario += Recognize(static_cast<int>(i + 1), "Sensitivity-Level: " + levels[i] + "\n",
                              "builtin:speech/transcribe?method=StreamingDetect");
    RunResult run = Run(scenario + "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    std::string expected;
    for (size_t i = 0; i < levels.size(); ++i)
        expected += Response(static_cast<int>(i + 1), 407, "COMPLETE",
                             "Completion-Cause: 006 recognizer-error\n");
    EXPECT_EQ(run.messages, expected) << run.log;
    // In order: 2, 2, 3, 3, 0.
    size_t at = 0;
    for (const char* mode :
         {"vad-mode=2,", "vad-mode=2,", "vad-mode=3,", "vad-mode=3,", "vad-mode=0,"}) {
        at = run.log.find(mode, at);
        ASSERT_NE(at, std::string::npos) << mode << "\n" << run.log;
        ++at;
    }
    EXPECT_EQ(Count(run.log, "Unknown gRPC Method Specified [StreamingDetect] <A@zeph>"),
              levels.size());
    EXPECT_EQ(Count(run.log, "Failed to Create gRPC Method [StreamingDetect] <A@zeph>"),
              levels.size());
}

// Each recognition sets the detector's start of input from its own setting: a grammar that
// asks for "internal" gets it after a recognition that used the service's.
TEST_F(ChannelTest, EachRecognitionSetsItsOwnStartOfInput) {
    RunResult run =
        Run("channel A\n" + Recognize(1, "", "builtin:speech/transcribe?method=None") +
            Recognize(2, "", "builtin:speech/transcribe?method=None;start-of-input=internal") +
            Recognize(3, "", "builtin:speech/transcribe?method=None") + "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    size_t first = run.log.find("start-of-input=external");
    size_t second = run.log.find("start-of-input=internal", first);
    size_t third = run.log.find("start-of-input=external", second);
    EXPECT_NE(first, std::string::npos) << run.log;
    EXPECT_NE(second, std::string::npos) << run.log;
    EXPECT_NE(third, std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Set Grammar Param: name=start-of-input, value=internal "
                           "<A@zeph>"),
              std::string::npos)
        << run.log;
}

// With nothing to stop, STOP is answered at once; START-INPUT-TIMERS too; a method the
// recognizer does not support is refused with 401, never acknowledged.
TEST_F(ChannelTest, IdleRequestsAreAnsweredAtOnce) {
    RunResult run = Run("channel A\n" + Request("STOP", 1) + Request("START-INPUT-TIMERS", 2) +
                        Request("GET-RESULT", 3) + Request("INTERPRET", 4) + "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_EQ(run.messages, Response(1, 200, "COMPLETE") + Response(2, 200, "COMPLETE") +
                                Response(3, 401, "COMPLETE") + Response(4, 401, "COMPLETE"))
        << run.log;
    EXPECT_NE(run.log.find("Method Not Supported [INTERPRET] <A@zeph>"), std::string::npos);
}

// The detector lines of each recognition in order ("Init Speech Detector: ..." and
// "Init DTMF Detector: ..." joined), so that each can be checked against its own request.
std::vector<std::string> DetectorInits(const std::string& log) {
    std::vector<std::string> inits;
    for (size_t at = log.find("Init Speech Detector: "); at != std::string::npos;
         at = log.find("Init Speech Detector: ", at + 1)) {
        size_t dtmf = log.find("Init DTMF Detector: ", at);
        size_t next = log.find("Init Speech Detector: ", at + 1);
        std::string line = log.substr(at, log.find('\n', at) - at);
        if (dtmf != std::string::npos && dtmf < next)
            line += " | " + log.substr(dtmf, log.find('\n', dtmf) - dtmf);
        inits.push_back(line);
    }
    return inits;
}

// A RECOGNIZE's headers and grammar parameters apply to that recognition only; the next
// starts from the channel's defaults, which are the configuration's until SET-PARAMS
// changes them. GET-PARAMS reports the defaults; a value the recognizer cannot take is
// refused naming its header, and SET-PARAMS then changes nothing.
TEST_F(ChannelTest, EachRecognitionStartsFromTheChannelDefaults) {
    const std::string grammars = "builtin:speech/transcribe?method=None;speech-start-timeout=500";
    const std::string all =
        "No-Input-Timeout: 300\nRecognition-Timeout: 4000\nSpeech-Complete-Timeout: 700\n"
        "Speech-Incomplete-Timeout: 900\nSensitivity-Level: 1.0\nDTMF-Interdigit-Timeout: 1100\n"
        "DTMF-Term-Timeout: 1200\nDTMF-Term-Char: #\n";
    RunResult run =
        Run("channel A\n" + Recognize(1, all, grammars + "\nbuiltin:dtmf/x?length=4") +
            Recognize(2, "", "builtin:speech/transcribe?method=None\nbuiltin:dtmf/free") +
            Request("SET-PARAMS", 3,
                    "No-Input-Timeout: 4000\nSensitivity-Level: 0.25\nDTMF-Term-Char: *\n"
                    "Speed-Vs-Accuracy: 0.5\n") +
            Recognize(4, "No-Input-Timeout: 300\n", "builtin:speech/transcribe?method=None") +
            Recognize(5, "", "builtin:speech/transcribe?method=None\nbuiltin:dtmf/free") +
            Request("GET-PARAMS", 6, "No-Input-Timeout:\nSensitivity-Level:\nDTMF-Term-Char:\n") +
            Request("SET-PARAMS", 7, "No-Input-Timeout: 50\nRecognition-Mode: fast\n") +
            Request("SET-PARAMS", 8, "Input-Type: speech\n") +
            Request("GET-PARAMS", 9, "No-Input-Timeout:\nRecognition-Mode:\n") + "close A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    const std::string failed = "Completion-Cause: 006 recognizer-error\n";
    EXPECT_EQ(
        run.messages,
        Response(1, 407, "COMPLETE", failed) + Response(2, 407, "COMPLETE", failed) +
            Response(3, 201, "COMPLETE") + Response(4, 407, "COMPLETE", failed) +
            Response(5, 407, "COMPLETE", failed) +
            Response(6, 200, "COMPLETE",
                     "Sensitivity-Level: 0.25\nNo-Input-Timeout: 4000\nDTMF-Term-Char: *\n") +
            Response(7, 404, "COMPLETE", "Recognition-Mode: fast\n") +
            Response(8, 403, "COMPLETE", "Input-Type: speech\n") +
            Response(9, 200, "COMPLETE", "No-Input-Timeout: 4000\nRecognition-Mode: normal\n"))
        << run.log;
    std::vector<std::string> inits = DetectorInits(run.log);
    ASSERT_EQ(inits.size(), 4u) << run.log;
    const struct {
        const char* speech;
        const char* dtmf;
    } expected[] = {
        {"vad-mode=3, noinput-timeout=300 ms, input-timeout=4000 ms, start-timeout=500 ms, "
         "complete-timeout=700 ms, incomplete-timeout=900 ms",
         "interdigit-timeout=1100 ms, term-timeout=1200 ms, term-char=#, length=4, "
         "min-length=0, max-length=0"},
        {"vad-mode=2, noinput-timeout=10000 ms, input-timeout=20000 ms, start-timeout=300 ms, "
         "complete-timeout=1000 ms, incomplete-timeout=3000 ms",
         "interdigit-timeout=5000 ms, term-timeout=5000 ms, term-char=, length=0, "
         "min-length=0, max-length=0"},
        {"vad-mode=1, noinput-timeout=300 ms, input-timeout=20000 ms", nullptr},
        {"vad-mode=1, noinput-timeout=4000 ms, input-timeout=20000 ms",
         "interdigit-timeout=5000 ms, term-timeout=5000 ms, term-char=*, length=0"},
    };
    for (size_t i = 0; i < inits.size(); ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_NE(inits[i].find(expected[i].speech), std::string::npos) << inits[i];
        EXPECT_EQ(inits[i].find("Init DTMF Detector") != std::string::npos,
                  expected[i].dtmf != nullptr)
            << inits[i];
        if (expected[i].dtmf) {
            EXPECT_NE(inits[i].find(expected[i].dtmf), std::string::npos) << inits[i];
        }
    }
}

// An API name that is not one of the three (names are exact) fails the channel's open.
TEST_F(ChannelTest, UnknownApiFailsTheOpen) {
    RunResult run = Run("channel A api=V2\nclose A\n");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.log.find("Create gRPC Session Stub [V2] <A@zeph>"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Unknown API [V2] <A@zeph>"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Failed to Create gRPC Session Stub [V2] <A@zeph>"), std::string::npos)
        << run.log;
    EXPECT_EQ(run.messages, "");
}

}  // namespace
