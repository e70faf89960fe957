/*
 * Ostrin host interface: MRCP messages of the recognizer resource.
 *
 * A message has a start line (version, type, request id, method or event, request state,
 * status code), a channel identifier, the generic headers and the recognizer headers of
 * RFC 6787 with typed values and a present flag each, headers the host does not know
 * (kept as text), and a body. Setting a typed value does not make the header part of the
 * message: mark it present with mrcp_generic_header_property_add or
 * mrcp_resource_header_property_add. Present headers are written in the order they were
 * marked (or parsed).
 *
 * Memory contract:
 *  - Every request the host hands to a plugin lives in its own pool (message->pool).
 *  - Responses and events the plugin creates for a request
 *    (mrcp_response_create(request, request->pool), mrcp_event_create(request, id,
 *    request->pool)) come from that same pool, and so does every string the plugin puts
 *    into them (use message->pool).
 *  - The host destroys the request's pool, and with it the request and all its responses
 *    and events, as soon as the request's final message has been delivered: a response
 *    with state COMPLETE, the event with state COMPLETE that ends it, or the successful
 *    STOP response that stops it (the STOP request's own pool goes at the same time); and
 *    at the latest when the channel is destroyed. From the moment the plugin passes that
 *    final message (or the STOP response) to mrcp_engine_channel_message_send, it must not
 *    touch the request, its headers (Vendor-Specific-Parameters included), its body or
 *    anything made from it again: a value needed later is copied first. Each request pool
 *    has memory of its own, so a memory checker (ASan) reports such a late use.
 *
 * Threads: a message belongs to one thread at a time: the host hands a request to the
 * plugin's process_request on a server thread, the plugin may pass it to its own thread,
 * and a message passed to mrcp_engine_channel_message_send belongs to the host from then
 * on. The functions here keep no global state and may run on any thread.
 */
#ifndef OSTRIN_MRCP_MESSAGE_H
#define OSTRIN_MRCP_MESSAGE_H

#include <ostrin/apt_text_stream.h>

APT_BEGIN_EXTERN_C

typedef enum { MRCP_VERSION_UNKNOWN = 0, MRCP_VERSION_1 = 1, MRCP_VERSION_2 = 2 } mrcp_version_e;

typedef enum {
    MRCP_MESSAGE_TYPE_UNKNOWN = 0,
    MRCP_MESSAGE_TYPE_REQUEST,
    MRCP_MESSAGE_TYPE_RESPONSE,
    MRCP_MESSAGE_TYPE_EVENT
} mrcp_message_type_e;

/** Resources; only the recognizer is modelled. */
typedef enum {
    MRCP_SYNTHESIZER_RESOURCE = 0,
    MRCP_RECOGNIZER_RESOURCE = 1,
    MRCP_RESOURCE_COUNT
} mrcp_resource_id_e;
typedef apr_size_t mrcp_resource_id;
/** The recognizer's resource name in MRCPv2 channel identifiers. */
#define MRCP_RECOGNIZER_RESOURCE_NAME "speechrecog"

typedef apr_size_t mrcp_method_id;
typedef apr_uint32_t mrcp_request_id;
/** Request ids run 0 to 4294967295 (RFC 6787: 1*10DIGIT). */
#define MRCP_REQUEST_ID_MAX 4294967295u

/** Recognizer methods (RFC 6787 order). MRCPv1 has the first seven except INTERPRET. */
typedef enum {
    RECOGNIZER_SET_PARAMS = 0,
    RECOGNIZER_GET_PARAMS,
    RECOGNIZER_DEFINE_GRAMMAR,
    RECOGNIZER_RECOGNIZE,
    RECOGNIZER_INTERPRET,
    RECOGNIZER_GET_RESULT,
    RECOGNIZER_START_INPUT_TIMERS, /**< "RECOGNITION-START-TIMERS" in MRCPv1 */
    RECOGNIZER_STOP,
    RECOGNIZER_START_PHRASE_ENROLLMENT,
    RECOGNIZER_ENROLLMENT_ROLLBACK,
    RECOGNIZER_END_PHRASE_ENROLLMENT,
    RECOGNIZER_MODIFY_PHRASE,
    RECOGNIZER_DELETE_PHRASE,
    RECOGNIZER_METHOD_COUNT
} mrcp_recognizer_method_id;

