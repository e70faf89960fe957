// Reading caller recordings: 16-bit mono linear PCM WAV files.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace OstrinRuntime {

struct WavAudio {
    int sample_rate = 0;
    std::vector<int16_t> samples;
};

// Reads `path` into `audio`. Only 16-bit mono PCM is accepted, and when `expected_rate` is not 0
// its sampling rate must equal it. On failure returns false and puts a one-line reason into
// `error`.
bool ReadWavFile(const std::string& path, int expected_rate, WavAudio* audio, std::string* error);

}  // namespace OstrinRuntime
