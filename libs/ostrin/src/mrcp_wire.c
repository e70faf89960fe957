/* MRCP wire format: parsing and generation of MRCPv2 and MRCPv1 messages. */
#include "ostrin/mrcp_wire.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <apr_strings.h>

#include "mrcp_header.h"

#define MRCP_V1_NAME "MRCP/1.0"
#define MRCP_V2_NAME "MRCP/2.0"
#define CHANNEL_ID_NAME "Channel-Identifier"
#define CRLF "\r\n"
/* Start lines have at most five tokens. */
#define START_LINE_MAX_TOKENS 5

/* ---------------------------------------------------------------- errors */

/* Fills error with "what [excerpt]"; the excerpt shows at most 80 characters, non-printable
 * ones as '?', so that the text is safe to log. */
static mrcp_wire_status_e fail(mrcp_wire_error_t* error, mrcp_wire_status_e status,
                               apr_size_t offset, const char* what, const char* excerpt,
                               apr_size_t excerpt_length) {
    if (!error) {
        return status;
    }
    error->status = status;
    error->offset = offset;
    char shown[84];
    apr_size_t count = excerpt_length > 80 ? 80 : excerpt_length;
    for (apr_size_t i = 0; i < count; i++) {
        unsigned char c = (unsigned char)excerpt[i];
        shown[i] = (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    }
    if (excerpt_length > count) {
        memcpy(shown + count, "...", 3);
        count += 3;
    }
    shown[count] = '\0';
    if (excerpt) {
        snprintf(error->text, sizeof(error->text), "%s [%s]", what, shown);
    } else {
        snprintf(error->text, sizeof(error->text), "%s", what);
    }
    return status;
}

const char* mrcp_wire_status_name_get(mrcp_wire_status_e status) {
    static const char* const names[] = {"OK",
                                        "Incomplete Message",
                                        "Bad Start Line",
                                        "Unknown Method",
                                        "Bad Header",
                                        "Bad Header Value",
                                        "Length Mismatch",
                                        "Message Too Large",
                                        "Missing Channel-Identifier",
                                        "Bad Message",
                                        "Bad Header Text"};
    return ((int)status >= 0 && (size_t)status < sizeof(names) / sizeof(names[0])) ? names[status]
                                                                                   : "Unknown";
}

/* ---------------------------------------------------------------- parsing */

typedef struct parser_t {
    const char* buf;
    apr_size_t length; /* bytes that belong to the message, as far as known */
    apr_size_t pos;
    apt_bool_t stream; /* more bytes may follow (consumed requested) */
    mrcp_wire_error_t* error;
} parser_t;

/* The next line [start, *line_length) and the offset after its end; FALSE without an LF. */
static apt_bool_t line_next(const parser_t* parser, apr_size_t* line_length, apr_size_t* next) {
    const char* start = parser->buf + parser->pos;
    const char* lf = memchr(start, '\n', parser->length - parser->pos);
    if (!lf) {
        return FALSE;
    }
    apr_size_t length = (apr_size_t)(lf - start);
    *next = parser->pos + length + 1;
    if (length > 0 && start[length - 1] == '\r') {
        length--;
    }
    *line_length = length;
    return TRUE;
}

static apt_bool_t text_is_clean(const char* text, apr_size_t length) {
    for (apr_size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            return FALSE;
        }
    }
    return TRUE;
}

static apt_bool_t number_parse(const apt_str_t* token, apr_size_t max_digits, apr_uint64_t* value) {
    if (token->length == 0 || token->length > max_digits) {
        return FALSE;
    }
    apr_uint64_t result = 0;
    for (apr_size_t i = 0; i < token->length; i++) {
        if (token->buf[i] < '0' || token->buf[i] > '9') {
            return FALSE;
        }
        result = result * 10 + (apr_uint64_t)(token->buf[i] - '0');
    }
    *value = result;
    return TRUE;
}