/** Recognizer events. */
typedef enum {
    RECOGNIZER_START_OF_INPUT = 0, /**< "START-OF-SPEECH" in MRCPv1 */
    RECOGNIZER_RECOGNITION_COMPLETE,
    RECOGNIZER_INTERPRETATION_COMPLETE, /**< MRCPv2 only */
    RECOGNIZER_EVENT_COUNT
} mrcp_recognizer_event_id;

typedef enum {
    MRCP_REQUEST_STATE_COMPLETE = 0,
    MRCP_REQUEST_STATE_INPROGRESS,
    MRCP_REQUEST_STATE_PENDING,
    MRCP_REQUEST_STATE_COUNT,
    MRCP_REQUEST_STATE_UNKNOWN = MRCP_REQUEST_STATE_COUNT
} mrcp_request_state_e;

/** Status codes (RFC 6787, section 5.4). */
typedef enum {
    MRCP_STATUS_CODE_UNKNOWN = 0,
    MRCP_STATUS_CODE_SUCCESS = 200,
    MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE = 201,
    MRCP_STATUS_CODE_METHOD_NOT_ALLOWED = 401,
    MRCP_STATUS_CODE_METHOD_NOT_VALID = 402,
    MRCP_STATUS_CODE_UNSUPPORTED_PARAM = 403,
    MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE = 404,
    MRCP_STATUS_CODE_NOT_FOUND = 405,
    MRCP_STATUS_CODE_MISSING_PARAM = 406,
    MRCP_STATUS_CODE_METHOD_FAILED = 407,
    MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE = 408,
    MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE = 409,
    MRCP_STATUS_CODE_OUT_OF_ORDER = 410,
    MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE = 421
} mrcp_status_code_e;

/** Recognizer completion causes by their standard numbers. */
typedef enum {
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS = 0,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH = 1,
    RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT = 2,
    RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME = 3, /**< v1: recognition-timeout */
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE = 4,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_COMPILATION_FAILURE = 5,
    RECOGNIZER_COMPLETION_CAUSE_ERROR = 6,
    RECOGNIZER_COMPLETION_CAUSE_SPEECH_TOO_EARLY = 7,
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME = 8, /**< v1: too-much-speech-timeout */
    RECOGNIZER_COMPLETION_CAUSE_URI_FAILURE = 9,
    RECOGNIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED = 10,
    RECOGNIZER_COMPLETION_CAUSE_CANCELLED = 11,
    RECOGNIZER_COMPLETION_CAUSE_SEMANTICS_FAILURE = 12,
    RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH = 13,
    RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH_MAXTIME = 14,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME = 15,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_DEFINITION_FAILURE = 16,
    RECOGNIZER_COMPLETION_CAUSE_COUNT = 17,
    /** Not decided yet; never written. */
    RECOGNIZER_COMPLETION_CAUSE_UNKNOWN = RECOGNIZER_COMPLETION_CAUSE_COUNT
} mrcp_recog_completion_cause_e;

/** Generic headers (RFC 6787, section 6.2). */
typedef enum {
    GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST = 0,
    GENERIC_HEADER_PROXY_SYNC_ID,
    GENERIC_HEADER_ACCEPT_CHARSET,
    GENERIC_HEADER_CONTENT_TYPE,
    GENERIC_HEADER_CONTENT_ID,
    GENERIC_HEADER_CONTENT_BASE,
    GENERIC_HEADER_CONTENT_ENCODING,
    GENERIC_HEADER_CONTENT_LOCATION,
    GENERIC_HEADER_CONTENT_LENGTH,
    GENERIC_HEADER_FETCH_TIMEOUT,
    GENERIC_HEADER_CACHE_CONTROL,
    GENERIC_HEADER_LOGGING_TAG,
    GENERIC_HEADER_SET_COOKIE,
    GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS,
    GENERIC_HEADER_ACCEPT,
    GENERIC_HEADER_COUNT
} mrcp_generic_header_id;

