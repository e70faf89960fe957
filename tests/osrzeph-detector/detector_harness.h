// A detector under test: records every callback and every log line of the host's default
// log source, and feeds frames.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <ostrin/apt_log.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "mpf_sdi_detector.h"

namespace SdiTest {

// APR and a host logger that passes DEBUG records to the handler, once per process.
inline void InitProcess() {
    static bool done = false;
    if (done)
        return;
    done = true;
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, pool);
}

struct LogLine {
    apt_log_priority_e priority;
    std::string message;
};

// Collects the log lines written while it exists.
class LogCapture {
public:
    LogCapture() { apt_log_handler_set(&LogCapture::Handle, this); }
    ~LogCapture() { apt_log_handler_set(nullptr, nullptr); }

    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool Contains(apt_log_priority_e priority, const std::string& message) {
        for (const LogLine& line : Lines())
            if (line.priority == priority && line.message == message)
                return true;
        return false;
    }
    size_t Count(const std::string& prefix) {
        size_t count = 0;
        for (const LogLine& line : Lines())
            if (line.message.compare(0, prefix.size(), prefix) == 0)
                ++count;
        return count;
    }

private:
    static void Handle(void* obj, const char*, int, const apt_log_source_t*,
                       apt_log_priority_e priority, const char* message) {
        LogCapture* self = static_cast<LogCapture*>(obj);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back({priority, message});
    }
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

enum class Kind { NoInput, Stop, StartOfInput, Speech, Dtmf, Digit };

struct Event {
    Kind kind = Kind::NoInput;
    uint64_t frame = 0;  // frames fed before the one that raised it
    mpf_sdi_mode_e mode = MPF_SDI_MODE_NONE;
    mpf_sdi_state_e state = MPF_SDI_STATE_NO_INPUT;
    std::vector<uint8_t> data;
    bool has_stats = false;
    mpf_sdi_stats_t stats{};
    std::string digits;
    size_t count = 0;
    int matched = -1;
    char digit = 0;
};

// Audio frames for the VAD seam: sample 0 holds the classification code, samples 1 and 2
// the frame number + 1 (so that zero padding, all zeros, is told apart).
inline std::vector<int16_t> TaggedFrame(int rate, uint64_t number, int code) {
    std::vector<int16_t> samples(static_cast<size_t>(rate / 100), 0);
    samples[0] = static_cast<int16_t>(code);
    samples[1] = static_cast<int16_t>((number + 1) & 0x7fff);
    samples[2] = static_cast<int16_t>((number + 1) >> 15);
    return samples;
}

class Detector {
public:
    explicit Detector(const mpf_sdi_params_t* params = nullptr, const char* id = "ch1",
                      bool with_digit_handler = true) {
        InitProcess();
        apr_pool_create(&pool_, nullptr);
        mpf_sdi_event_handlers_t handlers;
        mpf_sdi_event_handlers_init(&handlers);
        handlers.on_noinput = &Detector::OnNoInput;
        handlers.on_stop = &Detector::OnStop;
        handlers.on_start_of_input = &Detector::OnStartOfInput;
        handlers.on_speech_input = &Detector::OnSpeechInput;
        handlers.on_dtmf_input = &Detector::OnDtmfInput;
        if (with_digit_handler)
            handlers.on_dtmf_digit = &Detector::OnDtmfDigit;
        detector_ = mpf_sdi_detector_create(id, &handlers, this, params, pool_);
    }
    ~Detector() {
        mpf_sdi_destroy(detector_);
        apr_pool_destroy(pool_);
    }
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    mpf_sdi_detector_t* get() const { return detector_; }
    apr_pool_t* pool() const { return pool_; }

    void Init(mpf_sdi_mode_e mode = MPF_SDI_MODE_SPEECH_DTMF, int rate = 8000,
              bool noinput_timer = true, bool interim = false) {
        rate_ = rate;
        fed_ = 0;
        stored_next_ = 0;
        mpf_sdi_init(detector_, mode, static_cast<apr_uint16_t>(rate), noinput_timer, interim);
    }

