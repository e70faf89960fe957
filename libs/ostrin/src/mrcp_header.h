/* Private: the table of generic and recognizer headers that drives parsing, generation and
 * presence. One row per header: its name (and MRCPv1 spelling), value type and field. */
#ifndef OSTRIN_SRC_MRCP_HEADER_H
#define OSTRIN_SRC_MRCP_HEADER_H

#include "ostrin/mrcp_message.h"

typedef enum {
    MRCP_VALUE_STRING, /* apt_str_t, any text */
    MRCP_VALUE_SIZE,   /* apr_size_t, 1 to 19 digits */
    MRCP_VALUE_LEVEL,  /* float 0.0-1.0; MRCPv1 writes 0-100 */
    MRCP_VALUE_BOOL,   /* apt_bool_t, "true" / "false" */
    MRCP_VALUE_CHAR,   /* char, one visible character */
    MRCP_VALUE_CAUSE,  /* mrcp_recog_completion_cause_e, "NNN name" */
    MRCP_VALUE_PAIRS,  /* apt_pair_arr_t*, "name=value;name=value" */
    MRCP_VALUE_ID_LIST /* mrcp_request_id_list_t, "id,id" */
} mrcp_value_type_e;

typedef struct mrcp_header_def_t {
    const char* name;    /* MRCPv2 name */
    const char* name_v1; /* MRCPv1 name where it differs, else null */
    mrcp_value_type_e type;
    apr_size_t offset; /* of the value in mrcp_generic_header_t / mrcp_recog_header_t */
} mrcp_header_def_t;

/* The row of a header, or null for a bad group or id. */
const mrcp_header_def_t* mrcp_header_def_get(mrcp_header_group_e group, apr_size_t id);
apr_size_t mrcp_header_count_get(mrcp_header_group_e group);
/* Finds a known header by name (without case) in a version. */
apt_bool_t mrcp_header_find(const char* name, apr_size_t length, mrcp_version_e version,
                            mrcp_header_group_e* group, apr_size_t* id);
/* Parses a value (already trimmed) into the message's typed header. */
apt_bool_t mrcp_header_value_parse(mrcp_message_t* message, mrcp_header_group_e group,
                                   apr_size_t id, const char* value, apr_size_t length);
/* The value in canonical text, in pool; null when the value cannot be written. */
const char* mrcp_header_value_generate(const mrcp_message_t* message, mrcp_header_group_e group,
                                       apr_size_t id, apr_pool_t* pool);

#endif /* OSTRIN_SRC_MRCP_HEADER_H */
