// The speech and DTMF input detector alone over a recording, as a channel runs it during a
// recognition: its CPU per 10 ms frame (thread CPU time) and the blocks it hands on, with
// the frame at which each was handed on, so that a baseline can send the same blocks at the
// same moments.
//
// Threads: the calling thread only; the detector runs synchronously on it.
#pragma once

#include <apr_pools.h>
#include <time.h>

#include <cstdint>
#include <vector>

#include "mpf_sdi_detector.h"

namespace ZephBench {

inline double ThreadCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

struct HandedBlock {
    size_t frame = 0;  // index of the frame whose processing handed it on
    size_t bytes = 0;
    bool last = false;
};

// How the channel runs the detector for the recognition.
struct ReplaySettings {
    mpf_sdi_mode_e mode = MPF_SDI_MODE_SPEECH_DTMF;
    // Start of input confirmed by the service (interim results on): until the first result
    // the incomplete timeout ends the speech, after it the complete timeout.
    bool service_originated = false;
    // With it: the first result arrives once this much audio was handed on (0: never).
    size_t result_at_bytes = 0;
};

struct DetectorReplay {
    double cpu_us_per_frame = 0;
    size_t frames = 0;                // frames processed, over all rounds
    std::vector<HandedBlock> blocks;  // of the first round
    int completions = 0;              // rounds whose input completed (last block or timeout)
};

// Runs `rounds` recognitions over `samples` (16-bit mono at `rate`, cut into 10 ms frames):
// each initialises the detector as RECOGNIZE does (no-input timer started) and processes
// every frame; frames after the input completed go to the idle detector, as a channel's
// frames do. `params` null: the detector's defaults.
inline DetectorReplay ReplayDetector(const std::vector<int16_t>& samples, int rate, int rounds,
                                     const mpf_sdi_params_t* params, apr_pool_t* pool,
                                     const ReplaySettings& settings = ReplaySettings()) {
    struct Sink {
        bool record = true;
        bool complete = false;
        size_t frame = 0;
        size_t handed = 0;
        std::vector<HandedBlock>* blocks = nullptr;
    };
    DetectorReplay replay;
    Sink sink;
    sink.blocks = &replay.blocks;
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t* d) {
        static_cast<Sink*>(mpf_sdi_obj_get(d))->complete = true;
    };
    handlers.on_stop = [](mpf_sdi_detector_t*, const mpf_sdi_stats_t*) {};
    handlers.on_start_of_input = [](mpf_sdi_detector_t*, mpf_sdi_mode_e) {};
    handlers.on_speech_input = [](mpf_sdi_detector_t* d, const void*, apr_size_t size,
                                  mpf_sdi_state_e state, const mpf_sdi_stats_t*) {
        Sink* sink = static_cast<Sink*>(mpf_sdi_obj_get(d));
        bool last = state == MPF_SDI_STATE_COMPLETE;
        if (sink->record)
            sink->blocks->push_back({sink->frame, size, last});
        sink->handed += size;
        sink->complete = sink->complete || last;
    };
    handlers.on_dtmf_input = [](mpf_sdi_detector_t*, const char*, apr_size_t, apt_bool_t,
                                mpf_sdi_state_e, const mpf_sdi_stats_t*) {};
    mpf_sdi_detector_t* detector = mpf_sdi_detector_create("bench", &handlers, &sink, params, pool);
    if (!detector)
        return replay;
    const size_t frame = static_cast<size_t>(rate / 100);
    mpf_frame_t media{};
    media.type = MEDIA_FRAME_TYPE_AUDIO;
    media.codec_frame.size = frame * 2;
    double start = ThreadCpuMicros();
    for (int round = 0; round < rounds; ++round) {
        sink.record = round == 0;
        sink.complete = false;
        sink.handed = 0;
        bool result = false;
        mpf_sdi_speech_start_mode_set(detector, settings.service_originated
                                                    ? MPF_SDI_START_OF_INPUT_EXTERNAL
                                                    : MPF_SDI_START_OF_INPUT_INTERNAL);
        mpf_sdi_init(detector, settings.mode, static_cast<apr_uint16_t>(rate), TRUE,
                     settings.service_originated ? TRUE : FALSE);
        sink.frame = 0;
        for (size_t pos = 0; pos + frame <= samples.size(); pos += frame, ++sink.frame) {
            media.codec_frame.buffer = const_cast<int16_t*>(&samples[pos]);
            mpf_sdi_process(detector, &media);
            ++replay.frames;
            if (!result && settings.result_at_bytes > 0 &&
                sink.handed >= settings.result_at_bytes) {
                result = true;
                mpf_sdi_result_flag_set(detector);
            }
        }
        replay.completions += sink.complete ? 1 : 0;
    }
    double spent = ThreadCpuMicros() - start;
    mpf_sdi_destroy(detector);
    replay.cpu_us_per_frame = replay.frames ? spent / static_cast<double>(replay.frames) : 0;
    return replay;
}

}  // namespace ZephBench
