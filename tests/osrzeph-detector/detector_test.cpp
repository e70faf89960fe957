// Frame-exact rules of the speech and DTMF input detector, with the voice activity decision
// scripted through the VAD seam.
#include <gtest/gtest.h>

#include <numeric>

#include "detector_harness.h"
#include "vad_seam.h"

using SdiTest::Detector;
using SdiTest::Event;
using SdiTest::Kind;
using SdiTest::LogCapture;

namespace {

constexpr int V = SDI_SEAM_VOICED;
constexpr int U = 0;
constexpr int E = SDI_SEAM_ERROR;

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

// Every speech block is handed on once, in order, the last one alone has the stats, and
// they add up: size in bytes, duration 10 ms per frame handed on.
void ExpectWellFormedSpeech(const Detector& d) {
    std::vector<Event> blocks = d.Of(Kind::Speech);
    ASSERT_FALSE(blocks.empty());
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        EXPECT_NE(blocks[i].state, MPF_SDI_STATE_COMPLETE) << i;
        EXPECT_FALSE(blocks[i].has_stats) << i;
    }
    EXPECT_EQ(blocks.back().state, MPF_SDI_STATE_COMPLETE);
    ASSERT_TRUE(blocks.back().has_stats);
    EXPECT_EQ(blocks.back().stats.size, d.HandedBytes());
    EXPECT_EQ(blocks.back().stats.duration, d.HandedFrames().size() * 10u);
}

TEST(SdiDetector, WorkedExampleFrameForFrame) {
    LogCapture log;
    Detector d;
    ASSERT_NE(d.get(), nullptr);
    d.Init();
    EXPECT_TRUE(log.Contains(
        APT_PRIO_INFO,
        "Init Speech Detector: frame-size=160, max-frame-count=335, output-frame-count=8, "
        "vad-mode=2, noinput-timeout=10000 ms, input-timeout=20000 ms, start-timeout=300 ms, "
        "complete-timeout=1000 ms, incomplete-timeout=3000 ms, leading-silence=50 ms, "
        "trailing-silence=50 ms, interim-results=0, start-of-input=internal <ch1>"));
    d.Feed(U, 100);
    d.Feed(V, 30);  // frames 100..129: probation, no start yet
    EXPECT_TRUE(d.events.empty());
    d.Feed(V);  // frame 130: the 31st voiced frame
    ASSERT_EQ(d.events.size(), 5u);
    EXPECT_EQ(d.events[0].kind, Kind::StartOfInput);
    EXPECT_EQ(d.events[0].mode, MPF_SDI_MODE_SPEECH);
    EXPECT_EQ(d.HandedFrames(), Range(95, 127));  // blocks from 95, 103, 111 and 119
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(d.events[i].data.size(), 8u * 160u);
        EXPECT_EQ(d.events[i].state, MPF_SDI_STATE_IN_PROGRESS);
    }
    EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Start Input Timer [20000 ms] <ch1>"));

    d.Feed(V, 500 - 131);  // continuous speech up to frame 499
    d.Feed(U, 100);        // frames 500..599: end probation
    EXPECT_TRUE(d.Of(Kind::Speech).back().state != MPF_SDI_STATE_COMPLETE);
    EXPECT_TRUE(log.Contains(APT_PRIO_DEBUG,
                             "Detector: read-marker=495, input-end-marker=500, "
                             "write-marker=501 <ch1>"));
    d.Feed(U);  // frame 600 completes
    ExpectWellFormedSpeech(d);
    const Event last = d.Of(Kind::Speech).back();
    EXPECT_EQ(last.frame, 600u);
    EXPECT_EQ(last.stats.cause, MPF_SDI_COMPLETION_CAUSE_SUCCESS);
    EXPECT_EQ(last.stats.duration, 5050u);
    EXPECT_EQ(last.stats.size, 80800u);
    EXPECT_EQ(d.HandedFrames(), Range(95, 600));
    EXPECT_TRUE(log.Contains(
        APT_PRIO_INFO,
        "Detector Stats: leading-silence=50 ms, input=4000 ms, trailing-silence=1000 ms <ch1>"));
    EXPECT_TRUE(log.Contains(APT_PRIO_INFO,
                             "Speech Detector State Transition IN-PROGRESS -> COMPLETE "
                             "[4700 ms] <ch1>"));

    // Idle afterwards: more frames raise nothing, not even the no-input timer.
    size_t count = d.events.size();
    d.Feed(V, 1200);
    EXPECT_EQ(d.events.size(), count);
}

