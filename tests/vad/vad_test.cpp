// The WebRTC voice activity detector as Debian ships it, through our own header.
#include <gtest/gtest.h>

#include "../common/test_audio.h"
#include "webrtc_vad.h"

namespace {

struct VadCounts {
    int voiced = 0;
    int unvoiced = 0;
    int errors = 0;
};

VadCounts Classify(const std::vector<int16_t>& samples, int rate, int mode) {
    VadInst* vad = WebRtcVad_Create();
    EXPECT_NE(vad, nullptr);
    EXPECT_EQ(WebRtcVad_Init(vad), 0);
    EXPECT_EQ(WebRtcVad_set_mode(vad, mode), 0);
    const size_t frame = static_cast<size_t>(rate / 100);  // 10 ms
    VadCounts counts;
    for (size_t pos = 0; pos + frame <= samples.size(); pos += frame) {
        int result = WebRtcVad_Process(vad, rate, samples.data() + pos, frame);
        if (result == 1)
            ++counts.voiced;
        else if (result == 0)
            ++counts.unvoiced;
        else
            ++counts.errors;
    }
    WebRtcVad_Free(vad);
    return counts;
}

TEST(WebRtcVad, DigitalSilenceIsUnvoiced) {
    for (int rate : {8000, 16000}) {
        std::vector<int16_t> silence(static_cast<size_t>(rate), 0);  // one second
        VadCounts counts = Classify(silence, rate, 2);
        EXPECT_EQ(counts.voiced, 0) << rate;
        EXPECT_EQ(counts.errors, 0) << rate;
        EXPECT_EQ(counts.unvoiced, 100) << rate;
    }
}

TEST(WebRtcVad, SynthesizedSpeechIsMostlyVoiced) {
    std::vector<int16_t> speech =
        ZephTest::SynthesizeSpeech("please book me a table for two at seven tonight", 8000);
    ASSERT_GT(speech.size(), 8000u) << "espeak-ng or sox failed";
    VadCounts counts = Classify(speech, 8000, 2);
    EXPECT_EQ(counts.errors, 0);
    EXPECT_GT(counts.voiced, counts.unvoiced)
        << counts.voiced << " voiced, " << counts.unvoiced << " unvoiced";
}

TEST(WebRtcVad, RejectsFrameLengthItCannotProcess) {
    VadInst* vad = WebRtcVad_Create();
    ASSERT_NE(vad, nullptr);
    ASSERT_EQ(WebRtcVad_Init(vad), 0);
    std::vector<int16_t> odd(77, 0);
    EXPECT_EQ(WebRtcVad_Process(vad, 8000, odd.data(), odd.size()), -1);
    EXPECT_EQ(WebRtcVad_set_mode(vad, 7), -1);
    WebRtcVad_Free(vad);
}

}  // namespace
