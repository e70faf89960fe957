#include "ostrin_runtime/scenario.h"
#include "ostrin_runtime/wav_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "../common/test_audio.h"

using namespace OstrinRuntime;

TEST(Scenario, ParsesEveryStep) {
    const char* text =
        "# a comment\n"
        "channel A rate=16000 version=2 api=v2beta1 gapp-credentials-file=/x.json\n"
        "send A <<EOF\n"
        "MRCP/2.0 0 RECOGNIZE 1\n"
        "\n"
        "builtin:speech/transcribe\n"
        "EOF\n"
        "audio A hello.wav\n"
        "silence A 300\n"
        "dtmf A 12# duration=80 gap=40\n"
        "wait A RECOGNITION-COMPLETE request=1 timeout=5000 cause=002\n"
        "sleep 10\n"
        "close A\n";
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, "/data", &scenario, &error)) << error;
    ASSERT_EQ(scenario.steps.size(), 8u);
    const ScenarioStep& channel = scenario.steps[0];
    EXPECT_EQ(channel.rate, 16000);
    ASSERT_EQ(channel.attributes.size(), 2u);
    EXPECT_EQ(channel.attributes[0].first, "api");
    EXPECT_EQ(channel.attributes[1].second, "/x.json");
    EXPECT_EQ(scenario.steps[1].text, "MRCP/2.0 0 RECOGNIZE 1\n\nbuiltin:speech/transcribe\n");
    EXPECT_EQ(scenario.steps[2].path, "/data/hello.wav");
    EXPECT_EQ(scenario.steps[3].ms, 300);
    EXPECT_EQ(scenario.steps[4].digits, "12#");
    EXPECT_EQ(scenario.steps[4].duration_ms, 80);
    EXPECT_EQ(scenario.steps[4].gap_ms, 40);
    EXPECT_EQ(scenario.steps[5].what, "RECOGNITION-COMPLETE");
    EXPECT_EQ(scenario.steps[5].timeout_ms, 5000);
    EXPECT_EQ(scenario.steps[5].request_id, 1);
    EXPECT_EQ(scenario.steps[5].cause, 2);
    EXPECT_EQ(scenario.steps[7].line, 13);
}

TEST(Scenario, BadLinesAreNamed) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"channel A rate=11025\n", "1: rate must be 8000 or 16000"},
        {"audio B x.wav\n", "1: unknown channel 'B'"},
        {"channel A\nsend A <<EOF\nMRCP/2.0 0 STOP 1\n", "2: no closing 'EOF'"},
        {"channel A\nwait A response timeout=soon\n", "2: bad timeout"},
        {"channel A\nchannel A\n", "2: channel 'A' is already defined"},
        {"frobnicate A\n", "1: unknown step 'frobnicate'"},
        {"channel A\nclose A\nsilence A 10\n", "3: unknown channel 'A'"},
        {"sleep -5\n", "1: expected 'sleep MS'"},
        {"channel A\nwait A response cause=000\n", "2: a response has no Completion-Cause"},
        {"channel A\nwait A START-OF-INPUT request=x1\n", "2: bad request id 'request=x1'"},
        {"channel A\nwait A START-OF-INPUT request=4294967296\n", "2: bad request id"},
        {"channel A\nwait A RECOGNITION-COMPLETE cause=1\n", "2: bad cause 'cause=1'"},
        {"channel A\nwait A RECOGNITION-COMPLETE cause=001 cause=002\n", "2: 'cause' given twice"},
        {"channel A\nwait A RECOGNITION-COMPLETE soon\n", "2: unknown wait option 'soon'"},
        {"", "0: no steps"},
        {"# nothing but a comment\n\n", "2: no steps"},
    };
    for (const Case& c : cases) {
        Scenario scenario;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, ".", &scenario, &error)) << c.text;
        EXPECT_EQ(error.compare(0, strlen(c.expected), c.expected), 0) << error;
    }
}

namespace {
void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
std::string Le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string Le16(uint16_t v) {
    return std::string{char(v), char(v >> 8)};
}
std::string Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                const std::string& data) {
    std::string fmt = Le16(format) + Le16(channels) + Le32(rate) +
                      Le32(rate * channels * bits / 8) + Le16(uint16_t(channels * bits / 8)) +
                      Le16(bits);
    std::string body = "WAVE" + std::string("fmt ") + Le32(uint32_t(fmt.size())) + fmt + "data" +
                       Le32(uint32_t(data.size())) + data;
    return "RIFF" + Le32(uint32_t(body.size())) + body;
}
}  // namespace

