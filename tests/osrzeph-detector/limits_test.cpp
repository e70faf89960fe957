// What a client or a configuration can throw at the detector: huge or negative times, flags
// and timer starts at the wrong moment, parameters changed between init and speech start.
// Run under ASan and UBSan, these catch writes past the ring and divisions by zero.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "detector_harness.h"
#include "vad_seam.h"

using SdiTest::Detector;
using SdiTest::Event;
using SdiTest::Kind;
using SdiTest::LogCapture;

namespace {

constexpr int V = SDI_SEAM_VOICED;
constexpr int U = 0;

mpf_sdi_params_t Defaults() {
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    return params;
}

std::vector<int64_t> Range(int64_t from, int64_t to_exclusive) {
    std::vector<int64_t> v(static_cast<size_t>(to_exclusive - from));
    std::iota(v.begin(), v.end(), from);
    return v;
}

std::string ClampLine(const char* name, apr_uint64_t value) {
    return std::string("Clamp SDI Attribute <") + name + "> [" + std::to_string(value) +
           " ms] to Maximum [3600000 ms] <ch1>";
}

// A time whose frame count times 160 bytes wraps a 64-bit size to a few frames.
constexpr apr_uint64_t kWrappingTime = ((apr_uint64_t{1} << 59) + 1) * 10;

TEST(SdiLimits, HugeAndNegativeTimesAreClampedWithAWarning) {
    {
        // A setter, as a request header would reach it.
        LogCapture log;
        Detector d;
        mpf_sdi_speech_complete_timeout_set(d.get(), kWrappingTime);
        mpf_sdi_speech_complete_timeout_set(d.get(), MPF_SDI_MAX_TIME);  // the maximum passes
        EXPECT_EQ(log.Count("Clamp SDI Attribute"), 1u);
        EXPECT_TRUE(
            log.Contains(APT_PRIO_WARNING, ClampLine("speech-complete-timeout", kWrappingTime)));
        mpf_sdi_speech_complete_timeout_set(d.get(), kWrappingTime);
        d.Init();
        EXPECT_EQ(log.Count("Limit Speech Ring [360035 frames] to [360000 frames] <ch1>"), 1u);
        d.Feed(U, 10);
        d.Feed(V, 200);
        d.Feed(U, 200);  // far more than a few frames stored
        EXPECT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        EXPECT_EQ(d.HandedFrames(), Range(5, 5 + 8 * 50));
        mpf_sdi_stop(d.get());
        d.Feed(U);
        ASSERT_EQ(d.Of(Kind::Stop).size(), 1u);
        EXPECT_EQ(d.Of(Kind::Stop)[0].stats.size, d.HandedBytes());
    }
    {
        // Negative configured values read as huge ones: every time of a record given at
        // creation is clamped, the leading silence and output period included.
        LogCapture log;
        mpf_sdi_params_t params = Defaults();
        params.speech_leading_silence = static_cast<apr_uint64_t>(-10);
        params.speech_output_period = static_cast<apr_uint64_t>(-80);
        params.noinput_timeout = static_cast<apr_uint64_t>(-1);
        Detector d(&params);
        EXPECT_EQ(log.Count("Clamp SDI Attribute"), 3u);
        EXPECT_TRUE(log.Contains(
            APT_PRIO_WARNING, ClampLine("speech-leading-silence", static_cast<apr_uint64_t>(-10))));
        d.Init();
        d.Feed(V, 31);
        ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        // The whole hour of leading silence is padded, in one call.
        std::vector<Event> blocks = d.Of(Kind::Speech);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].data.size(), (360000u - 0u) * 160u);
        EXPECT_EQ(blocks[0].data.front() | blocks[0].data.back(), 0);
    }
    {
        // mpf_sdi_params_set clamps the same way.
        LogCapture log;
        Detector d;
        mpf_sdi_params_t params = Defaults();
        params.speech_start_timeout = static_cast<apr_uint64_t>(-300);
        mpf_sdi_params_set(d.get(), &params);
        EXPECT_EQ(log.Count("Clamp SDI Attribute <speech-start-timeout>"), 1u);
    }
}

