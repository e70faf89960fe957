// The host runtime with real plugins (dlopen), its media thread and the `ostrin` command.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "../common/nothing_left_behind.h"
#include "../common/test_audio.h"
#include "ostrin_runtime/host_engine.h"

using namespace OstrinRuntime;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSamplePlugin = std::string(ZEPH_LIB_DIR) + "/ostrin_sample_plugin.so";

HostOptions SampleOptions(MediaPace pace = MediaPace::kFast) {
    HostOptions options;
    options.plugin_path = kSamplePlugin;
    options.pace = pace;
    options.log_priority = APT_PRIO_WARNING;
    return options;
}

// A loud 1 kHz tone, so the sample plugin hears input in every frame.
void WriteToneWav(const std::string& path, int rate, int ms) {
    int count = rate * ms / 1000;
    std::string data;
    for (int i = 0; i < count; ++i) {
        int16_t s = int16_t(8000 * std::sin(2 * M_PI * 1000.0 * i / rate + 0.3));
        data += char(s & 0xFF);
        data += char((s >> 8) & 0xFF);
    }
    auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    auto le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    std::string fmt =
        le16(1) + le16(1) + le32(uint32_t(rate)) + le32(uint32_t(rate * 2)) + le16(2) + le16(16);
    std::string body = "WAVEfmt " + le32(16) + fmt + "data" + le32(uint32_t(data.size())) + data;
    std::ofstream(path, std::ios::binary) << "RIFF" << le32(uint32_t(body.size())) << body;
}

struct Result {
    int status = -1;
    std::string out;
};

Result RunShell(const std::string& command) {
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Result RunOstrin(const std::string& arguments) {
    return RunShell(std::string(ZEPH_BIN_DIR) + "/ostrin " + arguments + " 2>/dev/null");
}

// "### A +123" lines become "### A +T": times are not part of the expected output.
std::string WithoutTimes(const std::string& out) {
    std::istringstream in(out);
    std::string line, result;
    while (std::getline(in, line)) {
        size_t plus = line.rfind(" +");
        if (line.compare(0, 4, "### ") == 0 && plus != std::string::npos) {
            line = line.substr(0, plus) + " +T";
        }
        result += line + "\n";
    }
    return result;
}

}  // namespace

