#include "ostrin_runtime/wav_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include <sox.h>
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
const uint16_t kFormatFloat = 3;
const uint16_t kFormatAlaw = 6;
const uint16_t kFormatMulaw = 7;
const uint16_t kFormatExtensible = 0xFFFE;
// Over four hours of 16 kHz audio.
const uint64_t kMaxWavFileBytes = uint64_t(512) << 20;

// libsox is set up once per process (its set-up is not thread-safe) and says nothing on
// stderr: a failure comes back as a return value.
void InitSox() {
    static std::once_flag once;
    std::call_once(once, [] {
        sox_init();
        sox_get_globals()->verbosity = 0;
    });
}

bool AddEffect(sox_effects_chain_t* chain, const char* name, int argc, char** argv,
               sox_signalinfo_t* signal, const sox_signalinfo_t* out_signal) {
    const sox_effect_handler_t* handler = sox_find_effect(name);
    if (!handler)
        return false;
    sox_effect_t* effect = sox_create_effect(handler);
    bool ok = sox_effect_options(effect, argc, argv) == SOX_SUCCESS &&
              sox_add_effect(chain, effect, signal, out_signal) == SOX_SUCCESS;
    free(effect);
    return ok;
}

// Decodes `path` with libsox (A-law, µ-law, other sample sizes, float) into 16-bit mono
// samples at `rate`, mixing channels down and resampling as sox itself does.
bool DecodeWithSox(const std::string& path, int rate, std::vector<int16_t>* samples) {
    InitSox();
    sox_format_t* in = sox_open_read(path.c_str(), nullptr, nullptr, nullptr);
    if (!in)
        return false;
    sox_signalinfo_t out_signal = in->signal;
    out_signal.rate = rate;
    out_signal.channels = 1;
    out_signal.precision = 16;
    out_signal.length = SOX_UNKNOWN_LEN;
    sox_encodinginfo_t out_encoding = {};
    out_encoding.encoding = SOX_ENCODING_SIGN2;
    out_encoding.bits_per_sample = 16;
    char* buffer = nullptr;
    size_t size = 0;
    sox_format_t* out =
        sox_open_memstream_write(&buffer, &size, &out_signal, &out_encoding, "raw", nullptr);
    if (!out) {
        sox_close(in);
        return false;
    }
    sox_effects_chain_t* chain = sox_create_effects_chain(&in->encoding, &out->encoding);
    sox_signalinfo_t signal = in->signal;
    char* in_arg = reinterpret_cast<char*>(in);
    char* out_arg = reinterpret_cast<char*>(out);
    bool ok = AddEffect(chain, "input", 1, &in_arg, &signal, &in->signal) &&
              (in->signal.channels == 1 ||
               AddEffect(chain, "channels", 0, nullptr, &signal, &out->signal)) &&
              (in->signal.rate == out->signal.rate ||
               AddEffect(chain, "rate", 0, nullptr, &signal, &out->signal)) &&
              AddEffect(chain, "output", 1, &out_arg, &signal, &out->signal) &&
              sox_flow_effects(chain, nullptr, nullptr) == SOX_SUCCESS;
    sox_delete_effects_chain(chain);
    sox_close(out);  // flushes the memory stream into buffer and size
    sox_close(in);
    if (ok) {
        // "raw" writes the machine's byte order.
        samples->resize(size / 2);
        if (!samples->empty())
            std::memcpy(samples->data(), buffer, samples->size() * 2);
    }
    free(buffer);
    return ok;
}

}  // namespace

bool ReadWavFile(const std::string& path, int expected_rate, WavAudio* audio, std::string* error) {
    // Only a regular file of bounded size: a device or pipe given by mistake would never end.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + ": cannot open (not a regular file)";
        return false;
    }
    if (uint64_t(info.st_size) > kMaxWavFileBytes) {
        *error = path + ": larger than " + std::to_string(kMaxWavFileBytes >> 20) + " MiB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open";
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
            if (format != kFormatPcm && format != kFormatFloat && format != kFormatAlaw &&
                format != kFormatMulaw) {
                return fail("format " + std::to_string(format) +
                            " is not PCM, float, A-law or u-law");
            }
            if (channels == 0 || rate == 0 || bits == 0)
                return fail("no channels, rate or sample size in the fmt chunk");
            // A rate the result cannot carry (beyond int) is no sampling rate.
            if (rate > uint32_t(INT32_MAX))
                return fail("sampling rate " + std::to_string(rate) + " Hz is not valid");
            // A recording that was cut off would play as shorter and then wait for a
            // no-input: refuse it rather than guess.
            const uint32_t frame = uint32_t(channels) * ((bits + 7) / 8);
            if (size > available || size % frame != 0) {
                return fail("truncated: the data chunk says " + std::to_string(size) +
                            " bytes, the file holds " + std::to_string(available) +
                            (size % frame != 0 ? " (not whole samples)" : ""));
            }
            const int wanted = expected_rate != 0 ? expected_rate : int(rate);
            // Resampling a tiny rate up would decode a short file into gigabytes.
            const uint64_t decoded = uint64_t(size / frame) * uint64_t(wanted) / rate;
            if (decoded > kMaxWavFileBytes / 2) {
                return fail(std::to_string(rate) + " Hz resampled to " + std::to_string(wanted) +
                            " Hz would be longer than " + std::to_string(kMaxWavFileBytes >> 21) +
                            " Mi samples");
            }
            audio->sample_rate = wanted;
            if (format == kFormatPcm && channels == 1 && bits == 16 && int(rate) == wanted) {
                audio->samples.resize(size / 2);
                for (size_t i = 0; i < audio->samples.size(); ++i)
                    audio->samples[i] = int16_t(Le16(bytes.data() + body + 2 * i));
                return true;
            }
            if (!DecodeWithSox(path, wanted, &audio->samples)) {
                return fail("cannot decode format " + std::to_string(format) + ", " +
                            std::to_string(bits) + " bits, " + std::to_string(channels) +
                            " channels, " + std::to_string(rate) + " Hz");
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