/** Recognizer headers (RFC 6787, section 9.4). */
typedef enum {
    RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD = 0,
    RECOGNIZER_HEADER_SENSITIVITY_LEVEL,
    RECOGNIZER_HEADER_SPEED_VS_ACCURACY,
    RECOGNIZER_HEADER_N_BEST_LIST_LENGTH,
    RECOGNIZER_HEADER_INPUT_TYPE,
    RECOGNIZER_HEADER_NO_INPUT_TIMEOUT,
    RECOGNIZER_HEADER_RECOGNITION_TIMEOUT,
    RECOGNIZER_HEADER_WAVEFORM_URI, /**< "Waveform-URL" in MRCPv1 */
    RECOGNIZER_HEADER_INPUT_WAVEFORM_URI,
    RECOGNIZER_HEADER_COMPLETION_CAUSE,
    RECOGNIZER_HEADER_COMPLETION_REASON,
    RECOGNIZER_HEADER_RECOGNIZER_CONTEXT_BLOCK,
    RECOGNIZER_HEADER_START_INPUT_TIMERS, /**< "Recognizer-Start-Timers" in MRCPv1 */
    RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_CHAR,
    RECOGNIZER_HEADER_FAILED_URI,
    RECOGNIZER_HEADER_FAILED_URI_CAUSE,
    RECOGNIZER_HEADER_SAVE_WAVEFORM,
    RECOGNIZER_HEADER_MEDIA_TYPE,
    RECOGNIZER_HEADER_NEW_AUDIO_CHANNEL,
    RECOGNIZER_HEADER_SPEECH_LANGUAGE,
    RECOGNIZER_HEADER_VER_BUFFER_UTTERANCE,
    RECOGNIZER_HEADER_RECOGNITION_MODE,
    RECOGNIZER_HEADER_CANCEL_IF_QUEUE,
    RECOGNIZER_HEADER_HOTWORD_MAX_DURATION,
    RECOGNIZER_HEADER_HOTWORD_MIN_DURATION,
    RECOGNIZER_HEADER_INTERPRET_TEXT,
    RECOGNIZER_HEADER_DTMF_BUFFER_TIME,
    RECOGNIZER_HEADER_CLEAR_DTMF_BUFFER,
    RECOGNIZER_HEADER_EARLY_NO_MATCH,
    RECOGNIZER_HEADER_COUNT
} mrcp_recognizer_header_id;

/** A present flag: the header has no value (see mrcp_message_t). */
#define MRCP_HEADER_PRESENT_EMPTY 2

/** At most this many ids in Active-Request-Id-List. */
#define MRCP_MAX_ACTIVE_REQUEST_ID_COUNT 32

typedef struct mrcp_request_id_list_t {
    mrcp_request_id ids[MRCP_MAX_ACTIVE_REQUEST_ID_COUNT];
    apr_size_t count;
} mrcp_request_id_list_t;

/** Typed values of the generic headers. Strings are NUL-terminated. Timeouts in ms. */
typedef struct mrcp_generic_header_t {
    mrcp_request_id_list_t active_request_id_list;
    apt_str_t proxy_sync_id;
    apt_str_t accept_charset;
    apt_str_t content_type;
    apt_str_t content_id;
    apt_str_t content_base;
    apt_str_t content_encoding;
    apt_str_t content_location;
    apr_size_t content_length; /**< written from the body's length */
    apr_size_t fetch_timeout;
    apt_str_t cache_control;
    apt_str_t logging_tag;
    apt_str_t set_cookie;
    apt_pair_arr_t* vendor_specific_params; /**< name=value pairs in order; values keep quotes */
    apt_str_t accept;
} mrcp_generic_header_t;

