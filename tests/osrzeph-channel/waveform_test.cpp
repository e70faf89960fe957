// Saved utterances and recognition-details records end to end: the plugin in the `ostrin`
// command recognizes espeak-ng speech against dialogflow-sim over TLS with the utterance
// manager and the record manager saving. The Waveform-URI of the RECOGNITION-COMPLETE names
// a WAV file in the waveform folder that holds exactly the audio streamed to the service,
// the record parses as JSON, and no call is left open at the sim.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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

const char kBaseUri[] = "http://localhost/utterances";
const int kRate = 8000;

// The value of the first `name` header after `after` in `text`; empty when there is none.
std::string HeaderAfter(const std::string& text, const std::string& after,
                        const std::string& name) {
    size_t at = text.find(after);
    if (at == std::string::npos)
        return "";
    at = text.find("\n" + name + ": ", at);
    if (at == std::string::npos)
        return "";
    at += name.size() + 3;
    return text.substr(at, text.find('\n', at) - at);
}

// The regular files in `dir`.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    }
    return names;
}

uint32_t LittleEndian32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

uint16_t LittleEndian16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                 static_cast<uint8_t>(bytes[at + 1]) << 8);
}

std::string ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Speech followed by silence, so that the detector ends the input itself and the plugin
// half-closes the stream: everything the detector hands on reaches the sim.
const char kAgent[] =
    "{\"utterances\": [{\"end_of_utterance\": \"half-close\", "
    "\"transcript\": \"I want a large pizza\", \"confidence\": 0.9}]}";

class WaveformTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("I want a large pizza", kRate);
        ASSERT_FALSE(samples.empty()) << "espeak-ng and sox make the test audio";
        ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/speech.wav", samples, kRate));
        ASSERT_TRUE(StartSim(kAgent));
    }

    // (Re)starts the sim with `agent` and `args` and points the configuration at it.
    bool StartSim(const std::string& agent, std::vector<std::string> args = {}) {
        m_sim.Stop();
        WriteFile(m_root.Path() + "/agent.json", agent);
        args.insert(args.end(), {"--record", m_root.Path() + "/streams.jsonl", "--agent",
                                 m_root.Path() + "/agent.json"});
        if (!m_sim.Start(args))
            return false;
        m_root.WriteConfig(
            m_sim.target(), "",
            "<utterance-manager save-waveforms=\"true\" waveform-folder=\"utterances\" "
            "waveform-base-uri=\"" +
                std::string(kBaseUri) +
                "\"/>\n<rdr-manager save-records=\"true\" record-folder=\"records\"/>");
        return true;
    }

    // A RECOGNIZE with "Save-Waveform: true", the speech, a second, then `end`.
    RunResult RecognizeThen(const std::string& end) {
        return m_root.Run(
            "channel A\nsend A <<END\nMRCP/2.0 0 RECOGNIZE 1\nSave-Waveform: true\n"
            "Content-Type: text/uri-list\n\nbuiltin:speech/transcribe\nEND\nwait A response\n"
            "audio A speech.wav\nsleep 1000\n" +
            end);
    }

    // One RECOGNIZE with "Save-Waveform: true" on a channel of MRCP `version`, the speech
    // and two seconds of silence, up to the RECOGNITION-COMPLETE.
    RunResult Recognize(int version) {
        std::string request = version == 2 ? "MRCP/2.0 0 RECOGNIZE 1\n" : "RECOGNIZE 1 MRCP/1.0\n";
        request +=
            "Save-Waveform: true\nContent-Type: text/uri-list\n\nbuiltin:speech/transcribe\n";
        return m_root.Run("channel A version=" + std::to_string(version) + "\nsend A <<END\n" +
                          request +
                          "END\nwait A response\naudio A speech.wav\nsilence A 2000\n"
                          "wait A RECOGNITION-COMPLETE timeout=30000\nclose A\n");
    }

    // The sim's record of the one stream, after the sim has stopped (so every stream it
    // saw has ended and is written).
    bool OneStream(rapidjson::Document& stream) {
        m_sim.Stop();
        std::string streams = ReadFile(m_root.Path() + "/streams.jsonl");
        EXPECT_EQ(Count(streams, "\"flavour\""), 1u) << streams;
        stream.Parse(streams.c_str(), streams.find('\n'));
        return !stream.HasParseError() && stream.IsObject();
    }

    // Checks the WAV file `name` in the waveform folder and hands back its data length.
    uint32_t CheckWave(const std::string& name) {
        std::string path = m_root.Path() + "/var/utterances/" + name;
        std::string wave = ReadBinary(path);
        EXPECT_GT(wave.size(), 44u) << path;
        if (wave.size() <= 44)
            return 0;
        EXPECT_EQ(wave.compare(0, 4, "RIFF"), 0);
        EXPECT_EQ(wave.compare(8, 8, "WAVEfmt "), 0);
        EXPECT_EQ(LittleEndian16(wave, 20), 1u);  // PCM
        EXPECT_EQ(LittleEndian16(wave, 22), 1u);  // mono
        EXPECT_EQ(LittleEndian32(wave, 24), static_cast<uint32_t>(kRate));
        EXPECT_EQ(LittleEndian16(wave, 34), 16u);
        EXPECT_EQ(wave.compare(36, 4, "data"), 0);
        uint32_t data = LittleEndian32(wave, 40);
        EXPECT_EQ(LittleEndian32(wave, 4), data + 36);
        EXPECT_EQ(wave.size(), data + 44u);
        // sox reads it as a WAV file of data / 2 samples.
        std::string out = m_root.Path() + "/soxi.txt";
        EXPECT_TRUE(ZephTest::RunCommand("soxi -s '" + path + "' >'" + out + "' 2>&1"))
            << ReadFile(out);
        EXPECT_EQ(ReadFile(out), std::to_string(data / 2) + "\n");
        return data;
    }

    // The one record in the record folder, parsed.
    bool OneRecord(rapidjson::Document& record) {
        std::vector<std::string> records = FilesIn(m_root.Path() + "/var/records");
        EXPECT_EQ(records.size(), 1u);
        if (records.size() != 1)
            return false;
        std::string text = ReadFile(m_root.Path() + "/var/records/" + records[0]);
        record.Parse(text.c_str());
        EXPECT_FALSE(record.HasParseError()) << text;
        return !record.HasParseError() && record.IsObject() &&
               record.HasMember("recog-details-record") &&
               record["recog-details-record"].IsObject();
    }

    ServerRoot m_root;
    ZephTest::SimProcess m_sim;
};