static apt_bool_t token_is(const apt_str_t* token, const char* text) {
    return token->length == strlen(text) && memcmp(token->buf, text, token->length) == 0;
}

static apt_bool_t request_id_parse(const apt_str_t* token, mrcp_request_id* id) {
    apr_uint64_t value;
    if (!number_parse(token, 10, &value) || value > MRCP_REQUEST_ID_MAX) {
        return FALSE;
    }
    *id = (mrcp_request_id)value;
    return TRUE;
}

static apt_bool_t request_state_parse(const apt_str_t* token, mrcp_request_state_e* state) {
    for (int i = 0; i < MRCP_REQUEST_STATE_COUNT; i++) {
        if (token_is(token, mrcp_request_state_name_get((mrcp_request_state_e)i))) {
            *state = (mrcp_request_state_e)i;
            return TRUE;
        }
    }
    return FALSE;
}

static apt_bool_t status_code_parse(const apt_str_t* token, mrcp_status_code_e* code) {
    apr_uint64_t value;
    if (token->length != 3 || !number_parse(token, 3, &value) || value < 100) {
        return FALSE;
    }
    *code = (mrcp_status_code_e)value;
    return TRUE;
}

/* Method (requests) or event (events) by name in the message's version. */
static apt_bool_t method_parse(mrcp_message_t* message, const apt_str_t* token) {
    apt_bool_t is_event = message->start_line.message_type == MRCP_MESSAGE_TYPE_EVENT;
    apr_size_t count = is_event ? RECOGNIZER_EVENT_COUNT : RECOGNIZER_METHOD_COUNT;
    for (apr_size_t id = 0; id < count; id++) {
        const char* name = is_event ? mrcp_event_name_get(id, message->start_line.version)
                                    : mrcp_method_name_get(id, message->start_line.version);
        if (name && token_is(token, name)) {
            message->start_line.method_id = id;
            apt_string_set(&message->start_line.method_name, name);
            return TRUE;
        }
    }
    return FALSE;
}

/* Splits a start line into tokens separated by single spaces. */
static apr_size_t tokens_split(const char* line, apr_size_t length, apt_str_t* tokens,
                               apt_bool_t* well_formed) {
    apr_size_t count = 0;
    apr_size_t start = 0;
    *well_formed = TRUE;
    for (apr_size_t i = 0; i <= length; i++) {
        if (i == length || line[i] == ' ') {
            if (i == start || count == START_LINE_MAX_TOKENS) {
                *well_formed = FALSE; /* empty token or too many */
                return count;
            }
            tokens[count].buf = (char*)line + start;
            tokens[count].length = i - start;
            count++;
            start = i + 1;
        }
    }
    return count;
}

