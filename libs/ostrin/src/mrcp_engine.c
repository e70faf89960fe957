/* Engine, channel and termination records; the plugin's answers through the server's tables. */
#include "ostrin/mrcp_engine.h"

#include <pthread.h>
#include <stdlib.h>

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

/* ---- Watched channel records ----
 * A list of records by address. Live entries hold the event table to call; gone entries
 * (tombstones) only say that the address belonged to a destroyed channel. The lock is held
 * while a handler runs, so an unwatch (and the destruction that follows it) never overlaps
 * a call on the same record. */

typedef struct watch_entry_t watch_entry_t;
struct watch_entry_t {
    const void* record;
    const mrcp_engine_channel_event_vtable_t* vtable;
    mrcp_engine_channel_gone_f gone_handler;
    void* obj;
    apt_bool_t gone;
    watch_entry_t* next;
};

/* Tombstones kept at most; the oldest go first. */
#define WATCH_MAX_GONE 4096

static pthread_mutex_t watch_mutex = PTHREAD_MUTEX_INITIALIZER;
static watch_entry_t* watch_list = NULL;
static apr_size_t watch_gone_count = 0;

/* With the lock held. */
static watch_entry_t* watch_find(const void* record) {
    for (watch_entry_t* entry = watch_list; entry; entry = entry->next) {
        if (entry->record == record) {
            return entry;
        }
    }
    return NULL;
}

/* With the lock held. */
static void watch_remove(watch_entry_t* target) {
    for (watch_entry_t** link = &watch_list; *link; link = &(*link)->next) {
        if (*link == target) {
            *link = target->next;
            if (target->gone) {
                watch_gone_count--;
            }
            free(target);
            return;
        }
    }
}

apt_bool_t mrcp_engine_channel_watch(mrcp_engine_channel_t* channel,
                                     mrcp_engine_channel_gone_f gone, void* obj) {
    if (!channel || !channel->event_vtable) {
        return FALSE;
    }
    pthread_mutex_lock(&watch_mutex);
    /* A new record at the address of a destroyed one takes its place. */
    watch_entry_t* entry = watch_find(channel);
    if (entry) {
        watch_remove(entry);
    }
    entry = calloc(1, sizeof(*entry));
    if (entry) {
        entry->record = channel;
        entry->vtable = channel->event_vtable;
        entry->gone_handler = gone;
        entry->obj = obj;
        /* Appended, so that the oldest tombstones come first. */
        watch_entry_t** link = &watch_list;
        while (*link) {
            link = &(*link)->next;
        }
        *link = entry;
    }
    pthread_mutex_unlock(&watch_mutex);
    return entry ? TRUE : FALSE;
}

void mrcp_engine_channel_unwatch(const mrcp_engine_channel_t* channel) {
    pthread_mutex_lock(&watch_mutex);
    watch_entry_t* entry = watch_find(channel);
    if (entry && !entry->gone) {
        entry->gone = TRUE;
        entry->vtable = NULL;
        watch_gone_count++;
        while (watch_gone_count > WATCH_MAX_GONE) {
            watch_entry_t* oldest = watch_list;
            while (oldest && !oldest->gone) {
                oldest = oldest->next;
            }
            watch_remove(oldest);
        }
    }
    pthread_mutex_unlock(&watch_mutex);
}

void mrcp_engine_channel_forget(void* obj) {
    pthread_mutex_lock(&watch_mutex);
    watch_entry_t** link = &watch_list;
    while (*link) {
        watch_entry_t* entry = *link;
        if (entry->obj == obj) {
            *link = entry->next;
            if (entry->gone) {
                watch_gone_count--;
            }
            free(entry);
        } else {
            link = &entry->next;
        }
    }
    pthread_mutex_unlock(&watch_mutex);
}

typedef enum { CHANNEL_CALL_OPEN, CHANNEL_CALL_CLOSE, CHANNEL_CALL_MESSAGE } channel_call_e;

/* One of the plugin's answers on a channel: through the watch list when the record is
 * watched (or gone), otherwise through the record's own table. */
static apt_bool_t channel_call(mrcp_engine_channel_t* channel, channel_call_e call,
                               apt_bool_t status, mrcp_message_t* message) {
    static const char* const names[] = {"channel open response", "channel close response",
                                        "message"};
    if (!channel) {
        return FALSE;
    }
    pthread_mutex_lock(&watch_mutex);
    const watch_entry_t* entry = watch_find(channel);
    if (!entry) {
        pthread_mutex_unlock(&watch_mutex);
        switch (call) {
            case CHANNEL_CALL_OPEN:
                return TABLE_CALL(channel, event_vtable, on_open, FALSE, channel, status);
            case CHANNEL_CALL_CLOSE:
                return TABLE_CALL(channel, event_vtable, on_close, FALSE, channel);
            default:
                return TABLE_CALL(channel, event_vtable, on_message, FALSE, channel, message);
        }
    }
    apt_bool_t result = FALSE;
    if (entry->gone) {
        if (entry->gone_handler) {
            entry->gone_handler(entry->obj, channel, names[call]);
        }
    } else if (call == CHANNEL_CALL_OPEN) {
        result = entry->vtable->on_open ? entry->vtable->on_open(channel, status) : FALSE;
    } else if (call == CHANNEL_CALL_CLOSE) {
        result = entry->vtable->on_close ? entry->vtable->on_close(channel) : FALSE;
    } else {
        result = entry->vtable->on_message ? entry->vtable->on_message(channel, message) : FALSE;
    }
    pthread_mutex_unlock(&watch_mutex);
    return result;
}

apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t* channel, apt_bool_t status) {
    return channel_call(channel, CHANNEL_CALL_OPEN, status, NULL);
}

apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t* channel) {
    return channel_call(channel, CHANNEL_CALL_CLOSE, FALSE, NULL);
}

apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t* channel,
                                            mrcp_message_t* message) {
    return message ? channel_call(channel, CHANNEL_CALL_MESSAGE, FALSE, message) : FALSE;
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
