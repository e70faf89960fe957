#include "speech_listener.h"

#include "webrtc_vad.h"

namespace DialogflowSim {
namespace {

// G.711 expansion (ITU-T G.711, as in every telephony stack).
int16_t MulawToLinear(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    const int exponent = (code >> 4) & 0x07;
    const int mantissa = code & 0x0F;
    const int magnitude = (((mantissa << 3) + 0x84) << exponent) - 0x84;
    return static_cast<int16_t>((code & 0x80) ? -magnitude : magnitude);
}

int16_t AlawToLinear(uint8_t code) {
    code ^= 0x55;
    const int exponent = (code >> 4) & 0x07;
    const int mantissa = code & 0x0F;
    int magnitude =
        exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
    return static_cast<int16_t>((code & 0x80) ? magnitude : -magnitude);
}

bool DetectorTakes(int rate) {
    return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000;
}

}  // namespace

SpeechListener::SpeechListener(int sample_rate_hertz, Encoding encoding, int interim_every_ms,
                               int end_silence_ms)
    : input_rate_(sample_rate_hertz > 0 ? sample_rate_hertz : 8000),
      vad_rate_(DetectorTakes(sample_rate_hertz) ? sample_rate_hertz : 8000),
      encoding_(encoding),
      interim_every_ms_(interim_every_ms),
      end_silence_ms_(end_silence_ms) {
    vad_ = WebRtcVad_Create();
    // Mode 2 ("aggressive"): a quiet line's hiss is not speech.
    if (vad_ && (WebRtcVad_Init(vad_) != 0 || WebRtcVad_set_mode(vad_, 2) != 0)) {
        WebRtcVad_Free(vad_);
        vad_ = nullptr;
    }
    frame_.reserve(static_cast<size_t>(vad_rate_ / 100));
}

SpeechListener::~SpeechListener() {
    if (vad_) {
        WebRtcVad_Free(vad_);
    }
}

void SpeechListener::Feed(const std::string& bytes, std::vector<Heard>* heard) {
    if (encoding_ != Encoding::kLinear16) {
        for (char byte : bytes) {
            const uint8_t code = static_cast<uint8_t>(byte);
            AddSample(encoding_ == Encoding::kMulaw ? MulawToLinear(code) : AlawToLinear(code),
                      heard);
        }
        return;
    }
    pending_bytes_ += bytes;
    size_t at = 0;
    for (; at + 1 < pending_bytes_.size(); at += 2) {
        const uint16_t low = static_cast<uint8_t>(pending_bytes_[at]);
        const uint16_t high = static_cast<uint8_t>(pending_bytes_[at + 1]);
        AddSample(static_cast<int16_t>(low | (high << 8)), heard);
    }
    pending_bytes_.erase(0, at);
}

void SpeechListener::AddSample(int16_t sample, std::vector<Heard>* heard) {
    // Thinning to the detector's rate keeps the input samples that fall on its grid.
    const uint64_t index = input_samples_++;
    if (vad_rate_ != input_rate_ && index != vad_samples_ * static_cast<uint64_t>(input_rate_) /
                                                 static_cast<uint64_t>(vad_rate_)) {
        return;
    }
    ++vad_samples_;
    frame_.push_back(sample);
    if (frame_.size() == static_cast<size_t>(vad_rate_ / 100)) {
        const bool voiced =
            vad_ && WebRtcVad_Process(vad_, vad_rate_, frame_.data(), frame_.size()) == 1;
        frame_.clear();
        OnFrame(voiced, heard);
    }
}

void SpeechListener::OnFrame(bool voiced, std::vector<Heard>* heard) {
    audio_ms_ += 10;
    if (!in_speech_) {
        voiced_run_ms_ = voiced ? voiced_run_ms_ + 10 : 0;
        if (voiced_run_ms_ < kSpeechStartMs) {
            return;
        }
        in_speech_ = true;
        heard_speech_ = true;
        speech_ms_ = voiced_run_ms_;
        next_interim_ms_ = interim_every_ms_;
        silence_ms_ = 0;
        return;
    }
    speech_ms_ += 10;
    silence_ms_ = voiced ? 0 : silence_ms_ + 10;
    if (voiced && speech_ms_ >= next_interim_ms_) {
        heard->push_back(Heard::kInterimDue);
        next_interim_ms_ = speech_ms_ + interim_every_ms_;
    }
    if (silence_ms_ >= end_silence_ms_) {
        in_speech_ = false;
        voiced_run_ms_ = 0;
        speech_end_ms_ = audio_ms_ - silence_ms_;
        heard->push_back(Heard::kPauseEnded);
    }
}

}  // namespace DialogflowSim
