/*
 * Speech and DTMF input detector.
 *
 * Sits between the host's media stream and a recognizer channel. Fed with every 10 ms frame
 * of a recognition (mpf_sdi_process), it
 *   - runs the WebRTC voice activity detector on each audio frame and decides, by
 *     probation, when speech starts and when it is complete;
 *   - keeps the latest audio in a ring of 10 ms frames and hands it on in blocks, by
 *     default normalised to begin a fixed leading silence before the speech;
 *   - collects DTMF digits from named-event frames and decides when they are complete;
 *   - runs the no-input and input timers;
 * and reports all of it through a table of callbacks.
 *
 * Time: the detector reads no clock. Every call of mpf_sdi_process stands for 10 ms, and
 * every duration and timeout is counted in those steps.
 *
 * Speech: speech starts at the (1 + speech-start-timeout/10)th voiced frame in a row (31 with
 * the defaults) and is complete at the (1 + complete timeout/10)th unvoiced frame in a row
 * (101 with the defaults); the complete timeout is speech-incomplete-timeout while interim
 * results are on and no result was reported, else speech-complete-timeout. Any contrary frame
 * restarts the count. A frame without audio counts as unvoiced; a frame the voice activity
 * detector rejects is stored and handed on but does not count.
 *
 * Audio handed on (normalize-input on): from speech-leading-silence before the first voiced
 * frame to max(speech-trailing-silence, complete timeout) after the first unvoiced frame of
 * the final silence, in blocks of speech-output-period/10 frames, the last block (state
 * COMPLETE, with stats) possibly shorter or empty. With normalize-input off everything is
 * handed on from the first frame, in blocks, also before speech starts.
 *
 * DTMF: digits complete on the terminating character, on dtmf-length or dtmf-max-length
 * digits, on the inter-digit timeout, or on the terminating timeout (which replaces the
 * inter-digit timeout once dtmf-min-length digits were collected). The "matched" flag is 0
 * when fewer than dtmf-min-length digits arrived or dtmf-length is set and not met. An
 * event that is no DTMF key reads as the digit NUL: it is reported to on_dtmf_digit, matches
 * a terminating character of NUL (none set, the default), and is never collected.
 *
 * Threads: mpf_sdi_process runs on the media thread and calls the handlers from there,
 * synchronously. Every other operation (setters, mpf_sdi_init, mpf_sdi_start_timers,
 * mpf_sdi_stop, the flag setters) may be called from any thread: each operation, frame
 * processing included, holds the detector's own mutex for its whole duration, so they are
 * serialised with one another. Handlers are called while that mutex is held; the mutex is
 * private to the detector, so a handler must not call back into the detector (such a call
 * from a handler is refused with an ERROR log instead of deadlocking) and should return
 * promptly. mpf_sdi_detector_create and mpf_sdi_destroy must not race with anything else.
 *
 * Memory: everything comes from the pool given at creation. Audio and digit buffers passed
 * to handlers belong to the detector and are valid only during the call.
 *
 * Logging: through apt_log on the host's default log source; every line ends with the
 * detector id in angle brackets.
 */
#ifndef MPF_SDI_DETECTOR_H
#define MPF_SDI_DETECTOR_H

#include <apr_pools.h>
#include <ostrin/apt.h>
#include <ostrin/mpf_frame.h>

#include "mpf_sdi_util.h"

APT_BEGIN_EXTERN_C

/** The detector (opaque). */
typedef struct mpf_sdi_detector_t mpf_sdi_detector_t;

/**
 * Callbacks, all called on the thread running mpf_sdi_process. The first three are
 * mandatory; on_speech_input is mandatory when the configured input mode contains speech,
 * on_dtmf_input when it contains DTMF; on_dtmf_digit is optional.
 */
typedef struct mpf_sdi_event_handlers_t {
    /** The no-input timer expired; the detector is idle. */
    void (*on_noinput)(mpf_sdi_detector_t* detector);
    /** A stop request was carried out (stats cause "stopped"); the detector is idle. */
    void (*on_stop)(mpf_sdi_detector_t* detector, const mpf_sdi_stats_t* stats);
    /** Input started: mode is MPF_SDI_MODE_SPEECH or MPF_SDI_MODE_DTMF. */
    void (*on_start_of_input)(mpf_sdi_detector_t* detector, mpf_sdi_mode_e mode);
    /** A block of audio (16-bit linear, size bytes, possibly 0). The block with state
     * MPF_SDI_STATE_COMPLETE is the last of the input and the only one with stats (else
     * null); the detector is then idle. */
    void (*on_speech_input)(mpf_sdi_detector_t* detector, const void* data, apr_size_t size,
                            mpf_sdi_state_e state, const mpf_sdi_stats_t* stats);
    /** DTMF collection completed: digits is NUL-terminated, count excludes the NUL and the
     * terminating character; matched is 1 or 0; state is MPF_SDI_STATE_COMPLETE. */
    void (*on_dtmf_input)(mpf_sdi_detector_t* detector, const char* digits, apr_size_t count,
                          apt_bool_t matched, mpf_sdi_state_e state, const mpf_sdi_stats_t* stats);
    /** Each digit as it is detected, the terminating character included. */
    void (*on_dtmf_digit)(mpf_sdi_detector_t* detector, char digit);
} mpf_sdi_event_handlers_t;

