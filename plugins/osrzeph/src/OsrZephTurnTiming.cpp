#include "OsrZephTurnTiming.h"

#include <algorithm>
#include <vector>

namespace Zeph {

namespace {

const char* const kKeys[TurnTimeline::MOMENT_COUNT] = {
    "stream-created", "first-audio-sent", "start-of-speech", "first-interim-result",
    "end-of-speech",  "half-close",       "final-result",    "completion-sent"};

// From `from` to `to` in whole ms; -1 unless both happened.
long long Between(apr_time_t from, apr_time_t to) {
    if (!from || !to)
        return -1;
    return static_cast<long long>((to - from) / 1000);
}

std::string FigureText(long long ms) {
    return ms < 0 ? std::string("-") : std::to_string(ms) + " ms";
}

// Nearest rank: the smallest sample with at least `percent` of the samples at or below it.
long long Percentile(std::vector<long long>& sorted, unsigned percent) {
    size_t rank = (sorted.size() * percent + 99) / 100;
    return sorted[rank > 0 ? rank - 1 : 0];
}

}  // namespace

// ---- TurnTimeline ---------------------------------------------------------------------------

void TurnTimeline::Start(apr_time_t origin) {
    m_origin = origin;
    std::fill(std::begin(m_times), std::end(m_times), 0);
}

void TurnTimeline::Mark(Moment moment) {
    Mark(moment, apr_time_now());
}

void TurnTimeline::Mark(Moment moment, apr_time_t time) {
    if (!IsStarted() || moment >= MOMENT_COUNT || (Has(moment) && moment != FINAL_RESULT))
        return;
    m_times[moment] = time;
}

long long TurnTimeline::Elapsed(Moment moment) const {
    return Between(m_origin, m_times[moment]);
}

TurnTimeline::Figures TurnTimeline::GetFigures() const {
    Figures figures;
    figures.m_toFirstInterim = Between(m_times[START_OF_SPEECH], m_times[FIRST_INTERIM_RESULT]);
    figures.m_endOfSpeechToResult = Between(m_times[END_OF_SPEECH], m_times[FINAL_RESULT]);
    figures.m_resultToCompletion = Between(m_times[FINAL_RESULT], m_times[COMPLETION_SENT]);
    // A moment before its predecessor (an interim result before the detector's start of
    // speech) says nothing about waiting.
    for (long long* figure : {&figures.m_toFirstInterim, &figures.m_endOfSpeechToResult,
                              &figures.m_resultToCompletion}) {
        if (*figure < -1)
            *figure = -1;
    }
    return figures;
}

const char* TurnTimeline::KeyOf(Moment moment) {
    return moment < MOMENT_COUNT ? kKeys[moment] : "";
}

void TurnTimeline::AppendRecordMember(std::string& out, const char* indent) const {
    out += indent;
    out += "\"timeline\": {";
    bool first = true;
    for (int moment = 0; moment < MOMENT_COUNT; ++moment) {
        long long ms = Elapsed(static_cast<Moment>(moment));
        if (ms < 0)
            continue;
        out += first ? "" : ", ";
        out += "\"";
        out += kKeys[moment];
        out += "\": " + std::to_string(ms);
        first = false;
    }
    out += "},\n";
}

std::string TurnTimeline::DescribeFigures() const {
    Figures figures = GetFigures();
    return "first-interim [" + FigureText(figures.m_toFirstInterim) +
           "] end-of-speech-to-result [" + FigureText(figures.m_endOfSpeechToResult) +
           "] result-to-completion [" + FigureText(figures.m_resultToCompletion) + "]";
}

// ---- TurnTimingStats ------------------------------------------------------------------------

void TurnTimingStats::Add(const TurnTimeline::Figures& figures) {
    AddSample(m_toFirstInterim, figures.m_toFirstInterim);
    AddSample(m_endOfSpeechToResult, figures.m_endOfSpeechToResult);
    AddSample(m_resultToCompletion, figures.m_resultToCompletion);
}

void TurnTimingStats::AddSample(std::deque<long long>& samples, long long value) {
    if (value < 0)
        return;
    if (samples.size() == kWindow)
        samples.pop_front();
    samples.push_back(value);
}

void TurnTimingStats::Write(FILE* out) const {
    WriteLine(out, "time to first interim", m_toFirstInterim);
    WriteLine(out, "end of speech to result", m_endOfSpeechToResult);
    WriteLine(out, "result to completion", m_resultToCompletion);
}

void TurnTimingStats::WriteLine(FILE* out, const char* name, const std::deque<long long>& samples) {
    if (samples.empty())
        return;
    std::vector<long long> sorted(samples.begin(), samples.end());
    std::sort(sorted.begin(), sorted.end());
    std::fprintf(out, "%s p50: %lld ms, p95: %lld ms\n", name, Percentile(sorted, 50),
                 Percentile(sorted, 95));
}

}  // namespace Zeph