TEST(SdiDetector, StartsAtThe31stVoicedFrameAndAContraryFrameRestartsTheCount) {
    LogCapture log;
    Detector d;
    d.Init();
    d.Feed(V, 29);
    d.Feed(U);  // the 30th frame is unvoiced: probation cancelled
    EXPECT_TRUE(log.Contains(APT_PRIO_DEBUG,
                             "Cancel Detector State Probation NO-INPUT <- IN-PROGRESS "
                             "[300 ms] <ch1>"));
    d.Feed(V, 30);
    EXPECT_TRUE(d.Of(Kind::StartOfInput).empty());
    d.FeedEmpty();  // a frame without audio counts as unvoiced
    d.Feed(V, 30);
    EXPECT_TRUE(d.Of(Kind::StartOfInput).empty());
    d.Feed(V);
    ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
    // Leading marker 5 frames before the first voiced frame (frame 60).
    EXPECT_EQ(d.HandedFrames().front(), 55);
}

TEST(SdiDetector, LeadingSilenceIsPaddedOnlyWhenTheStreamBeganTooLate) {
    {
        Detector d;
        d.Init();
        d.Feed(U, 2);
        d.Feed(V, 31);  // speech from frame 2
        std::vector<int64_t> handed = d.HandedFrames();
        ASSERT_GE(handed.size(), 3u);
        std::vector<int64_t> expected = {-1, -1, -1};  // 3 frames of zeros first
        std::vector<int64_t> rest = Range(0, 32);  // then blocks of 8 up to the write marker (33)
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(handed, expected);
        EXPECT_EQ(d.events[1].data.size(), 3u * 160u);
        d.Feed(U, 101);
        ExpectWellFormedSpeech(d);
        const Event last = d.Of(Kind::Speech).back();
        EXPECT_EQ(last.stats.size, d.HandedBytes());
        // 3 padding frames + frames 0..132 (end 33 + 100).
        EXPECT_EQ(last.stats.duration, (3u + 133u) * 10u);
    }
    {
        Detector d;
        d.Init();
        d.Feed(U, 5);
        d.Feed(V, 31);  // speech from frame 5: no padding, output from frame 0
        EXPECT_EQ(d.HandedFrames().front(), 0);
        for (int64_t n : d.HandedFrames())
            EXPECT_GE(n, 0);
    }
}

TEST(SdiDetector, WithoutNormalisationBlocksFlowFromTheFirstFrame) {
    mpf_sdi_params_t params = Defaults();
    params.normalize_input = FALSE;
    LogCapture log;
    Detector d(&params);
    d.Init();
    EXPECT_TRUE(log.Contains(
        APT_PRIO_INFO,
        "Init Speech Detector: frame-size=160, frame-count=8, vad-mode=2, noinput-timeout=10000 "
        "ms, input-timeout=20000 ms, start-timeout=300 ms, complete-timeout=1000 ms, "
        "incomplete-timeout=3000 ms, interim-results=0, start-of-input=internal <ch1>"));
    d.Feed(U, 7);
    EXPECT_TRUE(d.events.empty());
    d.Feed(U);
    ASSERT_EQ(d.events.size(), 1u);
    EXPECT_EQ(d.events[0].state, MPF_SDI_STATE_NO_INPUT);
    EXPECT_EQ(d.events[0].data.size(), 8u * 160u);
    d.Feed(E);  // a VAD error does not stall the hand-over (the ring holds one block)
    d.Feed(U, 15);
    d.Feed(V, 31);
    d.Feed(U, 101);
    ExpectWellFormedSpeech(d);
    EXPECT_EQ(d.HandedFrames(), Range(0, static_cast<int64_t>(d.fed())));
    const Event last = d.Of(Kind::Speech).back();
    EXPECT_EQ(last.stats.duration, d.fed() * 10u);
}

TEST(SdiDetector, ABlockAcrossTheRingEndArrivesInTwoCalls) {
    Detector d;
    d.Init();
    d.Feed(U, 101);
    d.Feed(V, 400);  // speech from 101: leading marker 96, blocks 96 + 8k; ring of 335
    std::vector<Event> blocks = d.Of(Kind::Speech);
    size_t split = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].data.size() == 7u * 160u) {  // 328..334, then 335 from slot 0
            split = i;
            break;
        }
    }
    ASSERT_NE(split, 0u);
    EXPECT_EQ(blocks[split].state, MPF_SDI_STATE_IN_PROGRESS);
    EXPECT_FALSE(blocks[split].has_stats);
    EXPECT_EQ(blocks[split + 1].data.size(), 1u * 160u);
    EXPECT_EQ(blocks[split].frame, blocks[split + 1].frame);
    d.Feed(U, 101);
    ExpectWellFormedSpeech(d);
    EXPECT_EQ(d.HandedFrames(), Range(96, 501 + 100));
}