std::string StringMember(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject() || !object.HasMember(name) || !object[name].IsString())
        return "<missing " + std::string(name) + ">";
    return object[name].GetString();
}

// MRCPv2: the URI with the size and duration of the utterance; the file is a valid WAV of
// exactly the audio the sim received, and the record tells the same.
TEST_F(WaveformTest, SavedUtteranceHoldsTheAudioStreamedAndIsNamedWithSizeAndDuration) {
    RunResult run = Recognize(2);
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 000 success"), std::string::npos)
        << run.messages;

    // "<URI>;size=N;duration=M"
    std::string value = HeaderAfter(run.messages, "RECOGNITION-COMPLETE", "Waveform-URI");
    std::string prefix = "<" + std::string(kBaseUri) + "/";
    ASSERT_EQ(value.compare(0, prefix.size(), prefix), 0) << run.messages;
    size_t close = value.find('>');
    ASSERT_NE(close, std::string::npos) << value;
    std::string name = value.substr(prefix.size(), close - prefix.size());
    unsigned long size = 0;
    unsigned long duration = 0;
    char rest = 0;
    ASSERT_EQ(
        std::sscanf(value.c_str() + close + 1, ";size=%lu;duration=%lu%c", &size, &duration, &rest),
        2)
        << value;
    EXPECT_GT(size, 0u);
    // 16-bit samples at 8 kHz: 16 bytes a millisecond.
    EXPECT_EQ(duration, size / 16) << value;

    // The one file in the waveform folder, of that name, with `size` bytes of audio.
    std::vector<std::string> files = FilesIn(m_root.Path() + "/var/utterances");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], name);
    uint32_t data = CheckWave(name);
    EXPECT_EQ(data, size);

    rapidjson::Document record;
    ASSERT_TRUE(OneRecord(record));
    const rapidjson::Value& details = record["recog-details-record"];
    EXPECT_EQ(StringMember(details, "language"), "en-US");
    EXPECT_EQ(StringMember(details, "sampling-rate"), "8000 Hz");
    EXPECT_EQ(StringMember(details, "completion-cause"), "success");
    EXPECT_EQ(StringMember(details, "transcript"), "I want a large pizza");
    ASSERT_TRUE(details.HasMember("input"));
    EXPECT_EQ(StringMember(details["input"], "type"), "speech");
    EXPECT_EQ(StringMember(details["input"], "size"), std::to_string(size) + " bytes");
    ASSERT_TRUE(details.HasMember("gRPC"));
    EXPECT_EQ(StringMember(details["gRPC"], "sent"), std::to_string(data) + " bytes");

    // The stream ended normally, after the half-close, with all of the file's audio.
    rapidjson::Document stream;
    ASSERT_TRUE(OneStream(stream));
    ASSERT_TRUE(stream.HasMember("audio_bytes") && stream["audio_bytes"].IsUint64());
    EXPECT_EQ(stream["audio_bytes"].GetUint64(), data);
    ASSERT_TRUE(stream.HasMember("half_close") && stream.HasMember("cancelled") &&
                stream.HasMember("status") && stream["status"].IsObject() &&
                stream["status"].HasMember("code") && stream["status"]["code"].IsInt());
    EXPECT_TRUE(stream["half_close"].IsTrue());
    EXPECT_TRUE(stream["cancelled"].IsFalse());
    EXPECT_EQ(stream["status"]["code"].GetInt(), 0);
}