/* Start line; for MRCPv2 also the message-length into *message_length. */
static mrcp_wire_status_e start_line_parse(parser_t* parser, mrcp_message_t* message,
                                           apr_size_t* message_length) {
    apr_size_t line_length;
    apr_size_t next;
    if (!line_next(parser, &line_length, &next)) {
        if (parser->stream && parser->length < MRCP_WIRE_MAX_MESSAGE_SIZE) {
            return MRCP_WIRE_INCOMPLETE;
        }
        return fail(parser->error, MRCP_WIRE_BAD_START_LINE, 0, "Start Line Not Terminated",
                    parser->buf, parser->length);
    }
    const char* line = parser->buf;
    apt_str_t tokens[START_LINE_MAX_TOKENS];
    apt_bool_t well_formed;
    apr_size_t count = tokens_split(line, line_length, tokens, &well_formed);
    mrcp_start_line_t* start = &message->start_line;
    apt_bool_t ok = well_formed && text_is_clean(line, line_length);
    const apt_str_t* method = NULL;
    if (ok && count >= 4 && token_is(&tokens[0], MRCP_V2_NAME)) {
        apr_uint64_t value = 0;
        start->version = MRCP_VERSION_2;
        ok = number_parse(&tokens[1], 10, &value);
        if (ok && value > MRCP_WIRE_MAX_MESSAGE_SIZE) {
            return fail(parser->error, MRCP_WIRE_TOO_LARGE, 0, "Message Too Large", line,
                        line_length);
        }
        *message_length = (apr_size_t)value;
        if (ok && count == 4) {
            start->message_type = MRCP_MESSAGE_TYPE_REQUEST;
            method = &tokens[2];
            ok = request_id_parse(&tokens[3], &start->request_id);
        } else if (ok && count == 5 && request_id_parse(&tokens[2], &start->request_id)) {
            start->message_type = MRCP_MESSAGE_TYPE_RESPONSE;
            start->method_id = RECOGNIZER_METHOD_COUNT;
            ok = status_code_parse(&tokens[3], &start->status_code) &&
                 request_state_parse(&tokens[4], &start->request_state);
        } else if (ok && count == 5) {
            start->message_type = MRCP_MESSAGE_TYPE_EVENT;
            method = &tokens[2];
            ok = request_id_parse(&tokens[3], &start->request_id) &&
                 request_state_parse(&tokens[4], &start->request_state);
        } else {
            ok = FALSE;
        }
    } else if (ok && count == 4 && token_is(&tokens[0], MRCP_V1_NAME)) {
        start->version = MRCP_VERSION_1;
        start->message_type = MRCP_MESSAGE_TYPE_RESPONSE;
        start->method_id = RECOGNIZER_METHOD_COUNT;
        ok = request_id_parse(&tokens[1], &start->request_id) &&
             status_code_parse(&tokens[2], &start->status_code) &&
             request_state_parse(&tokens[3], &start->request_state);
    } else if (ok && count == 3 && token_is(&tokens[2], MRCP_V1_NAME)) {
        start->version = MRCP_VERSION_1;
        start->message_type = MRCP_MESSAGE_TYPE_REQUEST;
        method = &tokens[0];
        ok = request_id_parse(&tokens[1], &start->request_id);
    } else if (ok && count == 4 && token_is(&tokens[3], MRCP_V1_NAME)) {
        start->version = MRCP_VERSION_1;
        start->message_type = MRCP_MESSAGE_TYPE_EVENT;
        method = &tokens[0];
        ok = request_id_parse(&tokens[1], &start->request_id) &&
             request_state_parse(&tokens[2], &start->request_state);
    } else {
        ok = FALSE;
    }
    if (!ok) {
        return fail(parser->error, MRCP_WIRE_BAD_START_LINE, 0, "Bad Start Line", line,
                    line_length);
    }
    if (method && !method_parse(message, method)) {
        return fail(
            parser->error, MRCP_WIRE_UNKNOWN_METHOD, 0,
            start->message_type == MRCP_MESSAGE_TYPE_EVENT ? "Unknown Event" : "Unknown Method",
            method->buf, method->length);
    }
    parser->pos = next;
    return MRCP_WIRE_OK;
}

static apt_bool_t channel_id_parse(mrcp_message_t* message, const char* value, apr_size_t length) {
    const char* at = memchr(value, '@', length);
    if (!at || at == value || at == value + length - 1 ||
        memchr(at + 1, '@', length - (apr_size_t)(at + 1 - value))) {
        return FALSE;
    }
    apr_size_t session_length = (apr_size_t)(at - value);
    apr_size_t resource_length = length - session_length - 1;
    if (memchr(value, ' ', length) || resource_length != strlen(MRCP_RECOGNIZER_RESOURCE_NAME) ||
        strncasecmp(at + 1, MRCP_RECOGNIZER_RESOURCE_NAME, resource_length) != 0) {
        return FALSE;
    }
    apt_string_assign_n(&message->channel_id.session_id, value, session_length, message->pool);
    apt_string_assign_n(&message->channel_id.resource_name, at + 1, resource_length, message->pool);
    return TRUE;
}