TEST(SdiDetector, InterimResultsSwitchTheCompleteTimeout) {
    LogCapture log;
    {
        Detector d;
        d.Init(MPF_SDI_MODE_SPEECH, 8000, true, true);
        d.Feed(V, 31);
        EXPECT_TRUE(log.Contains(APT_PRIO_DEBUG, "Set Speech Complete Timeout [3000 ms] <ch1>"));
        d.Feed(U, 300);
        EXPECT_NE(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
        d.Feed(U);  // the 301st unvoiced frame
        EXPECT_EQ(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
    }
    {
        Detector d;
        d.Init(MPF_SDI_MODE_SPEECH, 8000, true, true);
        d.Feed(V, 31);
        mpf_sdi_result_flag_set(d.get());
        EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Set Result Flag [1000 ms] <ch1>"));
        d.Feed(U, 100);
        EXPECT_NE(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
        d.Feed(U);
        ExpectWellFormedSpeech(d);
    }
    {
        Detector d;  // interim results off: the result flag changes nothing
        d.Init(MPF_SDI_MODE_SPEECH, 8000, true, false);
        d.Feed(V, 31);
        mpf_sdi_result_flag_set(d.get());
        d.Feed(U, 101);
        ExpectWellFormedSpeech(d);
    }
}

TEST(SdiDetector, VadErrorFrameIsStoredButDoesNotCount) {
    LogCapture log;
    Detector d;
    d.Init();
    d.Feed(V, 15);
    d.Feed(E);
    d.Feed(V, 15);
    EXPECT_TRUE(d.Of(Kind::StartOfInput).empty());
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING, "VAD Error <ch1>"));
    d.Feed(V);  // the 31st counted voiced frame
    ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
    d.Feed(U, 101);
    ExpectWellFormedSpeech(d);
    // Speech from frame 0: 5 frames of padding, then every frame, the error frame too.
    std::vector<int64_t> expected(5, -1);
    std::vector<int64_t> frames = Range(0, 32 + 100);
    expected.insert(expected.end(), frames.begin(), frames.end());
    EXPECT_EQ(d.HandedFrames(), expected);
}

TEST(SdiDetector, OddFrameSizesAreLoggedAndKeepTheTiming) {
    LogCapture log;
    Detector d;
    d.Init();
    std::vector<uint8_t> big(400, 0x11);
    d.FeedSamples(big.data(), big.size());
    d.FeedSamples(big.data(), 3);
    EXPECT_EQ(log.Count("Unexpected Frame Size [400], Expected [160]"), 1u);
    EXPECT_EQ(log.Count("Unexpected Frame Size [3], Expected [160]"), 1u);
    d.Feed(V, 31);
    d.Feed(U, 101);
    ExpectWellFormedSpeech(d);
    // Output starts 5 frames before the first voiced frame (frame 2): the odd frames are
    // stored as one frame each.
    EXPECT_EQ(d.HandedBytes(), (2u + 31u + 100u) * 160u + 3u * 160u);
}

TEST(SdiDetector, SixteenKilohertzFrames) {
    Detector d;
    d.Init(MPF_SDI_MODE_SPEECH, 16000);
    d.Feed(U, 10);
    d.Feed(V, 50);
    d.Feed(U, 101);
    ExpectWellFormedSpeech(d);
    EXPECT_EQ(d.Of(Kind::Speech).back().stats.size, (5u + 50u + 100u) * 320u);
}

TEST(SdiDetector, StopIsIgnoredWhileIdleAndEndsSpeechWithTheSizeHandedOn) {
    Detector d;
    mpf_sdi_stop(d.get());  // never initialised
    d.Init();
    d.Feed(U, 10);
    d.Feed(V, 31);  // handed on: 5 + 31 frames in blocks of 8 -> 32 frames
    d.Feed(V, 10);  // one more block
    uint64_t handed = d.HandedBytes();
    EXPECT_EQ(handed, 40u * 160u);
    mpf_sdi_stop(d.get());
    d.Feed(V);
    std::vector<Event> stops = d.Of(Kind::Stop);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].stats.cause, MPF_SDI_COMPLETION_CAUSE_STOPPED);
    EXPECT_EQ(stops[0].stats.size, handed);
    d.Feed(V, 50);
    d.Feed(U, 200);
    EXPECT_EQ(d.HandedBytes(), handed);
    EXPECT_EQ(d.Of(Kind::Stop).size(), 1u);
    mpf_sdi_stop(d.get());  // idle again
    d.Feed(V);
    EXPECT_EQ(d.Of(Kind::Stop).size(), 1u);
}

