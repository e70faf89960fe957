// The detector with the real WebRTC voice activity detector, on speech synthesized by
// espeak-ng between stretches of digital silence and of low noise from sox.
//
// Tolerance: the first voiced frame of the accepted speech (start of input minus the 300 ms
// start probation) lies within 150 ms of where the synthesized speech begins, and the end of
// speech is declared 1000 ms (the complete timeout) after a point within 300 ms of where the
// speech ends. The low noise (about -50 dBFS pink noise) precedes the speech and must not
// start it; after the speech comes digital silence, since the WebRTC detector itself holds
// on to noise after speech for a second or more. Speech onset and end are taken from the waveform
// (first and last 10 ms with a peak above 1000).
#include <gtest/gtest.h>

#include <cstdlib>

#include "../common/test_audio.h"
#include "detector_harness.h"

using SdiTest::Detector;
using SdiTest::Event;
using SdiTest::Kind;

namespace {

constexpr int kToleranceStartMs = 150;
constexpr int kToleranceEndMs = 300;
// Peak of the pink noise, about -50 dBFS.
constexpr double kNoiseAmplitude = 0.003;

struct Bounds {
    int64_t first = -1;  // first and last 10 ms frame of the speech itself
    int64_t last = -1;
};

Bounds SpeechBounds(const std::vector<int16_t>& speech, int rate) {
    Bounds bounds;
    size_t frame = static_cast<size_t>(rate / 100);
    for (size_t i = 0; i + frame <= speech.size(); i += frame) {
        int peak = 0;
        for (size_t k = i; k < i + frame; ++k)
            peak = std::max(peak, std::abs(int(speech[k])));
        if (peak > 1000) {
            if (bounds.first < 0)
                bounds.first = static_cast<int64_t>(i / frame);
            bounds.last = static_cast<int64_t>(i / frame);
        }
    }
    return bounds;
}

void FeedAll(Detector& d, const std::vector<int16_t>& samples, int rate) {
    size_t frame = static_cast<size_t>(rate / 100);
    for (size_t i = 0; i + frame <= samples.size(); i += frame)
        d.FeedSamples(&samples[i], frame * 2);
}

class RealVad : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(RealVad, SpeechBetweenSilenceAndNoiseStartsAndCompletesOnTime) {
    const int rate = std::get<0>(GetParam());
    const bool noise = std::get<1>(GetParam());
    std::vector<int16_t> speech =
        ZephTest::SynthesizeSpeech("please book me a table for two at seven tonight", rate);
    ASSERT_GT(speech.size(), static_cast<size_t>(rate)) << "espeak-ng or sox failed";
    Bounds bounds = SpeechBounds(speech, rate);
    ASSERT_GE(bounds.first, 0);

    std::vector<int16_t> before = noise
                                      ? ZephTest::SynthesizeNoise(1500, rate, kNoiseAmplitude)
                                      : std::vector<int16_t>(static_cast<size_t>(rate * 3 / 2), 0);
    std::vector<int16_t> after(static_cast<size_t>(rate * 5 / 2), 0);
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    // Whole frames only, so that frame numbers add up.
    size_t frame = static_cast<size_t>(rate / 100);
    before.resize(before.size() / frame * frame);
    speech.resize(speech.size() / frame * frame);
    const int64_t offset = static_cast<int64_t>(before.size() / frame);

    Detector d;
    d.Init(MPF_SDI_MODE_SPEECH_DTMF, rate);
    FeedAll(d, before, rate);
    EXPECT_TRUE(d.events.empty()) << "the lead-in started speech";
    FeedAll(d, speech, rate);
    FeedAll(d, after, rate);

    std::vector<Event> starts = d.Of(Kind::StartOfInput);
    ASSERT_EQ(starts.size(), 1u);
    int64_t first_voiced = static_cast<int64_t>(starts[0].frame) - 30;
    EXPECT_NEAR(first_voiced, offset + bounds.first, kToleranceStartMs / 10)
        << "rate " << rate << ", noise " << noise;

    std::vector<Event> blocks = d.Of(Kind::Speech);
    ASSERT_FALSE(blocks.empty());
    ASSERT_EQ(blocks.back().state, MPF_SDI_STATE_COMPLETE) << "speech never completed";
    int64_t end_of_speech = static_cast<int64_t>(blocks.back().frame) - 100;
    const int64_t tolerance = kToleranceEndMs / 10;
    EXPECT_GE(end_of_speech, offset + bounds.last - tolerance);
    EXPECT_LE(end_of_speech, offset + bounds.last + tolerance);
    EXPECT_EQ(blocks.back().stats.size, d.HandedBytes());
    EXPECT_EQ(blocks.back().stats.cause, MPF_SDI_COMPLETION_CAUSE_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(RatesAndLeadIns, RealVad,
                         ::testing::Combine(::testing::Values(8000, 16000), ::testing::Bool()));

TEST(RealVadSilence, DigitalSilenceNeverStartsSpeech) {
    for (int rate : {8000, 16000}) {
        Detector d;
        d.Init(MPF_SDI_MODE_SPEECH, rate);
        std::vector<int16_t> silence(static_cast<size_t>(rate / 100), 0);
        for (int i = 0; i < 999; ++i)
            d.FeedSamples(silence.data(), silence.size() * 2);
        EXPECT_TRUE(d.events.empty()) << rate;
        d.FeedSamples(silence.data(), silence.size() * 2);  // 10 s: no-input
        ASSERT_EQ(d.events.size(), 1u) << rate;
        EXPECT_EQ(d.events[0].kind, Kind::NoInput);
    }
}

}  // namespace
