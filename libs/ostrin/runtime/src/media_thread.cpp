#include "ostrin_runtime/media_thread.h"

#include <algorithm>
#include <chrono>

namespace OstrinRuntime {

namespace {

using Clock = std::chrono::steady_clock;
const auto kFrameInterval = std::chrono::milliseconds(10);
// A stream whose write_frame never returns must not hang the server forever.
const auto kDetachTimeout = std::chrono::seconds(10);
// Beyond this lag the thread starts counting from now instead of catching up in a burst.
const auto kMaxLag = std::chrono::milliseconds(200);

void ToMpfFrame(const MediaFrame& source, mpf_frame_t* frame) {
    *frame = mpf_frame_t();
    switch (source.kind) {
        case MediaFrame::Kind::kNone:
            frame->type = MEDIA_FRAME_TYPE_NONE;
            break;
        case MediaFrame::Kind::kAudio:
            frame->type = MEDIA_FRAME_TYPE_AUDIO;
            frame->codec_frame.buffer = const_cast<int16_t*>(source.samples);
            frame->codec_frame.size = apr_size_t(source.sample_count) * sizeof(int16_t);
            break;
        case MediaFrame::Kind::kEvent:
            frame->type = MEDIA_FRAME_TYPE_EVENT;
            frame->marker = source.marker;
            frame->event_frame.event_id = apr_uint32_t(source.event_id) & 0xFF;
            frame->event_frame.volume = apr_uint32_t(source.volume) & 0x3F;
            frame->event_frame.edge = apr_uint32_t(source.edge) & 1;
            frame->event_frame.duration = apr_uint32_t(source.duration) & 0xFFFF;
            break;
    }
}

}  // namespace

MediaThread::MediaThread(MediaPace pace) : pace_(pace) {}

MediaThread::~MediaThread() {
    Stop();
}

void MediaThread::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable())
        return;
    stopping_ = false;
    timing_ = MediaTiming();
    thread_ = std::thread(&MediaThread::Run, this);
}

void MediaThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable())
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    // The thread closed every opened stream on its way out.
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.clear();
    detached_.notify_all();
}

void MediaThread::Attach(uint64_t key, mpf_audio_stream_t* stream,
                         const mpf_codec_descriptor_t* codec) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stream& entry = streams_[key];
    entry.stream = stream;
    entry.codec = codec;
    entry.queue.reset(new MediaQueue(codec ? codec->sampling_rate : 8000));
    wake_.notify_all();
}

bool MediaThread::Detach(uint64_t key) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    if (it == streams_.end())
        return true;
    if (!thread_.joinable() || !it->second.opened) {
        // Never touched by the media thread: nothing to close there.
        streams_.erase(it);
        return true;
    }
    it->second.detaching = true;
    ++detach_requests_;
    it->second.queue->Clear();
    wake_.notify_all();
    return detached_.wait_for(lock, kDetachTimeout, [&] { return !streams_.count(key); });
}

bool MediaThread::AddAudio(uint64_t key, std::vector<int16_t> samples, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    if (it == streams_.end() || it->second.detaching) {
        *error = "channel has no audio stream";
        return false;
    }
    it->second.queue->AddAudio(std::move(samples));
    wake_.notify_all();
    return true;
}

bool MediaThread::AddSilence(uint64_t key, int ms, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    if (it == streams_.end() || it->second.detaching) {
        *error = "channel has no audio stream";
        return false;
    }
    it->second.queue->AddSilence(ms);
    wake_.notify_all();
    return true;
}

bool MediaThread::AddDtmf(uint64_t key, const std::string& digits, const DtmfTiming& timing,
                          std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    if (it == streams_.end() || it->second.detaching) {
        *error = "channel has no audio stream";
        return false;
    }
    if (!it->second.queue->AddDtmf(digits, timing, error))
        return false;
    wake_.notify_all();
    return true;
}

size_t MediaThread::PendingFrames(uint64_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    return it == streams_.end() ? 0 : it->second.queue->PendingFrames();
}

MediaCounters MediaThread::Counters(uint64_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = streams_.find(key);
    return it == streams_.end() ? MediaCounters() : it->second.counters;
}

MediaTiming MediaThread::Timing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timing_;
}

void MediaThread::ResetTiming() {
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = MediaTiming();
}

bool MediaThread::WriteNext(Stream* entry, bool idle_allowed) {
    mpf_audio_stream_t* stream = entry->stream;
    if (!entry->opened) {
        entry->opened = true;
        if (stream->vtable && stream->vtable->open_tx)
            stream->vtable->open_tx(stream, entry->codec);
    }
    bool queued = entry->queue->NextFrame(&frame_);
    if (!queued) {
        if (!idle_allowed)
            return false;
        frame_ = MediaFrame();
    }
    mpf_frame_t frame;
    ToMpfFrame(frame_, &frame);
    apt_bool_t accepted = TRUE;
    if (stream->vtable && stream->vtable->write_frame) {
        accepted = stream->vtable->write_frame(stream, &frame);
    }
    if (queued) {
        ++entry->counters.media_frames;
    } else {
        ++entry->counters.idle_frames;
    }
    if (!accepted)
        ++entry->counters.refused_frames;
    return queued;
}

// Media thread, mutex held: closes the streams the server asked to detach. Runs before every
// tick, so the streams are only walked when there is something to close.
void MediaThread::CloseDetaching() {
    if (detach_requests_ == 0 && !stopping_)
        return;
    detach_requests_ = 0;
    bool any = false;
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (it->second.detaching || stopping_) {
            mpf_audio_stream_t* stream = it->second.stream;
            if (it->second.opened && stream->vtable && stream->vtable->close_tx) {
                stream->vtable->close_tx(stream);
            }
            it = streams_.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    if (any)
        detached_.notify_all();
}

void MediaThread::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point next_tick = Clock::now();
    while (!stopping_) {
        CloseDetaching();
        Clock::time_point now = Clock::now();
        if (now >= next_tick) {
            // A tick: every channel gets a frame, queued or idle.
            for (auto& entry : streams_)
                WriteNext(&entry.second, true);
            // One clock read per tick, under the lock the tick already holds.
            auto lag =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - next_tick);
            ++timing_.ticks;
            if (lag > kFrameInterval)
                ++timing_.late_ticks;
            timing_.max_lag_us = std::max<int64_t>(timing_.max_lag_us, lag.count());
            next_tick += kFrameInterval;
            if (now - next_tick > kMaxLag)
                next_tick = now + kFrameInterval;
            continue;
        }
        if (pace_ == MediaPace::kFast) {
            // Between ticks, queued media goes out without waiting.
            bool wrote = false;
            for (auto& entry : streams_)
                wrote = WriteNext(&entry.second, false) || wrote;
            if (wrote) {
                // Let the server thread queue more media or detach between frames.
                lock.unlock();
                std::this_thread::yield();
                lock.lock();
                continue;
            }
        }
        wake_.wait_until(lock, next_tick);
    }
    CloseDetaching();
}

}  // namespace OstrinRuntime