TEST(SdiDetector, NoInputTimerFiresOnlyWhileArmed) {
    mpf_sdi_params_t params = Defaults();
    params.noinput_timeout = 500;
    {
        Detector d(&params);
        d.Init();
        d.Feed(U, 49);
        EXPECT_TRUE(d.Of(Kind::NoInput).empty());
        d.Feed(U);
        ASSERT_EQ(d.Of(Kind::NoInput).size(), 1u);
        d.Feed(U, 100);
        EXPECT_EQ(d.events.size(), 1u);  // idle: nothing more
    }
    {
        Detector d(&params);  // timer not started at init, then started by the caller
        d.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000, false);
        d.Feed(U, 100);
        EXPECT_TRUE(d.Of(Kind::NoInput).empty());
        mpf_sdi_start_timers(d.get());
        mpf_sdi_start_timers(d.get());  // already running: not restarted
        d.Feed(U, 50);
        EXPECT_EQ(d.Of(Kind::NoInput).size(), 1u);
    }
    {
        Detector d(&params);  // a speech start stops it
        d.Init();
        d.Feed(V, 40);
        d.Feed(U, 60);
        EXPECT_TRUE(d.Of(Kind::NoInput).empty());
    }
    {
        Detector d(&params);  // any DTMF event stops it
        d.Init();
        d.Feed(U, 10);
        d.FeedEvent(MPF_MARKER_NONE, 1);
        d.Feed(U, 60);
        EXPECT_TRUE(d.Of(Kind::NoInput).empty());
        EXPECT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
    }
}

TEST(SdiDetector, InputTimerCountsTheStartProbation) {
    mpf_sdi_params_t params = Defaults();
    params.input_timeout = 1000;
    LogCapture log;
    Detector d(&params);
    d.Init();
    d.Feed(V, 31);  // speech starts at 300 ms of probation, 310 ms after this frame's tick
    d.Feed(V, 68);
    EXPECT_TRUE(d.Of(Kind::Speech).back().state != MPF_SDI_STATE_COMPLETE);
    d.Feed(V);  // the 100th frame: 1000 ms of input in all
    ExpectWellFormedSpeech(d);
    const Event last = d.Of(Kind::Speech).back();
    EXPECT_EQ(last.frame, 99u);
    EXPECT_EQ(last.stats.cause, MPF_SDI_COMPLETION_CAUSE_TIMEDOUT);
    std::vector<int64_t> expected(5, -1);  // leading-silence padding before frame 0
    std::vector<int64_t> frames = Range(0, 100);
    expected.insert(expected.end(), frames.begin(), frames.end());
    EXPECT_EQ(d.HandedFrames(), expected);
    EXPECT_EQ(last.stats.duration, 1050u);
    // Cut off in mid-speech: the input ends at the last frame, not at frame 0.
    EXPECT_TRUE(log.Contains(
        APT_PRIO_INFO,
        "Detector Stats: leading-silence=0 ms, input=1000 ms, trailing-silence=0 ms <ch1>"));
}

