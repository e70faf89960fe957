// The pieces of long-call handling that stand alone: session ids the service takes, the
// turn timeline's figures and their running percentiles, the retry's back-off and the room
// before the audio cap.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "OsrZephSessionId.h"
#include "OsrZephStreamRetry.h"
#include "OsrZephTurnTiming.h"

namespace {

using Zeph::ServiceSessionId;
using Zeph::TurnTimeline;
using Zeph::TurnTimingStats;

// Expected UUIDs computed with Python's uuid.uuid5 over the same name space.
TEST(SessionIdTest, LongIdsBecomeTheirNameBasedUuid) {
    const std::string e37 = [] {
        std::string text;
        for (int i = 0; i < 37; ++i)
            text += "\xC3\xA9";  // é
        return text;
    }();
    struct Case {
        std::string id;
        std::string expected;
    } cases[] = {
        {"", ""},
        {std::string(36, 'x'), std::string(36, 'x')},
        // 36 characters in 72 bytes: the service counts characters.
        {e37.substr(2), e37.substr(2)},
        {"0123456789abcdef0123456789abcdef01234", "f74740a2-0f9e-549b-b560-8fdf59796aa1"},
        {std::string(100, 'a'), "eded22b0-410a-5592-9fea-2b49555df3fe"},
        {e37, "ec4b3137-6119-50ac-bc04-e519c7c14918"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServiceSessionId(c.id), c.expected) << c.id;
}

// Elapsed times and figures from fixed moments; the figures need both of their moments.
TEST(TurnTimelineTest, FiguresComeFromTheirMoments) {
    TurnTimeline timeline;
    timeline.Mark(TurnTimeline::HALF_CLOSE, 5000);  // before Start: ignored
    timeline.Start(1000000);
    EXPECT_FALSE(timeline.Has(TurnTimeline::HALF_CLOSE));
    timeline.Mark(TurnTimeline::START_OF_SPEECH, 1200000);
    timeline.Mark(TurnTimeline::FIRST_INTERIM_RESULT, 1450000);
    timeline.Mark(TurnTimeline::FIRST_INTERIM_RESULT, 1900000);  // not the first: kept out
    timeline.Mark(TurnTimeline::END_OF_SPEECH, 2000000);
    timeline.Mark(TurnTimeline::FINAL_RESULT, 2100000);
    timeline.Mark(TurnTimeline::FINAL_RESULT, 2300000);  // after a restart: the last counts
    EXPECT_EQ(timeline.Elapsed(TurnTimeline::FIRST_INTERIM_RESULT), 450);
    EXPECT_EQ(timeline.Elapsed(TurnTimeline::COMPLETION_SENT), -1);
    EXPECT_EQ(timeline.DescribeFigures(),
              "first-interim [250 ms] end-of-speech-to-result [300 ms] result-to-completion [-]");
    timeline.Mark(TurnTimeline::COMPLETION_SENT, 2310000);
    EXPECT_EQ(timeline.GetFigures().m_resultToCompletion, 10);

    std::string member;
    timeline.AppendRecordMember(member, " ");
    EXPECT_EQ(member,
              " \"timeline\": {\"start-of-speech\": 200, \"first-interim-result\": 450, "
              "\"end-of-speech\": 1000, \"final-result\": 1300, \"completion-sent\": 1310},\n");
}

// Nearest-rank percentiles over the last kWindow samples; a figure without samples has no
// line.
TEST(TurnTimingStatsTest, PercentilesOverTheLastRecognitions) {
    TurnTimingStats stats;
    auto written = [&stats] {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        stats.Write(out);
        std::fclose(out);
        std::string result(text, size);
        free(text);
        return result;
    };
    EXPECT_EQ(written(), "");
    // 1..100 ms to the first interim, nothing else.
    for (long long ms = 1; ms <= 100; ++ms) {
        TurnTimeline::Figures figures;
        figures.m_toFirstInterim = ms;
        stats.Add(figures);
    }
    EXPECT_EQ(written(), "time to first interim p50: 50 ms, p95: 95 ms\n");
    // A full window of 1000 ms pushes the first samples out.
    for (size_t i = 0; i < TurnTimingStats::kWindow; ++i) {
        TurnTimeline::Figures figures;
        figures.m_toFirstInterim = 1000;
        figures.m_resultToCompletion = static_cast<long long>(i % 2);
        stats.Add(figures);
    }
    EXPECT_EQ(written(),
              "time to first interim p50: 1000 ms, p95: 1000 ms\n"
              "result to completion p50: 0 ms, p95: 1 ms\n");
}

// The wait before a retry: below a bound that doubles per retry up to the maximum, never
// past the budget, and none for a final status or once the attempts are spent. The room a
// call has before the audio cap shrinks by the margin and the replayed audio, down to half
// the cap.
TEST(StreamRetryTest, DelayStaysWithinBoundsAttemptsAndBudget) {
    using Code = grpc::StatusCode;
    Zeph::StreamingRecogSettings settings;  // 3 attempts, 250 ms doubling to 500, budget 1000
    struct Case {
        Code code;
        int retry;
        long elapsed;
        double draw;
        long expected;
    } const cases[] = {
        {Code::UNAVAILABLE, 1, 0, 0.5, 125},     {Code::RESOURCE_EXHAUSTED, 2, 100, 0.999, 499},
        {Code::UNAVAILABLE, 2, 900, 0.999, 100},  // the budget's rest
        {Code::UNAVAILABLE, 2, 1000, 0.0, -1},    // the budget spent
        {Code::UNAVAILABLE, 3, 0, 0.0, -1},       // the attempts spent
        {Code::UNAUTHENTICATED, 1, 0, 0.0, -1},  {Code::PERMISSION_DENIED, 1, 0, 0.0, -1},
        {Code::INVALID_ARGUMENT, 1, 0, 0.0, -1}, {Code::NOT_FOUND, 1, 0, 0.0, -1},
        {Code::OUT_OF_RANGE, 1, 0, 0.0, -1},     {Code::CANCELLED, 1, 0, 0.0, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Zeph::RetryDelay(settings, c.code, c.retry, c.elapsed, c.draw), c.expected)
            << static_cast<int>(c.code) << " retry " << c.retry;
    settings.m_retryAttempts = 5;
    settings.m_retryBudget = 10000;
    EXPECT_EQ(Zeph::RetryDelay(settings, Code::UNAVAILABLE, 4, 0, 0.5), 250);  // capped at 500

    EXPECT_EQ(Zeph::AudioCapRoom(60000, 2000, 0), 58000);
    EXPECT_EQ(Zeph::AudioCapRoom(60000, 2000, 10000), 48000);
    EXPECT_EQ(Zeph::AudioCapRoom(4000, 3000, 0), 2000);
}

}  // namespace
