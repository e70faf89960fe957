/* Speech and DTMF input detector. */
#include "mpf_sdi_detector.h"

#include <apr_strings.h>
#include <apr_tables.h>
#include <apr_thread_mutex.h>
#include <ostrin/apt_log.h>
#include <string.h>

#include "webrtc_vad.h"

/* Every frame handed to mpf_sdi_process stands for this many ms. */
#define SDI_FRAME_MS 10
/* The ring never holds more than this many frames (one hour of audio): beyond it the oldest
 * frames are skipped, logged, rather than the allocation growing with the timeouts. */
#define SDI_MAX_RING_FRAMES (MPF_SDI_MAX_TIME / SDI_FRAME_MS)
#define SDI_DIGITS_INITIAL_CAPACITY 10

/* Every line goes to the host's default log source and ends with the detector id. */
#define SDI_LOG(priority, format, ...)                                                     \
    apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, priority, format " <%s>", ##__VA_ARGS__, \
            detector->id)

/* 64-bit values in log lines; durations and markers print as plain decimals. */
#define U64 "%" APR_UINT64_T_FMT
#define I64 "%" APR_INT64_T_FMT

typedef struct sdi_timer_t {
    apt_bool_t active;
    apr_uint64_t elapsed; /* ms */
} sdi_timer_t;

struct mpf_sdi_detector_t {
    apr_pool_t* pool;
    const char* id;
    mpf_sdi_event_handlers_t handlers;
    void* obj;
    mpf_sdi_params_t params;
    VadInst* vad;

    apr_uint16_t sampling_rate;
    /* Which detections are running; NONE means idle. */
    mpf_sdi_mode_e active_mode;
    /* Start of input confirmed (by the detector in internal mode, else by the caller). */
    apt_bool_t input_started;

    mpf_sdi_state_e speech_state;
    apt_bool_t probation;
    apr_uint64_t state_duration;     /* ms in the current speech state */
    apr_uint64_t probation_duration; /* ms of the running probation */

    mpf_sdi_state_e dtmf_state;
    apr_uint64_t dtmf_state_duration; /* ms in the current DTMF state */

    /* Silence that currently ends speech: the complete or the incomplete timeout. */
    apr_uint64_t complete_timeout;
    apt_bool_t result_flag;
    apt_bool_t interim_results;
    mpf_sdi_start_of_input_e start_of_input;
    apt_bool_t stop_requested;

    sdi_timer_t input_timer;
    sdi_timer_t noinput_timer;
    sdi_timer_t interdigit_timer;
    sdi_timer_t term_timer;

    /* Ring of frame_count slots of frame_size bytes, followed by a zero area of
     * zero_frame_count frames for leading-silence padding; reused while large enough. */
    apr_byte_t* ring;
    apr_size_t ring_capacity; /* bytes allocated */
    apr_size_t frame_count;
    apr_size_t frame_size;
    apr_byte_t* zeros;
    /* Leading silence in frames, fixed at init: it sizes the padding area, so a later
     * change of the parameter must not be read before the next init. */
    apr_size_t zero_frame_count;

    /* Frame counters from the start of the recognition; frame n lives in slot
     * n % frame_count. See the markers in the description of mpf_sdi_process. */
    apr_uint64_t write_marker;       /* frames stored */
    apr_uint64_t read_marker;        /* first frame not handed on */
    apr_uint64_t leading_marker;     /* where normalised output begins */
    apr_uint64_t input_start_marker; /* first voiced frame of the speech */
    apr_uint64_t input_end_marker;   /* first unvoiced frame of the final silence */
    apr_uint64_t output_end_marker;  /* where output ends; 0: not set */

    apr_size_t output_frame_count; /* frames per block handed on */
    apr_uint64_t output_size;      /* bytes handed on, padding included */
    apr_uint64_t silence_frame_count;

    apr_array_header_t* digits;

    /* Serialises every operation with frame processing (see the header). */
    apr_thread_mutex_t* mutex;
};

/* The detector whose handlers this thread is running, to refuse calls back into it. */
static _Thread_local const mpf_sdi_detector_t* sdi_dispatching = NULL;

static apr_uint64_t max_u64(apr_uint64_t a, apr_uint64_t b) {
    return a > b ? a : b;
}

static apt_bool_t mode_has(mpf_sdi_mode_e mode, mpf_sdi_mode_e bit) {
    return ((unsigned)mode & (unsigned)bit) != 0;
}

/* A character for a log line, as a string: printed with %c, a NUL (no terminating
 * character, an event that is no DTMF key) would end the line there. */
static const char* char_text(char c, char text[2]) {
    text[0] = c;
    text[1] = '\0';
    return text;
}

static const char* start_of_input_str(mpf_sdi_start_of_input_e start_of_input) {
    return start_of_input == MPF_SDI_START_OF_INPUT_EXTERNAL ? "external" : "internal";
}

/* Takes the mutex for a public operation; FALSE (logged) for a call from one of this
 * detector's own handlers, which would otherwise deadlock. */
static apt_bool_t detector_lock(mpf_sdi_detector_t* detector, const char* operation) {
    if (sdi_dispatching == detector) {
        SDI_LOG(APT_PRIO_ERROR, "Detector Called from its Own Handler [%s]", operation);
        return FALSE;
    }
    apr_thread_mutex_lock(detector->mutex);
    return TRUE;
}

static void detector_unlock(mpf_sdi_detector_t* detector) {
    apr_thread_mutex_unlock(detector->mutex);
}

static void timer_start(sdi_timer_t* timer, apr_uint64_t elapsed) {
    timer->active = TRUE;
    timer->elapsed = elapsed;
}

static void timer_stop(sdi_timer_t* timer) {
    timer->active = FALSE;
    timer->elapsed = 0;
}

/* Advances a running timer by one frame; TRUE (and the timer stopped) when it reaches
 * timeout. */
