// Per-frame cost of mpf_sdi_process in speech and in silence, against WebRtcVad_Process
// alone on the same frames, at 8000 and 16000 Hz. Both are measured in the same run and the
// ratios are printed at the end.
#include <apr_general.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "../common/bench_main.h"
#include "mpf_sdi_detector.h"
#include "test_audio.h"
#include "webrtc_vad.h"

namespace {

enum Content { kSilence = 0, kSpeech = 1 };

// 10 ms frames of speech (espeak-ng, looped) or of digital silence.
const std::vector<int16_t>& Samples(int rate, int content) {
    static std::map<std::pair<int, int>, std::vector<int16_t>> cache;
    auto key = std::make_pair(rate, content);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    std::vector<int16_t> samples;
    if (content == kSpeech)
        samples = ZephTest::SynthesizeSpeech(
            "please book me a table for two at seven tonight and call me back tomorrow", rate);
    if (samples.empty())
        samples.assign(static_cast<size_t>(rate) * 3, 0);
    size_t frame = static_cast<size_t>(rate / 100);
    samples.resize(samples.size() / frame * frame);
    return cache[key] = samples;
}

void BM_VadOnly(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const std::vector<int16_t>& samples = Samples(rate, static_cast<int>(state.range(1)));
    const size_t frame = static_cast<size_t>(rate / 100);
    VadInst* vad = WebRtcVad_Create();
    WebRtcVad_Init(vad);
    WebRtcVad_set_mode(vad, 2);
    size_t pos = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(WebRtcVad_Process(vad, rate, &samples[pos], frame));
        pos += frame;
        if (pos >= samples.size())
            pos = 0;
    }
    WebRtcVad_Free(vad);
}

struct Sink {
    bool complete = false;
    size_t bytes = 0;
};

void BM_Detector(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const std::vector<int16_t>& samples = Samples(rate, static_cast<int>(state.range(1)));
    const size_t frame = static_cast<size_t>(rate / 100);
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    Sink sink;
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t* d) {
        static_cast<Sink*>(mpf_sdi_obj_get(d))->complete = true;
    };
    handlers.on_stop = [](mpf_sdi_detector_t*, const mpf_sdi_stats_t*) {};
    handlers.on_start_of_input = [](mpf_sdi_detector_t*, mpf_sdi_mode_e) {};
    handlers.on_speech_input = [](mpf_sdi_detector_t* d, const void*, apr_size_t size,
                                  mpf_sdi_state_e s, const mpf_sdi_stats_t*) {
        Sink* sink = static_cast<Sink*>(mpf_sdi_obj_get(d));
        sink->bytes += size;
        if (s == MPF_SDI_STATE_COMPLETE)
            sink->complete = true;
    };
    handlers.on_dtmf_input = [](mpf_sdi_detector_t*, const char*, apr_size_t, apt_bool_t,
                                mpf_sdi_state_e, const mpf_sdi_stats_t*) {};
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.noinput_timeout = 1000000000;  // keep one input running through the measurement
    params.input_timeout = 1000000000;
    mpf_sdi_detector_t* detector =
        mpf_sdi_detector_create("bench", &handlers, &sink, &params, pool);
    mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, static_cast<apr_uint16_t>(rate), TRUE, FALSE);
    mpf_frame_t media{};
    media.type = MEDIA_FRAME_TYPE_AUDIO;
    media.codec_frame.size = frame * 2;
    size_t pos = 0;
    size_t reinits = 0;
    for (auto _ : state) {
        media.codec_frame.buffer = const_cast<int16_t*>(&samples[pos]);
        mpf_sdi_process(detector, &media);
        pos += frame;
        if (pos >= samples.size())
            pos = 0;
        if (sink.complete) {  // a pause ended the speech: arm again, as the channel would
            sink.complete = false;
            ++reinits;
            mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, static_cast<apr_uint16_t>(rate), TRUE,
                         FALSE);
        }
    }
    state.counters["reinits"] = static_cast<double>(reinits);
    state.counters["handed_bytes_per_frame"] =
        benchmark::Counter(static_cast<double>(sink.bytes), benchmark::Counter::kAvgIterations);
    mpf_sdi_destroy(detector);
    apr_pool_destroy(pool);
}

void Args(benchmark::internal::Benchmark* b) {
    for (int rate : {8000, 16000})
        for (int content : {kSilence, kSpeech})
            b->Args({rate, content});
    b->ArgNames({"rate", "speech"});
}

BENCHMARK(BM_VadOnly)->Apply(Args);
BENCHMARK(BM_Detector)->Apply(Args);

// Console output as usual, plus the detector/VAD ratio per rate and content at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration)
                continue;
            std::string name = run.benchmark_name();
            size_t slash = name.find('/');
            times_[name.substr(0, slash)][name.substr(slash + 1)] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nDetector cost against the VAD alone (same frames, same run):\n");
        for (const auto& entry : times_["BM_Detector"]) {
            double vad = times_["BM_VadOnly"][entry.first];
            if (vad <= 0)
                continue;
            std::printf("  %-22s vad %8.1f ns  detector %8.1f ns  ratio %.3f\n",
                        entry.first.c_str(), vad, entry.second, entry.second / vad);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    RatioReporter reporter;
    return ZephBench::RunBenchmarks(argc, argv, reporter);
}
