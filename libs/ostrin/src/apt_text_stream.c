/* Strings, pair lists and text streams. */
#include "ostrin/apt_text_stream.h"

#include <string.h>

#include <apr_lib.h>
#include <apr_strings.h>

void apt_string_reset(apt_str_t* str) {
    str->buf = NULL;
    str->length = 0;
}

void apt_string_set(apt_str_t* str, const char* src) {
    str->buf = (char*)src;
    str->length = src ? strlen(src) : 0;
}

void apt_string_assign(apt_str_t* str, const char* src, apr_pool_t* pool) {
    apt_string_assign_n(str, src, src ? strlen(src) : 0, pool);
}

void apt_string_assign_n(apt_str_t* str, const char* src, apr_size_t length, apr_pool_t* pool) {
    if (!src) {
        apt_string_reset(str);
        return;
    }
    str->buf = apr_pstrmemdup(pool, src, length);
    str->length = length;
}

void apt_string_copy(apt_str_t* str, const apt_str_t* src, apr_pool_t* pool) {
    apt_string_assign_n(str, src->buf, src->length, pool);
}

apt_bool_t apt_string_is_empty(const apt_str_t* str) {
    return !str || !str->buf || str->length == 0;
}

apt_bool_t apt_string_compare(const apt_str_t* a, const apt_str_t* b) {
    if (a->length != b->length) {
        return FALSE;
    }
    return a->length == 0 || memcmp(a->buf, b->buf, a->length) == 0;
}

apt_bool_t apt_string_equals_ci(const apt_str_t* str, const char* text) {
    apr_size_t length = strlen(text);
    if (str->length != length) {
        return FALSE;
    }
    return length == 0 || strncasecmp(str->buf, text, length) == 0;
}

apt_pair_arr_t* apt_pair_array_create(apr_size_t initial_count, apr_pool_t* pool) {
    return apr_array_make(pool, (int)(initial_count ? initial_count : 1), sizeof(apt_pair_t));
}

apt_bool_t apt_pair_array_append(apt_pair_arr_t* arr, const apt_str_t* name, const apt_str_t* value,
                                 apr_pool_t* pool) {
    if (!arr || !name) {
        return FALSE;
    }
    apt_pair_t* pair = apr_array_push(arr);
    apt_string_copy(&pair->name, name, pool);
    if (value) {
        apt_string_copy(&pair->value, value, pool);
    } else {
        apt_string_reset(&pair->value);
    }
    return TRUE;
}

apr_size_t apt_pair_array_size_get(const apt_pair_arr_t* arr) {
    return arr ? (apr_size_t)arr->nelts : 0;
}

const apt_pair_t* apt_pair_array_get(const apt_pair_arr_t* arr, apr_size_t index) {
    if (!arr || index >= (apr_size_t)arr->nelts) {
        return NULL;
    }
    return &APR_ARRAY_IDX(arr, index, apt_pair_t);
}

apt_pair_arr_t* apt_pair_array_copy(const apt_pair_arr_t* src, apr_pool_t* pool) {
    if (!src) {
        return NULL;
    }
    apt_pair_arr_t* copy = apt_pair_array_create((apr_size_t)src->nelts, pool);
    for (int i = 0; i < src->nelts; i++) {
        const apt_pair_t* pair = &APR_ARRAY_IDX(src, i, apt_pair_t);
        apt_pair_array_append(copy, &pair->name, pair->value.buf ? &pair->value : NULL, pool);
    }
    return copy;
}

void apt_text_stream_init(apt_text_stream_t* stream, char* buf, apr_size_t length) {
    stream->text.buf = buf;
    stream->text.length = buf ? length : 0;
    stream->pos = buf;
    stream->end = buf ? buf + length : NULL;
}

void apt_text_stream_reset(apt_text_stream_t* stream) {
    stream->pos = stream->text.buf;
}

apt_bool_t apt_text_is_eos(const apt_text_stream_t* stream) {
    return !stream->pos || stream->pos >= stream->end;
}

apt_bool_t apt_text_line_read(apt_text_stream_t* stream, apt_str_t* line) {
    apt_string_reset(line);
    if (apt_text_is_eos(stream)) {
        return FALSE;
    }
    char* start = stream->pos;
    char* pos = start;
    while (pos < stream->end && *pos != '\n') {
        pos++;
    }
    apr_size_t length = (apr_size_t)(pos - start);
    if (pos < stream->end) {
        pos++; /* the LF */
        if (length > 0 && start[length - 1] == '\r') {
            length--;
        }
    }
    line->buf = start;
    line->length = length;
    stream->pos = pos;
    return TRUE;
}

void apt_text_spaces_skip(apt_text_stream_t* stream) {
    while (stream->pos && stream->pos < stream->end &&
           (*stream->pos == ' ' || *stream->pos == '\t')) {
        stream->pos++;
    }
}

apt_bool_t apt_text_field_read(apt_text_stream_t* stream, char separator, apt_bool_t skip_spaces,
                               apt_str_t* field) {
    apt_string_reset(field);
    if (apt_text_is_eos(stream)) {
        return FALSE;
    }
    if (skip_spaces) {
        apt_text_spaces_skip(stream);
    }
    char* start = stream->pos;
    char* pos = start;
    while (pos < stream->end && *pos != separator) {
        pos++;
    }
    field->buf = start;
    field->length = (apr_size_t)(pos - start);
    stream->pos = pos < stream->end ? pos + 1 : pos;
    return TRUE;
}