// What phone systems record (A-law, u-law), other rates and stereo are decoded to 16-bit
// mono at the channel's rate; a cut-off or unreadable file is refused with its reason.
TEST(WavFile, DecodesToTheChannelRateAndRefusesTruncatedFiles) {
    std::string dir = ZephTest::MakeTempDir("ostrin-wav");
    ASSERT_FALSE(dir.empty());
    std::string good = dir + "/good.wav";
    WriteBytes(good, Wav(1, 1, 8000, 16, Le16(1) + Le16(0xFFFF)));
    WavAudio audio;
    std::string error;
    ASSERT_TRUE(ReadWavFile(good, 8000, &audio, &error)) << error;
    ASSERT_EQ(audio.samples.size(), 2u);
    EXPECT_EQ(audio.samples[1], -1);

    struct Decoded {
        std::string bytes;
        int rate;
        std::vector<int16_t> samples;  // empty: only the count is checked
        size_t count;
    } decoded[] = {
        {Wav(6, 1, 8000, 8, "\xd5\x55"), 8000, {8, -8}, 2},               // A-law
        {Wav(7, 1, 8000, 8, "\xff\x80"), 8000, {0, 32124}, 2},            // u-law
        {Wav(1, 2, 8000, 16, Le16(1000) + Le16(3000)), 8000, {2000}, 1},  // stereo mixed
        {Wav(1, 1, 16000, 16, std::string(3200, '\0')), 8000, {}, 800},   // 100 ms resampled
    };
    for (const Decoded& d : decoded) {
        WriteBytes(dir + "/in.wav", d.bytes);
        ASSERT_TRUE(ReadWavFile(dir + "/in.wav", d.rate, &audio, &error)) << error;
        EXPECT_EQ(audio.sample_rate, d.rate);
        EXPECT_EQ(audio.samples.size(), d.count);
        if (!d.samples.empty()) {
            EXPECT_EQ(audio.samples, d.samples);
        }
    }

    const std::string cut = Wav(1, 1, 8000, 16, std::string(100, '\0'));
    struct Case {
        std::string bytes;
        const char* expected;
    } cases[] = {
        {cut.substr(0, cut.size() - 10),
         "truncated: the data chunk says 100 bytes, the file holds 90"},
        {Wav(1, 1, 8000, 16, "abc"), "(not whole samples)"},
        {Wav(2, 1, 8000, 4, "ab"), "format 2 is not PCM, float, A-law or u-law"},
        {std::string("RIFF\x04\0\0\0WAVE", 12), "no fmt chunk"},
        {"not a wav file at all", "not a RIFF/WAVE file"},
        {std::string("RIFF\x20\0\0\0WAVEfmt \xff\xff\0\0", 20), "truncated fmt chunk"},
    };
    for (const Case& c : cases) {
        std::string path = dir + "/bad.wav";
        WriteBytes(path, c.bytes);
        EXPECT_FALSE(ReadWavFile(path, 8000, &audio, &error));
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
    EXPECT_FALSE(ReadWavFile(dir + "/missing.wav", 8000, &audio, &error));
    // A device that never ends is refused before it is read.
    EXPECT_FALSE(ReadWavFile("/dev/zero", 8000, &audio, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    ZephTest::RunCommand("rm -rf '" + dir + "'");
}

TEST(Scenario, OnlyRegularFilesAreLoaded) {
    std::string dir = ZephTest::MakeTempDir("ostrin-scenario");
    ASSERT_FALSE(dir.empty());
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(LoadScenarioFile(dir, &scenario, &error));
    EXPECT_NE(error.find("is not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(LoadScenarioFile("/dev/zero", &scenario, &error));
    EXPECT_NE(error.find("is not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(LoadScenarioFile(dir + "/missing.scenario", &scenario, &error));
    EXPECT_NE(error.find("cannot open scenario"), std::string::npos) << error;
    std::ofstream(dir + "/ok.scenario") << "sleep 1\n";
    EXPECT_TRUE(LoadScenarioFile(dir + "/ok.scenario", &scenario, &error)) << error;
    ZephTest::RunCommand("rm -rf '" + dir + "'");
}
