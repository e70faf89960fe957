// The media thread: every 10 ms it hands one frame to the audio stream of every attached
// channel: the next queued frame (audio, silence or a DTMF named event), or, when nothing is
// queued, a frame without audio, as a real server does between RTP packets.
//
// Threads: Start, Stop, Attach, Detach and the media calls are for the server thread (any one
// thread); the stream methods (open_tx, write_frame, close_tx) run only on the media thread.
// One mutex guards the attached channels and their queues; it is held while a frame is written,
// so after Detach returns the media thread no longer touches the stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ostrin/mpf_stream.h>

#include "ostrin_runtime/media_queue.h"

namespace OstrinRuntime {

enum class MediaPace {
    kRealtime,  // one frame per channel every 10 ms
    kFast,      // queued media as fast as the plugin takes it; idle frames every 10 ms
};

struct MediaCounters {
    uint64_t media_frames = 0;    // queued frames written (audio, silence, events)
    uint64_t idle_frames = 0;     // frames without audio
    uint64_t refused_frames = 0;  // write_frame returned FALSE
};

// How punctual the ticks were. A tick's lag runs from the moment it was due to the return of
// its last write_frame; a tick is late when that lag exceeds the frame interval, that is when
// some channel got its frame after the next one was due.
struct MediaTiming {
    uint64_t ticks = 0;
    uint64_t late_ticks = 0;
    int64_t max_lag_us = 0;
};

class MediaThread {
public:
    explicit MediaThread(MediaPace pace);
    ~MediaThread();  // stops the thread
    MediaThread(const MediaThread&) = delete;
    MediaThread& operator=(const MediaThread&) = delete;

    void Start();
    // Stops and joins the thread; streams still attached are closed (close_tx) first.
    void Stop();

    // The stream receives open_tx with `codec` before its first frame. `key` names the channel.
    void Attach(uint64_t key, mpf_audio_stream_t* stream, const mpf_codec_descriptor_t* codec);
    // Detaches the stream (close_tx on the media thread) and waits until that is done. Bounded:
    // false when the media thread did not get there in time (a write_frame that hangs).
    bool Detach(uint64_t key);

    // Media for an attached channel; false with `error` set for an unknown key or bad digits.
    bool AddAudio(uint64_t key, std::vector<int16_t> samples, std::string* error);
    bool AddSilence(uint64_t key, int ms, std::string* error);
    bool AddDtmf(uint64_t key, const std::string& digits, const DtmfTiming& timing,
                 std::string* error);
    size_t PendingFrames(uint64_t key);
    MediaCounters Counters(uint64_t key);
    // Tick punctuality since Start() or the last ResetTiming().
    MediaTiming Timing();
    void ResetTiming();

private:
    struct Stream {
        mpf_audio_stream_t* stream = nullptr;
        const mpf_codec_descriptor_t* codec = nullptr;
        bool opened = false;
        bool detaching = false;
        std::unique_ptr<MediaQueue> queue;
        MediaCounters counters;
    };

    void Run();
    // Writes one frame to `stream` (queued or idle); true when a queued frame was written.
    bool WriteNext(Stream* stream, bool idle_allowed);
    void CloseDetaching();

    const MediaPace pace_;
    std::mutex mutex_;
    std::condition_variable wake_;      // the media thread: stop, new media, detach
    std::condition_variable detached_;  // the server thread: a detach is done
    std::map<uint64_t, Stream> streams_;
    bool stopping_ = false;
    size_t detach_requests_ = 0;  // streams marked detaching since the last CloseDetaching
    std::thread thread_;
    MediaFrame frame_;  // media thread only: scratch frame
    MediaTiming timing_;
};

}  // namespace OstrinRuntime