TEST(SdiLimits, FlagSettersLeaveAnIdleDetectorIdle) {
    {
        // External start of input, the only init DTMF: after the no-input, a late speech
        // flag must not start a speech detection that has no ring.
        mpf_sdi_params_t params = Defaults();
        params.noinput_timeout = 100;
        LogCapture log;
        Detector d(&params);
        mpf_sdi_speech_start_mode_set(d.get(), MPF_SDI_START_OF_INPUT_EXTERNAL);
        d.Init(MPF_SDI_MODE_DTMF, 8000, true, true);
        d.Feed(U, 10);
        ASSERT_EQ(d.Of(Kind::NoInput).size(), 1u);
        mpf_sdi_speech_flag_set(d.get());
        mpf_sdi_result_flag_set(d.get());
        d.Feed(V, 200);
        d.Feed(U, 200);
        EXPECT_EQ(d.events.size(), 1u);
        EXPECT_EQ(log.Count("Set Speech Input Flag"), 0u);
        EXPECT_EQ(log.Count("Set Result Flag"), 0u);
    }
    {
        // A stopped speech recognition with interim results: a late result does not restart
        // it.
        Detector d;
        d.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000, true, true);
        d.Feed(V, 40);
        mpf_sdi_stop(d.get());
        d.Feed(V);
        ASSERT_EQ(d.Of(Kind::Stop).size(), 1u);
        size_t events = d.events.size();
        mpf_sdi_result_flag_set(d.get());
        d.Feed(V, 100);
        d.Feed(U, 400);
        EXPECT_EQ(d.events.size(), events);
    }
    {
        // A completed DTMF input, external start: neither flag wakes the speech part.
        Detector d;
        mpf_sdi_speech_start_mode_set(d.get(), MPF_SDI_START_OF_INPUT_EXTERNAL);
        mpf_sdi_dtmf_length_set(d.get(), 1, 0, 0);
        d.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000, true, true);
        d.FeedDigit('5');
        ASSERT_EQ(d.Of(Kind::Dtmf).size(), 1u);
        size_t events = d.events.size();
        mpf_sdi_result_flag_set(d.get());
        mpf_sdi_speech_flag_set(d.get());
        d.Feed(V, 100);
        d.Feed(U, 400);
        EXPECT_EQ(d.events.size(), events);
    }
}

TEST(SdiLimits, StartInputTimersAfterInputStartedIsIgnored) {
    mpf_sdi_params_t params = Defaults();
    params.noinput_timeout = 200;
    for (bool external : {false, true}) {
        LogCapture log;
        Detector d(&params);
        if (external)
            mpf_sdi_speech_start_mode_set(d.get(), MPF_SDI_START_OF_INPUT_EXTERNAL);
        d.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000, false);
        d.Feed(V, 31);
        if (external)
            mpf_sdi_speech_flag_set(d.get());
        else
            ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        mpf_sdi_start_timers(d.get());  // START-INPUT-TIMERS in the middle of the speech
        d.Feed(V, 100);
        d.Feed(U, 101);
        EXPECT_TRUE(d.Of(Kind::NoInput).empty()) << external;
        EXPECT_EQ(log.Count("Start No-Input Timer"), 0u) << external;
        ASSERT_FALSE(d.Of(Kind::Speech).empty()) << external;
        EXPECT_EQ(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE) << external;
        // Idle again: a late START-INPUT-TIMERS arms nothing either.
        mpf_sdi_start_timers(d.get());
        EXPECT_EQ(log.Count("Start No-Input Timer"), 0u) << external;
    }
}

TEST(SdiLimits, LeadingSilenceRaisedAfterInitPadsWithTheInitValue) {
    Detector d;
    d.Init();  // 50 ms of leading silence: 5 frames of padding at most
    mpf_sdi_params_t params = Defaults();
    params.speech_leading_silence = 60000;
    mpf_sdi_params_set(d.get(), &params);
    d.Feed(V, 31);  // speech from the very first frame
    ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
    std::vector<int64_t> expected(5, -1);
    std::vector<int64_t> speech = Range(0, 24);
    expected.insert(expected.end(), speech.begin(), speech.end());
    EXPECT_EQ(d.HandedFrames(), expected);
    // The next init takes the new value.
    d.events.clear();
    d.Init();
    d.Feed(V, 31);
    EXPECT_EQ(d.HandedFrames().size(), 6000u + 24u);
}

}  // namespace
