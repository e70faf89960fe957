/* MRCP messages: creation, presence of headers, names of methods, events and causes. */
#include "ostrin/mrcp_message.h"

#include <string.h>

#include <apr_strings.h>

#include "mrcp_header.h"

#define STR(text) \
    { (char*)text, sizeof(text) - 1 }

static const char* const method_names_v2[RECOGNIZER_METHOD_COUNT] = {"SET-PARAMS",
                                                                     "GET-PARAMS",
                                                                     "DEFINE-GRAMMAR",
                                                                     "RECOGNIZE",
                                                                     "INTERPRET",
                                                                     "GET-RESULT",
                                                                     "START-INPUT-TIMERS",
                                                                     "STOP",
                                                                     "START-PHRASE-ENROLLMENT",
                                                                     "ENROLLMENT-ROLLBACK",
                                                                     "END-PHRASE-ENROLLMENT",
                                                                     "MODIFY-PHRASE",
                                                                     "DELETE-PHRASE"};
static const char* const method_names_v1[RECOGNIZER_METHOD_COUNT] = {
    "SET-PARAMS", "GET-PARAMS", "DEFINE-GRAMMAR",           "RECOGNIZE",
    NULL,         "GET-RESULT", "RECOGNITION-START-TIMERS", "STOP"};
static const char* const event_names_v2[RECOGNIZER_EVENT_COUNT] = {
    "START-OF-INPUT", "RECOGNITION-COMPLETE", "INTERPRETATION-COMPLETE"};
static const char* const event_names_v1[RECOGNIZER_EVENT_COUNT] = {"START-OF-SPEECH",
                                                                   "RECOGNITION-COMPLETE", NULL};
static const char* const request_state_names[MRCP_REQUEST_STATE_COUNT] = {"COMPLETE", "IN-PROGRESS",
                                                                          "PENDING"};

/* Recognizer completion causes of MRCPv2 (RFC 6787). */
static const apt_str_t completion_causes_v2[] = {STR("success"),
                                                 STR("no-match"),
                                                 STR("no-input-timeout"),
                                                 STR("hotword-maxtime"),
                                                 STR("grammar-load-failure"),
                                                 STR("grammar-compilation-failure"),
                                                 STR("recognizer-error"),
                                                 STR("speech-too-early"),
                                                 STR("success-maxtime"),
                                                 STR("uri-failure"),
                                                 STR("language-unsupported"),
                                                 STR("cancelled"),
                                                 STR("semantics-failure"),
                                                 STR("partial-match"),
                                                 STR("partial-match-maxtime"),
                                                 STR("no-match-maxtime"),
                                                 STR("grammar-definition-failure")};
/* Recognizer completion causes of MRCPv1 (RFC 4463). */
static const apt_str_t completion_causes_v1[] = {STR("success"),
                                                 STR("no-match"),
                                                 STR("no-input-timeout"),
                                                 STR("recognition-timeout"),
                                                 STR("gram-load-failure"),
                                                 STR("gram-comp-failure"),
                                                 STR("error"),
                                                 STR("speech-too-early"),
                                                 STR("too-much-speech-timeout"),
                                                 STR("uri-failure"),
                                                 STR("language-unsupported")};

#define COUNT_OF(array) (sizeof(array) / sizeof((array)[0]))

const apt_str_t* mrcp_recog_completion_cause_get(int cause, int version) {
    if (cause < 0) {
        return NULL;
    }
    if (version == MRCP_VERSION_2 && (size_t)cause < COUNT_OF(completion_causes_v2)) {
        return &completion_causes_v2[cause];
    }
    if (version == MRCP_VERSION_1 && (size_t)cause < COUNT_OF(completion_causes_v1)) {
        return &completion_causes_v1[cause];
    }
    return NULL;
}

const char* mrcp_method_name_get(mrcp_method_id id, mrcp_version_e version) {
    if (id >= RECOGNIZER_METHOD_COUNT) {
        return NULL;
    }
    return version == MRCP_VERSION_2   ? method_names_v2[id]
           : version == MRCP_VERSION_1 ? method_names_v1[id]
                                       : NULL;
}

