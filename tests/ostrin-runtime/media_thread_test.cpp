// The media thread: a detached stream is closed and gets no more frames while the others go
// on; tick punctuality: every tick is counted, and a tick whose writes end more than one
// frame interval after it was due is late, with its lag kept as the maximum.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../common/nothing_left_behind.h"
#include "ostrin_runtime/media_thread.h"

using namespace OstrinRuntime;

namespace {

// A sink stream that counts its frames and closes, and stalls once, in its `stall_at`-th
// write.
struct CountingSink {
    std::atomic<int> frames{0};
    std::atomic<int> closes{0};
    int stall_at = -1;
    std::chrono::milliseconds stall{0};

    static apt_bool_t CloseTx(mpf_audio_stream_t* stream) {
        ++static_cast<CountingSink*>(stream->obj)->closes;
        return TRUE;
    }
    static apt_bool_t WriteFrame(mpf_audio_stream_t* stream, const mpf_frame_t*) {
        auto* sink = static_cast<CountingSink*>(stream->obj);
        if (++sink->frames == sink->stall_at)
            std::this_thread::sleep_for(sink->stall);
        return TRUE;
    }
};

const mpf_audio_stream_vtable_t kSinkMethods = {
    nullptr, nullptr, nullptr, nullptr, nullptr, &CountingSink::CloseTx, &CountingSink::WriteFrame,
    nullptr};

mpf_audio_stream_t SinkStream(CountingSink* sink) {
    mpf_audio_stream_t stream = {};
    stream.obj = sink;
    stream.vtable = &kSinkMethods;
    stream.direction = STREAM_DIRECTION_SEND;
    return stream;
}

// Waits (bounded) until the sink has had `frames` frames.
bool WaitForFrames(const CountingSink& sink, int frames) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sink.frames.load() < frames && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sink.frames.load() >= frames;
}

}  // namespace

TEST(MediaThread, ADetachedStreamIsClosedOnceWhileTheOthersGoOn) {
    ZephTest::NothingLeftBehind leftovers;
    CountingSink first, second;
    mpf_audio_stream_t first_stream = SinkStream(&first);
    mpf_audio_stream_t second_stream = SinkStream(&second);
    {
        MediaThread media(MediaPace::kRealtime);
        media.Start();
        media.Attach(1, &first_stream, nullptr);
        media.Attach(2, &second_stream, nullptr);
        ASSERT_TRUE(WaitForFrames(first, 3));
        ASSERT_TRUE(media.Detach(1));
        int frames = first.frames.load();
        EXPECT_EQ(first.closes.load(), 1);
        // The other stream goes on; the detached one hears nothing more.
        int second_frames = second.frames.load();
        ASSERT_TRUE(WaitForFrames(second, second_frames + 5));
        EXPECT_EQ(first.frames.load(), frames);
        EXPECT_EQ(second.closes.load(), 0);
        media.Stop();
        EXPECT_EQ(first.closes.load(), 1);
        EXPECT_EQ(second.closes.load(), 1);  // closed by the stop
    }
    EXPECT_TRUE(leftovers.Check());
}

TEST(MediaTiming, EveryTickIsCountedAndAStalledWriteMakesItsTickLate) {
    ZephTest::NothingLeftBehind leftovers;
    CountingSink sink;
    sink.stall_at = 5;
    sink.stall = std::chrono::milliseconds(25);
    mpf_audio_stream_t stream = SinkStream(&sink);
    {
        MediaThread media(MediaPace::kRealtime);
        media.Start();
        media.Attach(1, &stream, nullptr);
        ASSERT_TRUE(WaitForFrames(sink, 8));
        ASSERT_TRUE(media.Detach(1));
        MediaTiming timing = media.Timing();
        // One frame per tick for the one stream; ticks before the attach count too.
        EXPECT_GE(timing.ticks, uint64_t(sink.frames.load()));
        // The stalled tick ended at least the stall after it was due.
        EXPECT_GE(timing.late_ticks, 1u);
        EXPECT_GE(timing.max_lag_us, 25000);

        media.ResetTiming();
        timing = media.Timing();
        EXPECT_EQ(timing.ticks, 0u);
        EXPECT_EQ(timing.late_ticks, 0u);
        EXPECT_EQ(timing.max_lag_us, 0);
        media.Stop();
    }
    EXPECT_TRUE(leftovers.Check());
}
