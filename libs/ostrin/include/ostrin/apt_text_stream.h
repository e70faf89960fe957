/*
 * Ostrin host interface: strings and text streams.
 *
 * apt_str_t is a (pointer, length) view; a string filled by the host from a pool is also
 * NUL-terminated (buf[length] == 0), a view into a stream is not.
 *
 * A text stream reads lines and fields from a buffer it does not own. Reading never
 * writes to the buffer. Threads: a stream belongs to the thread that reads it.
 */
#ifndef OSTRIN_APT_TEXT_STREAM_H
#define OSTRIN_APT_TEXT_STREAM_H

#include <apr_tables.h>
#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

typedef struct apt_str_t {
    char* buf;
    apr_size_t length;
} apt_str_t;

/** A name/value pair; value.buf is null for a name without a value. */
typedef struct apt_pair_t {
    apt_str_t name;
    apt_str_t value;
} apt_pair_t;

/** An ordered list of apt_pair_t (an APR array, elts are apt_pair_t). */
typedef apr_array_header_t apt_pair_arr_t;

typedef struct apt_text_stream_t {
    apt_str_t text;  /**< the whole buffer */
    char* pos;       /**< next character to read */
    const char* end; /**< one past the last character */
} apt_text_stream_t;

/** Empties a string (no memory is released). */
APT_DECLARE(void) apt_string_reset(apt_str_t* str);
/** Points str at a NUL-terminated text without copying. */
APT_DECLARE(void) apt_string_set(apt_str_t* str, const char* src);
/** Copies src (may be null: empties str) into pool, NUL-terminated. */
APT_DECLARE(void) apt_string_assign(apt_str_t* str, const char* src, apr_pool_t* pool);
APT_DECLARE(void)
apt_string_assign_n(apt_str_t* str, const char* src, apr_size_t length, apr_pool_t* pool);
APT_DECLARE(void) apt_string_copy(apt_str_t* str, const apt_str_t* src, apr_pool_t* pool);
APT_DECLARE(apt_bool_t) apt_string_is_empty(const apt_str_t* str);
/** TRUE when both hold the same bytes. */
APT_DECLARE(apt_bool_t) apt_string_compare(const apt_str_t* a, const apt_str_t* b);
/** TRUE when str holds exactly the NUL-terminated text, ignoring ASCII case. */
APT_DECLARE(apt_bool_t) apt_string_equals_ci(const apt_str_t* str, const char* text);

/** An empty pair list in pool. */
APT_DECLARE(apt_pair_arr_t*) apt_pair_array_create(apr_size_t initial_count, apr_pool_t* pool);
/** Appends copies of name and value (value may be null). */
APT_DECLARE(apt_bool_t)
apt_pair_array_append(apt_pair_arr_t* arr, const apt_str_t* name, const apt_str_t* value,
                      apr_pool_t* pool);
APT_DECLARE(apr_size_t) apt_pair_array_size_get(const apt_pair_arr_t* arr);
/** The pair at index, or null. */
APT_DECLARE(const apt_pair_t*) apt_pair_array_get(const apt_pair_arr_t* arr, apr_size_t index);
/** Deep copy into pool (null gives null). */
APT_DECLARE(apt_pair_arr_t*) apt_pair_array_copy(const apt_pair_arr_t* src, apr_pool_t* pool);

/** Starts a stream at the beginning of buf[0 .. length). */
APT_DECLARE(void) apt_text_stream_init(apt_text_stream_t* stream, char* buf, apr_size_t length);
APT_DECLARE(void) apt_text_stream_reset(apt_text_stream_t* stream);
/** TRUE when everything has been read. */
APT_DECLARE(apt_bool_t) apt_text_is_eos(const apt_text_stream_t* stream);

/**
 * Reads the next line into line (a view, without its end). CR LF, a lone LF or the end of
 * the text ends a line; an empty line gives an empty string and TRUE. FALSE only when the
 * stream is already at its end.
 */
APT_DECLARE(apt_bool_t) apt_text_line_read(apt_text_stream_t* stream, apt_str_t* line);

/**
 * Reads the next field: with skip_spaces, spaces and tabs before it are skipped first; the
 * field runs up to the separator (consumed, not included) or the end of the text. An empty
 * field gives an empty string and TRUE. FALSE only when nothing was left to read.
 */
APT_DECLARE(apt_bool_t)
apt_text_field_read(apt_text_stream_t* stream, char separator, apt_bool_t skip_spaces,
                    apt_str_t* field);

/** Skips spaces and tabs. */
APT_DECLARE(void) apt_text_spaces_skip(apt_text_stream_t* stream);

APT_END_EXTERN_C

#endif /* OSTRIN_APT_TEXT_STREAM_H */
