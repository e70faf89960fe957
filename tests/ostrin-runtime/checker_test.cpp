// The conformance checker as a referee: a plugin that breaks one rule per mode is run through
// `ostrin run --strict`, and every fault must be reported under its rule, fail the run, and
// leave the host (and its sanitizers) without a complaint. The well-behaved mode runs clean.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "../common/test_audio.h"

namespace {

const std::string kFaultyPlugin = std::string(ZEPH_LIB_DIR) + "/ostrin_faulty_plugin.so";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Recognize(int id, int timeout_ms = 0) {
    std::string text = "send A <<E\nMRCP/2.0 0 RECOGNIZE " + std::to_string(id) + "\n";
    if (timeout_ms > 0)
        text += "Recognition-Timeout: " + std::to_string(timeout_ms) + "\n";
    return text + "Content-Type: text/uri-list\n\nbuiltin:speech/transcribe\nE\n";
}

std::string Request(const char* method, int id) {
    return std::string("send A <<E\nMRCP/2.0 0 ") + method + " " + std::to_string(id) + "\nE\n";
}

class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ZephTest::MakeTempDir("ostrin-checker");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { ZephTest::RunCommand("rm -rf '" + dir_ + "'"); }

    Result Run(const std::string& scenario, const std::string& options = "--strict") {
        std::string path = dir_ + "/test.scenario";
        std::ofstream(path) << scenario;
        std::string command = std::string(ZEPH_BIN_DIR) + "/ostrin run '" + path +
                              "' --pace fast --log-level ERROR " + options + " --plugin " +
                              kFaultyPlugin + " >'" + dir_ + "/out' 2>'" + dir_ + "/err'";
        Result result;
        int status = system(command.c_str());
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = ReadAll(dir_ + "/out");
        result.err = ReadAll(dir_ + "/err");
        return result;
    }

    std::string dir_;
};

// Sanitizer reports and crashes show on stderr; the host must never produce one.
void ExpectHostSurvived(const Result& result) {
    EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << result.err;
    EXPECT_TRUE(result.status == 0 || result.status == 1) << result.status << "\n" << result.err;
}

struct FaultCase {
    const char* fault;
    const char* rule;
    std::string steps;  // after "channel A fault=FAULT"; the channel is closed at the end
};

}  // namespace

TEST_F(CheckerTest, EveryFaultIsReportedUnderItsRuleAndFailsTheStrictRun) {
    const std::string plain = Recognize(1) + "sleep 100\n";
    const std::string stopped =
        Recognize(1, 60000) + "sleep 50\n" + Request("STOP", 2) + "sleep 100\n";
    const std::string two = Recognize(1, 60000) + "sleep 50\n" + Recognize(2) + "sleep 100\n";
    const FaultCase cases[] = {
        {"twice", "one response per request", plain},
        {"never", "every request gets a response", plain},
        {"wrong-id", "response names a request", plain},
        {"early-event", "event needs a request IN-PROGRESS", plain},
        {"after-complete", "nothing after COMPLETE", plain},
        {"event-after-stop", "STOP ends the stopped request", stopped},
        {"stop-without-list", "a STOP response lists every request it ends", stopped},
        {"unsupported-200", "no 200 for an unsupported method",
         Request("INTERPRET", 1) + Request("GET-RESULT", 2) + "sleep 100\n"},
        {"open-twice", "one open response", plain},
        {"close-twice", "one close response", plain},
        {"send-request", "message is a response or an event", plain},
        {"type-9", "message is a response or an event", plain},
        {"version-1", "version is the channel's", plain},
        {"version-5", "version is the channel's", plain},
        {"state-7", "request states move PENDING, IN-PROGRESS, COMPLETE", plain},
        {"pending-event", "request states move PENDING, IN-PROGRESS, COMPLETE", plain},
        {"error-in-progress", "failures are COMPLETE", plain},
        {"grammar-in-progress", "only RECOGNIZE and INTERPRET stay in progress",
         Request("DEFINE-GRAMMAR", 1) + "sleep 100\n"},
        {"stop-in-progress", "only RECOGNIZE and INTERPRET stay in progress", stopped},
        {"status-300", "status code is one of RFC 6787's", plain},
        {"status-999", "status code is one of RFC 6787's", plain},
        {"second-recognize", "one RECOGNIZE in progress per channel", two},
        {"pending-starts-early", "one RECOGNIZE in progress per channel", two},
        {"interpretation-complete", "events fit their method", plain},
        {"event-id-9", "events fit their method", plain},
        {"event-for-grammar", "events fit their method",
         Request("DEFINE-GRAMMAR", 1) + "sleep 100\n"},
        {"start-twice", "START-OF-INPUT once, IN-PROGRESS", plain},
        {"start-complete", "START-OF-INPUT once, IN-PROGRESS", plain},
        {"complete-in-progress", "RECOGNITION-COMPLETE is COMPLETE with a Completion-Cause", plain},
        {"no-cause", "RECOGNITION-COMPLETE is COMPLETE with a Completion-Cause", plain},
        {"cause-99", "RECOGNITION-COMPLETE is COMPLETE with a Completion-Cause", plain},
        {"never-complete", "every request ends before close", plain},
        {"stop-fails", "every request ends before close", stopped},
        {"body-without-type", "a body has Content-Type and one Content-Length", plain},
        {"two-content-lengths", "a body has Content-Type and one Content-Length", plain},
        {"bad-nlsml", "an NLSML or JSON body parses", plain},
        {"bad-json", "an NLSML or JSON body parses", plain},
        {"bad-waveform-uri", "Waveform-URI is <URI>;size=N;duration=M", plain},
        {"header-twice", "each header once", plain},
        {"crlf-in-header", "no control characters in header values", plain},
        {"close-early", "nothing after close", plain},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.fault);
        Result result =
            Run(std::string("channel A fault=") + c.fault + "\n" + c.steps + "close A\n");
        ExpectHostSurvived(result);
        EXPECT_EQ(result.status, 1) << result.out << result.err;
        EXPECT_NE(result.out.find(std::string(": ") + c.rule + ": "), std::string::npos)
            << result.out;
        EXPECT_NE(result.err.find("conformance violation(s)"), std::string::npos) << result.err;
        // A forged header never reaches the printed output.
        EXPECT_EQ(result.out.find("X-Forged"), std::string::npos) << result.out;
    }
}

