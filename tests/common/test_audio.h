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