const char* mrcp_event_name_get(mrcp_method_id id, mrcp_version_e version) {
    if (id >= RECOGNIZER_EVENT_COUNT) {
        return NULL;
    }
    return version == MRCP_VERSION_2   ? event_names_v2[id]
           : version == MRCP_VERSION_1 ? event_names_v1[id]
                                       : NULL;
}

const char* mrcp_request_state_name_get(mrcp_request_state_e state) {
    return ((int)state >= 0 && state < MRCP_REQUEST_STATE_COUNT) ? request_state_names[state]
                                                                 : NULL;
}

mrcp_message_t* mrcp_message_create(apr_pool_t* pool) {
    if (!pool) {
        return NULL;
    }
    mrcp_message_t* message = apr_pcalloc(pool, sizeof(*message));
    message->pool = pool;
    message->resource_id = MRCP_RECOGNIZER_RESOURCE;
    message->start_line.request_state = MRCP_REQUEST_STATE_UNKNOWN;
    message->resource_header.completion_cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
    message->header_order = apr_array_make(pool, 8, sizeof(mrcp_header_ref_t));
    message->unknown_headers = apt_pair_array_create(1, pool);
    return message;
}

mrcp_message_t* mrcp_request_create(mrcp_version_e version, mrcp_method_id method_id,
                                    apr_pool_t* pool) {
    const char* name = mrcp_method_name_get(method_id, version);
    if (!name) {
        return NULL;
    }
    mrcp_message_t* message = mrcp_message_create(pool);
    if (!message) {
        return NULL;
    }
    message->start_line.version = version;
    message->start_line.message_type = MRCP_MESSAGE_TYPE_REQUEST;
    message->start_line.method_id = method_id;
    apt_string_set(&message->start_line.method_name, name);
    apt_string_set(&message->channel_id.resource_name, MRCP_RECOGNIZER_RESOURCE_NAME);
    return message;
}

/* A message answering request: same version, channel and request id. */
static mrcp_message_t* answer_create(const mrcp_message_t* request, apr_pool_t* pool) {
    if (!request) {
        return NULL;
    }
    mrcp_message_t* message = mrcp_message_create(pool ? pool : request->pool);
    if (!message) {
        return NULL;
    }
    message->resource_id = request->resource_id;
    message->start_line.version = request->start_line.version;
    message->start_line.request_id = request->start_line.request_id;
    apt_string_copy(&message->channel_id.session_id, &request->channel_id.session_id,
                    message->pool);
    apt_string_copy(&message->channel_id.resource_name, &request->channel_id.resource_name,
                    message->pool);
    return message;
}

mrcp_message_t* mrcp_response_create(const mrcp_message_t* request, apr_pool_t* pool) {
    mrcp_message_t* response = answer_create(request, pool);
    if (!response) {
        return NULL;
    }
    response->start_line.message_type = MRCP_MESSAGE_TYPE_RESPONSE;
    response->start_line.method_id = request->start_line.method_id;
    apt_string_copy(&response->start_line.method_name, &request->start_line.method_name,
                    response->pool);
    response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
    response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    return response;
}

mrcp_message_t* mrcp_event_create(const mrcp_message_t* request, mrcp_method_id event_id,
                                  apr_pool_t* pool) {
    const char* name = request ? mrcp_event_name_get(event_id, request->start_line.version) : NULL;
    if (!name) {
        return NULL;
    }
    mrcp_message_t* event = answer_create(request, pool);
    if (!event) {
        return NULL;
    }
    event->start_line.message_type = MRCP_MESSAGE_TYPE_EVENT;
    event->start_line.method_id = event_id;
    apt_string_set(&event->start_line.method_name, name);
    event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    return event;
}

mrcp_generic_header_t* mrcp_generic_header_get(mrcp_message_t* message) {
    return message ? &message->generic_header : NULL;
}

mrcp_recog_header_t* mrcp_resource_header_get(mrcp_message_t* message) {
    return message ? &message->resource_header : NULL;
}

mrcp_generic_header_t* mrcp_generic_header_prepare(mrcp_message_t* message) {
    return mrcp_generic_header_get(message);
}