TEST(HostLoading, BrokenPluginsAreClearErrors) {
    struct Case {
        std::string path;
        const char* expected;
    } cases[] = {
        {std::string(ZEPH_LIB_DIR) + "/ostrin_bad_plugin_wrong_version.so",
         "plugin interface version 1.6.0 is not supported (this host implements 1.7.0)"},
        {std::string(ZEPH_LIB_DIR) + "/ostrin_bad_plugin_no_create.so",
         "missing symbol mrcp_plugin_create"},
        {std::string(ZEPH_LIB_DIR) + "/ostrin_bad_plugin_null_engine.so", "created no engine"},
        {std::string(ZEPH_SOURCE_DIR) + "/README.md", "cannot load plugin"},
        {"/nonexistent/plugin.so", "cannot load plugin"},
    };
    for (const Case& c : cases) {
        HostOptions options = SampleOptions();
        options.plugin_path = c.path;
        HostEngine host(options);
        std::string error;
        EXPECT_FALSE(host.Open(&error)) << c.path;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(HostMedia, QueuedFramesAreCountedThenIdleFramesFollow) {
    ZephTest::NothingLeftBehind leftovers;
    auto host_ptr = std::make_unique<HostEngine>(SampleOptions(MediaPace::kRealtime));
    HostEngine& host = *host_ptr;
    leftovers.Watch("pending frames", [&] { return host_ptr ? host.PendingFrames("A") : 0; });
    std::string error;
    ASSERT_TRUE(host.Open(&error)) << error;
    ASSERT_TRUE(host.OpenChannel("A", 16000, 2, {}, &error)) << error;
    ASSERT_TRUE(host.AddSilence("A", 200, &error));
    ASSERT_TRUE(host.AddDtmf("A", "1", {50, 30}, &error));
    // Bounded: the media thread delivers 29 frames and then only idle ones.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (host.Counters("A").idle_frames < 5 && Clock::now() < deadline) {
        host.PumpUntil(Clock::now() + std::chrono::milliseconds(20));
    }
    MediaCounters counters = host.Counters("A");
    EXPECT_EQ(counters.media_frames, 20u + 5 + 1 + 3);
    EXPECT_GE(counters.idle_frames, 5u);
    EXPECT_EQ(host.PendingFrames("A"), 0u);
    EXPECT_TRUE(host.Shutdown(&error)) << error;
    EXPECT_EQ(host.violation_count(), 0u);
    host_ptr.reset();  // the media thread and the plugin's threads end with the host
    EXPECT_TRUE(leftovers.Check());
}

TEST(HostLifecycle, ShutdownClosesChannelsStillOpen) {
    ZephTest::NothingLeftBehind leftovers;
    auto host_ptr = std::make_unique<HostEngine>(SampleOptions());
    HostEngine& host = *host_ptr;
    leftovers.Watch("channels", [&] {
        size_t open = 0;
        for (const char* name : {"A", "B", "C"})
            open += host_ptr && host.HasChannel(name);
        return open;
    });
    std::vector<std::string> received;
    // Each message is stamped on the plugin's thread when handed over: after the request
    // went out, before the server thread sees it.
    Clock::time_point requested;
    size_t stamped_in_order = 0;
    host.SetMessageHandler([&](const PluginMessage& m) {
        received.push_back(m.channel + " " + m.name);
        stamped_in_order += m.sent_at >= requested && m.sent_at <= Clock::now();
    });
    std::string error;
    ASSERT_TRUE(host.Open(&error)) << error;
    for (const char* name : {"A", "B", "C"})
        ASSERT_TRUE(host.OpenChannel(name, 8000, 2, {}, &error));
    requested = Clock::now();
    ASSERT_TRUE(host.SendRequest("B", "MRCP/2.0 0 RECOGNIZE 7\n\nbuiltin:x\n", &error)) << error;
    ASSERT_TRUE(host.WaitForMessage("B", "response", 10000));
    ASSERT_TRUE(host.AddAudio("B", "/nonexistent.wav", &error) == false);
    EXPECT_TRUE(host.Shutdown(&error)) << error;
    EXPECT_FALSE(host.HasChannel("A"));
    EXPECT_EQ(host.violation_count(), 0u);
    // The recognition still running at close was completed before the close response.
    EXPECT_EQ(received, (std::vector<std::string>{"B RECOGNIZE", "B RECOGNITION-COMPLETE"}));
    EXPECT_EQ(stamped_in_order, received.size());
    EXPECT_TRUE(leftovers.Check());  // every channel gone with the shutdown
    host_ptr.reset();
    EXPECT_TRUE(leftovers.Check());
}

class OstrinCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ZephTest::MakeTempDir("ostrin-run");
        ASSERT_FALSE(dir_.empty());
        WriteToneWav(dir_ + "/tone.wav", 8000, 500);
    }
    void TearDown() override { ZephTest::RunCommand("rm -rf '" + dir_ + "'"); }
    std::string Scenario(const std::string& text) {
        std::string path = dir_ + "/test.scenario";
        std::ofstream(path) << text;
        return path;
    }
    std::string dir_;
};

TEST_F(OstrinCommand, RunPrintsEveryMessageInWireFormat) {
    std::string path = Scenario(
        "channel A rate=8000\n"
        "send A <<EOF\n"
        "MRCP/2.0 999 RECOGNIZE 1\n"
        "Content-Type: text/uri-list\n"
        "Content-Length: 1\n"
        "\n"
        "builtin:speech/transcribe\n"
        "EOF\n"
        "wait A response\n"
        "audio A tone.wav\n"
        "wait A RECOGNITION-COMPLETE\n"
        "send A <<EOF\n"
        "MRCP/2.0 0 RECOGNIZE 2\n"
        "No-Input-Timeout: 60000\n"
        "EOF\n"
        "wait A response\n"
        "send A <<EOF\n"
        "MRCP/2.0 0 STOP 3\n"
        "EOF\n"
        "wait A response\n"
        "close A\n");
    Result result = RunOstrin("run '" + path + "' --pace fast --strict --plugin " + kSamplePlugin);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(WithoutTimes(result.out),
              "### A +T\n"
              "MRCP/2.0 68 1 200 IN-PROGRESS\n"
              "Channel-Identifier: A@speechrecog\n"
              "\n"
              "### A +T\n"
              "MRCP/2.0 79 START-OF-INPUT 1 IN-PROGRESS\n"
              "Channel-Identifier: A@speechrecog\n"
              "\n"
              "### A +T\n"
              "MRCP/2.0 351 RECOGNITION-COMPLETE 1 COMPLETE\n"
              "Channel-Identifier: A@speechrecog\n"
              "Completion-Cause: 000 success\n"
              "Content-Type: application/x-nlsml\n"
              "Content-Length: 181\n"
              "\n"
              "<?xml version=\"1.0\"?>\n"
              "<result>\n"
              "  <interpretation confidence=\"1.0\">\n"
              "    <instance>speech</instance>\n"
              "    <input mode=\"speech\" frames=\"50\">speech</input>\n"
              "  </interpretation>\n"
              "</result>\n"
              "### A +T\n"
              "MRCP/2.0 68 2 200 IN-PROGRESS\n"
              "Channel-Identifier: A@speechrecog\n"
              "\n"
              "### A +T\n"
              "MRCP/2.0 92 3 200 COMPLETE\n"
              "Channel-Identifier: A@speechrecog\n"
              "Active-Request-Id-List: 2\n"
              "\n");
}

