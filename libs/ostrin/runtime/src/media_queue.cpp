#include "ostrin_runtime/media_queue.h"

#include <algorithm>
#include <string>

#include <ostrin/mpf_frame.h>

namespace OstrinRuntime {

namespace {
const int kDtmfVolume = 10;  // -10 dBm0, a typical telephone keypad level
}

MediaQueue::MediaQueue(int sample_rate) : sample_rate_(sample_rate) {}

int MediaQueue::DtmfEventId(char digit) {
    apr_uint32_t id = mpf_dtmf_char_to_event_id(digit);
    return id <= 15 ? int(id) : -1;
}

void MediaQueue::AddAudio(std::vector<int16_t> samples) {
    if (samples.empty())
        return;
    Segment segment{Segment::Type::kAudio, {}, 0, 0, 0, 0, 0};
    segment.samples = std::make_shared<const std::vector<int16_t>>(std::move(samples));
    segments_.push_back(std::move(segment));
}

void MediaQueue::AddSilence(int ms) {
    int frames = (ms + 9) / 10;
    if (frames <= 0)
        return;
    Segment segment{Segment::Type::kSilence, {}, 0, frames, 0, 0, 0};
    segments_.push_back(std::move(segment));
}

bool MediaQueue::AddDtmf(const std::string& digits, const DtmfTiming& timing, std::string* error) {
    for (char digit : digits) {
        if (DtmfEventId(digit) < 0) {
            *error = std::string("not a DTMF digit: '") + digit + "'";
            return false;
        }
    }
    // A tone always spans at least one frame; the end-of-event frame follows it.
    int tone_frames = std::max(1, timing.duration_ms / 10);
    // RFC 4733 section 2.3.5: the duration field is 16 bits of timestamp units; a longer
    // tone would need segments, which no keypad press does.
    int max_tone_frames = 0xFFFF / samples_per_frame();
    if (tone_frames > max_tone_frames) {
        *error = "DTMF duration " + std::to_string(timing.duration_ms) + " ms is longer than " +
                 std::to_string(max_tone_frames * 10) + " ms, the most an RFC 4733 event at " +
                 std::to_string(sample_rate_) + " Hz can last";
        return false;
    }
    int gap_frames = std::max(0, timing.gap_ms / 10);
    for (char digit : digits) {
        Segment segment{Segment::Type::kDtmf, {}, 0, 0, 0, 0, 0};
        segment.event_id = DtmfEventId(digit);
        segment.tone_frames = tone_frames;
        segment.frames_left = tone_frames + 1 + gap_frames;
        segments_.push_back(std::move(segment));
    }
    return true;
}

size_t MediaQueue::PendingFrames() const {
    size_t frames = 0;
    size_t per_frame = size_t(samples_per_frame());
    for (const Segment& segment : segments_) {
        if (segment.type == Segment::Type::kAudio) {
            frames += (segment.samples->size() - segment.offset + per_frame - 1) / per_frame;
        } else {
            frames += size_t(segment.frames_left);
        }
    }
    return frames;
}

bool MediaQueue::NextFrame(MediaFrame* frame) {
    if (segments_.empty())
        return false;
    Segment& segment = segments_.front();
    int per_frame = samples_per_frame();
    *frame = MediaFrame();
    switch (segment.type) {
        case Segment::Type::kAudio: {
            const std::vector<int16_t>& samples = *segment.samples;
            size_t count = std::min(size_t(per_frame), samples.size() - segment.offset);
            frame->kind = MediaFrame::Kind::kAudio;
            frame->sample_count = per_frame;
            std::copy_n(samples.begin() + long(segment.offset), count, frame->samples);
            segment.offset += count;
            if (segment.offset >= samples.size())
                segments_.pop_front();
            break;
        }
        case Segment::Type::kSilence:
            frame->kind = MediaFrame::Kind::kAudio;
            frame->sample_count = per_frame;
            if (--segment.frames_left == 0)
                segments_.pop_front();
            break;
        case Segment::Type::kDtmf: {
            int index = segment.frames_done++;
            if (index <= segment.tone_frames) {
                // Tone frames carry the duration so far; the end frame repeats the full length.
                frame->kind = MediaFrame::Kind::kEvent;
                frame->event_id = segment.event_id;
                frame->volume = kDtmfVolume;
                int elapsed_frames = std::min(index + 1, segment.tone_frames);
                frame->duration = elapsed_frames * per_frame;
                if (index == 0)
                    frame->marker = MediaFrame::kMarkerStartOfEvent;
                if (index == segment.tone_frames) {
                    frame->marker = MediaFrame::kMarkerEndOfEvent;
                    frame->edge = 1;
                }
            } else {
                frame->kind = MediaFrame::Kind::kAudio;  // the gap: silence
                frame->sample_count = per_frame;
            }
            if (--segment.frames_left == 0)
                segments_.pop_front();
            break;
        }
    }
    return true;
}

}  // namespace OstrinRuntime
