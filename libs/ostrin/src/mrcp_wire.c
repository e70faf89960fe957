/* MRCP wire format (being written). */
#include "ostrin/mrcp_wire.h"

mrcp_wire_status_e mrcp_message_parse(const char* buf, apr_size_t length, apr_pool_t* pool,
                                      mrcp_message_t** message, apr_size_t* consumed,
                                      mrcp_wire_error_t* error) {
    (void)buf, (void)length, (void)pool, (void)message, (void)consumed, (void)error;
    return MRCP_WIRE_BAD_MESSAGE;
}

mrcp_wire_status_e mrcp_message_generate(mrcp_message_t* message, apr_pool_t* pool, apt_str_t* text,
                                         mrcp_wire_error_t* error) {
    (void)message, (void)pool, (void)text, (void)error;
    return MRCP_WIRE_BAD_MESSAGE;
}

const char* mrcp_wire_status_name_get(mrcp_wire_status_e status) {
    (void)status;
    return "";
}
