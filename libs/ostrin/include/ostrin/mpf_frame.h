/*
 * Ostrin host interface: media frames.
 *
 * A frame is what the media thread hands to an audio stream every packetisation interval
 * (10 ms of 16-bit linear audio in the stream's codec descriptor), possibly together with
 * a named event (RFC 4733 telephone event). The type field is a bit set: a frame may carry
 * audio and an event at once.
 *
 * Memory: a frame and its buffer belong to the media framework and are valid only during
 * the call that receives them (write_frame); copy what must be kept.
 */
#ifndef OSTRIN_MPF_FRAME_H
#define OSTRIN_MPF_FRAME_H

#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

/** Frame type bits. */
#define MEDIA_FRAME_TYPE_NONE 0x0
#define MEDIA_FRAME_TYPE_AUDIO 0x1
#define MEDIA_FRAME_TYPE_VIDEO 0x2
#define MEDIA_FRAME_TYPE_EVENT 0x4

/** Event markers. */
#define MPF_MARKER_NONE 0
#define MPF_MARKER_START_OF_EVENT 1
#define MPF_MARKER_END_OF_EVENT 2
#define MPF_MARKER_NEW_SEGMENT 3

/** Audio payload of a frame. */
typedef struct mpf_codec_frame_t {
    void* buffer;
    apr_size_t size; /**< bytes */
} mpf_codec_frame_t;

/** RFC 4733 named event (the layout of its payload). */
typedef struct mpf_named_event_frame_t {
    apr_uint32_t event_id : 8; /**< 0-9 digits, 10 '*', 11 '#', 12-15 'A'-'D' */
    apr_uint32_t volume : 6;
    apr_uint32_t reserved : 1;
    apr_uint32_t edge : 1;      /**< set on the packets that end the event */
    apr_uint32_t duration : 16; /**< in timestamp units (samples) */
} mpf_named_event_frame_t;

typedef struct mpf_frame_t {
    int type;   /**< MEDIA_FRAME_TYPE_* bits */
    int marker; /**< MPF_MARKER_* for the event part */
    mpf_codec_frame_t codec_frame;
    mpf_named_event_frame_t event_frame;
} mpf_frame_t;

/** The DTMF character of a named-event id ("0123456789*#ABCD" for 0 to 15), else 0. */
APT_DECLARE(char) mpf_event_id_to_dtmf_char(apr_uint32_t event_id);
/** The named-event id of a DTMF character (either case for A-D), or 0xFF. */
APT_DECLARE(apr_uint32_t) mpf_dtmf_char_to_event_id(char dtmf_char);

APT_END_EXTERN_C

#endif /* OSTRIN_MPF_FRAME_H */
