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

// An unsupported Media-Type fails with 409 and 006, yet the detector keeps the setters that
// came before it: the next recognition runs with that VAD mode.
TEST_F(ChannelTest, UnsupportedMediaTypeFailsAfterTheDetectorSetters) {
    RunResult run =
        Run("channel A\n" +
            Recognize(1, "Sensitivity-Level: 1.0\nMedia-Type: audio/L16\n",
                      "builtin:speech/transcribe") +
            Recognize(2, "Media-Type: AUDIO/WAV\n", "builtin:speech/transcribe?method=Other") +
            "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_EQ(run.messages,
              Response(1, 409, "COMPLETE", "Completion-Cause: 006 recognizer-error\n") +
                  Response(2, 407, "COMPLETE", "Completion-Cause: 006 recognizer-error\n"))
        << run.log;
    EXPECT_NE(run.log.find("Not Supported Media-Type [audio/L16] <A@zeph>"), std::string::npos)
        << run.log;
    EXPECT_EQ(Count(run.log, "Init Speech Detector"), 1u) << run.log;
    EXPECT_NE(run.log.find("vad-mode=3,"), std::string::npos) << run.log;
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
// channel does not handle gets 200 COMPLETE as it stands.
TEST_F(ChannelTest, IdleRequestsAreAnsweredAtOnce) {
    RunResult run = Run("channel A\n" + Request("STOP", 1) + Request("START-INPUT-TIMERS", 2) +
                        Request("GET-RESULT", 3) + "close A\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_EQ(run.messages, Response(1, 200, "COMPLETE") + Response(2, 200, "COMPLETE") +
                                Response(3, 200, "COMPLETE"))
        << run.log;
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
