// The detector on a media thread while another thread initialises it, sets its flags and
// parameters and stops it (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "detector_harness.h"
#include "vad_seam.h"

namespace {

struct Counters {
    std::atomic<int> stops{0};
    std::atomic<int> completes{0};
    std::atomic<int> starts{0};
    std::atomic<int> noinputs{0};
    std::atomic<int> dtmf{0};
    std::atomic<uint64_t> bytes{0};
};

TEST(SdiThreads, MediaThreadAgainstFlagSettersAndStop) {
    SdiTest::InitProcess();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    Counters counters;
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t* d) {
        static_cast<Counters*>(mpf_sdi_obj_get(d))->noinputs++;
    };
    handlers.on_stop = [](mpf_sdi_detector_t* d, const mpf_sdi_stats_t* stats) {
        Counters* c = static_cast<Counters*>(mpf_sdi_obj_get(d));
        c->stops++;
        EXPECT_EQ(stats->cause, MPF_SDI_COMPLETION_CAUSE_STOPPED);
    };
    handlers.on_start_of_input = [](mpf_sdi_detector_t* d, mpf_sdi_mode_e) {
        static_cast<Counters*>(mpf_sdi_obj_get(d))->starts++;
    };
    handlers.on_speech_input = [](mpf_sdi_detector_t* d, const void* data, apr_size_t size,
                                  mpf_sdi_state_e state, const mpf_sdi_stats_t* stats) {
        Counters* c = static_cast<Counters*>(mpf_sdi_obj_get(d));
        volatile uint8_t sink = 0;
        for (apr_size_t i = 0; i < size; ++i)
            sink ^= static_cast<const uint8_t*>(data)[i];
        c->bytes += size;
        if (state == MPF_SDI_STATE_COMPLETE) {
            c->completes++;
            EXPECT_NE(stats, nullptr);
        }
    };
    handlers.on_dtmf_input = [](mpf_sdi_detector_t* d, const char*, apr_size_t, apt_bool_t,
                                mpf_sdi_state_e, const mpf_sdi_stats_t*) {
        static_cast<Counters*>(mpf_sdi_obj_get(d))->dtmf++;
    };
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.noinput_timeout = 300;
    params.input_timeout = 600;
    mpf_sdi_detector_t* detector =
        mpf_sdi_detector_create("threads", &handlers, &counters, &params, pool);
    ASSERT_NE(detector, nullptr);
    mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, 8000, TRUE, TRUE);

    std::atomic<bool> done{false};
    std::atomic<uint64_t> framesProcessed{0};
    std::thread media([&] {
        uint64_t n = 0;
        while (!done.load()) {
            // 40 voiced frames, 30 unvoiced, now and then a digit.
            int code = (n % 70) < 40 ? SDI_SEAM_VOICED : 0;
            std::vector<int16_t> samples = SdiTest::TaggedFrame(8000, n, code);
            mpf_frame_t frame{};
            frame.type = MEDIA_FRAME_TYPE_AUDIO;
            frame.codec_frame.buffer = samples.data();
            frame.codec_frame.size = samples.size() * 2;
            if (n % 997 == 0) {
                frame.type |= MEDIA_FRAME_TYPE_EVENT;
                frame.marker = MPF_MARKER_START_OF_EVENT;
                frame.event_frame.event_id = 5;
            }
            mpf_sdi_process(detector, &frame);
            ++n;
            framesProcessed.store(n);
        }
    });
    // On a loaded machine the media thread may hardly run during the rounds, so they go on
    // until it has also processed a good number of frames.
    for (int round = 0; round < 3000 || framesProcessed.load() < 5000; ++round) {
        mpf_sdi_speech_start_mode_set(detector, round % 2);
        mpf_sdi_speech_flag_set(detector);
        mpf_sdi_result_flag_set(detector);
        mpf_sdi_start_timers(detector);
        mpf_sdi_speech_complete_timeout_set(detector, 100 + round % 5 * 10);
        mpf_sdi_dtmf_length_set(detector, 0, 0, round % 3);
        if (round % 7 == 0)
            mpf_sdi_stop(detector);
        if (round % 11 == 0) {
            mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, 8000, round % 2, TRUE);
        }
        std::this_thread::yield();
    }
    done = true;
    media.join();
    mpf_sdi_destroy(detector);
    apr_pool_destroy(pool);
    // Something of each kind happened; the interleaving itself is what is under test.
    EXPECT_GT(counters.stops.load() + counters.completes.load() + counters.noinputs.load() +
                  counters.dtmf.load(),
              0);
}

}  // namespace