/* One header line. */
static mrcp_wire_status_e header_parse(parser_t* parser, mrcp_message_t* message, const char* line,
                                       apr_size_t length, apt_bool_t* channel_id_seen) {
    const char* colon = memchr(line, ':', length);
    apr_size_t name_length = colon ? (apr_size_t)(colon - line) : 0;
    for (apr_size_t i = 0; i < name_length; i++) {
        if (line[i] <= 0x20 || line[i] >= 0x7F) {
            name_length = 0; /* header names are tokens */
        }
    }
    if (name_length == 0) {
        return fail(parser->error, MRCP_WIRE_BAD_HEADER, parser->pos, "Bad Header", line, length);
    }
    const char* value = colon + 1;
    apr_size_t value_length = length - name_length - 1;
    while (value_length > 0 && (*value == ' ' || *value == '\t')) {
        value++;
        value_length--;
    }
    while (value_length > 0 &&
           (value[value_length - 1] == ' ' || value[value_length - 1] == '\t')) {
        value_length--;
    }
    if (!text_is_clean(value, value_length)) {
        return fail(parser->error, MRCP_WIRE_BAD_HEADER_VALUE, parser->pos, "Bad Header Value",
                    line, length);
    }

    if (message->start_line.version == MRCP_VERSION_2 && name_length == strlen(CHANNEL_ID_NAME) &&
        strncasecmp(line, CHANNEL_ID_NAME, name_length) == 0) {
        if (*channel_id_seen || !channel_id_parse(message, value, value_length)) {
            return fail(parser->error, MRCP_WIRE_BAD_HEADER, parser->pos, "Bad Channel-Identifier",
                        line, length);
        }
        *channel_id_seen = TRUE;
        return MRCP_WIRE_OK;
    }

    mrcp_header_group_e group;
    apr_size_t id;
    if (!mrcp_header_find(line, name_length, message->start_line.version, &group, &id)) {
        apt_pair_t* pair = apr_array_push(message->unknown_headers);
        apt_string_assign_n(&pair->name, line, name_length, message->pool);
        apt_string_assign_n(&pair->value, value, value_length, message->pool);
        mrcp_header_ref_t* ref = apr_array_push(message->header_order);
        ref->group = MRCP_HEADER_GROUP_UNKNOWN;
        ref->id = (apr_size_t)message->unknown_headers->nelts - 1;
        return MRCP_WIRE_OK;
    }
    apt_bool_t present = group == MRCP_HEADER_GROUP_GENERIC
                             ? mrcp_generic_header_property_check(message, id)
                             : mrcp_resource_header_property_check(message, id);
    /* Clients spread vendor parameters over several lines; any other header comes once. */
    apt_bool_t is_vendor_params =
        group == MRCP_HEADER_GROUP_GENERIC && id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS;
    if (present && !is_vendor_params) {
        return fail(parser->error, MRCP_WIRE_BAD_HEADER, parser->pos, "Duplicate Header", line,
                    length);
    }
    apr_byte_t* flag = group == MRCP_HEADER_GROUP_GENERIC ? &message->generic_present[id]
                                                          : &message->resource_present[id];
    /* GET-PARAMS names the headers it asks for, without values (RFC 6787, 6.2): present
     * without a value, written back empty. A further empty line adds nothing. */
    if (value_length == 0 && message->start_line.message_type == MRCP_MESSAGE_TYPE_REQUEST &&
        message->start_line.method_id == RECOGNIZER_GET_PARAMS) {
        if (!present) {
            if (group == MRCP_HEADER_GROUP_GENERIC) {
                mrcp_generic_header_property_add(message, id);
            } else {
                mrcp_resource_header_property_add(message, id);
            }
            *flag = MRCP_HEADER_PRESENT_EMPTY;
        }
        return MRCP_WIRE_OK;
    }
    apt_pair_arr_t* earlier_params = message->generic_header.vendor_specific_params;
    if (!mrcp_header_value_parse(message, group, id, value, value_length)) {
        return fail(parser->error, MRCP_WIRE_BAD_HEADER_VALUE, parser->pos, "Bad Header Value",
                    line, length);
    }
    if (present && is_vendor_params && earlier_params) {
        apr_array_cat(earlier_params, message->generic_header.vendor_specific_params);
        message->generic_header.vendor_specific_params = earlier_params;
    }
    if (group == MRCP_HEADER_GROUP_GENERIC) {
        mrcp_generic_header_property_add(message, id);
    } else {
        mrcp_resource_header_property_add(message, id);
    }
    *flag = 1; /* a value was given */
    return MRCP_WIRE_OK;
}