    // One frame classified by the seam as code (0 unvoiced, SDI_SEAM_VOICED, SDI_SEAM_ERROR).
    void Feed(int code) {
        std::vector<int16_t> samples = TaggedFrame(rate_, stored_next_++, code);
        FeedSamples(samples.data(), samples.size() * 2);
    }
    void Feed(int code, size_t count) {
        for (size_t i = 0; i < count; ++i)
            Feed(code);
    }
    void FeedSamples(const void* data, size_t bytes) {
        mpf_frame_t frame{};
        frame.type = MEDIA_FRAME_TYPE_AUDIO;
        frame.codec_frame.buffer = const_cast<void*>(data);
        frame.codec_frame.size = bytes;
        Process(frame);
    }
    // A frame that carries a named event (and no audio).
    void FeedEvent(int marker, uint32_t event_id, uint32_t duration = 0) {
        mpf_frame_t frame{};
        frame.type = MEDIA_FRAME_TYPE_EVENT;
        frame.marker = marker;
        frame.event_frame.event_id = event_id & 0xff;
        frame.event_frame.duration = duration & 0xffff;
        Process(frame);
    }
    // A digit as the media framework delivers it: start of event, end of event.
    void FeedDigit(char digit) {
        uint32_t id = mpf_dtmf_char_to_event_id(digit);
        FeedEvent(MPF_MARKER_START_OF_EVENT, id);
        FeedEvent(MPF_MARKER_END_OF_EVENT, id, 800);
    }
    void FeedEmpty(size_t count = 1) {
        for (size_t i = 0; i < count; ++i) {
            mpf_frame_t frame{};
            Process(frame);
        }
    }
    void Process(const mpf_frame_t& frame) {
        mpf_sdi_process(detector_, &frame);
        ++fed_;
    }
    // Frame numbers (as tagged by Feed) of the audio handed on, in order; -1 for a frame of
    // zeros (leading-silence padding).
    std::vector<int64_t> HandedFrames() const {
        std::vector<uint8_t> all;
        for (const Event& e : events)
            if (e.kind == Kind::Speech)
                all.insert(all.end(), e.data.begin(), e.data.end());
        std::vector<int64_t> numbers;
        size_t frame_bytes = static_cast<size_t>(rate_ / 50);
        for (size_t pos = 0; pos + frame_bytes <= all.size(); pos += frame_bytes) {
            int16_t s[3];
            std::memcpy(s, all.data() + pos, sizeof(s));
            int64_t tagged = static_cast<int64_t>(s[1]) | (static_cast<int64_t>(s[2]) << 15);
            numbers.push_back(tagged - 1);
        }
        return numbers;
    }
    uint64_t HandedBytes() const {
        uint64_t total = 0;
        for (const Event& e : events)
            if (e.kind == Kind::Speech)
                total += e.data.size();
        return total;
    }
    std::vector<Event> Of(Kind kind) const {
        std::vector<Event> out;
        for (const Event& e : events)
            if (e.kind == kind)
                out.push_back(e);
        return out;
    }
    uint64_t fed() const { return fed_; }

    std::vector<Event> events;
    // A handler may set this to call back into the detector (which must refuse it).
    bool reenter_on_start = false;

private:
    static Detector* Self(mpf_sdi_detector_t* detector) {
        return static_cast<Detector*>(mpf_sdi_obj_get(detector));
    }
    Event& Add(mpf_sdi_detector_t* detector, Kind kind) {
        Detector* self = Self(detector);
        Event event;
        event.kind = kind;
        event.frame = self->fed_;
        self->events.push_back(event);
        return self->events.back();
    }
    static void OnNoInput(mpf_sdi_detector_t* d) { Self(d)->Add(d, Kind::NoInput); }
    static void OnStop(mpf_sdi_detector_t* d, const mpf_sdi_stats_t* stats) {
        Event& e = Self(d)->Add(d, Kind::Stop);
        e.has_stats = stats != nullptr;
        if (stats)
            e.stats = *stats;
    }
    static void OnStartOfInput(mpf_sdi_detector_t* d, mpf_sdi_mode_e mode) {
        Self(d)->Add(d, Kind::StartOfInput).mode = mode;
        if (Self(d)->reenter_on_start)
            mpf_sdi_stop(d);
    }
    static void OnSpeechInput(mpf_sdi_detector_t* d, const void* data, apr_size_t size,
                              mpf_sdi_state_e state, const mpf_sdi_stats_t* stats) {
        Event& e = Self(d)->Add(d, Kind::Speech);
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        e.data.assign(bytes, bytes + size);
        e.state = state;
        e.has_stats = stats != nullptr;
        if (stats)
            e.stats = *stats;
    }
    static void OnDtmfInput(mpf_sdi_detector_t* d, const char* digits, apr_size_t count,
                            apt_bool_t matched, mpf_sdi_state_e state,
                            const mpf_sdi_stats_t* stats) {
        Event& e = Self(d)->Add(d, Kind::Dtmf);
        e.digits = digits;
        e.count = count;
        e.matched = matched;
        e.state = state;
        e.has_stats = stats != nullptr;
        if (stats)
            e.stats = *stats;
    }
    static void OnDtmfDigit(mpf_sdi_detector_t* d, char digit) {
        Self(d)->Add(d, Kind::Digit).digit = digit;
    }

    apr_pool_t* pool_ = nullptr;
    mpf_sdi_detector_t* detector_ = nullptr;
    int rate_ = 8000;
    uint64_t fed_ = 0;
    uint64_t stored_next_ = 0;
};

}  // namespace SdiTest
