// Where a recognition spent its time: the moments of one turn in ms from its RECOGNIZE,
// the three figures operators ask for, and their running percentiles per engine.
//
// Threads: the engine's event processor thread (a channel's timeline is part of its
// recognition state; the engine's statistics are fed at completion and read by usage
// reports, both on that thread).
#pragma once

#include <apr_time.h>

#include <cstddef>
#include <cstdio>
#include <deque>
#include <string>

namespace Zeph {

class TurnTimeline {
public:
    enum Moment {
        STREAM_CREATED,
        FIRST_AUDIO_SENT,
        START_OF_SPEECH,
        FIRST_INTERIM_RESULT,
        // The detector's end of speech or the service's end of utterance, the earlier.
        END_OF_SPEECH,
        HALF_CLOSE,
        // The query result the completion carries (the last one, after a stream restart).
        FINAL_RESULT,
        COMPLETION_SENT,
        MOMENT_COUNT
    };

    // The three figures, in ms; -1 where a moment of one is missing.
    struct Figures {
        long long m_toFirstInterim = -1;       // start of speech to first interim result
        long long m_endOfSpeechToResult = -1;  // end of speech to final result
        long long m_resultToCompletion = -1;   // final result to completion sent
    };

    // A new turn whose RECOGNIZE came at `origin`; every moment unset.
    void Start(apr_time_t origin);
    // Records `moment` now. Each keeps its first occurrence, the final result its last.
    void Mark(Moment moment);
    void Mark(Moment moment, apr_time_t time);
    bool IsStarted() const { return m_origin != 0; }
    bool Has(Moment moment) const { return m_times[moment] != 0; }
    // ms from the RECOGNIZE; -1 when the moment has not happened.
    long long Elapsed(Moment moment) const;
    Figures GetFigures() const;

    // The record's key for each moment.
    static const char* KeyOf(Moment moment);
    // The record's "timeline" object member line (indented by `indent`, with its trailing
    // comma and newline): the moments that happened as numbers of ms.
    void AppendRecordMember(std::string& out, const char* indent) const;
    // "first-interim [N ms] end-of-speech-to-result [N ms] result-to-completion [N ms]",
    // "-" for a missing figure.
    std::string DescribeFigures() const;

private:
    apr_time_t m_origin = 0;
    apr_time_t m_times[MOMENT_COUNT] = {};
};

// Running median and 95th percentile of each figure over the last recognitions of an
// engine, for the usage status file.
class TurnTimingStats {
public:
    // Recognitions each percentile is taken over.
    static constexpr size_t kWindow = 1000;

    // The figures that the turn has; missing ones are left out.
    void Add(const TurnTimeline::Figures& figures);
    // One line per figure that has samples: "<name> p50: N ms, p95: N ms".
    void Write(FILE* out) const;

private:
    static void AddSample(std::deque<long long>& samples, long long value);
    static void WriteLine(FILE* out, const char* name, const std::deque<long long>& samples);

    std::deque<long long> m_toFirstInterim;
    std::deque<long long> m_endOfSpeechToResult;
    std::deque<long long> m_resultToCompletion;
};

}  // namespace Zeph