/* Header lines up to and including the empty line. */
static mrcp_wire_status_e headers_parse(parser_t* parser, mrcp_message_t* message) {
    apt_bool_t channel_id_seen = FALSE;
    for (;;) {
        apr_size_t line_length;
        apr_size_t next;
        if (!line_next(parser, &line_length, &next)) {
            if (parser->stream && message->start_line.version == MRCP_VERSION_1 &&
                parser->length < MRCP_WIRE_MAX_MESSAGE_SIZE) {
                return MRCP_WIRE_INCOMPLETE;
            }
            if (parser->length >= MRCP_WIRE_MAX_MESSAGE_SIZE) {
                return fail(parser->error, MRCP_WIRE_TOO_LARGE, parser->pos, "Message Too Large",
                            NULL, 0);
            }
            return fail(parser->error, MRCP_WIRE_LENGTH_MISMATCH, parser->pos,
                        "Headers Not Terminated", parser->buf + parser->pos,
                        parser->length - parser->pos);
        }
        const char* line = parser->buf + parser->pos;
        if (line_length == 0) {
            parser->pos = next;
            break;
        }
        mrcp_wire_status_e status =
            header_parse(parser, message, line, line_length, &channel_id_seen);
        if (status != MRCP_WIRE_OK) {
            return status;
        }
        parser->pos = next;
    }
    if (message->start_line.version == MRCP_VERSION_2 && !channel_id_seen) {
        return fail(parser->error, MRCP_WIRE_MISSING_CHANNEL_ID, 0, "Missing Channel-Identifier",
                    NULL, 0);
    }
    return MRCP_WIRE_OK;
}

