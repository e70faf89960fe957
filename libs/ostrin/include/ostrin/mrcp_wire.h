/*
 * Ostrin host interface: the MRCP wire format.
 *
 * MRCPv2 (RFC 6787): a start line with the message-length, header fields (the
 * Channel-Identifier first), an empty line and a body of Content-Length bytes:
 *
 *     MRCP/2.0 <length> <method> <request-id>                  request
 *     MRCP/2.0 <length> <request-id> <status> <state>          response
 *     MRCP/2.0 <length> <event> <request-id> <state>           event
 *
 * MRCPv1 (RFC 4463), as carried in RTSP bodies, has no length and no channel identifier:
 *
 *     <method> <request-id> MRCP/1.0                            request
 *     MRCP/1.0 <request-id> <status> <state>                   response
 *     <event> <request-id> <state> MRCP/1.0                     event
 *
 * Lines end with CR LF (a lone LF is accepted when parsing). The parser takes the version
 * from the start line. Headers the host does not model are kept as text. Generated text
 * is canonical ("Name: value", the values in their canonical form), so parsing generated
 * text and generating it again gives the same bytes.
 *
 * Threads and memory: no global state; results live in the pool passed in.
 */
#ifndef OSTRIN_MRCP_WIRE_H
#define OSTRIN_MRCP_WIRE_H

#include <ostrin/mrcp_message.h>

APT_BEGIN_EXTERN_C

/** Messages longer than this are refused. */
#define MRCP_WIRE_MAX_MESSAGE_SIZE (1024 * 1024)

typedef enum {
    MRCP_WIRE_OK = 0,
    MRCP_WIRE_INCOMPLETE,         /**< more bytes needed (stream parsing only) */
    MRCP_WIRE_BAD_START_LINE,     /**< start line malformed, bad version, id, status or state */
    MRCP_WIRE_UNKNOWN_METHOD,     /**< method or event name unknown in the version */
    MRCP_WIRE_BAD_HEADER,         /**< header line without a name or colon, bad channel id */
    MRCP_WIRE_BAD_HEADER_VALUE,   /**< a known header whose value does not parse */
    MRCP_WIRE_LENGTH_MISMATCH,    /**< message-length or Content-Length disagree with the text */
    MRCP_WIRE_TOO_LARGE,          /**< over MRCP_WIRE_MAX_MESSAGE_SIZE */
    MRCP_WIRE_MISSING_CHANNEL_ID, /**< MRCPv2 message without Channel-Identifier */
    MRCP_WIRE_BAD_MESSAGE,        /**< cannot be generated (no version, type or method) */
    MRCP_WIRE_BAD_HEADER_TEXT     /**< cannot be generated as it stands: a control character
                                       (CR, LF, ...) in a header value or channel identifier,
                                       or a header name that is not a token */
} mrcp_wire_status_e;

/** What went wrong and where. */
typedef struct mrcp_wire_error_t {
    mrcp_wire_status_e status;
    apr_size_t offset; /**< byte offset of the offending line */
    char text[192];    /**< e.g. "Bad Header Value [No-Input-Timeout: abc]" */
} mrcp_wire_error_t;

/**
 * Parses one message from buf[0 .. length).
 * With consumed null the buffer must hold exactly one message; otherwise the message may be
 * followed by more bytes, *consumed is set to its size, and a buffer that ends early gives
 * MRCP_WIRE_INCOMPLETE. error may be null. On success *message is a new message in pool.
 */
APT_DECLARE(mrcp_wire_status_e)
mrcp_message_parse(const char* buf, apr_size_t length, apr_pool_t* pool, mrcp_message_t** message,
                   apr_size_t* consumed, mrcp_wire_error_t* error);

/**
 * Writes message in its version's format into pool (text NUL-terminated). Computes the
 * MRCPv2 message-length and Content-Length from the body (and sets them in the message).
 * Header text is never written as it stands when it could forge lines: a control character
 * other than TAB in any header value (typed, vendor parameters or unknown header), or an
 * unknown header name that is not a token, fails with MRCP_WIRE_BAD_HEADER_TEXT and names
 * the header. An Active-Request-Id-List without ids is left out.
 */
APT_DECLARE(mrcp_wire_status_e)
mrcp_message_generate(mrcp_message_t* message, apr_pool_t* pool, apt_str_t* text,
                      mrcp_wire_error_t* error);

/** A short name of a status ("OK", "Bad Start Line", ...). */
APT_DECLARE(const char*) mrcp_wire_status_name_get(mrcp_wire_status_e status);

APT_END_EXTERN_C

#endif /* OSTRIN_MRCP_WIRE_H */
