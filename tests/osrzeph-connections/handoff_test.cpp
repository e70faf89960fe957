// Many channels feeding one engine as fast as the host can write, so that detector output
// from the media thread and completions from the completion queue reach the engine's event
// processor in batches at the same time. Each channel's audio must reach the service whole
// and in order: its saved utterance (written block by block as the blocks are sent) is one
// unbroken stretch of the caller's audio, as long as the detector's input, and the sim
// received exactly that many bytes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../osrzeph-channel/scenario_run.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::ReadFile;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;

const int kChannels = 40;

std::string Name(int i) {
    return "C" + std::to_string(i);
}

// The sim's audio bytes per session id (the last component of the session path), of the
// streams that ended with OK and were not cancelled. The sim ends what is still open when it
// stops, recording "shutting down".
std::map<std::string, long> AudioBytesBySession(const std::string& records) {
    std::map<std::string, long> bytes;
    std::istringstream in(records);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document record;
        record.Parse(line.c_str());
        if (record.HasParseError() || !record.IsObject() || !record.HasMember("session") ||
            record["status"]["code"].GetInt() != 0 || record["cancelled"].GetBool())
            continue;
        std::string session = record["session"].GetString();
        bytes[session.substr(session.rfind('/') + 1)] += record["audio_bytes"].GetInt64();
    }
    return bytes;
}

// The detector's input size per channel, from "Input Complete [success] size=N bytes, dur=D ms
// <NAME@zeph>".
std::map<std::string, long> InputSizes(const std::string& log) {
    std::map<std::string, long> sizes;
    const std::string kMark = "Input Complete [success] size=";
    for (size_t at = log.find(kMark); at != std::string::npos; at = log.find(kMark, at + 1)) {
        size_t name = log.find('<', at);
        size_t end = log.find('@', name);
        if (name == std::string::npos || end == std::string::npos)
            break;
        sizes[log.substr(name + 1, end - name - 1)] = std::stol(log.substr(at + kMark.size()));
    }
    return sizes;
}

TEST(HandOffTest, FloodedEngineHandsEveryBlockOnInOrder) {
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("I would like a large pizza", 8000);
    ASSERT_FALSE(samples.empty()) << "espeak-ng and sox make the test audio";
    ASSERT_TRUE(ZephTest::WriteWavFile(root.Path() + "/speech.wav", samples, 8000));
    // What each caller says: the speech, then 1500 ms of silence.
    std::string caller(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    caller.append(1500 * 8 * 2, '\0');
    ZephTest::UseTestCredentials();
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--record", root.Path() + "/streams.jsonl"}));
    root.WriteConfig(sim.target(), "",
                     "<utterance-manager save-waveforms=\"true\" waveform-folder=\"utt\"/>");

    std::string scenario;
    for (int i = 0; i < kChannels; ++i)
        scenario += "channel " + Name(i) + "\n";
    for (int i = 0; i < kChannels; ++i) {
        scenario += "send " + Name(i) +
                    " <<END\nMRCP/2.0 0 RECOGNIZE 1\nSave-Waveform: true\n"
                    "Content-Type: text/uri-list\n\nbuiltin:speech/transcribe?dialogid=" +
                    Name(i) + "\nEND\n";
    }
    for (int i = 0; i < kChannels; ++i)
        scenario += "wait " + Name(i) + " response\naudio " + Name(i) + " speech.wav\nsilence " +
                    Name(i) + " 1500\n";
    for (int i = 0; i < kChannels; ++i)
        scenario += "wait " + Name(i) + " RECOGNITION-COMPLETE timeout=60000\n";
    for (int i = 0; i < kChannels; ++i)
        scenario += "close " + Name(i) + "\n";
    RunResult run = root.Run(scenario, "--pace fast");
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), size_t(kChannels));
    EXPECT_EQ(sim.Stop(), 0);

    const std::string records = ReadFile(root.Path() + "/streams.jsonl");
    EXPECT_EQ(Count(records, "\"flavour\""), size_t(kChannels)) << records;
    EXPECT_EQ(Count(records, "shutting down"), 0u) << records;
    std::map<std::string, long> sent = AudioBytesBySession(records);
    EXPECT_EQ(sent.size(), size_t(kChannels));
    std::map<std::string, long> input = InputSizes(run.log);
    // By channel: each channel's one file is named "osrzeph-NAME-TIME-1.wav".
    std::map<std::string, std::string> saved;
    std::string files;
    for (const auto& entry : std::filesystem::directory_iterator(root.Path() + "/var/utt")) {
        std::string file = entry.path().filename().string();
        files += file + " ";
        size_t name = file.find("-C");
        size_t end = file.find('-', name + 1);
        if (name != std::string::npos && end != std::string::npos)
            saved[file.substr(name + 1, end - name - 1)] = ReadFile(entry.path().string());
    }
    for (int i = 0; i < kChannels; ++i) {
        SCOPED_TRACE(Name(i));
        ASSERT_EQ(saved.count(Name(i)), 1u) << files;
        ASSERT_GT(saved[Name(i)].size(), 44u);
        const std::string audio = saved[Name(i)].substr(44);
        // Whole and in order: one stretch of the caller's audio (after the silence the
        // detector puts before the speech), every byte of the input.
        const std::string heard =
            audio.substr(std::min(audio.find_first_not_of('\0'), audio.size()));
        EXPECT_GT(heard.size(), 16000u);
        EXPECT_NE(caller.find(heard), std::string::npos) << heard.size() << " bytes";
        EXPECT_EQ(static_cast<long>(audio.size()), input[Name(i)]);
        EXPECT_EQ(static_cast<long>(audio.size()), sent[Name(i)]);
    }
}

}  // namespace