static apt_bool_t timer_tick(sdi_timer_t* timer, apr_uint64_t timeout) {
    if (!timer->active)
        return FALSE;
    timer->elapsed += SDI_FRAME_MS;
    if (timer->elapsed < timeout)
        return FALSE;
    timer_stop(timer);
    return TRUE;
}

/* ---- Creation and parameters ---------------------------------------------------------- */

void mpf_sdi_event_handlers_init(mpf_sdi_event_handlers_t* handlers) {
    memset(handlers, 0, sizeof(*handlers));
}

static apr_status_t vad_cleanup(void* data) {
    mpf_sdi_detector_t* detector = data;
    if (detector->vad) {
        WebRtcVad_Free(detector->vad);
        detector->vad = NULL;
    }
    return APR_SUCCESS;
}

mpf_sdi_detector_t* mpf_sdi_detector_create(const char* id,
                                            const mpf_sdi_event_handlers_t* handlers, void* obj,
                                            const mpf_sdi_params_t* params, apr_pool_t* pool) {
    if (!id || !handlers || !obj || !pool)
        return NULL;
    if (!handlers->on_noinput || !handlers->on_stop || !handlers->on_start_of_input)
        return NULL;
    const mpf_sdi_mode_e configured =
        (mpf_sdi_mode_e)(params ? params->input_mode : MPF_SDI_MODE_SPEECH_DTMF);
    if (mode_has(configured, MPF_SDI_MODE_SPEECH) && !handlers->on_speech_input)
        return NULL;
    if (mode_has(configured, MPF_SDI_MODE_DTMF) && !handlers->on_dtmf_input)
        return NULL;

    mpf_sdi_detector_t* detector = apr_pcalloc(pool, sizeof(*detector));
    detector->pool = pool;
    detector->id = apr_pstrdup(pool, id);
    detector->handlers = *handlers;
    detector->obj = obj;
    if (params)
        detector->params = *params;
    else
        mpf_sdi_params_init(&detector->params);
    mpf_sdi_params_clamp(&detector->params, detector->id);
    detector->start_of_input = MPF_SDI_START_OF_INPUT_INTERNAL;
    detector->speech_state = MPF_SDI_STATE_NO_INPUT;
    detector->dtmf_state = MPF_SDI_STATE_NO_INPUT;

    if (mode_has(configured, MPF_SDI_MODE_SPEECH)) {
        detector->vad = WebRtcVad_Create();
        if (!detector->vad) {
            SDI_LOG(APT_PRIO_WARNING, "Failed to Create VAD Instnace");
            return NULL;
        }
        apr_pool_cleanup_register(pool, detector, vad_cleanup, apr_pool_cleanup_null);
    }
    if (apr_thread_mutex_create(&detector->mutex, APR_THREAD_MUTEX_DEFAULT, pool) != APR_SUCCESS) {
        SDI_LOG(APT_PRIO_WARNING, "Failed to Create Detector Mutex");
        mpf_sdi_destroy(detector);
        return NULL;
    }
    detector->digits = apr_array_make(pool, SDI_DIGITS_INITIAL_CAPACITY, sizeof(char));
    return detector;
}

void mpf_sdi_destroy(mpf_sdi_detector_t* detector) {
    if (!detector)
        return;
    apr_pool_cleanup_run(detector->pool, detector, vad_cleanup);
}

void* mpf_sdi_obj_get(const mpf_sdi_detector_t* detector) {
    return detector ? detector->obj : NULL;
}