TEST(SdiDetector, ExternalStartOfInputWaitsForTheCaller) {
    mpf_sdi_params_t params = Defaults();
    params.input_timeout = 1000;
    Detector d(&params);
    mpf_sdi_speech_start_mode_set(d.get(), MPF_SDI_START_OF_INPUT_EXTERNAL);
    d.Init();
    d.Feed(V, 31);  // speech starts, but start of input is not reported
    EXPECT_TRUE(d.Of(Kind::StartOfInput).empty());
    EXPECT_FALSE(d.Of(Kind::Speech).empty());
    d.Feed(V, 200);  // the input timer counts but cannot fire before the caller confirms
    EXPECT_NE(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
    mpf_sdi_speech_flag_set(d.get());
    d.Feed(V, 99);
    EXPECT_NE(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
    d.Feed(V);  // 1000 ms after the confirmation
    ExpectWellFormedSpeech(d);
    EXPECT_EQ(d.Of(Kind::Speech).back().stats.cause, MPF_SDI_COMPLETION_CAUSE_TIMEDOUT);
    EXPECT_TRUE(d.Of(Kind::StartOfInput).empty());
}

TEST(SdiDetector, DtmfLengthAndMaxLengthCompleteAtOnce) {
    for (bool use_max : {false, true}) {
        LogCapture log;
        Detector d;
        if (use_max)
            mpf_sdi_dtmf_length_set(d.get(), 0, 0, 4);
        else
            mpf_sdi_dtmf_length_set(d.get(), 4, 0, 0);
        d.Init();
        // No terminating character (NUL): the line is whole all the same.
        EXPECT_TRUE(
            log.Contains(APT_PRIO_INFO, use_max ? "Init DTMF Detector: interdigit-timeout=5000 ms, "
                                                  "term-timeout=5000 ms, term-char=, length=0, "
                                                  "min-length=0, max-length=4 <ch1>"
                                                : "Init DTMF Detector: interdigit-timeout=5000 ms, "
                                                  "term-timeout=5000 ms, term-char=, length=4, "
                                                  "min-length=0, max-length=0 <ch1>"));
        d.Feed(U, 3);
        for (char c : std::string("123"))
            d.FeedDigit(c);
        d.FeedEvent(MPF_MARKER_START_OF_EVENT, mpf_dtmf_char_to_event_id('4'));
        std::vector<Event> done = d.Of(Kind::Dtmf);
        ASSERT_EQ(done.size(), 1u) << use_max;
        EXPECT_EQ(done[0].digits, "1234");
        EXPECT_EQ(done[0].count, 4u);
        EXPECT_EQ(done[0].matched, 1);
        EXPECT_EQ(done[0].state, MPF_SDI_STATE_COMPLETE);
        EXPECT_EQ(done[0].stats.cause, MPF_SDI_COMPLETION_CAUSE_SUCCESS);
        EXPECT_EQ(d.Of(Kind::Digit).size(), 4u);
        ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        EXPECT_EQ(d.Of(Kind::StartOfInput)[0].mode, MPF_SDI_MODE_DTMF);
        EXPECT_TRUE(d.Of(Kind::Speech).empty());
    }
}

TEST(SdiDetector, DtmfTerminatingCharacterAndMinimumLength) {
    struct Case {
        std::string keys;
        std::string digits;
        int matched;
    };
    for (const Case& c : {Case{"12#", "12", 0}, Case{"123#", "123", 1}}) {
        LogCapture log;
        Detector d;
        mpf_sdi_dtmf_term_char_set(d.get(), '#');
        mpf_sdi_dtmf_length_set(d.get(), 0, 3, 0);
        d.Init(MPF_SDI_MODE_DTMF);
        for (char k : c.keys)
            d.FeedDigit(k);
        std::vector<Event> done = d.Of(Kind::Dtmf);
        ASSERT_EQ(done.size(), 1u) << c.keys;
        EXPECT_EQ(done[0].digits, c.digits);
        EXPECT_EQ(done[0].matched, c.matched) << c.keys;
        EXPECT_EQ(d.Of(Kind::Digit).back().digit, '#');  // reported, not collected
        EXPECT_TRUE(
            log.Contains(APT_PRIO_INFO,
                         "Init DTMF Detector: interdigit-timeout=5000 ms, term-timeout=5000 "
                         "ms, term-char=#, length=0, min-length=3, max-length=0 <ch1>"));
        EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Detected Start of Event: id=11, digit=# <ch1>"));
    }
}

TEST(SdiDetector, DtmfTimers) {
    mpf_sdi_params_t params = Defaults();
    params.dtmf_interdigit_timeout = 500;
    params.dtmf_term_timeout = 300;
    LogCapture log;
    {
        // After the minimum the terminating timer runs, and its expiry matches even though
        // the exact length was not reached.
        Detector d(&params);
        mpf_sdi_dtmf_length_set(d.get(), 5, 2, 0);
        d.Init(MPF_SDI_MODE_DTMF);
        d.FeedDigit('1');
        EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Start Inter-Digit Timer [500 ms] <ch1>"));
        d.FeedDigit('2');
        EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Start Term Timer [300 ms] <ch1>"));
        EXPECT_TRUE(
            log.Contains(APT_PRIO_INFO, "Detected End of Event: id=2 duration=800 ts <ch1>"));
        // The end-of-event frame counted 10 ms; 28 more frames leave it 10 ms short.
        d.FeedEmpty(28);
        EXPECT_TRUE(d.Of(Kind::Dtmf).empty());
        d.FeedEmpty();
        std::vector<Event> done = d.Of(Kind::Dtmf);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].digits, "12");
        EXPECT_EQ(done[0].matched, 1);
    }
    {
        // The inter-digit timeout applies the length rule.
        Detector d(&params);
        mpf_sdi_dtmf_length_set(d.get(), 3, 0, 0);
        d.Init(MPF_SDI_MODE_DTMF);
        d.FeedDigit('7');
        d.FeedEmpty(48);
        EXPECT_TRUE(d.Of(Kind::Dtmf).empty());
        d.FeedEmpty();
        std::vector<Event> done = d.Of(Kind::Dtmf);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].digits, "7");
        EXPECT_EQ(done[0].matched, 0);
    }
    {
        // The input timer ends DTMF with cause timedout.
        mpf_sdi_params_t p = params;
        p.input_timeout = 200;
        p.dtmf_interdigit_timeout = 5000;
        Detector d(&p);
        d.Init(MPF_SDI_MODE_DTMF);
        d.FeedDigit('9');  // two frames: 20 ms of input
        d.FeedEmpty(17);
        EXPECT_TRUE(d.Of(Kind::Dtmf).empty());
        d.FeedEmpty();
        std::vector<Event> done = d.Of(Kind::Dtmf);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].stats.cause, MPF_SDI_COMPLETION_CAUSE_TIMEDOUT);
        EXPECT_EQ(done[0].digits, "9");
    }
}