/** Sets all six handlers to null. */
void mpf_sdi_event_handlers_init(mpf_sdi_event_handlers_t* handlers);

/**
 * Creates an idle detector. id names it in every log line (the channel id); handlers is
 * copied; obj is returned by mpf_sdi_obj_get; params is copied (null: the defaults).
 * Returns null when id, handlers or obj is missing, a mandatory handler is missing, or the
 * voice activity detector or the mutex cannot be created.
 */
mpf_sdi_detector_t* mpf_sdi_detector_create(const char* id,
                                            const mpf_sdi_event_handlers_t* handlers, void* obj,
                                            const mpf_sdi_params_t* params, apr_pool_t* pool);
/** Frees the voice activity detector; the rest goes with the pool. */
void mpf_sdi_destroy(mpf_sdi_detector_t* detector);
/** The caller object given at creation. */
void* mpf_sdi_obj_get(const mpf_sdi_detector_t* detector);

/*
 * Setters. Each writes the detector's own parameter copy; the value takes effect when next
 * read (vad mode at the next mpf_sdi_init, a timeout when its timer or probation next reads
 * it) and stays for later recognitions until set again. Meanings: see mpf_sdi_params_t.
 * Times above MPF_SDI_MAX_TIME are clamped to it with a WARNING (so is every time of a
 * record given at creation or to mpf_sdi_params_set). The ring and the leading-silence
 * padding are sized at mpf_sdi_init: the padding handed on is the leading silence of that
 * init, and the ring holds at most one hour of audio (older frames are skipped, logged).
 */

/** Copies params (null: the defaults). input_mode keeps the value given at creation, since
 * the voice activity detector exists only if speech was configured then. */
void mpf_sdi_params_set(mpf_sdi_detector_t* detector, const mpf_sdi_params_t* params);
void mpf_sdi_noinput_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_input_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_speech_start_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_speech_complete_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_speech_incomplete_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_dtmf_interdigit_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_dtmf_term_timeout_set(mpf_sdi_detector_t* detector, apr_uint64_t timeout);
void mpf_sdi_dtmf_term_char_set(mpf_sdi_detector_t* detector, char term_char);
/** Sets dtmf-length, dtmf-min-length and dtmf-max-length together (0: not set). */
void mpf_sdi_dtmf_length_set(mpf_sdi_detector_t* detector, apr_uint64_t length,
                             apr_uint64_t min_length, apr_uint64_t max_length);
/** Sets the vad mode if it is 0 to 3; a larger value is ignored. */
void mpf_sdi_vad_mode_set(mpf_sdi_detector_t* detector, apr_uint64_t mode);
/** MPF_SDI_START_OF_INPUT_INTERNAL or _EXTERNAL; kept across inits; other values are
 * ignored (logged). */
void mpf_sdi_speech_start_mode_set(mpf_sdi_detector_t* detector, int mode);

/**
 * Arms the detector for one recognition: mode is the requested mpf_sdi_mode_e, limited to
 * the configured input mode (NONE leaves the detector idle); sampling_rate in Hz (8000 or
 * 16000; frames must then carry rate/100 samples); start_noinput_timer starts the no-input
 * timer now (else see mpf_sdi_start_timers); interim_results selects the incomplete timeout
 * until mpf_sdi_result_flag_set. Returns TRUE. When the speech buffers cannot be sized or
 * allocated (logged ERROR) the recognition runs without speech.
 */
apt_bool_t mpf_sdi_init(mpf_sdi_detector_t* detector, mpf_sdi_mode_e mode,
                        apr_uint16_t sampling_rate, apt_bool_t start_noinput_timer,
                        apt_bool_t interim_results);
/** Starts the no-input timer unless it is running; ignored on an idle detector and once
 * input has started. */
void mpf_sdi_start_timers(mpf_sdi_detector_t* detector);
/** Requests a stop, carried out (on_stop) by the next mpf_sdi_process; ignored when idle.
 * Audio not yet handed on is dropped. */
void mpf_sdi_stop(mpf_sdi_detector_t* detector);
/** External start of input: the caller confirms that speech started (stops the no-input
 * timer, restarts the input timer, ends DTMF detection). No effect in internal mode, nor
 * on an idle detector. */
void mpf_sdi_speech_flag_set(mpf_sdi_detector_t* detector);
/** With interim results on: a recognition result arrived, so speech-complete-timeout now
 * ends the speech (and, if not yet confirmed, input has started). No effect on an idle
 * detector. */
void mpf_sdi_result_flag_set(mpf_sdi_detector_t* detector);

/**
 * Processes one 10 ms frame: audio (sampling_rate/50 bytes of 16-bit linear samples), a
 * named event, or both. Calls the handlers. Audio of another size is logged, stored cut or
 * zero-filled to one frame so that timing and output stay whole, and treated like a frame
 * the voice activity detector rejected.
 */
void mpf_sdi_process(mpf_sdi_detector_t* detector, const mpf_frame_t* frame);

APT_END_EXTERN_C

#endif /* MPF_SDI_DETECTOR_H */
