/* The header table and the typed values of every known header. */
#include "mrcp_header.h"

#include <math.h>
#include <stddef.h>
#include <string.h>

#include <apr_strings.h>

#define GENERIC(name, name_v1, type, field) \
    { name, name_v1, MRCP_VALUE_##type, offsetof(mrcp_generic_header_t, field) }
#define RECOG(name, name_v1, type, field) \
    { name, name_v1, MRCP_VALUE_##type, offsetof(mrcp_recog_header_t, field) }

/* Rows in the order of mrcp_generic_header_id. */
static const mrcp_header_def_t generic_headers[GENERIC_HEADER_COUNT] = {
    GENERIC("Active-Request-Id-List", NULL, ID_LIST, active_request_id_list),
    GENERIC("Proxy-Sync-Id", NULL, STRING, proxy_sync_id),
    GENERIC("Accept-Charset", NULL, STRING, accept_charset),
    GENERIC("Content-Type", NULL, STRING, content_type),
    GENERIC("Content-Id", NULL, STRING, content_id),
    GENERIC("Content-Base", NULL, STRING, content_base),
    GENERIC("Content-Encoding", NULL, STRING, content_encoding),
    GENERIC("Content-Location", NULL, STRING, content_location),
    GENERIC("Content-Length", NULL, SIZE, content_length),
    GENERIC("Fetch-Timeout", NULL, SIZE, fetch_timeout),
    GENERIC("Cache-Control", NULL, STRING, cache_control),
    GENERIC("Logging-Tag", NULL, STRING, logging_tag),
    GENERIC("Set-Cookie", NULL, STRING, set_cookie),
    GENERIC("Vendor-Specific-Parameters", NULL, PAIRS, vendor_specific_params),
    GENERIC("Accept", NULL, STRING, accept),
};

/* Rows in the order of mrcp_recognizer_header_id. */
static const mrcp_header_def_t recog_headers[RECOGNIZER_HEADER_COUNT] = {
    RECOG("Confidence-Threshold", NULL, LEVEL, confidence_threshold),
    RECOG("Sensitivity-Level", NULL, LEVEL, sensitivity_level),
    RECOG("Speed-Vs-Accuracy", NULL, LEVEL, speed_vs_accuracy),
    RECOG("N-Best-List-Length", NULL, SIZE, n_best_list_length),
    RECOG("Input-Type", NULL, STRING, input_type),
    RECOG("No-Input-Timeout", NULL, SIZE, no_input_timeout),
    RECOG("Recognition-Timeout", NULL, SIZE, recognition_timeout),
    RECOG("Waveform-URI", "Waveform-URL", STRING, waveform_uri),
    RECOG("Input-Waveform-URI", NULL, STRING, input_waveform_uri),
    RECOG("Completion-Cause", NULL, CAUSE, completion_cause),
    RECOG("Completion-Reason", NULL, STRING, completion_reason),
    RECOG("Recognizer-Context-Block", NULL, STRING, recognizer_context_block),
    RECOG("Start-Input-Timers", "Recognizer-Start-Timers", BOOL, start_input_timers),
    RECOG("Speech-Complete-Timeout", NULL, SIZE, speech_complete_timeout),
    RECOG("Speech-Incomplete-Timeout", NULL, SIZE, speech_incomplete_timeout),
    RECOG("DTMF-Interdigit-Timeout", NULL, SIZE, dtmf_interdigit_timeout),
    RECOG("DTMF-Term-Timeout", NULL, SIZE, dtmf_term_timeout),
    RECOG("DTMF-Term-Char", NULL, CHAR, dtmf_term_char),
    RECOG("Failed-URI", NULL, STRING, failed_uri),
    RECOG("Failed-URI-Cause", NULL, STRING, failed_uri_cause),
    RECOG("Save-Waveform", NULL, BOOL, save_waveform),
    RECOG("Media-Type", NULL, STRING, media_type),
    RECOG("New-Audio-Channel", NULL, BOOL, new_audio_channel),
    RECOG("Speech-Language", NULL, STRING, speech_language),
    RECOG("Ver-Buffer-Utterance", NULL, BOOL, ver_buffer_utterance),
    RECOG("Recognition-Mode", NULL, STRING, recognition_mode),
    RECOG("Cancel-If-Queue", NULL, BOOL, cancel_if_queue),
    RECOG("Hotword-Max-Duration", NULL, SIZE, hotword_max_duration),
    RECOG("Hotword-Min-Duration", NULL, SIZE, hotword_min_duration),
    RECOG("Interpret-Text", NULL, STRING, interpret_text),
    RECOG("DTMF-Buffer-Time", NULL, SIZE, dtmf_buffer_time),
    RECOG("Clear-DTMF-Buffer", NULL, BOOL, clear_dtmf_buffer),
    RECOG("Early-No-Match", NULL, BOOL, early_no_match),
};

const mrcp_header_def_t* mrcp_header_def_get(mrcp_header_group_e group, apr_size_t id) {
    if (group == MRCP_HEADER_GROUP_GENERIC && id < GENERIC_HEADER_COUNT) {
        return &generic_headers[id];
    }
    if (group == MRCP_HEADER_GROUP_RESOURCE && id < RECOGNIZER_HEADER_COUNT) {
        return &recog_headers[id];
    }
    return NULL;
}

apr_size_t mrcp_header_count_get(mrcp_header_group_e group) {
    switch (group) {
        case MRCP_HEADER_GROUP_GENERIC:
            return GENERIC_HEADER_COUNT;
        case MRCP_HEADER_GROUP_RESOURCE:
            return RECOGNIZER_HEADER_COUNT;
        default:
            return 0;
    }
}

static const char* def_name(const mrcp_header_def_t* def, mrcp_version_e version) {
    return (version == MRCP_VERSION_1 && def->name_v1) ? def->name_v1 : def->name;
}

const char* mrcp_generic_header_name_get(apr_size_t id, mrcp_version_e version) {
    const mrcp_header_def_t* def = mrcp_header_def_get(MRCP_HEADER_GROUP_GENERIC, id);
    return def ? def_name(def, version) : NULL;
}

const char* mrcp_resource_header_name_get(apr_size_t id, mrcp_version_e version) {
    const mrcp_header_def_t* def = mrcp_header_def_get(MRCP_HEADER_GROUP_RESOURCE, id);
    return def ? def_name(def, version) : NULL;
}

apt_bool_t mrcp_header_find(const char* name, apr_size_t length, mrcp_version_e version,
                            mrcp_header_group_e* group, apr_size_t* id) {
    for (int g = MRCP_HEADER_GROUP_GENERIC; g <= MRCP_HEADER_GROUP_RESOURCE; g++) {
        apr_size_t count = mrcp_header_count_get((mrcp_header_group_e)g);
        for (apr_size_t i = 0; i < count; i++) {
            const char* known = def_name(mrcp_header_def_get((mrcp_header_group_e)g, i), version);
            if (strlen(known) == length && strncasecmp(known, name, length) == 0) {
                *group = (mrcp_header_group_e)g;
                *id = i;
                return TRUE;
            }
        }
    }
    return FALSE;
}

static void* value_field(mrcp_message_t* message, mrcp_header_group_e group,
                         const mrcp_header_def_t* def) {
    char* base = group == MRCP_HEADER_GROUP_GENERIC ? (char*)&message->generic_header
                                                    : (char*)&message->resource_header;
    return base + def->offset;
}

/* Decimal digits only, at most max_digits of them; FALSE on anything else. */
static apt_bool_t digits_parse(const char* text, apr_size_t length, apr_size_t max_digits,
                               apr_uint64_t* value) {
    if (length == 0 || length > max_digits) {
        return FALSE;
    }
    apr_uint64_t result = 0;
    for (apr_size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') {
            return FALSE;
        }
        result = result * 10 + (apr_uint64_t)(text[i] - '0');
    }
    *value = result;
    return TRUE;
}

static apr_size_t trimmed(const char** text, apr_size_t length) {
    while (length > 0 && (**text == ' ' || **text == '\t')) {
        (*text)++;
        length--;
    }
    while (length > 0 && ((*text)[length - 1] == ' ' || (*text)[length - 1] == '\t')) {
        length--;
    }
    return length;
}

/* 0.0 to 1.0 as *DIGIT ["." *DIGIT] with at least one digit. */
static apt_bool_t level_parse(const char* text, apr_size_t length, float* value) {
    double result = 0;
    double scale = 0;
    apr_size_t digit_count = 0;
    for (apr_size_t i = 0; i < length; i++) {
        if (text[i] == '.' && scale == 0) {
            scale = 1;
        } else if (text[i] >= '0' && text[i] <= '9' && digit_count < 20) {
            digit_count++;
            if (scale == 0) {
                result = result * 10 + (text[i] - '0');
            } else {
                scale /= 10;
                result += (text[i] - '0') * scale;
            }
        } else {
            return FALSE;
        }
    }
    if (digit_count == 0 || result > 1.0) {
        return FALSE;
    }
    *value = (float)result;
    return TRUE;
}

static apt_bool_t pairs_parse(const char* text, apr_size_t length, apr_pool_t* pool,
                              apt_pair_arr_t** result) {
    apt_pair_arr_t* pairs = apt_pair_array_create(2, pool);
    apr_size_t start = 0;
    while (start < length) {
        /* A pair ends at the next ';' outside double quotes. */
        apr_size_t end = start;
        apt_bool_t quoted = FALSE;
        while (end < length && (quoted || text[end] != ';')) {
            if (text[end] == '"') {
                quoted = !quoted;
            }
            end++;
        }
        if (quoted) {
            return FALSE;
        }
        const char* item = text + start;
        apr_size_t item_length = trimmed(&item, end - start);
        const char* equals = memchr(item, '=', item_length);
        const char* name = item;
        apr_size_t name_length = trimmed(&name, equals ? (apr_size_t)(equals - item) : item_length);
        if (name_length == 0) {
            return FALSE;
        }
        apt_str_t name_str = {(char*)name, name_length};
        if (equals) {
            const char* value = equals + 1;
            apr_size_t value_length = trimmed(&value, item_length - (apr_size_t)(value - item));
            apt_str_t value_str = {(char*)value, value_length};
            apt_pair_array_append(pairs, &name_str, &value_str, pool);
        } else {
            apt_pair_array_append(pairs, &name_str, NULL, pool);
        }
        start = end + 1;
    }
    *result = pairs;
    return TRUE;
}

static apt_bool_t id_list_parse(const char* text, apr_size_t length, mrcp_request_id_list_t* list) {
    mrcp_request_id_list_t result;
    result.count = 0;
    apr_size_t start = 0;
    do {
        apr_size_t end = start;
        while (end < length && text[end] != ',') {
            end++;
        }
        const char* item = text + start;
        apr_size_t item_length = trimmed(&item, end - start);
        apr_uint64_t id;
        if (result.count == MRCP_MAX_ACTIVE_REQUEST_ID_COUNT ||
            !digits_parse(item, item_length, 10, &id) || id > MRCP_REQUEST_ID_MAX) {
            return FALSE;
        }
        result.ids[result.count++] = (mrcp_request_id)id;
        start = end + 1;
    } while (start <= length);
    *list = result;
    return TRUE;
}

apt_bool_t mrcp_header_value_parse(mrcp_message_t* message, mrcp_header_group_e group,
                                   apr_size_t id, const char* value, apr_size_t length) {
    const mrcp_header_def_t* def = mrcp_header_def_get(group, id);
    if (!def) {
        return FALSE;
    }
    void* field = value_field(message, group, def);
    mrcp_version_e version = message->start_line.version;
    apr_uint64_t number;
    switch (def->type) {
        case MRCP_VALUE_STRING:
            apt_string_assign_n(field, value, length, message->pool);
            return TRUE;
        case MRCP_VALUE_SIZE:
            if (!digits_parse(value, length, 19, &number)) {
                return FALSE;
            }
            *(apr_size_t*)field = (apr_size_t)number;
            return TRUE;
        case MRCP_VALUE_LEVEL:
            if (version == MRCP_VERSION_1) {
                if (!digits_parse(value, length, 3, &number) || number > 100) {
                    return FALSE;
                }
                *(float*)field = (float)number / 100.0f;
                return TRUE;
            }
            return level_parse(value, length, field);
        case MRCP_VALUE_BOOL:
            if (length == 4 && strncasecmp(value, "true", 4) == 0) {
                *(apt_bool_t*)field = TRUE;
            } else if (length == 5 && strncasecmp(value, "false", 5) == 0) {
                *(apt_bool_t*)field = FALSE;
            } else {
                return FALSE;
            }
            return TRUE;
        case MRCP_VALUE_CHAR:
            if (length != 1 || value[0] < 0x21 || value[0] > 0x7E) {
                return FALSE;
            }
            *(char*)field = value[0];
            return TRUE;
        case MRCP_VALUE_CAUSE:
            /* "NNN" optionally followed by the cause's name, which is not checked. */
            if (length < 3 || !digits_parse(value, 3, 3, &number) ||
                (length > 3 && value[3] != ' ' && value[3] != '\t') ||
                !mrcp_recog_completion_cause_get((int)number, version)) {
                return FALSE;
            }
            *(mrcp_recog_completion_cause_e*)field = (mrcp_recog_completion_cause_e)number;
            return TRUE;
        case MRCP_VALUE_PAIRS:
            return pairs_parse(value, length, message->pool, field);
        case MRCP_VALUE_ID_LIST:
            return id_list_parse(value, length, field);
    }
    return FALSE;
}

/* Shortest fixed-point text with at least one decimal ("0.5", "1.0", "0.75"). */
static const char* level_generate(float value, apr_pool_t* pool) {
    char* text = apr_psprintf(pool, "%.6f", (double)value);
    apr_size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '0' && text[length - 2] != '.') {
        text[--length] = '\0';
    }
    return text;
}