/* Every timeout setter: the value bounded, the field written under the mutex. */
#define SDI_SETTER(function, field, name)                                       \
    void function(mpf_sdi_detector_t* detector, apr_uint64_t value) {           \
        if (!detector || !detector_lock(detector, #function))                   \
            return;                                                             \
        detector->params.field = mpf_sdi_time_clamp(name, value, detector->id); \
        detector_unlock(detector);                                              \
    }

SDI_SETTER(mpf_sdi_noinput_timeout_set, noinput_timeout, "noinput-timeout")
SDI_SETTER(mpf_sdi_input_timeout_set, input_timeout, "input-timeout")
SDI_SETTER(mpf_sdi_speech_start_timeout_set, speech_start_timeout, "speech-start-timeout")
SDI_SETTER(mpf_sdi_speech_complete_timeout_set, speech_complete_timeout, "speech-complete-timeout")
SDI_SETTER(mpf_sdi_speech_incomplete_timeout_set, speech_incomplete_timeout,
           "speech-incomplete-timeout")
SDI_SETTER(mpf_sdi_dtmf_interdigit_timeout_set, dtmf_interdigit_timeout, "dtmf-interdigit-timeout")
SDI_SETTER(mpf_sdi_dtmf_term_timeout_set, dtmf_term_timeout, "dtmf-term-timeout")

void mpf_sdi_params_set(mpf_sdi_detector_t* detector, const mpf_sdi_params_t* params) {
    if (!detector || !detector_lock(detector, "mpf_sdi_params_set"))
        return;
    apr_uint32_t input_mode = detector->params.input_mode;
    if (params)
        detector->params = *params;
    else
        mpf_sdi_params_init(&detector->params);
    if (detector->params.input_mode != input_mode) {
        SDI_LOG(APT_PRIO_WARNING, "Input Mode Kept [%s], Fixed at Creation",
                mpf_sdi_mode_str((mpf_sdi_mode_e)input_mode));
        detector->params.input_mode = input_mode;
    }
    mpf_sdi_params_clamp(&detector->params, detector->id);
    detector_unlock(detector);
}

void mpf_sdi_dtmf_term_char_set(mpf_sdi_detector_t* detector, char term_char) {
    if (!detector || !detector_lock(detector, "mpf_sdi_dtmf_term_char_set"))
        return;
    detector->params.dtmf_term_char = term_char;
    detector_unlock(detector);
}

void mpf_sdi_dtmf_length_set(mpf_sdi_detector_t* detector, apr_uint64_t length,
                             apr_uint64_t min_length, apr_uint64_t max_length) {
    if (!detector || !detector_lock(detector, "mpf_sdi_dtmf_length_set"))
        return;
    detector->params.dtmf_length = length;
    detector->params.dtmf_min_length = min_length;
    detector->params.dtmf_max_length = max_length;
    detector_unlock(detector);
}

void mpf_sdi_vad_mode_set(mpf_sdi_detector_t* detector, apr_uint64_t mode) {
    if (!detector || !detector_lock(detector, "mpf_sdi_vad_mode_set"))
        return;
    if (mode <= 3)
        detector->params.vad_mode = mode;
    detector_unlock(detector);
}

void mpf_sdi_speech_start_mode_set(mpf_sdi_detector_t* detector, int mode) {
    if (!detector || !detector_lock(detector, "mpf_sdi_speech_start_mode_set"))
        return;
    if (mode == MPF_SDI_START_OF_INPUT_INTERNAL || mode == MPF_SDI_START_OF_INPUT_EXTERNAL)
        detector->start_of_input = (mpf_sdi_start_of_input_e)mode;
    else
        SDI_LOG(APT_PRIO_WARNING, "Ignore Start of Input Mode [%d], Allowed 0 or 1", mode);
    detector_unlock(detector);
}

/* ---- Init --------------------------------------------------------------------------- */

/* Frames the ring must hold so that audio is never overwritten before it is handed on:
 * with normalize-input on, from the leading silence through the start probation and
 * through the longest end probation, plus a block; otherwise one block. The times are
 * bounded (MPF_SDI_MAX_TIME), so the sums cannot wrap; the result is capped at
 * SDI_MAX_RING_FRAMES. */
static apr_uint64_t ring_frame_count(const mpf_sdi_params_t* params, apr_uint64_t output_frames) {
    if (!params->normalize_input)
        return output_frames;
    apr_uint64_t longest_end =
        max_u64(max_u64(params->speech_complete_timeout, params->speech_incomplete_timeout),
                params->speech_trailing_silence);
    apr_uint64_t frames = (max_u64(params->speech_output_period, params->speech_start_timeout) +
                           params->speech_leading_silence + longest_end) /
                          SDI_FRAME_MS;
    /* Tiny timeouts could make the sum smaller than one start probation plus a block. */
    apr_uint64_t floor = params->speech_leading_silence / SDI_FRAME_MS +
                         params->speech_start_timeout / SDI_FRAME_MS + output_frames + 2;
    return max_u64(frames, floor);
}

/* a * b into *product; FALSE when it does not fit in apr_size_t. */
static apt_bool_t size_multiply(apr_uint64_t a, apr_uint64_t b, apr_size_t* product) {
    if (b != 0 && a > (apr_uint64_t)APR_SIZE_MAX / b)
        return FALSE;
    *product = (apr_size_t)(a * b);
    return TRUE;
}

/* Sizes and allocates the ring and the padding area; FALSE (logged) when they cannot be
 * had, and the recognition then runs without speech. */
static apt_bool_t init_speech(mpf_sdi_detector_t* detector, apt_bool_t interim_results) {
    const mpf_sdi_params_t* params = &detector->params;
    detector->interim_results = interim_results;

    detector->frame_size = (apr_size_t)detector->sampling_rate * 5 / 250;
    /* Times are bounded at every entry, so these fit a frame counter comfortably. */
    detector->output_frame_count = (apr_size_t)(params->speech_output_period / SDI_FRAME_MS);
    if (detector->output_frame_count == 0) {
        SDI_LOG(APT_PRIO_WARNING, "Speech Output Period [" U64 " ms] Below One Frame, Using 10 ms",
                params->speech_output_period);
        detector->output_frame_count = 1;
    }
    apr_uint64_t frames = ring_frame_count(params, detector->output_frame_count);
    if (frames > SDI_MAX_RING_FRAMES) {
        SDI_LOG(APT_PRIO_WARNING, "Limit Speech Ring [" U64 " frames] to [%d frames]", frames,
                SDI_MAX_RING_FRAMES);
        frames = SDI_MAX_RING_FRAMES;
    }
    detector->frame_count = (apr_size_t)frames;

    if (params->normalize_input) {
        SDI_LOG(APT_PRIO_INFO,
                "Init Speech Detector: frame-size=%d, max-frame-count=%d, output-frame-count=%d, "
                "vad-mode=%d, noinput-timeout=" U64 " ms, input-timeout=" U64
                " ms, start-timeout=" U64 " ms, complete-timeout=" U64
                " ms, incomplete-timeout=" U64 " ms, leading-silence=" U64
                " ms, trailing-silence=" U64 " ms, interim-results=%d, start-of-input=%s",
                (int)detector->frame_size, (int)detector->frame_count,
                (int)detector->output_frame_count, (int)params->vad_mode, params->noinput_timeout,
                params->input_timeout, params->speech_start_timeout,
                params->speech_complete_timeout, params->speech_incomplete_timeout,
                params->speech_leading_silence, params->speech_trailing_silence,
                interim_results ? 1 : 0, start_of_input_str(detector->start_of_input));
    } else {
        SDI_LOG(APT_PRIO_INFO,
                "Init Speech Detector: frame-size=%d, frame-count=%d, vad-mode=%d, "
                "noinput-timeout=" U64 " ms, input-timeout=" U64 " ms, start-timeout=" U64
                " ms, complete-timeout=" U64 " ms, incomplete-timeout=" U64
                " ms, interim-results=%d, start-of-input=%s",
                (int)detector->frame_size, (int)detector->frame_count, (int)params->vad_mode,
                params->noinput_timeout, params->input_timeout, params->speech_start_timeout,
                params->speech_complete_timeout, params->speech_incomplete_timeout,
                interim_results ? 1 : 0, start_of_input_str(detector->start_of_input));
    }

    /* One allocation for ring and padding, kept across recognitions while it is large
     * enough, so that the channel's pool does not grow with every recognition. */
    detector->zero_frame_count = (apr_size_t)(params->speech_leading_silence / SDI_FRAME_MS);
    apr_size_t ring_bytes = 0;
    apr_size_t zero_bytes = 0;
    if (!size_multiply(detector->frame_count, detector->frame_size, &ring_bytes) ||
        !size_multiply(detector->zero_frame_count, detector->frame_size, &zero_bytes) ||
        ring_bytes > APR_SIZE_MAX - zero_bytes) {
        SDI_LOG(APT_PRIO_ERROR, "Speech Buffer Size Overflow: frame-count=" U64 ", frame-size=%d",
                (apr_uint64_t)detector->frame_count + detector->zero_frame_count,
                (int)detector->frame_size);
        return FALSE;
    }
    apr_size_t needed = ring_bytes + zero_bytes;
    if (needed > detector->ring_capacity || !detector->ring) {
        detector->ring = apr_palloc(detector->pool, needed ? needed : 1);
        detector->ring_capacity = detector->ring ? needed : 0;
        if (!detector->ring) {
            SDI_LOG(APT_PRIO_ERROR, "Failed to Allocate Speech Buffer [%lu bytes]",
                    (unsigned long)needed);
            return FALSE;
        }
    }
    detector->zeros = detector->ring + ring_bytes;
    memset(detector->zeros, 0, zero_bytes);

    if (WebRtcVad_Init(detector->vad) != 0) {
        SDI_LOG(APT_PRIO_WARNING, "Failed to Init VAD Instance");
    } else if (WebRtcVad_set_mode(detector->vad, (int)params->vad_mode) != 0) {
        SDI_LOG(APT_PRIO_WARNING, "Failed to Set VAD Mode to %d", (int)params->vad_mode);
    }
    return TRUE;
}

apt_bool_t mpf_sdi_init(mpf_sdi_detector_t* detector, mpf_sdi_mode_e mode,
                        apr_uint16_t sampling_rate, apt_bool_t start_noinput_timer,
                        apt_bool_t interim_results) {
    if (!detector || !detector_lock(detector, "mpf_sdi_init"))
        return FALSE;
    const mpf_sdi_params_t* params = &detector->params;

    detector->sampling_rate = sampling_rate;
    detector->active_mode = MPF_SDI_MODE_NONE;
    detector->input_started = FALSE;
    detector->speech_state = MPF_SDI_STATE_NO_INPUT;
    detector->probation = FALSE;
    detector->state_duration = 0;
    detector->probation_duration = 0;
    detector->dtmf_state = MPF_SDI_STATE_NO_INPUT;
    detector->dtmf_state_duration = 0;
    detector->complete_timeout = 0;
    detector->result_flag = FALSE;
    detector->interim_results = FALSE;
    detector->stop_requested = FALSE;
    /* The markers are reset for every input, speech or not: a DTMF input's stop and stats
     * must not report the previous recognition's audio. */
    detector->write_marker = 0;
    detector->read_marker = 0;
    detector->leading_marker = 0;
    detector->input_start_marker = 0;
    detector->input_end_marker = 0;
    detector->output_end_marker = 0;
    detector->output_size = 0;
    detector->silence_frame_count = 0;
    timer_stop(&detector->input_timer);
    timer_stop(&detector->interdigit_timer);
    timer_stop(&detector->term_timer);
    if (start_noinput_timer)
        timer_start(&detector->noinput_timer, 0);
    else
        timer_stop(&detector->noinput_timer);

    unsigned effective = (unsigned)mode & params->input_mode & MPF_SDI_MODE_SPEECH_DTMF;
    if ((effective & MPF_SDI_MODE_SPEECH) && !init_speech(detector, interim_results))
        effective &= ~(unsigned)MPF_SDI_MODE_SPEECH;
    if (effective & MPF_SDI_MODE_DTMF) {
        char term_char[2];
        SDI_LOG(APT_PRIO_INFO,
                "Init DTMF Detector: interdigit-timeout=" U64 " ms, term-timeout=" U64
                " ms, term-char=%s, length=" U64 ", min-length=" U64 ", max-length=" U64,
                params->dtmf_interdigit_timeout, params->dtmf_term_timeout,
                char_text(params->dtmf_term_char, term_char), params->dtmf_length,
                params->dtmf_min_length, params->dtmf_max_length);
        apr_array_clear(detector->digits);
    }
    if (detector->noinput_timer.active)
        SDI_LOG(APT_PRIO_INFO, "Start No-Input Timer [" U64 " ms]", params->noinput_timeout);

    detector->active_mode = (mpf_sdi_mode_e)effective;
    detector_unlock(detector);
    return TRUE;
}

/* ---- Flags, timers and stop from the caller ---------------------------------------- */

void mpf_sdi_start_timers(mpf_sdi_detector_t* detector) {
    if (!detector || !detector_lock(detector, "mpf_sdi_start_timers"))
        return;
    /* Once input started (or the recognition ended) a no-input timer would only fire in the
     * middle of the caller's input. */
    if (detector->active_mode != MPF_SDI_MODE_NONE && !detector->input_started &&
        !detector->noinput_timer.active) {
        SDI_LOG(APT_PRIO_INFO, "Start No-Input Timer [" U64 " ms]",
                detector->params.noinput_timeout);
        timer_start(&detector->noinput_timer, 0);
    }
    detector_unlock(detector);
}

void mpf_sdi_stop(mpf_sdi_detector_t* detector) {
    if (!detector || !detector_lock(detector, "mpf_sdi_stop"))
        return;
    if (detector->active_mode != MPF_SDI_MODE_NONE)
        detector->stop_requested = TRUE;
    detector_unlock(detector);
}

void mpf_sdi_speech_flag_set(mpf_sdi_detector_t* detector) {
    if (!detector || !detector_lock(detector, "mpf_sdi_speech_flag_set"))
        return;
    /* An idle detector (input ended, or the last init had no speech) stays idle. */
    if (detector->start_of_input == MPF_SDI_START_OF_INPUT_EXTERNAL &&
        detector->active_mode != MPF_SDI_MODE_NONE &&
        detector->speech_state != MPF_SDI_STATE_COMPLETE &&
        detector->active_mode != MPF_SDI_MODE_DTMF && !detector->input_started) {
        detector->input_started = TRUE;
        timer_stop(&detector->noinput_timer);
        detector->input_timer.elapsed = 0;
        detector->active_mode = MPF_SDI_MODE_SPEECH;
        SDI_LOG(APT_PRIO_INFO, "Set Speech Input Flag");
    }
    detector_unlock(detector);
}

void mpf_sdi_result_flag_set(mpf_sdi_detector_t* detector) {
    if (!detector || !detector_lock(detector, "mpf_sdi_result_flag_set"))
        return;
    if (detector->interim_results && detector->active_mode != MPF_SDI_MODE_NONE &&
        detector->speech_state != MPF_SDI_STATE_COMPLETE &&
        detector->active_mode != MPF_SDI_MODE_DTMF && !detector->result_flag) {
        detector->result_flag = TRUE;
        detector->active_mode = MPF_SDI_MODE_SPEECH;
        detector->complete_timeout = detector->params.speech_complete_timeout;
        if (!detector->input_started) {
            detector->input_started = TRUE;
            timer_stop(&detector->noinput_timer);
            detector->input_timer.elapsed = 0;
        }
        SDI_LOG(APT_PRIO_INFO, "Set Result Flag [" U64 " ms]", detector->complete_timeout);
    }
    detector_unlock(detector);
}

/* ---- Handing audio on ---------------------------------------------------------------- */

static void log_stats(mpf_sdi_detector_t* detector) {
    apr_int64_t leading =
        ((apr_int64_t)detector->input_start_marker - (apr_int64_t)detector->leading_marker);
    apr_int64_t input =
        ((apr_int64_t)detector->input_end_marker - (apr_int64_t)detector->input_start_marker);
    apr_int64_t trailing =
        ((apr_int64_t)detector->output_end_marker - (apr_int64_t)detector->input_end_marker);
    SDI_LOG(APT_PRIO_INFO,
            "Detector Stats: leading-silence=" I64 " ms, input=" I64 " ms, trailing-silence=" I64
            " ms",
            leading * SDI_FRAME_MS, input * SDI_FRAME_MS, trailing * SDI_FRAME_MS);
}

static apr_uint64_t output_duration(const mpf_sdi_detector_t* detector) {
    return (detector->silence_frame_count + detector->output_end_marker -
            detector->leading_marker) *
           SDI_FRAME_MS;
}

/* Hands on count frames from the read marker (not moving it), with stats when given: by
 * pointer into the ring, in two calls when the frames wrap around its end. */
static void output_frames(mpf_sdi_detector_t* detector, apr_size_t count, mpf_sdi_stats_t* stats) {
    SDI_LOG(APT_PRIO_DEBUG,
            "Detector Speech Output: read-marker=" U64 ", count=%d, write-marker=" U64,
            detector->read_marker, (int)count, detector->write_marker);
    apr_size_t bytes = count * detector->frame_size;
    detector->output_size += bytes;
    if (stats) {
        stats->size = detector->output_size;
        stats->duration = output_duration(detector);
    }
    apr_size_t slot = (apr_size_t)(detector->read_marker % detector->frame_count);
    const apr_byte_t* from = detector->ring + slot * detector->frame_size;
    if (slot + count <= detector->frame_count) {
        detector->handlers.on_speech_input(detector, from, bytes, detector->speech_state, stats);
    } else {
        apr_size_t first = detector->frame_count - slot;
        detector->handlers.on_speech_input(detector, from, first * detector->frame_size,
                                           MPF_SDI_STATE_IN_PROGRESS, NULL);
        detector->handlers.on_speech_input(detector, detector->ring,
                                           (count - first) * detector->frame_size,
                                           detector->speech_state, stats);
    }
}

/* Frames older than one ring were overwritten: skip them rather than hand on stale audio
 * (or read past the ring's end). With the ring sized at init this happens only when the
 * speech-start-timeout grew after the init. */
static void skip_overwritten(mpf_sdi_detector_t* detector, apr_uint64_t end) {
    if (end <= detector->read_marker || end - detector->read_marker <= detector->frame_count)
        return;
    apr_uint64_t oldest = end - detector->frame_count;
    SDI_LOG(APT_PRIO_WARNING, "Skip Overwritten Frames: read-marker=" U64 ", count=" U64,
            detector->read_marker, oldest - detector->read_marker);
    detector->read_marker = oldest;
    if (detector->leading_marker < oldest)
        detector->leading_marker = oldest;
}

/* Hands on every whole block available (up to limit blocks) without stats. */
static void output_blocks(mpf_sdi_detector_t* detector, apr_size_t limit) {
    skip_overwritten(detector, detector->write_marker);
    while (limit-- > 0 &&
           detector->read_marker + detector->output_frame_count <= detector->write_marker) {
        output_frames(detector, detector->output_frame_count, NULL);
        detector->read_marker += detector->output_frame_count;
    }
}

/* The last output of a speech input: everything up to the output-end marker, with stats.
 * Made even with no frames: it is the call with state COMPLETE. */
static void output_final(mpf_sdi_detector_t* detector, mpf_sdi_stats_t* stats) {
    skip_overwritten(detector, detector->output_end_marker);
    apr_size_t count = detector->output_end_marker > detector->read_marker
                           ? (apr_size_t)(detector->output_end_marker - detector->read_marker)
                           : 0;
    output_frames(detector, count, stats);
    detector->read_marker += count;
}

/* ---- Speech -------------------------------------------------------------------------- */

typedef enum { FRAME_UNVOICED = 0, FRAME_VOICED = 1, FRAME_UNCLASSIFIED = -1 } sdi_voice_e;

/* Stores the frame's audio in the next slot and asks the voice activity detector about it.
 * A frame without audio is not stored and counts as unvoiced. */
static sdi_voice_e store_and_classify(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    if (!(frame->type & MEDIA_FRAME_TYPE_AUDIO))
        return FRAME_UNVOICED;
    apr_byte_t* slot =
        detector->ring + (detector->write_marker % detector->frame_count) * detector->frame_size;
    apr_size_t size = frame->codec_frame.size;
    detector->write_marker++;
    if (size != detector->frame_size || !frame->codec_frame.buffer) {
        /* Keep the 10 ms timing whole: cut or zero-fill to one frame, but do not classify. */
        SDI_LOG(APT_PRIO_WARNING, "Unexpected Frame Size [%d], Expected [%d]",
                frame->codec_frame.buffer ? (int)size : 0, (int)detector->frame_size);
        apr_size_t copied = frame->codec_frame.buffer
                                ? (size < detector->frame_size ? size : detector->frame_size)
                                : 0;
        if (copied)
            memcpy(slot, frame->codec_frame.buffer, copied);
        memset(slot + copied, 0, detector->frame_size - copied);
        return FRAME_UNCLASSIFIED;
    }
    memcpy(slot, frame->codec_frame.buffer, size);
    int result =
        WebRtcVad_Process(detector->vad, detector->sampling_rate, (const int16_t*)slot, size / 2);
    if (result < 0) {
        SDI_LOG(APT_PRIO_WARNING, "VAD Error");
        return FRAME_UNCLASSIFIED;
    }
    return result > 0 ? FRAME_VOICED : FRAME_UNVOICED;
}

static void speech_start(mpf_sdi_detector_t* detector) {
    const mpf_sdi_params_t* params = &detector->params;
    if (detector->start_of_input == MPF_SDI_START_OF_INPUT_INTERNAL)
        detector->input_started = TRUE;
    SDI_LOG(APT_PRIO_INFO, "Speech Detector State Transition %s -> %s [" U64 " ms]", "NO-INPUT",
            "IN-PROGRESS", detector->state_duration);
    if (detector->input_started)
        timer_stop(&detector->noinput_timer);
    SDI_LOG(APT_PRIO_INFO, "Start Input Timer [" U64 " ms]", params->input_timeout);
    timer_start(&detector->input_timer, detector->probation_duration);
    detector->complete_timeout = detector->interim_results ? params->speech_incomplete_timeout
                                                           : params->speech_complete_timeout;
    SDI_LOG(APT_PRIO_DEBUG, "Set Speech Complete Timeout [" U64 " ms]", detector->complete_timeout);
    detector->speech_state = MPF_SDI_STATE_IN_PROGRESS;
    detector->state_duration = 0;
    detector->probation = FALSE;
    detector->probation_duration = 0;
    if (detector->input_started) {
        detector->active_mode = MPF_SDI_MODE_SPEECH;
        detector->handlers.on_start_of_input(detector, MPF_SDI_MODE_SPEECH);
    }
    if (!params->normalize_input)
        return; /* the block step of NO-INPUT follows */

    apr_uint64_t lead = detector->zero_frame_count;
    if (detector->input_start_marker < detector->leading_marker + lead) {
        apr_uint64_t count = detector->leading_marker + lead - detector->input_start_marker;
        SDI_LOG(APT_PRIO_DEBUG,
                "Detector Silence Output: read-marker=" U64 ", count=" U64 ", write-marker=" U64,
                detector->read_marker, count, detector->write_marker);
        detector->silence_frame_count += count;
        detector->output_size += count * detector->frame_size;
        detector->handlers.on_speech_input(detector, detector->zeros,
                                           (apr_size_t)count * detector->frame_size,
                                           MPF_SDI_STATE_IN_PROGRESS, NULL);
    }
    output_blocks(detector, (apr_size_t)-1);
}

static void speech_no_input(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    const mpf_sdi_params_t* params = &detector->params;
    sdi_voice_e voice = store_and_classify(detector, frame);
    if (voice != FRAME_UNCLASSIFIED) {
        detector->state_duration += SDI_FRAME_MS;
        if (detector->probation) {
            if (voice == FRAME_UNVOICED) {
                detector->input_start_marker = 0;
                detector->leading_marker = 0;
                detector->probation = FALSE;
                detector->probation_duration = 0;
                SDI_LOG(APT_PRIO_DEBUG, "Cancel Detector State Probation %s <- %s [" U64 " ms]",
                        "NO-INPUT", "IN-PROGRESS", detector->state_duration);
            } else {
                detector->probation_duration += SDI_FRAME_MS;
                if (detector->probation_duration >= params->speech_start_timeout)
                    speech_start(detector);
            }
        } else if (voice == FRAME_VOICED) {
            detector->leading_marker = 0;
            detector->input_start_marker = detector->write_marker - 1;
            if (params->normalize_input) {
                apr_uint64_t lead = detector->zero_frame_count;
                detector->leading_marker =
                    detector->input_start_marker > lead ? detector->input_start_marker - lead : 0;
                detector->read_marker = detector->leading_marker;
            }
            SDI_LOG(APT_PRIO_DEBUG, "Start Detector State Probation %s -> %s [" U64 " ms]",
                    "NO-INPUT", "IN-PROGRESS", detector->state_duration);
            SDI_LOG(APT_PRIO_DEBUG,
                    "Detector: read-marker=" U64 ", input-start-marker=" U64 ", write-marker=" U64,
                    detector->read_marker, detector->input_start_marker, detector->write_marker);
            detector->probation = TRUE;
            detector->probation_duration = 0;
        }
    }
    /* Without normalisation everything is handed on, from the first frame. An unclassified
     * frame still hands on: the ring holds only one block then. */
    if (!params->normalize_input)
        output_blocks(detector, 1);
}

/* Ends the speech input (markers set): the detector goes idle and hands on the rest, up to
 * the output-end marker, with the stats. */
static void speech_end(mpf_sdi_detector_t* detector, mpf_sdi_stats_t* stats) {
    SDI_LOG(APT_PRIO_INFO, "Speech Detector State Transition %s -> %s [" U64 " ms]", "IN-PROGRESS",
            "COMPLETE", detector->state_duration);
    timer_stop(&detector->input_timer);
    log_stats(detector);
    detector->speech_state = MPF_SDI_STATE_COMPLETE;
    detector->state_duration = 0;
    detector->probation = FALSE;
    detector->probation_duration = 0;
    detector->active_mode = MPF_SDI_MODE_NONE;
    output_final(detector, stats);
}

static void speech_complete(mpf_sdi_detector_t* detector) {
    mpf_sdi_stats_t stats;
    mpf_sdi_stats_init(&stats);
    if (detector->output_end_marker == 0 || detector->output_end_marker > detector->write_marker)
        detector->output_end_marker = detector->write_marker;
    speech_end(detector, &stats);
}

static void speech_in_progress(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    sdi_voice_e voice = store_and_classify(detector, frame);
    /* One block per frame, never beyond the output end. Unclassified frames hand on too. */
    if (detector->read_marker + detector->output_frame_count <= detector->write_marker &&
        (detector->output_end_marker == 0 ||
         detector->read_marker + detector->output_frame_count <= detector->output_end_marker))
        output_blocks(detector, 1);
    if (voice == FRAME_UNCLASSIFIED)
        return;

    detector->state_duration += SDI_FRAME_MS;
    if (detector->probation) {
        if (voice == FRAME_VOICED) {
            detector->input_end_marker = 0;
            detector->output_end_marker = 0;
            SDI_LOG(APT_PRIO_DEBUG, "Cancel Detector State Probation %s <- %s [" U64 " ms]",
                    "IN-PROGRESS", "COMPLETE", detector->state_duration);
            detector->probation = FALSE;
            detector->probation_duration = 0;
        } else {
            detector->probation_duration += SDI_FRAME_MS;
            if (detector->probation_duration >= detector->complete_timeout)
                speech_complete(detector);
        }
    } else if (voice == FRAME_UNVOICED) {
        detector->input_end_marker = detector->write_marker - 1;
        if (detector->params.normalize_input)
            detector->output_end_marker =
                detector->input_end_marker +
                max_u64(detector->params.speech_trailing_silence, detector->complete_timeout) /
                    SDI_FRAME_MS;
        SDI_LOG(APT_PRIO_DEBUG, "Start Detector State Probation %s -> %s [" U64 " ms]",
                "IN-PROGRESS", "COMPLETE", detector->state_duration);
        SDI_LOG(APT_PRIO_DEBUG,
                "Detector: read-marker=" U64 ", input-end-marker=" U64 ", write-marker=" U64,
                detector->read_marker, detector->input_end_marker, detector->write_marker);
        detector->probation = TRUE;
        detector->probation_duration = 0;
    }
}

static void process_speech(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    if (detector->speech_state == MPF_SDI_STATE_NO_INPUT)
        speech_no_input(detector, frame);
    else if (detector->speech_state == MPF_SDI_STATE_IN_PROGRESS)
        speech_in_progress(detector, frame);
}

/* ---- DTMF ---------------------------------------------------------------------------- */

/* Whether the collected digits satisfy the lengths. */
static apt_bool_t dtmf_length_matched(const mpf_sdi_detector_t* detector) {
    apr_uint64_t count = (apr_uint64_t)detector->digits->nelts;
    const mpf_sdi_params_t* params = &detector->params;
    if (params->dtmf_min_length && count < params->dtmf_min_length)
        return FALSE;
    if (params->dtmf_length)
        return count == params->dtmf_length;
    return TRUE;
}

static void dtmf_complete(mpf_sdi_detector_t* detector, apt_bool_t matched,
                          mpf_sdi_completion_cause_e cause) {
    mpf_sdi_stats_t stats;
    mpf_sdi_stats_init(&stats);
    stats.cause = cause;
    apr_size_t count = (apr_size_t)detector->digits->nelts;
    APR_ARRAY_PUSH(detector->digits, char) = '\0';
    SDI_LOG(APT_PRIO_INFO, "DTMF Detector State Transition %s -> %s [" U64 " ms]",
            mpf_sdi_state_str(detector->dtmf_state), "COMPLETE", detector->dtmf_state_duration);
    timer_stop(&detector->input_timer);
    log_stats(detector);
    detector->dtmf_state = MPF_SDI_STATE_COMPLETE;
    detector->dtmf_state_duration = 0;
    detector->active_mode = MPF_SDI_MODE_NONE;
    detector->handlers.on_dtmf_input(detector, detector->digits->elts, count, matched ? 1 : 0,
                                     MPF_SDI_STATE_COMPLETE, &stats);
}

static void dtmf_collect(mpf_sdi_detector_t* detector, apr_uint32_t id, char digit) {
    const mpf_sdi_params_t* params = &detector->params;
    if (detector->handlers.on_dtmf_digit)
        detector->handlers.on_dtmf_digit(detector, digit);
    if (digit == params->dtmf_term_char) {
        dtmf_complete(detector, dtmf_length_matched(detector), MPF_SDI_COMPLETION_CAUSE_SUCCESS);
        return;
    }
    if (digit == '\0') {
        /* An event that is no DTMF key: a NUL would cut the digit string short. */
        SDI_LOG(APT_PRIO_WARNING, "Unknown Event Id [%d] Ignored", (int)id);
        return;
    }
    APR_ARRAY_PUSH(detector->digits, char) = digit;
    apr_uint64_t count = (apr_uint64_t)detector->digits->nelts;
    if (count == params->dtmf_max_length || count == params->dtmf_length)
        dtmf_complete(detector, TRUE, MPF_SDI_COMPLETION_CAUSE_SUCCESS);
}

static void dtmf_start_of_event(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    apr_uint32_t id = frame->event_frame.event_id;
    char digit = mpf_event_id_to_dtmf_char(id);
    char digit_text[2];
    SDI_LOG(APT_PRIO_INFO, "Detected Start of Event: id=%d, digit=%s", (int)id,
            char_text(digit, digit_text));
    timer_stop(&detector->interdigit_timer);
    timer_stop(&detector->term_timer);
    dtmf_collect(detector, id, digit);
}

static void process_dtmf(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    const mpf_sdi_params_t* params = &detector->params;
    apt_bool_t event = (frame->type & MEDIA_FRAME_TYPE_EVENT) != 0;
    if (detector->dtmf_state == MPF_SDI_STATE_COMPLETE)
        return;
    /* Tracked like the speech state duration: this frame counts in the state it leaves. */
    detector->dtmf_state_duration += SDI_FRAME_MS;
    if (detector->dtmf_state == MPF_SDI_STATE_NO_INPUT) {
        if (!event)
            return;
        SDI_LOG(APT_PRIO_INFO, "DTMF Detector State Transition %s -> %s [" U64 " ms]", "NO-INPUT",
                "IN-PROGRESS", detector->dtmf_state_duration);
        timer_stop(&detector->noinput_timer);
        SDI_LOG(APT_PRIO_INFO, "Start Input Timer [" U64 " ms]", params->input_timeout);
        timer_start(&detector->input_timer, 0);
        detector->dtmf_state = MPF_SDI_STATE_IN_PROGRESS;
        detector->dtmf_state_duration = 0;
        detector->active_mode = MPF_SDI_MODE_DTMF;
        detector->input_started = TRUE;
        detector->handlers.on_start_of_input(detector, MPF_SDI_MODE_DTMF);
        if (frame->marker == MPF_MARKER_START_OF_EVENT) {
            dtmf_start_of_event(detector, frame);
        } else if (frame->marker == MPF_MARKER_END_OF_EVENT) {
            SDI_LOG(APT_PRIO_INFO, "Detected End of Event: id=%d, duration=%d ts",
                    (int)frame->event_frame.event_id, (int)frame->event_frame.duration);
        }
        return; /* no DTMF timer ticks in the frame that starts the input */
    }

    if (event && frame->marker == MPF_MARKER_START_OF_EVENT) {
        dtmf_start_of_event(detector, frame);
        if (detector->dtmf_state == MPF_SDI_STATE_COMPLETE)
            return;
    } else if (event && frame->marker == MPF_MARKER_END_OF_EVENT) {
        SDI_LOG(APT_PRIO_INFO, "Detected End of Event: id=%d duration=%d ts",
                (int)frame->event_frame.event_id, (int)frame->event_frame.duration);
        if (params->dtmf_min_length &&
            (apr_uint64_t)detector->digits->nelts >= params->dtmf_min_length) {
            SDI_LOG(APT_PRIO_INFO, "Start Term Timer [" U64 " ms]", params->dtmf_term_timeout);
            timer_start(&detector->term_timer, 0);
        } else {
            SDI_LOG(APT_PRIO_INFO, "Start Inter-Digit Timer [" U64 " ms]",
                    params->dtmf_interdigit_timeout);
            timer_start(&detector->interdigit_timer, 0);
        }
    }
    if (timer_tick(&detector->interdigit_timer, params->dtmf_interdigit_timeout)) {
        dtmf_complete(detector, dtmf_length_matched(detector), MPF_SDI_COMPLETION_CAUSE_SUCCESS);
        return;
    }
    if (timer_tick(&detector->term_timer, params->dtmf_term_timeout))
        dtmf_complete(detector, TRUE, MPF_SDI_COMPLETION_CAUSE_SUCCESS);
}

/* ---- Timers and frame processing -------------------------------------------------- */

static void input_timeout(mpf_sdi_detector_t* detector) {
    if (detector->active_mode == MPF_SDI_MODE_SPEECH) {
        mpf_sdi_stats_t stats;
        mpf_sdi_stats_init(&stats);
        stats.cause = MPF_SDI_COMPLETION_CAUSE_TIMEDOUT;
        detector->output_end_marker = detector->write_marker;
        /* Cut off in mid-speech: the input ends here, not at frame 0 (the stats line). */
        if (detector->input_end_marker == 0)
            detector->input_end_marker = detector->write_marker;
        speech_end(detector, &stats);
    } else if (detector->active_mode == MPF_SDI_MODE_DTMF) {
        apt_bool_t matched = dtmf_length_matched(detector);
        timer_stop(&detector->interdigit_timer);
        timer_stop(&detector->term_timer);
        dtmf_complete(detector, matched, MPF_SDI_COMPLETION_CAUSE_TIMEDOUT);
    }
}

static void process_timers(mpf_sdi_detector_t* detector) {
    if (timer_tick(&detector->noinput_timer, detector->params.noinput_timeout)) {
        detector->active_mode = MPF_SDI_MODE_NONE;
        detector->handlers.on_noinput(detector);
    }
    if (detector->input_timer.active) {
        detector->input_timer.elapsed += SDI_FRAME_MS;
        if (detector->input_timer.elapsed >= detector->params.input_timeout &&
            detector->input_started) {
            timer_stop(&detector->input_timer);
            input_timeout(detector);
        }
    }
}

static void process_stop(mpf_sdi_detector_t* detector) {
    mpf_sdi_stats_t stats;
    detector->stop_requested = FALSE;
    detector->active_mode = MPF_SDI_MODE_NONE;
    mpf_sdi_stats_init(&stats);
    stats.cause = MPF_SDI_COMPLETION_CAUSE_STOPPED;
    stats.size = detector->output_size;
    if (detector->output_end_marker == 0 || detector->output_end_marker > detector->write_marker)
        detector->output_end_marker = detector->write_marker;
    stats.duration = output_duration(detector);
    detector->handlers.on_stop(detector, &stats);
}

void mpf_sdi_process(mpf_sdi_detector_t* detector, const mpf_frame_t* frame) {
    if (!detector || !frame || !detector_lock(detector, "mpf_sdi_process"))
        return;
    sdi_dispatching = detector;
    if (detector->stop_requested) {
        process_stop(detector);
    } else if (detector->active_mode != MPF_SDI_MODE_NONE) {
        if (mode_has(detector->active_mode, MPF_SDI_MODE_SPEECH))
            process_speech(detector, frame);
        if (mode_has(detector->active_mode, MPF_SDI_MODE_DTMF))
            process_dtmf(detector, frame);
        process_timers(detector);
    }
    sdi_dispatching = NULL;
    detector_unlock(detector);
}