TEST(SdiDetector, DtmfUnknownEventsAndAStopAfterASpeechInput) {
    LogCapture log;
    Detector d;
    // An event that is no DTMF key reads as NUL, the terminating character when none is set.
    d.Init(MPF_SDI_MODE_DTMF);
    d.FeedDigit('5');
    d.FeedEvent(MPF_MARKER_START_OF_EVENT, 200);
    EXPECT_TRUE(log.Contains(APT_PRIO_INFO, "Detected Start of Event: id=200, digit= <ch1>"));
    ASSERT_EQ(d.Of(Kind::Dtmf).size(), 1u);
    EXPECT_EQ(d.Of(Kind::Dtmf)[0].digits, "5");
    EXPECT_EQ(d.Of(Kind::Dtmf)[0].count, 1u);
    EXPECT_EQ(d.Of(Kind::Digit).back().digit, '\0');

    // A speech input first: the stop of the DTMF input after it must not count its audio.
    d.Init(MPF_SDI_MODE_SPEECH);
    d.Feed(U, 10);
    d.Feed(V, 31);
    d.Feed(U, 101);
    d.events.clear();
    mpf_sdi_dtmf_term_char_set(d.get(), '#');
    d.Init(MPF_SDI_MODE_DTMF);
    d.FeedDigit('5');
    d.FeedEvent(MPF_MARKER_START_OF_EVENT, 200);  // otherwise never collected: it would cut
    EXPECT_EQ(log.Count("Unknown Event Id [200] Ignored"), 1u);  // the digit string short
    EXPECT_TRUE(d.Of(Kind::Dtmf).empty());
    mpf_sdi_stop(d.get());
    d.FeedEmpty();
    ASSERT_EQ(d.Of(Kind::Stop).size(), 1u);
    EXPECT_EQ(d.Of(Kind::Stop)[0].stats.cause, MPF_SDI_COMPLETION_CAUSE_STOPPED);
    EXPECT_EQ(d.Of(Kind::Stop)[0].stats.size, 0u);
    EXPECT_EQ(d.Of(Kind::Stop)[0].stats.duration, 0u);
    d.FeedDigit('6');
    EXPECT_TRUE(d.Of(Kind::Dtmf).empty());
}