mrcp_recog_header_t* mrcp_resource_header_prepare(mrcp_message_t* message) {
    return mrcp_resource_header_get(message);
}

static apr_byte_t* presence_get(const mrcp_message_t* message, mrcp_header_group_e group,
                                apr_size_t id) {
    if (!message || id >= mrcp_header_count_get(group)) {
        return NULL;
    }
    return (apr_byte_t*)(group == MRCP_HEADER_GROUP_GENERIC ? &message->generic_present[id]
                                                            : &message->resource_present[id]);
}

static apt_bool_t presence_add(mrcp_message_t* message, mrcp_header_group_e group, apr_size_t id) {
    apr_byte_t* present = presence_get(message, group, id);
    if (!present) {
        return FALSE;
    }
    if (*present) {
        return TRUE;
    }
    *present = 1;
    /* A header removed earlier keeps its place in the order. */
    for (int i = 0; i < message->header_order->nelts; i++) {
        const mrcp_header_ref_t* ref = &APR_ARRAY_IDX(message->header_order, i, mrcp_header_ref_t);
        if (ref->group == group && ref->id == id) {
            return TRUE;
        }
    }
    mrcp_header_ref_t* ref = apr_array_push(message->header_order);
    ref->group = group;
    ref->id = id;
    return TRUE;
}

static apt_bool_t presence_remove(mrcp_message_t* message, mrcp_header_group_e group,
                                  apr_size_t id) {
    apr_byte_t* present = presence_get(message, group, id);
    if (!present) {
        return FALSE;
    }
    *present = 0;
    return TRUE;
}

apt_bool_t mrcp_generic_header_property_add(mrcp_message_t* message, apr_size_t id) {
    return presence_add(message, MRCP_HEADER_GROUP_GENERIC, id);
}

apt_bool_t mrcp_resource_header_property_add(mrcp_message_t* message, apr_size_t id) {
    return presence_add(message, MRCP_HEADER_GROUP_RESOURCE, id);
}

apt_bool_t mrcp_generic_header_property_remove(mrcp_message_t* message, apr_size_t id) {
    return presence_remove(message, MRCP_HEADER_GROUP_GENERIC, id);
}

apt_bool_t mrcp_resource_header_property_remove(mrcp_message_t* message, apr_size_t id) {
    return presence_remove(message, MRCP_HEADER_GROUP_RESOURCE, id);
}

apt_bool_t mrcp_generic_header_property_check(const mrcp_message_t* message, apr_size_t id) {
    const apr_byte_t* present = presence_get(message, MRCP_HEADER_GROUP_GENERIC, id);
    return present && *present;
}

apt_bool_t mrcp_resource_header_property_check(const mrcp_message_t* message, apr_size_t id) {
    const apr_byte_t* present = presence_get(message, MRCP_HEADER_GROUP_RESOURCE, id);
    return present && *present;
}

apt_bool_t mrcp_message_unknown_header_add(mrcp_message_t* message, const char* name,
                                           const char* value) {
    if (!message || !name || !*name) {
        return FALSE;
    }
    apt_str_t name_str;
    apt_str_t value_str;
    apt_string_set(&name_str, name);
    apt_string_set(&value_str, value ? value : "");
    apt_pair_array_append(message->unknown_headers, &name_str, &value_str, message->pool);
    mrcp_header_ref_t* ref = apr_array_push(message->header_order);
    ref->group = MRCP_HEADER_GROUP_UNKNOWN;
    ref->id = apt_pair_array_size_get(message->unknown_headers) - 1;
    return TRUE;
}

const apt_str_t* mrcp_message_unknown_header_get(const mrcp_message_t* message, const char* name) {
    for (apr_size_t i = 0; message && name && i < apt_pair_array_size_get(message->unknown_headers);
         i++) {
        const apt_pair_t* pair = apt_pair_array_get(message->unknown_headers, i);
        if (apt_string_equals_ci(&pair->name, name)) {
            return &pair->value;
        }
    }
    return NULL;
}

void mrcp_message_body_set(mrcp_message_t* message, const char* text, apr_size_t length) {
    if (message) {
        apt_string_assign_n(&message->body, text, text ? length : 0, message->pool);
    }
}
