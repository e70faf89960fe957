/* Engine, channel and termination records; the plugin's answers through the server's tables. */
#include "ostrin/mrcp_engine.h"

#include <apr_strings.h>

mrcp_engine_t* mrcp_engine_create(mrcp_resource_id resource_id, void* obj,
                                  const mrcp_engine_method_vtable_t* vtable, apr_pool_t* pool) {
    if (resource_id != MRCP_RECOGNIZER_RESOURCE || !vtable || !pool) {
        return NULL;
    }
    mrcp_engine_t* engine = apr_pcalloc(pool, sizeof(*engine));
    engine->resource_id = resource_id;
    engine->obj = obj;
    engine->method_vtable = vtable;
    engine->pool = pool;
    return engine;
}

mrcp_engine_config_t* mrcp_engine_config_alloc(const char* name, apr_size_t max_channel_count,
                                               apr_pool_t* pool) {
    mrcp_engine_config_t* config = apr_pcalloc(pool, sizeof(*config));
    config->name = name ? apr_pstrdup(pool, name) : NULL;
    config->max_channel_count = max_channel_count;
    config->params = apr_table_make(pool, 1);
    return config;
}

mrcp_engine_channel_t* mrcp_engine_channel_create(mrcp_engine_t* engine,
                                                  const mrcp_engine_channel_method_vtable_t* vtable,
                                                  void* obj, mpf_termination_t* termination,
                                                  apr_pool_t* pool) {
    if (!engine || !vtable || !pool) {
        return NULL;
    }
    mrcp_engine_channel_t* channel = apr_pcalloc(pool, sizeof(*channel));
    channel->method_vtable = vtable;
    channel->obj = obj;
    channel->termination = termination;
    channel->engine = engine;
    channel->pool = pool;
    channel->mrcp_version = MRCP_VERSION_2;
    apt_string_set(&channel->id, "");
    channel->attribs = apr_table_make(pool, 2);
    return channel;
}

mpf_termination_t* mrcp_engine_audio_termination_create(
    void* obj, const mpf_audio_stream_vtable_t* stream_vtable,
    mpf_stream_capabilities_t* capabilities, apr_pool_t* pool) {
    mpf_audio_stream_t* stream = mpf_audio_stream_create(obj, stream_vtable, capabilities, pool);
    if (!stream) {
        return NULL;
    }
    mpf_termination_t* termination = apr_pcalloc(pool, sizeof(*termination));
    termination->obj = obj;
    termination->audio_stream = stream;
    termination->pool = pool;
    return termination;
}

mpf_audio_stream_t* mrcp_engine_channel_audio_stream_get(mrcp_engine_channel_t* channel) {
    return (channel && channel->termination) ? channel->termination->audio_stream : NULL;
}

const mpf_codec_descriptor_t* mrcp_engine_sink_stream_codec_get(
    const mrcp_engine_channel_t* channel) {
    if (!channel || !channel->termination || !channel->termination->audio_stream) {
        return NULL;
    }
    return channel->termination->audio_stream->tx_descriptor;
}

/* Calls record->table->entry(args) when the record, its table and the entry are all set;
 * otherwise the call fails with `failed`. */
#define TABLE_CALL(record, table, entry, failed, ...)                                              \
    (((record) && (record)->table && (record)->table->entry) ? (record)->table->entry(__VA_ARGS__) \
                                                             : (failed))

apt_bool_t mrcp_engine_open_respond(mrcp_engine_t* engine, apt_bool_t status) {
    return TABLE_CALL(engine, event_vtable, on_open, FALSE, engine, status);
}

apt_bool_t mrcp_engine_close_respond(mrcp_engine_t* engine) {
    return TABLE_CALL(engine, event_vtable, on_close, FALSE, engine);
}

apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t* channel, apt_bool_t status) {
    return TABLE_CALL(channel, event_vtable, on_open, FALSE, channel, status);
}

apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t* channel) {
    return TABLE_CALL(channel, event_vtable, on_close, FALSE, channel);
}

apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t* channel,
                                            mrcp_message_t* message) {
    return message ? TABLE_CALL(channel, event_vtable, on_message, FALSE, channel, message) : FALSE;
}

apt_bool_t mrcp_engine_virtual_open(mrcp_engine_t* engine) {
    return TABLE_CALL(engine, method_vtable, open, FALSE, engine);
}

apt_bool_t mrcp_engine_virtual_close(mrcp_engine_t* engine) {
    return TABLE_CALL(engine, method_vtable, close, FALSE, engine);
}

apt_bool_t mrcp_engine_virtual_destroy(mrcp_engine_t* engine) {
    return TABLE_CALL(engine, method_vtable, destroy, FALSE, engine);
}

mrcp_engine_channel_t* mrcp_engine_channel_virtual_create(mrcp_engine_t* engine, apr_pool_t* pool) {
    return TABLE_CALL(engine, method_vtable, create_channel, NULL, engine, pool);
}

apt_bool_t mrcp_engine_channel_virtual_open(mrcp_engine_channel_t* channel) {
    return TABLE_CALL(channel, method_vtable, open, FALSE, channel);
}

apt_bool_t mrcp_engine_channel_virtual_close(mrcp_engine_channel_t* channel) {
    return TABLE_CALL(channel, method_vtable, close, FALSE, channel);
}

apt_bool_t mrcp_engine_channel_virtual_destroy(mrcp_engine_channel_t* channel) {
    return TABLE_CALL(channel, method_vtable, destroy, FALSE, channel);
}

apt_bool_t mrcp_engine_channel_request_process(mrcp_engine_channel_t* channel,
                                               mrcp_message_t* request) {
    return request ? TABLE_CALL(channel, method_vtable, process_request, FALSE, channel, request)
                   : FALSE;
}