mrcp_wire_status_e mrcp_message_parse(const char* buf, apr_size_t length, apr_pool_t* pool,
                                      mrcp_message_t** message, apr_size_t* consumed,
                                      mrcp_wire_error_t* error) {
    if (error) {
        memset(error, 0, sizeof(*error));
    }
    if ((!buf && length) || !pool || !message) {
        return fail(error, MRCP_WIRE_BAD_MESSAGE, 0, "No Input", NULL, 0);
    }
    if (!buf) {
        buf = "";
    }
    *message = NULL;
    parser_t parser = {buf, length, 0, consumed != NULL, error};
    if (!parser.stream && length > MRCP_WIRE_MAX_MESSAGE_SIZE) {
        return fail(error, MRCP_WIRE_TOO_LARGE, 0, "Message Too Large", NULL, 0);
    }
    if (parser.length > MRCP_WIRE_MAX_MESSAGE_SIZE) {
        parser.length = MRCP_WIRE_MAX_MESSAGE_SIZE;
    }
    mrcp_message_t* result = mrcp_message_create(pool);
    apr_size_t message_length = 0;
    mrcp_wire_status_e status = start_line_parse(&parser, result, &message_length);
    if (status != MRCP_WIRE_OK) {
        return status;
    }
    if (result->start_line.version == MRCP_VERSION_2) {
        /* The message-length fixes the message's extent before its headers are read. */
        if (message_length < parser.pos || (!parser.stream && message_length != length)) {
            return fail(error, MRCP_WIRE_LENGTH_MISMATCH, 0, "Message-Length Mismatch", buf,
                        parser.pos);
        }
        if (message_length > length) {
            return MRCP_WIRE_INCOMPLETE;
        }
        parser.length = message_length;
        result->start_line.length = message_length;
    }
    status = headers_parse(&parser, result);
    if (status != MRCP_WIRE_OK) {
        return status;
    }

    apr_size_t declared = 0;
    apt_bool_t has_content_length =
        mrcp_generic_header_property_check(result, GENERIC_HEADER_CONTENT_LENGTH);
    if (has_content_length) {
        declared = result->generic_header.content_length;
    }
    if (declared > MRCP_WIRE_MAX_MESSAGE_SIZE) {
        return fail(error, MRCP_WIRE_TOO_LARGE, parser.pos, "Content-Length Too Large", NULL, 0);
    }
    apr_size_t available = parser.length - parser.pos;
    if (result->start_line.version == MRCP_VERSION_2) {
        if (declared != available) {
            return fail(
                error, MRCP_WIRE_LENGTH_MISMATCH, parser.pos,
                has_content_length ? "Content-Length Mismatch" : "Body Without Content-Length",
                NULL, 0);
        }
    } else if (declared > available) {
        if (parser.stream && parser.pos + declared <= MRCP_WIRE_MAX_MESSAGE_SIZE) {
            return MRCP_WIRE_INCOMPLETE;
        }
        return fail(error, MRCP_WIRE_LENGTH_MISMATCH, parser.pos, "Content-Length Mismatch", NULL,
                    0);
    } else if (!parser.stream && declared != available) {
        return fail(error, MRCP_WIRE_LENGTH_MISMATCH, parser.pos, "Content-Length Mismatch", NULL,
                    0);
    }
    apt_string_assign_n(&result->body, buf + parser.pos, declared, pool);
    if (result->start_line.version == MRCP_VERSION_1) {
        result->start_line.length = parser.pos + declared;
    }
    if (consumed) {
        *consumed = parser.pos + declared;
    }
    *message = result;
    return MRCP_WIRE_OK;
}

/* ---------------------------------------------------------------- generation */

/* Pieces of text collected in order and joined once. */
typedef struct writer_t {
    apr_array_header_t* pieces; /* of apt_str_t */
    apr_size_t length;
    apr_pool_t* pool;
} writer_t;

static void write_n(writer_t* writer, const char* text, apr_size_t length) {
    apt_str_t* piece = apr_array_push(writer->pieces);
    piece->buf = (char*)text;
    piece->length = length;
    writer->length += length;
}

static void write_text(writer_t* writer, const char* text) {
    write_n(writer, text, strlen(text));
}

/* A header name is a token: visible characters other than ':'. */
static apt_bool_t name_is_token(const char* name, apr_size_t length) {
    if (length == 0) {
        return FALSE;
    }
    for (apr_size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c <= 0x20 || c >= 0x7F || c == ':') {
            return FALSE;
        }
    }
    return TRUE;
}

static void write_header(writer_t* writer, const char* name, const char* value) {
    write_text(writer, name);
    write_text(writer, ": ");
    write_text(writer, value);
    write_text(writer, CRLF);
}

