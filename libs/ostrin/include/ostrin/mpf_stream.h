/*
 * Ostrin host interface: codecs, stream capabilities, audio streams and terminations.
 *
 * A plugin describes what its audio stream accepts (capabilities), hands the host a table
 * of stream methods and its own object, and receives a termination. The host's media
 * thread then calls the stream methods.
 *
 * Directions are seen from the media framework: SEND means the framework sends frames to
 * the stream (the stream is a sink: open_tx, write_frame, close_tx); RECEIVE means the
 * framework receives frames from it (a source: open_rx, read_frame, close_rx).
 *
 * Threads: every stream method is called on the host's media thread, except destroy, which
 * the host calls on the thread that destroys the channel once the media thread no longer
 * uses the stream.
 *
 * Memory: capabilities, terminations and streams live in the pool they were created from
 * (the channel's pool). The codec descriptors a stream receives belong to the host and stay
 * valid from open_tx (open_rx) until the channel is destroyed.
 */
#ifndef OSTRIN_MPF_STREAM_H
#define OSTRIN_MPF_STREAM_H

#include <apr_tables.h>
#include <ostrin/apt_text_stream.h>
#include <ostrin/mpf_frame.h>

APT_BEGIN_EXTERN_C

typedef enum {
    STREAM_DIRECTION_NONE = 0x0,
    STREAM_DIRECTION_SEND = 0x1,    /**< frames go to the stream (sink) */
    STREAM_DIRECTION_RECEIVE = 0x2, /**< frames come from the stream (source) */
    STREAM_DIRECTION_DUPLEX = 0x3
} mpf_stream_direction_e;

/** Sampling-rate bits of a codec's rate mask. */
typedef enum {
    MPF_SAMPLE_RATE_NONE = 0x00,
    MPF_SAMPLE_RATE_8000 = 0x01,
    MPF_SAMPLE_RATE_16000 = 0x02,
    MPF_SAMPLE_RATE_32000 = 0x04,
    MPF_SAMPLE_RATE_48000 = 0x08,
    MPF_SAMPLE_RATE_SUPPORTED = MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000
} mpf_sample_rates_e;

/** The name of 16-bit linear audio in host byte order. */
#define MPF_CODEC_LPCM "LPCM"

/** One concrete audio format. */
typedef struct mpf_codec_descriptor_t {
    apt_str_t name;             /**< e.g. "LPCM" */
    apr_byte_t payload_type;    /**< RTP payload type (96 for LPCM) */
    apr_uint16_t sampling_rate; /**< Hz */
    apr_byte_t channel_count;
    apr_byte_t bits_per_sample; /**< 16 for LPCM */
} mpf_codec_descriptor_t;

/** A codec a stream accepts: its name, a rate mask and bits per sample (0 = any). */
typedef struct mpf_codec_attribs_t {
    apt_str_t name;
    apr_byte_t bits_per_sample;
    int sample_rates; /**< mpf_sample_rates_e bits */
} mpf_codec_attribs_t;

typedef struct mpf_codec_capabilities_t {
    apr_array_header_t* attrib_arr; /**< of mpf_codec_attribs_t, in order of preference */
    apt_bool_t allow_named_events;  /**< RFC 4733 events accepted (TRUE by default) */
} mpf_codec_capabilities_t;

typedef struct mpf_stream_capabilities_t {
    mpf_stream_direction_e direction;
    mpf_codec_capabilities_t codecs;
} mpf_stream_capabilities_t;

/** Empty capabilities for a direction. */
APT_DECLARE(mpf_stream_capabilities_t*)
mpf_stream_capabilities_create(mpf_stream_direction_e direction, apr_pool_t* pool);
/** Adds a codec with any bits per sample; FALSE for a null or empty name. */
APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_add(mpf_codec_capabilities_t* capabilities, int sample_rates,
                           const char* codec_name);
/** Adds a codec with a given bits per sample (0 = any). */
APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_add_ex(mpf_codec_capabilities_t* capabilities, int sample_rates,
                              const char* codec_name, apr_byte_t bits_per_sample);
/** TRUE when the capabilities accept descriptor (name without case, rate, bits). */
APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_match(const mpf_codec_capabilities_t* capabilities,
                             const mpf_codec_descriptor_t* descriptor);
/** The rate bit of a sampling rate in Hz, or MPF_SAMPLE_RATE_NONE. */
APT_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate);
/** An LPCM mono descriptor at a rate, in pool. */
APT_DECLARE(mpf_codec_descriptor_t*)
mpf_codec_lpcm_descriptor_create(apr_uint16_t sampling_rate, apr_pool_t* pool);

typedef struct mpf_audio_stream_t mpf_audio_stream_t;
typedef struct mpf_audio_stream_vtable_t mpf_audio_stream_vtable_t;

/** Stream methods, in this order; any entry may be null (the host skips it). */
struct mpf_audio_stream_vtable_t {
    apt_bool_t (*destroy)(mpf_audio_stream_t* stream);
    apt_bool_t (*open_rx)(mpf_audio_stream_t* stream, const mpf_codec_descriptor_t* codec);
    apt_bool_t (*close_rx)(mpf_audio_stream_t* stream);
    apt_bool_t (*read_frame)(mpf_audio_stream_t* stream, mpf_frame_t* frame);
    apt_bool_t (*open_tx)(mpf_audio_stream_t* stream, const mpf_codec_descriptor_t* codec);
    apt_bool_t (*close_tx)(mpf_audio_stream_t* stream);
    apt_bool_t (*write_frame)(mpf_audio_stream_t* stream, const mpf_frame_t* frame);
    void (*trace)(mpf_audio_stream_t* stream, mpf_stream_direction_e direction,
                  apt_text_stream_t* output);
};

struct mpf_audio_stream_t {
    void* obj; /**< the plugin's object (its channel) */
    const mpf_audio_stream_vtable_t* vtable;
    mpf_stream_capabilities_t* capabilities;
    mpf_stream_direction_e direction;
    /** Format of frames read from the stream (source side); set by the host, or null. */
    const mpf_codec_descriptor_t* rx_descriptor;
    /** Format of frames written to the stream (sink side); set by the host, or null. */
    const mpf_codec_descriptor_t* tx_descriptor;
};

/** The media end of a channel: the plugin's audio stream. */
typedef struct mpf_termination_t {
    void* obj;
    mpf_audio_stream_t* audio_stream;
    apr_pool_t* pool;
} mpf_termination_t;

/** A stream over obj with vtable; direction comes from the capabilities. */
APT_DECLARE(mpf_audio_stream_t*)
mpf_audio_stream_create(void* obj, const mpf_audio_stream_vtable_t* vtable,
                        mpf_stream_capabilities_t* capabilities, apr_pool_t* pool);

APT_END_EXTERN_C

#endif /* OSTRIN_MPF_STREAM_H */