// MRCPv1: the bare URI of the same file, in MRCPv1's Waveform-URL header.
TEST_F(WaveformTest, MrcpV1GetsTheBareUrlOfTheSavedUtterance) {
    RunResult run = Recognize(1);
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 000 success"), std::string::npos)
        << run.messages;
    std::string value = HeaderAfter(run.messages, "RECOGNITION-COMPLETE", "Waveform-URL");
    std::string prefix = std::string(kBaseUri) + "/";
    ASSERT_EQ(value.compare(0, prefix.size(), prefix), 0) << run.messages;
    std::string name = value.substr(prefix.size());
    EXPECT_EQ(name.find_first_of("<>;"), std::string::npos) << value;

    std::vector<std::string> files = FilesIn(m_root.Path() + "/var/utterances");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], name);
    uint32_t data = CheckWave(name);
    EXPECT_GT(data, 0u);

    rapidjson::Document record;
    ASSERT_TRUE(OneRecord(record));
    const rapidjson::Value& details = record["recog-details-record"];
    EXPECT_EQ(StringMember(details, "language"), "en-US");
    EXPECT_EQ(StringMember(details, "completion-cause"), "success");
    ASSERT_TRUE(details.HasMember("input"));
    EXPECT_EQ(StringMember(details["input"], "type"), "speech");

    rapidjson::Document stream;
    ASSERT_TRUE(OneStream(stream));
    ASSERT_TRUE(stream.HasMember("audio_bytes") && stream["audio_bytes"].IsUint64() &&
                stream.HasMember("cancelled"));
    EXPECT_EQ(stream["audio_bytes"].GetUint64(), data);
    EXPECT_TRUE(stream["cancelled"].IsFalse());
}

// A client's hang-up while the stream runs cancels the recognition: 011 in the event and in
// the record, not a recognizer error; the Waveform-URI tells the audio the file holds.
TEST_F(WaveformTest, CloseWhileStreamingIsCancelledInTheEventAndTheRecord) {
    ASSERT_TRUE(StartSim("{\"faults\": {\"stall\": true}}"));
    RunResult run = RecognizeThen("close A\n");
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find("Completion-Cause: 011 cancelled\n"), std::string::npos)
        << run.messages;
    rapidjson::Document record;
    ASSERT_TRUE(OneRecord(record));
    EXPECT_EQ(StringMember(record["recog-details-record"], "completion-cause"), "cancelled");
    std::string value = HeaderAfter(run.messages, "RECOGNITION-COMPLETE", "Waveform-URI");
    std::vector<std::string> files = FilesIn(m_root.Path() + "/var/utterances");
    ASSERT_EQ(files.size(), 1u);
    unsigned long size = 0;
    if (!value.empty()) {
        ASSERT_EQ(std::sscanf(value.c_str() + value.find('>') + 1, ";size=%lu", &size), 1) << value;
        EXPECT_EQ(CheckWave(files[0]), size);
    }
}

// A STOP before the stream exists (the sim holds the connection): nothing was streamed, so
// the file holds no audio and no Waveform-URI announces it.
TEST_F(WaveformTest, StopBeforeTheStreamExistsAnnouncesNoEmptyFile) {
    ASSERT_TRUE(StartSim(kAgent, {"--hold-connections", "600000"}));
    RunResult run =
        RecognizeThen("send A <<END\nMRCP/2.0 0 STOP 2\n\nEND\nwait A response\nclose A\n");
    ASSERT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_NE(run.messages.find(" 2 200 COMPLETE\nChannel-Identifier: A@speechrecog\n"
                                "Active-Request-Id-List: 1\n\n"),
              std::string::npos)
        << run.messages;
    EXPECT_EQ(run.messages.find("Waveform-URI"), std::string::npos) << run.messages;
    std::vector<std::string> files = FilesIn(m_root.Path() + "/var/utterances");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(m_root.Path() + "/var/utterances/" + files[0]), 44u);
}

}  // namespace
