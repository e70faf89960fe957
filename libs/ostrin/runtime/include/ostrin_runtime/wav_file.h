// Reading caller recordings: WAV files of linear PCM, float, A-law or u-law (what phone
// systems record), any rate and channel count.
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

// Reads `path` into `audio` as 16-bit mono samples at `expected_rate` (0: the file's own
// rate): 16-bit mono PCM at that rate is taken as it is, anything else is decoded, mixed
// down and resampled with libsox. A file whose data chunk is cut short is refused. On
// failure returns false and puts a one-line reason, starting with the path, into `error`.
bool ReadWavFile(const std::string& path, int expected_rate, WavAudio* audio, std::string* error);

}  // namespace OstrinRuntime