TEST_F(CheckerTest, AWellBehavedPluginRunsClean) {
    std::string scenario = "channel A\n" + Recognize(1) +
                           "wait A response request=1\n"
                           "wait A START-OF-INPUT request=1\n"
                           "wait A RECOGNITION-COMPLETE request=1 cause=000\n" +
                           Request("DEFINE-GRAMMAR", 2) + "wait A response request=2\n" +
                           Request("START-INPUT-TIMERS", 3) + "wait A response request=3\n" +
                           Recognize(4, 60000) + "wait A START-OF-INPUT\n" + Request("STOP", 5) +
                           "wait A response request=5\n" + Recognize(6, 60000) +
                           "wait A START-OF-INPUT request=6\n" + Request("INTERPRET", 7) +
                           "wait A response request=7\nclose A\n";
    Result result = Run(scenario);
    ExpectHostSurvived(result);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.find("!!!"), std::string::npos) << result.out;
    // The STOP named the recognition it ended; unsupported methods were refused.
    EXPECT_NE(result.out.find("Active-Request-Id-List: 4\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" 7 401 COMPLETE\n"), std::string::npos) << result.out;
    // The recognition open at close was completed before the close response.
    EXPECT_NE(result.out.find("Completion-Cause: 011 cancelled"), std::string::npos) << result.out;
}

TEST_F(CheckerTest, AnMrcpV1RecognitionFindsItsSessionWhereV2HasIt) {
    std::string scenario =
        "channel V version=1\n"
        "send V <<E\nRECOGNIZE 1 MRCP/1.0\nContent-Type: text/uri-list\n\nbuiltin:x\nE\n"
        "wait V RECOGNITION-COMPLETE request=1 cause=000\nclose V\n";
    Result result = Run(scenario);
    ExpectHostSurvived(result);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("<instance>session=V</instance>"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("RECOGNITION-COMPLETE 1 COMPLETE MRCP/1.0"), std::string::npos)
        << result.out;
}

TEST_F(CheckerTest, AWaitTakesOnlyAConformingMessageOfItsChannelRequestAndCause) {
    // Swapped results: each channel's RECOGNITION-COMPLETE arrives on the other. Reported,
    // dropped, and no wait is satisfied by them, strict or not.
    std::string swapped =
        "channel A fault=swap\nchannel B fault=swap\n" + Recognize(1) +
        "send B <<E\nMRCP/2.0 0 RECOGNIZE 1\nContent-Type: text/uri-list\n\nbuiltin:x\nE\n"
        "wait B RECOGNITION-COMPLETE timeout=500\n";
    Result result = Run(swapped, "");
    ExpectHostSurvived(result);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find("!!! B request 1 RECOGNIZE: Channel-Identifier names the channel: "
                              "the message names channel 'A@speechrecog' but came on 'B'"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.err.find("no RECOGNITION-COMPLETE on channel 'B' within 500 ms"),
              std::string::npos)
        << result.err;

    // A RECOGNITION-COMPLETE without a cause does not satisfy a wait either.
    Result no_cause = Run(
        "channel A fault=no-cause\n" + Recognize(1) + "wait A RECOGNITION-COMPLETE timeout=500\n",
        "");
    EXPECT_EQ(no_cause.status, 1) << no_cause.out;

    // The request and the cause pin what is waited for.
    Result wrong_cause =
        Run("channel A\n" + Recognize(1) + "wait A RECOGNITION-COMPLETE cause=011 timeout=300\n");
    EXPECT_EQ(wrong_cause.status, 1);
    EXPECT_NE(wrong_cause.err.find("RECOGNIZE 1 has already ended (RECOGNITION-COMPLETE 000 "
                                   "success)"),
              std::string::npos)
        << wrong_cause.err;
    Result wrong_request =
        Run("channel A\n" + Recognize(1) + "wait A RECOGNITION-COMPLETE request=2 timeout=300\n");
    EXPECT_EQ(wrong_request.status, 1);
    Result right = Run("channel A\n" + Recognize(7) +
                       "wait A RECOGNITION-COMPLETE request=7 cause=000 timeout=5000\n");
    EXPECT_EQ(right.status, 0) << right.out << right.err;
}

TEST_F(CheckerTest, ASendOnADestroyedChannelIsReportedAndNeverFollowed) {
    // After its channel is destroyed the plugin sends a message, an open and a close response
    // on the freed record: all three are reported and dropped unread.
    Result result = Run("channel A fault=send-after-destroy\n" + Recognize(1) +
                        "sleep 50\nclose A\nsleep 300\n");
    ExpectHostSurvived(result);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    const char* const reports[] = {
        "!!! A: messages name an existing channel: a message on channel 'A' after it was "
        "destroyed (dropped unread)",
        "!!! A: one open response: a channel open response on channel 'A' after it was destroyed",
        "!!! A: one close response: a channel close response on channel 'A' after it was "
        "destroyed"};
    for (const char* report : reports)
        EXPECT_NE(result.out.find(report), std::string::npos) << report << "\n" << result.out;
}

TEST_F(CheckerTest, ScenariosThatRunNothingAreErrors) {
    for (const char* text : {"", "# only a comment\n\n"}) {
        Result result = Run(text);
        EXPECT_EQ(result.status, 1) << text;
        EXPECT_NE(result.err.find("no steps"), std::string::npos) << result.err;
    }
    std::string command = std::string(ZEPH_BIN_DIR) + "/ostrin run '" + dir_ + "' --plugin " +
                          kFaultyPlugin + " 2>'" + dir_ + "/err'";
    int status = system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(ReadAll(dir_ + "/err").find("is not a regular file"), std::string::npos);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(CheckerTest, APluginThatUsesAFinishedOrStoppedRequestIsCaughtByAsan) {
    // The request's memory goes as soon as its final message has been handled.
    Result result = Run("channel A fault=use-after-final\n" + Recognize(1) +
                        "wait A RECOGNITION-COMPLETE request=1\n" + Request("DEFINE-GRAMMAR", 2) +
                        "wait A response\nclose A\n");
    EXPECT_NE(result.status, 0);
    // APR gives pool memory back with munmap: ASan sees the read as a fault on freed memory.
    EXPECT_NE(result.err.find("ERROR: AddressSanitizer"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("ProcessRequest"), std::string::npos) << result.err;

    // A stopped RECOGNIZE goes with the STOP response that ends it.
    Result stopped = Run("channel A fault=use-after-stop\n" + Recognize(1, 60000) +
                         "wait A START-OF-INPUT request=1\n" + Request("STOP", 2) +
                         "wait A response request=2\n" + Request("DEFINE-GRAMMAR", 3) +
                         "wait A response\nclose A\n");
    EXPECT_NE(stopped.status, 0);
    EXPECT_NE(stopped.err.find("ERROR: AddressSanitizer"), std::string::npos) << stopped.err;
}
#endif