TEST(SdiDetector, SpeechAndDtmfRace) {
    {
        Detector d;  // DTMF first: speech detection ends
        d.Init();
        d.Feed(V, 10);
        d.FeedDigit('1');
        d.Feed(V, 100);
        EXPECT_TRUE(d.Of(Kind::Speech).empty());
        ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        EXPECT_EQ(d.Of(Kind::StartOfInput)[0].mode, MPF_SDI_MODE_DTMF);
    }
    {
        Detector d;  // both in the same frame: speech wins
        d.Init();
        d.Feed(V, 30);
        std::vector<int16_t> samples = SdiTest::TaggedFrame(8000, 30, V);
        mpf_frame_t frame{};
        frame.type = MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT;
        frame.marker = MPF_MARKER_START_OF_EVENT;
        frame.codec_frame.buffer = samples.data();
        frame.codec_frame.size = samples.size() * 2;
        frame.event_frame.event_id = 1;
        d.Process(frame);
        ASSERT_EQ(d.Of(Kind::StartOfInput).size(), 1u);
        EXPECT_EQ(d.Of(Kind::StartOfInput)[0].mode, MPF_SDI_MODE_SPEECH);
        EXPECT_TRUE(d.Of(Kind::Digit).empty());
    }
}

TEST(SdiDetector, CreationNeedsTheMandatoryHandlersAndTheVad) {
    SdiTest::InitProcess();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    int obj = 0;
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    EXPECT_EQ(mpf_sdi_detector_create("x", &handlers, &obj, nullptr, pool), nullptr);
    handlers.on_noinput = [](mpf_sdi_detector_t*) {};
    handlers.on_stop = [](mpf_sdi_detector_t*, const mpf_sdi_stats_t*) {};
    handlers.on_start_of_input = [](mpf_sdi_detector_t*, mpf_sdi_mode_e) {};
    EXPECT_EQ(mpf_sdi_detector_create("x", &handlers, &obj, nullptr, pool), nullptr);
    mpf_sdi_params_t dtmf_only = Defaults();
    dtmf_only.input_mode = MPF_SDI_MODE_DTMF;
    EXPECT_EQ(mpf_sdi_detector_create("x", &handlers, &obj, &dtmf_only, pool), nullptr);
    handlers.on_dtmf_input = [](mpf_sdi_detector_t*, const char*, apr_size_t, apt_bool_t,
                                mpf_sdi_state_e, const mpf_sdi_stats_t*) {};
    {
        // The input mode stays as created: speech now would call the missing speech handler.
        LogCapture log;
        mpf_sdi_detector_t* dtmf = mpf_sdi_detector_create("x", &handlers, &obj, &dtmf_only, pool);
        ASSERT_NE(dtmf, nullptr);
        mpf_sdi_params_set(dtmf, nullptr);
        EXPECT_TRUE(
            log.Contains(APT_PRIO_WARNING, "Input Mode Kept [DTMF], Fixed at Creation <x>"));
        mpf_sdi_init(dtmf, MPF_SDI_MODE_SPEECH_DTMF, 8000, FALSE, FALSE);
        EXPECT_EQ(log.Count("Init Speech Detector"), 0u);
        for (uint64_t n = 0; n < 40; ++n) {
            std::vector<int16_t> samples = SdiTest::TaggedFrame(8000, n, V);
            mpf_frame_t frame{};
            frame.type = MEDIA_FRAME_TYPE_AUDIO;
            frame.codec_frame.buffer = samples.data();
            frame.codec_frame.size = samples.size() * 2;
            mpf_sdi_process(dtmf, &frame);
        }
    }
    EXPECT_EQ(mpf_sdi_detector_create("x", &handlers, nullptr, &dtmf_only, pool), nullptr);
    EXPECT_EQ(mpf_sdi_detector_create(nullptr, &handlers, &obj, &dtmf_only, pool), nullptr);
    handlers.on_speech_input = [](mpf_sdi_detector_t*, const void*, apr_size_t, mpf_sdi_state_e,
                                  const mpf_sdi_stats_t*) {};
    {
        LogCapture log;
        sdi_vad_seam_fail_create(1);
        EXPECT_EQ(mpf_sdi_detector_create("x", &handlers, &obj, nullptr, pool), nullptr);
        sdi_vad_seam_fail_create(0);
        EXPECT_TRUE(log.Contains(APT_PRIO_WARNING, "Failed to Create VAD Instnace <x>"));
    }
    int live = sdi_vad_seam_live_instances();
    mpf_sdi_detector_t* detector = mpf_sdi_detector_create("x", &handlers, &obj, nullptr, pool);
    ASSERT_NE(detector, nullptr);
    EXPECT_EQ(sdi_vad_seam_live_instances(), live + 1);
    mpf_sdi_destroy(detector);
    EXPECT_EQ(sdi_vad_seam_live_instances(), live);
    apr_pool_destroy(pool);  // the cleanup ran already: nothing freed twice
    EXPECT_EQ(sdi_vad_seam_live_instances(), live);
}

