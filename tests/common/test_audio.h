// Test audio made on the spot: speech synthesized by espeak-ng and converted by sox,
// so the tests need no committed recordings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace ZephTest {

// Writes 16-bit mono PCM samples as a WAV file; true when written.
inline bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, int rate) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    auto u32 = [file](uint32_t v) { std::fwrite(&v, 4, 1, file); };
    auto u16 = [file](uint16_t v) { std::fwrite(&v, 2, 1, file); };
    uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
    std::fwrite("RIFF", 1, 4, file);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, file);
    u32(16);
    u16(1);
    u16(1);
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate * 2));
    u16(2);
    u16(16);
    std::fwrite("data", 1, 4, file);
    u32(bytes);
    std::fwrite(samples.data(), 2, samples.size(), file);
    return std::fclose(file) == 0;
}

// Runs a shell command; true on exit status 0.
inline bool RunCommand(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// A fresh directory under TMPDIR (or /tmp), removed by the caller if it cares.
inline std::string MakeTempDir(const char* prefix = "zeph-test") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* dir = mkdtemp(buffer.data());
    return dir ? std::string(dir) : std::string();
}

inline std::vector<int16_t> ReadRawSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

// `text` spoken by espeak-ng, as 16-bit mono little-endian samples at `rate` Hz.
// Empty on failure.
inline std::vector<int16_t> SynthesizeSpeech(const std::string& text, int rate) {
    std::string dir = MakeTempDir("zeph-speech");
    if (dir.empty())
        return {};
    std::string wav = dir + "/speech.wav";
    std::string raw = dir + "/speech.raw";
    std::string command = "espeak-ng -w '" + wav + "' '" + text + "' >/dev/null 2>&1 && sox '" +
                          wav + "' -r " + std::to_string(rate) +
                          " -c 1 -b 16 -e signed-integer -L -t raw '" + raw + "' >/dev/null 2>&1";
    std::vector<int16_t> samples;
    if (RunCommand(command))
        samples = ReadRawSamples(raw);
    RunCommand("rm -rf '" + dir + "'");
    return samples;
}

// `ms` of noise from sox at the given peak amplitude (0..1), 16-bit mono at `rate` Hz.
inline std::vector<int16_t> SynthesizeNoise(int ms, int rate, double amplitude,
                                            const char* colour = "pinknoise") {
    std::string dir = MakeTempDir("zeph-noise");
    if (dir.empty())
        return {};
    std::string raw = dir + "/noise.raw";
    std::string command = "sox -n -r " + std::to_string(rate) +
                          " -c 1 -b 16 -e signed-integer -L -t raw '" + raw + "' synth " +
                          std::to_string(ms / 1000.0) + " " + colour + " vol " +
                          std::to_string(amplitude) + " >/dev/null 2>&1";
    std::vector<int16_t> samples;
    if (RunCommand(command))
        samples = ReadRawSamples(raw);
    RunCommand("rm -rf '" + dir + "'");
    return samples;
}

}  // namespace ZephTest
