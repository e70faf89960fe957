#include "ostrin_runtime/media_queue.h"

#include <gtest/gtest.h>

using OstrinRuntime::DtmfTiming;
using OstrinRuntime::MediaFrame;
using OstrinRuntime::MediaQueue;

TEST(MediaQueue, AudioIsCutIntoFramesAndTheLastOneIsPadded) {
    MediaQueue queue(16000);
    std::vector<int16_t> samples(160 * 2 + 100, 7);  // 10 ms is 160 samples
    queue.AddAudio(samples);
    EXPECT_EQ(queue.PendingFrames(), 3u);
    MediaFrame frame;
    int frames = 0;
    while (queue.NextFrame(&frame)) {
        ASSERT_EQ(frame.kind, MediaFrame::Kind::kAudio);
        ASSERT_EQ(frame.sample_count, 160);
        ++frames;
    }
    EXPECT_EQ(frames, 3);
    EXPECT_EQ(frame.samples[99], 7);
    EXPECT_EQ(frame.samples[100], 0);
    EXPECT_TRUE(queue.Empty());
}

TEST(MediaQueue, SilenceIsZeroAudioRoundedUpToFrames) {
    MediaQueue queue(8000);
    queue.AddSilence(25);
    MediaFrame frame;
    int frames = 0;
    while (queue.NextFrame(&frame)) {
        EXPECT_EQ(frame.kind, MediaFrame::Kind::kAudio);
        EXPECT_EQ(frame.sample_count, 80);
        EXPECT_EQ(frame.samples[0], 0);
        ++frames;
    }
    EXPECT_EQ(frames, 3);
}

// RFC 4733: a start frame, continuation frames with growing duration, one end frame with the
// E bit and the whole duration, then the gap as silence.
TEST(MediaQueue, DtmfDigitsFollowTheNamedEventLayout) {
    MediaQueue queue(8000);
    std::string error;
    ASSERT_TRUE(queue.AddDtmf("5#", DtmfTiming{40, 20}, &error));
    EXPECT_EQ(queue.PendingFrames(), 2u * (4 + 1 + 2));
    std::vector<MediaFrame> frames;
    MediaFrame frame;
    while (queue.NextFrame(&frame))
        frames.push_back(frame);
    ASSERT_EQ(frames.size(), 14u);
    EXPECT_EQ(frames[0].kind, MediaFrame::Kind::kEvent);
    EXPECT_EQ(frames[0].marker, MediaFrame::kMarkerStartOfEvent);
    EXPECT_EQ(frames[0].event_id, 5);
    EXPECT_EQ(frames[0].duration, 80);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(frames[i].marker, MediaFrame::kMarkerNone);
        EXPECT_EQ(frames[i].edge, 0);
        EXPECT_EQ(frames[i].duration, 80 * (i + 1));
    }
    EXPECT_EQ(frames[4].marker, MediaFrame::kMarkerEndOfEvent);
    EXPECT_EQ(frames[4].edge, 1);
    EXPECT_EQ(frames[4].duration, 320);
    EXPECT_EQ(frames[5].kind, MediaFrame::Kind::kAudio);
    EXPECT_EQ(frames[6].kind, MediaFrame::Kind::kAudio);
    EXPECT_EQ(frames[7].event_id, 11);
    EXPECT_EQ(frames[7].marker, MediaFrame::kMarkerStartOfEvent);
}

TEST(MediaQueue, DtmfCodesAndBadDigits) {
    EXPECT_EQ(MediaQueue::DtmfEventId('*'), 10);
    EXPECT_EQ(MediaQueue::DtmfEventId('a'), 12);
    EXPECT_EQ(MediaQueue::DtmfEventId('D'), 15);
    EXPECT_EQ(MediaQueue::DtmfEventId('E'), -1);
    MediaQueue queue(8000);
    std::string error;
    EXPECT_FALSE(queue.AddDtmf("12x", DtmfTiming{}, &error));
    EXPECT_NE(error.find("'x'"), std::string::npos);
    EXPECT_TRUE(queue.Empty());  // nothing of a bad string is queued
    // The 16-bit duration of RFC 4733 holds at most 65535 samples: 4090 ms at 16000 Hz.
    MediaQueue wide(16000);
    EXPECT_TRUE(wide.AddDtmf("1", DtmfTiming{4090, 0}, &error));
    EXPECT_FALSE(wide.AddDtmf("1", DtmfTiming{4100, 0}, &error));
    EXPECT_NE(error.find("4090 ms"), std::string::npos) << error;
}
