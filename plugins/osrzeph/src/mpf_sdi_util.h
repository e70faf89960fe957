/*
 * Speech and DTMF input detector: shared types and the parameter record.
 *
 * The engine keeps one mpf_sdi_params_t with the configured values: it fills it with the
 * defaults (mpf_sdi_params_init) and then reads the "speech-dtmf-input-detector" element of
 * the configuration document into it (mpf_sdi_params_load). Every detector starts from a
 * copy of that record (see mpf_sdi_detector.h); later changes to the engine's record do not
 * reach existing detectors.
 *
 * Threads: the functions here touch only the record passed in; the caller serialises access
 * to it. They log through apt_log on the host's default log source.
 */
#ifndef MPF_SDI_UTIL_H
#define MPF_SDI_UTIL_H

#include <apr_pools.h>
#include <apr_xml.h>
#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

/** Which detections run (a bit set): bit value 1 speech, bit value 2 DTMF. */
typedef enum {
    MPF_SDI_MODE_NONE = 0,
    MPF_SDI_MODE_SPEECH = 1,
    MPF_SDI_MODE_DTMF = 2,
    MPF_SDI_MODE_SPEECH_DTMF = 3
} mpf_sdi_mode_e;

/** State of the speech or DTMF input. */
typedef enum {
    MPF_SDI_STATE_NO_INPUT = 0,
    MPF_SDI_STATE_IN_PROGRESS = 1,
    MPF_SDI_STATE_COMPLETE = 2
} mpf_sdi_state_e;

/** How an input ended. */
typedef enum {
    MPF_SDI_COMPLETION_CAUSE_SUCCESS = 0,
    MPF_SDI_COMPLETION_CAUSE_TIMEDOUT = 1,
    MPF_SDI_COMPLETION_CAUSE_STOPPED = 2
} mpf_sdi_completion_cause_e;

/** Start of input: decided by the detector (internal) or confirmed by the caller (external,
 * see mpf_sdi_speech_flag_set and mpf_sdi_result_flag_set). */
typedef enum {
    MPF_SDI_START_OF_INPUT_INTERNAL = 0,
    MPF_SDI_START_OF_INPUT_EXTERNAL = 1
} mpf_sdi_start_of_input_e;

/** "NONE", "SPEECH", "DTMF", "SPEECH|DTMF"; any value other than 1, 2 or 3 gives "NONE". */
const char* mpf_sdi_mode_str(mpf_sdi_mode_e mode);
/** "NO-INPUT", "IN-PROGRESS", "COMPLETE"; anything else "UNKNOWN". */
const char* mpf_sdi_state_str(mpf_sdi_state_e state);
/** "success", "timedout", "stopped"; anything else "UNKNOWN". */
const char* mpf_sdi_completion_cause_str(mpf_sdi_completion_cause_e cause);

/** Input statistics, filled by the detector and copied by the caller. */
typedef struct mpf_sdi_stats_t {
    apr_uint32_t cause;    /**< mpf_sdi_completion_cause_e: how the input ended */
    apr_uint64_t duration; /**< ms of audio handed to the caller, silence padding included */
    apr_uint64_t size;     /**< bytes of audio handed to the caller, silence padding included */
} mpf_sdi_stats_t;

/** Sets cause (success), duration and size to 0. */
void mpf_sdi_stats_init(mpf_sdi_stats_t* stats);

/**
 * The largest time, in ms, of any timeout, silence or period of the parameters: one hour.
 * It bounds the detector's buffers. A larger value (a negative configured number reads as a
 * huge one) is clamped to it with a WARNING that names the attribute and the value, by the
 * loader, by the detector's creation and setters alike.
 */
#define MPF_SDI_MAX_TIME 3600000

/**
 * Detector parameters. Times are in ms, at most MPF_SDI_MAX_TIME, and are counted by the
 * detector in 10 ms frames (a value that is not a multiple of 10 acts as if rounded down,
 * except where noted).
 * Lengths are digit counts; 0 means "not set". Attribute names of the configuration element
 * are given in quotes.
 */