/**
 * Typed values of the recognizer headers. Levels are 0.0 to 1.0 (MRCPv1 writes them as
 * 0 to 100); timeouts and durations in ms; strings NUL-terminated.
 */
typedef struct mrcp_recog_header_t {
    float confidence_threshold;
    float sensitivity_level;
    float speed_vs_accuracy;
    apr_size_t n_best_list_length;
    apt_str_t input_type; /**< "speech" or "dtmf" */
    apr_size_t no_input_timeout;
    apr_size_t recognition_timeout;
    apt_str_t waveform_uri; /**< "<uri>;size=N;duration=N" in MRCPv2, the bare URI in v1 */
    apt_str_t input_waveform_uri;
    mrcp_recog_completion_cause_e completion_cause;
    apt_str_t completion_reason;
    apt_str_t recognizer_context_block;
    apt_bool_t start_input_timers;
    apr_size_t speech_complete_timeout;
    apr_size_t speech_incomplete_timeout;
    apr_size_t dtmf_interdigit_timeout;
    apr_size_t dtmf_term_timeout;
    char dtmf_term_char;
    apt_str_t failed_uri;
    apt_str_t failed_uri_cause;
    apt_bool_t save_waveform;
    apt_str_t media_type;
    apt_bool_t new_audio_channel;
    apt_str_t speech_language;
    apt_bool_t ver_buffer_utterance;
    apt_str_t recognition_mode; /**< "normal" or "hotword" */
    apt_bool_t cancel_if_queue;
    apr_size_t hotword_max_duration;
    apr_size_t hotword_min_duration;
    apt_str_t interpret_text;
    apr_size_t dtmf_buffer_time;
    apt_bool_t clear_dtmf_buffer;
    apt_bool_t early_no_match;
} mrcp_recog_header_t;

/** Which header group a header belongs to. */
typedef enum {
    MRCP_HEADER_GROUP_GENERIC = 0,
    MRCP_HEADER_GROUP_RESOURCE,
    MRCP_HEADER_GROUP_UNKNOWN
} mrcp_header_group_e;

/** One present header, in message order. For unknown headers id indexes unknown_headers. */
typedef struct mrcp_header_ref_t {
    mrcp_header_group_e group;
    apr_size_t id;
} mrcp_header_ref_t;

/**
 * The channel identifier "session_id@resource_name". MRCPv2 carries it in every message;
 * for an MRCPv1 request (which has none on the wire) the host fills in the RTSP session of
 * the channel as session_id, so a plugin finds the session in the same place for both.
 */
typedef struct mrcp_channel_id {
    apt_str_t session_id;
    apt_str_t resource_name;
} mrcp_channel_id;

typedef struct mrcp_start_line_t {
    mrcp_version_e version;
    mrcp_message_type_e message_type;
    mrcp_method_id method_id; /**< method (requests) or event id (events) */
    apt_str_t method_name;    /**< its name in the message's version */
    mrcp_request_id request_id;
    mrcp_request_state_e request_state; /**< responses and events */
    mrcp_status_code_e status_code;     /**< responses */
    apr_size_t length;                  /**< MRCPv2 message-length as parsed or written */
} mrcp_start_line_t;

typedef struct mrcp_message_t {
    mrcp_start_line_t start_line;
    mrcp_channel_id channel_id;
    mrcp_resource_id resource_id;
    mrcp_generic_header_t generic_header;
    mrcp_recog_header_t resource_header;
    /** 0 absent, 1 present, MRCP_HEADER_PRESENT_EMPTY present without a value (the headers
     * a GET-PARAMS request asks for; their typed values are not set). */
    apr_byte_t generic_present[GENERIC_HEADER_COUNT];
    apr_byte_t resource_present[RECOGNIZER_HEADER_COUNT];
    apr_array_header_t* header_order; /**< of mrcp_header_ref_t */
    apt_pair_arr_t* unknown_headers;  /**< headers kept as text */
    apt_str_t body;
    apr_pool_t* pool;
} mrcp_message_t;