static const char* pairs_generate(const apt_pair_arr_t* pairs, apr_pool_t* pool) {
    const char* text = "";
    for (apr_size_t i = 0; i < apt_pair_array_size_get(pairs); i++) {
        const apt_pair_t* pair = apt_pair_array_get(pairs, i);
        text = apr_psprintf(pool, "%s%s%.*s%s%.*s", text, i ? ";" : "", (int)pair->name.length,
                            pair->name.buf ? pair->name.buf : "", pair->value.buf ? "=" : "",
                            (int)pair->value.length, pair->value.buf ? pair->value.buf : "");
    }
    return text;
}

static const char* id_list_generate(const mrcp_request_id_list_t* list, apr_pool_t* pool) {
    const char* text = "";
    for (apr_size_t i = 0; i < list->count && i < MRCP_MAX_ACTIVE_REQUEST_ID_COUNT; i++) {
        text = apr_psprintf(pool, "%s%s%u", text, i ? "," : "", (unsigned)list->ids[i]);
    }
    return text;
}

const char* mrcp_header_value_generate(const mrcp_message_t* message, mrcp_header_group_e group,
                                       apr_size_t id, apr_pool_t* pool) {
    const mrcp_header_def_t* def = mrcp_header_def_get(group, id);
    if (!def) {
        return NULL;
    }
    const void* field = value_field((mrcp_message_t*)message, group, def);
    mrcp_version_e version = message->start_line.version;
    switch (def->type) {
        case MRCP_VALUE_STRING: {
            const apt_str_t* str = field;
            return str->buf ? apr_pstrmemdup(pool, str->buf, str->length) : "";
        }
        case MRCP_VALUE_SIZE:
            return apr_psprintf(pool, "%" APR_SIZE_T_FMT, *(const apr_size_t*)field);
        case MRCP_VALUE_LEVEL: {
            float level = *(const float*)field;
            level = level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
            if (version == MRCP_VERSION_1) {
                return apr_psprintf(pool, "%ld", lround(level * 100.0));
            }
            return level_generate(level, pool);
        }
        case MRCP_VALUE_BOOL:
            return *(const apt_bool_t*)field ? "true" : "false";
        case MRCP_VALUE_CHAR: {
            char c = *(const char*)field;
            return (c >= 0x21 && c <= 0x7E) ? apr_psprintf(pool, "%c", c) : NULL;
        }
        case MRCP_VALUE_CAUSE: {
            int cause = (int)*(const mrcp_recog_completion_cause_e*)field;
            const apt_str_t* name = mrcp_recog_completion_cause_get(cause, version);
            return !name ? NULL : apr_psprintf(pool, "%03d %s", cause, name->buf);
        }
        case MRCP_VALUE_PAIRS:
            return pairs_generate(*(apt_pair_arr_t* const*)field, pool);
        case MRCP_VALUE_ID_LIST:
            return id_list_generate(field, pool);
    }
    return NULL;
}