typedef struct mpf_sdi_params_t {
    /** "input-mode": which detections a detector may run at all; a detector created without
     * speech has no voice activity detector. Default MPF_SDI_MODE_SPEECH_DTMF. */
    apr_uint32_t input_mode;
    /** "vad-mode": aggressiveness of the WebRTC voice activity detector, 0 (least, more
     * frames voiced) to 3 (most). Default 2. */
    apr_uint64_t vad_mode;
    /** "speech-start-timeout": voiced time after the first voiced frame that turns a start
     * probation into speech; speech starts at the (1 + timeout/10)th voiced frame in a row.
     * Default 300. */
    apr_uint64_t speech_start_timeout;
    /** "speech-complete-timeout": silence that ends speech. Default 1000. */
    apr_uint64_t speech_complete_timeout;
    /** "speech-incomplete-timeout": silence that ends speech while interim results are on
     * and no result has arrived yet. Default 3000. */
    apr_uint64_t speech_incomplete_timeout;
    /** "noinput-timeout": time without start of input before no-input is reported.
     * Default 10000. */
    apr_uint64_t noinput_timeout;
    /** "input-timeout": maximum input time once input has started. Default 20000. */
    apr_uint64_t input_timeout;
    /** "dtmf-interdigit-timeout": wait for the next digit. Default 5000. */
    apr_uint64_t dtmf_interdigit_timeout;
    /** "dtmf-term-timeout": wait for more digits once dtmf-min-length is reached.
     * Default 5000. */
    apr_uint64_t dtmf_term_timeout;
    /** "dtmf-term-char": digit that ends the collection and is not collected; NUL (the
     * default) means none. */
    char dtmf_term_char;
    /** "dtmf-length": exact length; collection completes when it is reached. Default 0. */
    apr_uint64_t dtmf_length;
    /** "dtmf-min-length": minimum length; fewer digits give "not matched". Default 0. */
    apr_uint64_t dtmf_min_length;
    /** "dtmf-max-length": collection completes when it is reached. Default 0. */
    apr_uint64_t dtmf_max_length;
    /** "normalize-input": hand on only the speech, framed by the leading silence before it
     * and the end probation after it; otherwise hand on everything from the first frame.
     * Default TRUE. */
    apt_bool_t normalize_input;
    /** "speech-leading-silence": audio handed on before the first voiced frame of the speech
     * (zero-padded when the stream began later than that). Default 50. */
    apr_uint64_t speech_leading_silence;
    /** "speech-trailing-silence": audio handed on after the end of speech; the detector hands
     * on the larger of this and the complete timeout. Default 50. */
    apr_uint64_t speech_trailing_silence;
    /** "speech-output-period": size of the blocks of audio handed on (divided by 10 into
     * whole frames: 85 gives 8 frames). Default 80. */
    apr_uint64_t speech_output_period;
} mpf_sdi_params_t;

/** Sets every field to its default. */
void mpf_sdi_params_init(mpf_sdi_params_t* params);

/**
 * Reads the attributes of elem (the "speech-dtmf-input-detector" element) into params, in
 * document order; names and enumerated words compare without case, numbers are whole
 * decimals (a time or count below 0 or not a number is refused, a time above
 * MPF_SDI_MAX_TIME clamped). Unknown attributes and bad values are logged as warnings
 * ("Unexpected Value <value> for ... <name> in <element>, Using <kept>") and skipped; a
 * vad-mode number outside 0..3 gives 0 with "Inapropriate Vad Mode". Attributes not
 * given leave their fields as they are. pool is for temporary use. Always returns TRUE.
 */
apt_bool_t mpf_sdi_params_load(mpf_sdi_params_t* params, const apr_xml_elem* elem,
                               apr_pool_t* pool);

/**
 * value, or MPF_SDI_MAX_TIME when it is larger: then logs WARNING "Clamp SDI Attribute <name>
 * [value ms] to Maximum [3600000 ms]", followed by " <id>" when id is given.
 */
apr_uint64_t mpf_sdi_time_clamp(const char* name, apr_uint64_t value, const char* id);

/** Clamps every time of params as mpf_sdi_time_clamp does. */
void mpf_sdi_params_clamp(mpf_sdi_params_t* params, const char* id);

APT_END_EXTERN_C

#endif /* MPF_SDI_UTIL_H */