/* The part of the start line after the version (and length): method or status. */
static const char* start_line_tail(const mrcp_message_t* message, apr_pool_t* pool) {
    const mrcp_start_line_t* start = &message->start_line;
    mrcp_version_e version = start->version;
    const char* state = mrcp_request_state_name_get(start->request_state);
    switch (start->message_type) {
        case MRCP_MESSAGE_TYPE_REQUEST: {
            const char* name = mrcp_method_name_get(start->method_id, version);
            if (!name) {
                return NULL;
            }
            return version == MRCP_VERSION_2
                       ? apr_psprintf(pool, "%s %u", name, (unsigned)start->request_id)
                       : apr_psprintf(pool, "%s %u " MRCP_V1_NAME, name,
                                      (unsigned)start->request_id);
        }
        case MRCP_MESSAGE_TYPE_RESPONSE:
            if (!state || start->status_code < 100 || start->status_code > 999) {
                return NULL;
            }
            return apr_psprintf(pool, "%s%u %d %s",
                                version == MRCP_VERSION_1 ? MRCP_V1_NAME " " : "",
                                (unsigned)start->request_id, (int)start->status_code, state);
        case MRCP_MESSAGE_TYPE_EVENT: {
            const char* name = mrcp_event_name_get(start->method_id, version);
            if (!name || !state) {
                return NULL;
            }
            return version == MRCP_VERSION_2
                       ? apr_psprintf(pool, "%s %u %s", name, (unsigned)start->request_id, state)
                       : apr_psprintf(pool, "%s %u %s " MRCP_V1_NAME, name,
                                      (unsigned)start->request_id, state);
        }
        default:
            return NULL;
    }
}

static apr_size_t digit_count(apr_size_t value) {
    apr_size_t count = 1;
    while (value >= 10) {
        value /= 10;
        count++;
    }
    return count;
}

