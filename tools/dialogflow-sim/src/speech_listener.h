// Listens to a stream's audio as a speech service does: a WebRTC voice activity detector
// over 10 ms frames tells speech from silence, and the listener says when an interim
// transcript is due and when a pause has ended a portion of speech. The pace therefore
// follows the audio actually received, whatever the client's chunk sizes or sending speed.
//
// Threads: owned by one stream and called under its lock; not thread-safe by itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct WebRtcVadInst VadInst;

namespace DialogflowSim {

class SpeechListener {
public:
    enum class Encoding { kLinear16, kMulaw, kAlaw };
    enum class Heard {
        kInterimDue,  // another interim_every_ms of speech
        kPauseEnded,  // end_silence_ms of silence after speech
    };

    // Any sample rate: rates the detector does not take are thinned to 8 kHz.
    SpeechListener(int sample_rate_hertz, Encoding encoding, int interim_every_ms,
                   int end_silence_ms);
    ~SpeechListener();
    SpeechListener(const SpeechListener&) = delete;
    SpeechListener& operator=(const SpeechListener&) = delete;

    // Feeds received audio; appends what was heard in it, in order.
    void Feed(const std::string& bytes, std::vector<Heard>* heard);

    bool heard_speech() const { return heard_speech_; }
    int64_t audio_ms() const { return audio_ms_; }
    // Where the last speech heard ended (or the audio so far while it goes on).
    int64_t speech_end_ms() const { return in_speech_ ? audio_ms_ - silence_ms_ : speech_end_ms_; }

private:
    void AddSample(int16_t sample, std::vector<Heard>* heard);
    void OnFrame(bool voiced, std::vector<Heard>* heard);

    // Speech starts after this much voiced audio in a row.
    static constexpr int kSpeechStartMs = 30;

    VadInst* vad_ = nullptr;
    const int input_rate_;
    const int vad_rate_;  // input_rate_ or 8000
    const Encoding encoding_;
    const int interim_every_ms_;
    const int end_silence_ms_;

    std::string pending_bytes_;  // a partial sample between feeds
    uint64_t input_samples_ = 0;
    uint64_t vad_samples_ = 0;
    std::vector<int16_t> frame_;

    int64_t audio_ms_ = 0;
    int voiced_run_ms_ = 0;
    bool in_speech_ = false;
    bool heard_speech_ = false;
    int64_t speech_ms_ = 0;  // since the current portion began
    int64_t next_interim_ms_ = 0;
    int silence_ms_ = 0;
    int64_t speech_end_ms_ = 0;
};

}  // namespace DialogflowSim