TEST_F(OstrinCommand, BadInputIsAnErrorNotACrash) {
    EXPECT_EQ(
        RunOstrin("run '" + Scenario("channel A rate=7\n") + "' --plugin " + kSamplePlugin).status,
        1);
    EXPECT_EQ(RunOstrin("run '" + Scenario("channel A\naudio A missing.wav\n") + "' --plugin " +
                        kSamplePlugin)
                  .status,
              1);
    EXPECT_EQ(RunOstrin("run '" + Scenario("channel A\nsend A <<E\nHELLO\nE\n") + "' --plugin " +
                        kSamplePlugin)
                  .status,
              1);
    EXPECT_EQ(RunOstrin("frobnicate").status, 2);
    EXPECT_EQ(RunOstrin("selfcheck --plugin " + kSamplePlugin).out, "selfcheck: OK\n");
}

// Every command and script explains itself with --help, and does nothing else.
TEST_F(OstrinCommand, HelpEverywhere) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string(ZEPH_BIN_DIR) + "/ostrin run --help", "--pace realtime|fast"},
        {std::string(ZEPH_BIN_DIR) + "/ostrin recognize --grammar x --help", "--turns"},
        {std::string(ZEPH_BIN_DIR) + "/ostrin selfcheck --help", "sample plugin"},
        {std::string(ZEPH_SOURCE_DIR) + "/scripts/demo --help", "Usage: scripts/demo"},
        {std::string(ZEPH_SOURCE_DIR) + "/scripts/soak --help", "--recognitions N"},
        {std::string(ZEPH_SOURCE_DIR) + "/scripts/test -h", "Usage: scripts/test"},
    };
    for (const auto& c : cases) {
        Result result = RunShell(c.first);
        EXPECT_EQ(result.status, 0) << c.first;
        EXPECT_NE(result.out.find(c.second), std::string::npos) << c.first << "\n" << result.out;
    }
}

// A wait for an event of a request that has already ended fails at once and says how it
// ended, instead of waiting out its time-out.
TEST_F(OstrinCommand, WaitForAnEventOfAnEndedRequestFailsAtOnce) {
    const std::string start =
        "channel A\n"
        "send A <<E\nMRCP/2.0 0 RECOGNIZE 1\nNo-Input-Timeout: 600000\nE\n"
        "wait A response\n";
    const std::pair<std::string, const char*> cases[] = {
        // Refused: the sample plugin allows one recognition at a time.
        {start + "send A <<E\nMRCP/2.0 0 RECOGNIZE 2\nE\nwait A response\n"
                 "wait A RECOGNITION-COMPLETE request=2 timeout=600000\n",
         "no RECOGNITION-COMPLETE on channel 'A': RECOGNIZE 2 has already ended (answered 402 "
         "COMPLETE)"},
        {start + "send A <<E\nMRCP/2.0 0 STOP 3\nE\nwait A response\n"
                 "wait A RECOGNITION-COMPLETE timeout=600000\n",
         "no RECOGNITION-COMPLETE on channel 'A': RECOGNIZE 1 has already ended (stopped by STOP "
         "3)"},
    };
    for (const auto& c : cases) {
        Result result = RunShell(std::string(ZEPH_BIN_DIR) + "/ostrin run '" + Scenario(c.first) +
                                 "' --pace fast --plugin " + kSamplePlugin + " 2>&1");
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_NE(result.out.find(c.second), std::string::npos) << result.out;
    }
}

TEST_F(OstrinCommand, RecognizePrintsCauseAndBodyPerFile) {
    Result result =
        RunOstrin("recognize --pace fast --grammar builtin:speech/transcribe --plugin " +
                  kSamplePlugin + " '" + dir_ + "/tone.wav' '" + dir_ + "/tone.wav'");
    EXPECT_EQ(result.status, 0) << result.out;
    const std::string result_head =
        "Completion-Cause: 000 success\nContent-Type: application/x-nlsml\n\n<?xml";
    size_t first = result.out.find(result_head);
    ASSERT_NE(first, std::string::npos) << result.out;
    EXPECT_NE(result.out.find(result_head, first + 1), std::string::npos) << result.out;
}