mrcp_wire_status_e mrcp_message_generate(mrcp_message_t* message, apr_pool_t* pool, apt_str_t* text,
                                         mrcp_wire_error_t* error) {
    if (error) {
        memset(error, 0, sizeof(*error));
    }
    if (!message || !pool || !text) {
        return fail(error, MRCP_WIRE_BAD_MESSAGE, 0, "No Message", NULL, 0);
    }
    apt_string_reset(text);
    mrcp_version_e version = message->start_line.version;
    const char* tail = NULL;
    if (version == MRCP_VERSION_1 || version == MRCP_VERSION_2) {
        tail = start_line_tail(message, pool);
    }
    if (!tail) {
        return fail(error, MRCP_WIRE_BAD_MESSAGE, 0,
                    "Cannot Write Start Line (Version, Type, Method or State)", NULL, 0);
    }
    if (message->body.length > MRCP_WIRE_MAX_MESSAGE_SIZE) {
        return fail(error, MRCP_WIRE_TOO_LARGE, 0, "Body Too Large", NULL, 0);
    }

    writer_t headers = {apr_array_make(pool, 16, sizeof(apt_str_t)), 0, pool};
    if (version == MRCP_VERSION_2) {
        const mrcp_channel_id* channel_id = &message->channel_id;
        if (apt_string_is_empty(&channel_id->session_id)) {
            return fail(error, MRCP_WIRE_MISSING_CHANNEL_ID, 0, "Missing Channel-Identifier", NULL,
                        0);
        }
        const char* resource = apt_string_is_empty(&channel_id->resource_name)
                                   ? MRCP_RECOGNIZER_RESOURCE_NAME
                                   : channel_id->resource_name.buf;
        const char* value = apr_psprintf(pool, "%.*s@%s", (int)channel_id->session_id.length,
                                         channel_id->session_id.buf, resource);
        if (!text_is_clean(value, strlen(value))) {
            return fail(error, MRCP_WIRE_BAD_HEADER_TEXT, 0, "Control Character in Header Value",
                        CHANNEL_ID_NAME, strlen(CHANNEL_ID_NAME));
        }
        write_header(&headers, CHANNEL_ID_NAME, value);
    }
    /* Content-Length always tells the body's real length. */
    message->generic_header.content_length = message->body.length;
    if (message->body.length > 0) {
        mrcp_generic_header_property_add(message, GENERIC_HEADER_CONTENT_LENGTH);
    }
    for (int i = 0; i < message->header_order->nelts; i++) {
        const mrcp_header_ref_t* ref = &APR_ARRAY_IDX(message->header_order, i, mrcp_header_ref_t);
        if (ref->group == MRCP_HEADER_GROUP_UNKNOWN) {
            const apt_pair_t* pair = apt_pair_array_get(message->unknown_headers, ref->id);
            if (!pair) {
                continue;
            }
            /* Written verbatim, so a name that is not a token or a value with CR or LF would
             * forge further headers on the wire. */
            if (!pair->name.buf || !name_is_token(pair->name.buf, pair->name.length)) {
                return fail(error, MRCP_WIRE_BAD_HEADER_TEXT, 0, "Bad Header Name", pair->name.buf,
                            pair->name.buf ? pair->name.length : 0);
            }
            if (pair->value.buf && !text_is_clean(pair->value.buf, pair->value.length)) {
                return fail(error, MRCP_WIRE_BAD_HEADER_TEXT, 0,
                            "Control Character in Header Value", pair->name.buf, pair->name.length);
            }
            write_header(
                &headers, apr_pstrmemdup(pool, pair->name.buf, pair->name.length),
                apr_pstrmemdup(pool, pair->value.buf ? pair->value.buf : "", pair->value.length));
            continue;
        }
        apt_bool_t present = ref->group == MRCP_HEADER_GROUP_GENERIC
                                 ? mrcp_generic_header_property_check(message, ref->id)
                                 : mrcp_resource_header_property_check(message, ref->id);
        if (!present) {
            continue;
        }
        const mrcp_header_def_t* def = mrcp_header_def_get(ref->group, ref->id);
        const char* name = (version == MRCP_VERSION_1 && def->name_v1) ? def->name_v1 : def->name;
        /* An empty list says nothing (and "Active-Request-Id-List: " does not parse). */
        if (def->type == MRCP_VALUE_ID_LIST &&
            message->generic_header.active_request_id_list.count == 0) {
            continue;
        }
        const apr_byte_t flag = ref->group == MRCP_HEADER_GROUP_GENERIC
                                    ? message->generic_present[ref->id]
                                    : message->resource_present[ref->id];
        const char* value = flag == MRCP_HEADER_PRESENT_EMPTY
                                ? ""
                                : mrcp_header_value_generate(message, ref->group, ref->id, pool);
        if (!value) {
            return fail(error, MRCP_WIRE_BAD_HEADER_VALUE, 0, "Cannot Write Header Value", name,
                        strlen(name));
        }
        if (!text_is_clean(value, strlen(value))) {
            return fail(error, MRCP_WIRE_BAD_HEADER_TEXT, 0, "Control Character in Header Value",
                        name, strlen(name));
        }
        write_header(&headers, name, value);
    }
    write_text(&headers, CRLF);

    const char* start_line;
    if (version == MRCP_VERSION_2) {
        /* message-length counts the whole message, its own digits included. */
        apr_size_t rest =
            strlen(MRCP_V2_NAME " ") + 1 + strlen(tail) + 2 + headers.length + message->body.length;
        apr_size_t digits = digit_count(rest);
        while (digit_count(rest + digits) != digits) {
            digits++;
        }
        message->start_line.length = rest + digits;
        start_line = apr_psprintf(pool, MRCP_V2_NAME " %" APR_SIZE_T_FMT " %s" CRLF,
                                  message->start_line.length, tail);
    } else {
        start_line = apr_pstrcat(pool, tail, CRLF, NULL);
    }

    apr_size_t start_length = strlen(start_line);
    apr_size_t total = start_length + headers.length + message->body.length;
    char* out = apr_palloc(pool, total + 1);
    memcpy(out, start_line, start_length);
    apr_size_t pos = start_length;
    for (int i = 0; i < headers.pieces->nelts; i++) {
        const apt_str_t* piece = &APR_ARRAY_IDX(headers.pieces, i, apt_str_t);
        memcpy(out + pos, piece->buf, piece->length);
        pos += piece->length;
    }
    if (message->body.length > 0) {
        memcpy(out + pos, message->body.buf, message->body.length);
    }
    out[total] = '\0';
    if (version == MRCP_VERSION_1) {
        message->start_line.length = total;
    }
    text->buf = out;
    text->length = total;
    return MRCP_WIRE_OK;
}
