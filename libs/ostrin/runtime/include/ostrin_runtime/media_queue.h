// Media queued for one channel and cut into 10 ms frames: recorded audio, silence and DTMF
// digits as RFC 4733 named events.
//
// Not synchronized: the server thread fills it and the media thread drains it, both under the
// media thread's lock (see MediaThread).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace OstrinRuntime {

// One 10 ms frame as the media thread hands it to a channel.
struct MediaFrame {
    static const int kMaxSamples = 320;  // 10 ms at 16000 Hz

    enum class Kind { kNone, kAudio, kEvent };
    enum Marker { kMarkerNone = 0, kMarkerStartOfEvent = 1, kMarkerEndOfEvent = 2 };

    Kind kind = Kind::kNone;
    int sample_count = 0;  // audio frames only
    int16_t samples[kMaxSamples] = {};
    // Named-event frames only: RFC 4733 event code, marker, end bit, volume (-dBm0) and the
    // event's duration so far in timestamp units (samples at the channel's rate).
    int marker = kMarkerNone;
    int event_id = 0;
    int edge = 0;
    int volume = 0;
    int duration = 0;
};

struct DtmfTiming {
    int duration_ms = 100;  // tone length
    int gap_ms = 50;        // silence after the tone
};

class MediaQueue {
public:
    explicit MediaQueue(int sample_rate);

    int sample_rate() const { return sample_rate_; }
    int samples_per_frame() const { return sample_rate_ / 100; }

    // A partial last frame of audio is padded with silence.
    void AddAudio(std::vector<int16_t> samples);
    void AddSilence(int ms);
    // False (and `error` set) when `digits` holds a character that is not a DTMF digit, or
    // when the tone is longer than the 16-bit RFC 4733 duration holds (65535 samples).
    bool AddDtmf(const std::string& digits, const DtmfTiming& timing, std::string* error);

    bool Empty() const { return segments_.empty(); }
    size_t PendingFrames() const;
    // Fills `frame` with the next queued frame; false when nothing is queued.
    bool NextFrame(MediaFrame* frame);
    void Clear() { segments_.clear(); }

    // RFC 4733 event code of a DTMF character (0-9, *, #, A-D; letters in either case), or -1.
    static int DtmfEventId(char digit);

private:
    struct Segment {
        enum class Type { kAudio, kSilence, kDtmf } type;
        std::shared_ptr<const std::vector<int16_t>> samples;  // kAudio
        size_t offset = 0;                                    // kAudio: next sample
        int frames_left = 0;  // kSilence: frames; kDtmf: tone + end + gap frames still to go
        int event_id = 0;     // kDtmf
        int tone_frames = 0;  // kDtmf
        int frames_done = 0;  // kDtmf
    };

    int sample_rate_;
    std::deque<Segment> segments_;
};

}  // namespace OstrinRuntime