TEST(SdiDetector, SettersAndModes) {
    LogCapture log;
    mpf_sdi_params_t speech_only = Defaults();
    speech_only.input_mode = MPF_SDI_MODE_SPEECH;
    Detector d(&speech_only);
    mpf_sdi_vad_mode_set(d.get(), 9);  // ignored
    mpf_sdi_vad_mode_set(d.get(), 3);
    mpf_sdi_speech_start_timeout_set(d.get(), 100);
    d.Init(MPF_SDI_MODE_DTMF);  // DTMF not configured: idle
    EXPECT_EQ(log.Count("Init DTMF Detector"), 0u);
    d.FeedDigit('1');
    d.Feed(V, 20);
    EXPECT_TRUE(d.events.empty());
    d.Init(MPF_SDI_MODE_SPEECH_DTMF);
    EXPECT_EQ(log.Count("Init Speech Detector: frame-size=160, max-frame-count=315, "
                        "output-frame-count=8, vad-mode=3, noinput-timeout=10000 ms, "
                        "input-timeout=20000 ms, start-timeout=100 ms"),
              1u);
    d.Feed(V, 11);
    EXPECT_EQ(d.Of(Kind::StartOfInput).size(), 1u);

    EXPECT_STREQ(mpf_sdi_mode_str(MPF_SDI_MODE_SPEECH_DTMF), "SPEECH|DTMF");
    EXPECT_STREQ(mpf_sdi_mode_str(static_cast<mpf_sdi_mode_e>(7)), "NONE");
    EXPECT_STREQ(mpf_sdi_state_str(static_cast<mpf_sdi_state_e>(3)), "UNKNOWN");
    EXPECT_STREQ(mpf_sdi_completion_cause_str(MPF_SDI_COMPLETION_CAUSE_TIMEDOUT), "timedout");
}

TEST(SdiDetector, CallsFromItsOwnHandlersAreRefused) {
    LogCapture log;
    Detector d;
    d.reenter_on_start = true;  // calls mpf_sdi_stop from on_start_of_input
    d.Init();
    d.Feed(V, 31);
    EXPECT_EQ(log.Count("Detector Called from its Own Handler [mpf_sdi_stop] <ch1>"), 1u);
    d.Feed(V);
    EXPECT_TRUE(d.Of(Kind::Stop).empty());
}

TEST(SdiDetector, TheRingNeverHandsOnOverwrittenAudio) {
    {
        // Tiny end timeouts and output period: the ring still holds the leading silence and
        // the start probation, and blocks of 1 frame flow.
        mpf_sdi_params_t params = Defaults();
        params.speech_complete_timeout = 0;
        params.speech_incomplete_timeout = 0;
        params.speech_trailing_silence = 0;
        params.speech_output_period = 5;
        LogCapture log;
        Detector d(&params);
        d.Init();
        EXPECT_EQ(log.Count("Speech Output Period [5 ms] Below One Frame, Using 10 ms <ch1>"), 1u);
        d.Feed(U, 10);
        d.Feed(V, 31);
        d.Feed(U, 2);  // the first unvoiced frame went out before the end was known
        EXPECT_EQ(d.HandedFrames(), Range(5, 42));
        EXPECT_EQ(d.Of(Kind::Speech).back().state, MPF_SDI_STATE_COMPLETE);
    }
    {
        // A start timeout grown after the init: the oldest frames are skipped, not repeated.
        LogCapture log;
        Detector d;
        d.Init();
        mpf_sdi_speech_start_timeout_set(d.get(), 4000);
        d.Feed(U, 10);
        d.Feed(V, 401);
        EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                                 "Skip Overwritten Frames: read-marker=5, count=71 <ch1>"));
        d.Feed(U, 101);
        ExpectWellFormedSpeech(d);
        EXPECT_EQ(d.HandedFrames(), Range(76, 411 + 100));
    }
}

TEST(SdiDetector, RecognitionsInARowReuseTheRing) {
    Detector d;
    for (int round = 0; round < 3; ++round) {
        d.events.clear();
        d.Init();
        d.Feed(U, 20 + round);
        d.Feed(V, 40);
        d.Feed(U, 101);
        ExpectWellFormedSpeech(d);
        EXPECT_EQ(d.HandedFrames(), Range(15 + round, 20 + round + 40 + 100)) << round;
    }
}

}  // namespace
