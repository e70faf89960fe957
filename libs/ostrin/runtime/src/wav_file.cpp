#include "ostrin_runtime/wav_file.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

namespace OstrinRuntime {

namespace {

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) {
    return uint16_t(p[0] | p[1] << 8);
}

const uint16_t kFormatPcm = 1;
const uint16_t kFormatExtensible = 0xFFFE;
// Over four hours of 16 kHz audio.
const uint64_t kMaxWavFileBytes = uint64_t(512) << 20;

}  // namespace

bool ReadWavFile(const std::string& path, int expected_rate, WavAudio* audio, std::string* error) {
    // Only a regular file of bounded size: a device or pipe given by mistake would never end.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "cannot open WAV file " + path + " (not a regular file)";
        return false;
    }
    if (uint64_t(info.st_size) > kMaxWavFileBytes) {
        *error = path + ": larger than " + std::to_string(kMaxWavFileBytes >> 20) + " MiB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open WAV file " + path;
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return false;
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return fail("not a RIFF/WAVE file");
    }
    bool have_format = false;
    uint16_t format = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + pos;
        uint32_t size = Le32(chunk + 4);
        size_t body = pos + 8;
        size_t available = bytes.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > available)
                return fail("truncated fmt chunk");
            format = Le16(chunk + 8);
            channels = Le16(chunk + 10);
            rate = Le32(chunk + 12);
            bits = Le16(chunk + 22);
            if (format == kFormatExtensible && size >= 40) {
                // The sub-format GUID starts with the plain format tag.
                format = Le16(chunk + 8 + 24);
            }
            have_format = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_format)
                return fail("data chunk before fmt chunk");
            if (format != kFormatPcm) {
                return fail("format " + std::to_string(format) + " is not linear PCM");
            }
            if (channels != 1)
                return fail(std::to_string(channels) + " channels, need mono");
            if (bits != 16)
                return fail(std::to_string(bits) + " bits per sample, need 16");
            // A rate the result cannot carry (zero, or beyond int) is no sampling rate.
            if (rate == 0 || rate > uint32_t(INT32_MAX))
                return fail("sampling rate " + std::to_string(rate) + " Hz is not valid");
            if (expected_rate != 0 && rate != uint32_t(expected_rate)) {
                return fail("sampling rate " + std::to_string(rate) + " Hz, channel needs " +
                            std::to_string(expected_rate) + " Hz");
            }
            // A recorder that was cut off may leave a size larger than what follows.
            size_t length = size > available ? available : size;
            audio->sample_rate = int(rate);
            audio->samples.resize(length / 2);
            for (size_t i = 0; i < audio->samples.size(); ++i) {
                audio->samples[i] = int16_t(Le16(bytes.data() + body + 2 * i));
            }
            return true;
        }
        if (size > available)
            break;
        pos = body + size + (size & 1);
    }
    return fail(have_format ? "no data chunk" : "no fmt chunk");
}

}  // namespace OstrinRuntime