/** An empty message (recognizer resource, no version) in pool. */
APT_DECLARE(mrcp_message_t*) mrcp_message_create(apr_pool_t* pool);
/** A request for method_id in version, with the method's name; null for a bad method. */
APT_DECLARE(mrcp_message_t*)
mrcp_request_create(mrcp_version_e version, mrcp_method_id method_id, apr_pool_t* pool);
/**
 * A response to request: same version, channel, request id and method; status 200, state
 * COMPLETE, no headers. Pool: the request's pool (see the memory contract).
 */
APT_DECLARE(mrcp_message_t*)
mrcp_response_create(const mrcp_message_t* request, apr_pool_t* pool);
/**
 * An event for request: same version, channel and request id; the event's id and name;
 * state IN-PROGRESS. Null for an unknown event or one the version does not have.
 */
APT_DECLARE(mrcp_message_t*)
mrcp_event_create(const mrcp_message_t* request, mrcp_method_id event_id, apr_pool_t* pool);

/** The message's typed headers (never null). */
APT_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_get(mrcp_message_t* message);
APT_DECLARE(mrcp_recog_header_t*) mrcp_resource_header_get(mrcp_message_t* message);
/** Same as the _get functions; kept for callers that "prepare" before setting values. */
APT_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_prepare(mrcp_message_t* message);
APT_DECLARE(mrcp_recog_header_t*) mrcp_resource_header_prepare(mrcp_message_t* message);

/** Marks a header present (appended to the message's header order the first time). */
APT_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t* message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_add(mrcp_message_t* message, apr_size_t id);
/** Marks a header absent. */
APT_DECLARE(apt_bool_t)
mrcp_generic_header_property_remove(mrcp_message_t* message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_remove(mrcp_message_t* message, apr_size_t id);
/** TRUE when the header is present. */
APT_DECLARE(apt_bool_t)
mrcp_generic_header_property_check(const mrcp_message_t* message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_check(const mrcp_message_t* message, apr_size_t id);

/** Adds a header the host does not model, as text (copied into the message's pool). */
APT_DECLARE(apt_bool_t)
mrcp_message_unknown_header_add(mrcp_message_t* message, const char* name, const char* value);
/** The value of an unknown header by name (without case), or null. */
APT_DECLARE(const apt_str_t*)
mrcp_message_unknown_header_get(const mrcp_message_t* message, const char* name);
/** Copies text into the body (message's pool). */
APT_DECLARE(void)
mrcp_message_body_set(mrcp_message_t* message, const char* text, apr_size_t length);

/** Header names in a version (MRCPv1 spells a few differently); null for a bad id. */
APT_DECLARE(const char*) mrcp_generic_header_name_get(apr_size_t id, mrcp_version_e version);
APT_DECLARE(const char*) mrcp_resource_header_name_get(apr_size_t id, mrcp_version_e version);
/** Method and event names in a version; null when the version has none. */
APT_DECLARE(const char*) mrcp_method_name_get(mrcp_method_id id, mrcp_version_e version);
APT_DECLARE(const char*) mrcp_event_name_get(mrcp_method_id id, mrcp_version_e version);
/** "COMPLETE", "IN-PROGRESS", "PENDING"; null otherwise. */
APT_DECLARE(const char*) mrcp_request_state_name_get(mrcp_request_state_e state);

/**
 * The name of a recognizer completion cause: RFC 6787 names (000 to 016) for MRCPv2, the
 * RFC 4463 names (000 to 010) for MRCPv1; null beyond the version's table. The string is
 * static.
 */
APT_DECLARE(const apt_str_t*) mrcp_recog_completion_cause_get(int cause, int version);

APT_END_EXTERN_C

#endif /* OSTRIN_MRCP_MESSAGE_H */
