/*
 * Ostrin host interface: the plugin interface (engines, channels, audio terminations).
 *
 * A plugin is a shared library exporting
 *     mrcp_plugin_version        data, mrcp_plugin_version_t (MRCP_PLUGIN_VERSION_DECLARE)
 *     mrcp_plugin_create         mrcp_plugin_create_f
 *     mrcp_plugin_logger_set     mrcp_plugin_logger_set_f (optional)
 *     mrcp_plugin_log_source_set mrcp_plugin_log_source_set_f (optional)
 * The server checks the version, hands the plugin its logger and default log source, and
 * calls mrcp_plugin_create(pool), which registers one engine with mrcp_engine_create.
 *
 * Records. mrcp_engine_t and mrcp_engine_channel_t are public structs shared by both sides:
 * the plugin creates them (mrcp_engine_create, mrcp_engine_channel_create) with its method
 * table and object; the server then fills in its side: the event table and its own object
 * (event_vtable, event_obj), and for engines the directory layout and configuration, for
 * channels the id, the MRCP version and the attributes. The plugin answers through the
 * *_respond and message_send functions below, which call the server's event table.
 *
 * Threads:
 *  - The server calls the engine and channel method tables on its own threads, never two
 *    calls for the same engine or channel at once. Method calls return promptly; open,
 *    close and process_request are asynchronous and answered later through the responds.
 *  - mrcp_engine_open_respond, mrcp_engine_close_respond, mrcp_engine_channel_open_respond,
 *    mrcp_engine_channel_close_respond and mrcp_engine_channel_message_send may be called
 *    from any thread (the plugin calls them from its own event thread); the server's event
 *    handlers are thread-safe. Each open or close is answered exactly once.
 *  - The audio stream's methods run on the server's media thread (see mpf_stream.h).
 *
 * Memory:
 *  - The engine lives in the pool passed to mrcp_plugin_create (the server's plugin pool);
 *    its configuration and directory layout belong to the server and outlive the engine.
 *  - A channel, its termination and its attributes live in the channel's pool, given to
 *    create_channel; the server destroys that pool after calling the channel's destroy.
 *  - Requests and their responses and events: see mrcp_message.h. After a message has been
 *    passed to mrcp_engine_channel_message_send the plugin must not change it.
 */
#ifndef OSTRIN_MRCP_ENGINE_H
#define OSTRIN_MRCP_ENGINE_H

#include <apr_tables.h>
#include <ostrin/apt_dir_layout.h>
#include <ostrin/apt_log.h>
#include <ostrin/mpf_stream.h>
#include <ostrin/mrcp_message.h>

APT_BEGIN_EXTERN_C

/** The version of this plugin interface. */
#define OSTRIN_PLUGIN_VERSION_MAJOR 1
#define OSTRIN_PLUGIN_VERSION_MINOR 7
#define OSTRIN_PLUGIN_VERSION_PATCH 0

typedef struct mrcp_plugin_version_t {
    apr_int32_t major;
    apr_int32_t minor;
    apr_int32_t patch;
    apr_int32_t is_dev;
} mrcp_plugin_version_t;

/** Marks the definition of a plugin entry point or of mrcp_plugin_version for export. The
 * entry points are declared with C linkage below, so a definition written with this macro
 * takes their C linkage in C++ as well; no linkage specification is needed in front of it,
 * and a data object may be initialised (`MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t)
 * mrcp_plugin_version = {...};` compiles without warnings in C and C++). */
#define MRCP_PLUGIN_DECLARE(type) __attribute__((visibility("default"))) type

/** Defines the exported version record of this interface (once, in one source file). */
#define MRCP_PLUGIN_VERSION_DECLARE                                                  \
    MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t)                                       \
    mrcp_plugin_version = {OSTRIN_PLUGIN_VERSION_MAJOR, OSTRIN_PLUGIN_VERSION_MINOR, \
                           OSTRIN_PLUGIN_VERSION_PATCH, 0};

/** Symbol names the server looks up. */
#define MRCP_PLUGIN_VERSION_SYM_NAME "mrcp_plugin_version"
#define MRCP_PLUGIN_ENGINE_SYM_NAME "mrcp_plugin_create"
#define MRCP_PLUGIN_LOGGER_SYM_NAME "mrcp_plugin_logger_set"
#define MRCP_PLUGIN_LOG_SOURCE_SYM_NAME "mrcp_plugin_log_source_set"

typedef struct mrcp_engine_t mrcp_engine_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;

typedef mrcp_engine_t* (*mrcp_plugin_create_f)(apr_pool_t* pool);
typedef apt_bool_t (*mrcp_plugin_logger_set_f)(apt_logger_t* logger);
typedef apt_bool_t (*mrcp_plugin_log_source_set_f)(apt_log_source_t* source);

/** The plugin's exports, declared here with C linkage; the plugin defines them. */
extern MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t) mrcp_plugin_version;
MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t* pool);
MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t* logger);
MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t* source);

/** Engine methods, called by the server (in this order). */
typedef struct mrcp_engine_method_vtable_t {
    /** Last call; the plugin releases its engine object. */
    apt_bool_t (*destroy)(mrcp_engine_t* engine);
    /** Start; answered with mrcp_engine_open_respond. FALSE: the open failed at once. */
    apt_bool_t (*open)(mrcp_engine_t* engine);
    /** Stop; answered with mrcp_engine_close_respond. */
    apt_bool_t (*close)(mrcp_engine_t* engine);
    /** A new channel in pool (the channel's pool), or null. */
    mrcp_engine_channel_t* (*create_channel)(mrcp_engine_t* engine, apr_pool_t* pool);
} mrcp_engine_method_vtable_t;

/** The server's engine events, reached through the respond functions. */
typedef struct mrcp_engine_event_vtable_t {
    apt_bool_t (*on_open)(mrcp_engine_t* engine, apt_bool_t status);
    apt_bool_t (*on_close)(mrcp_engine_t* engine);
} mrcp_engine_event_vtable_t;

/** The server's configuration of an engine. */
typedef struct mrcp_engine_config_t {
    const char* name;             /**< engine name (the plugin's id in the server's config) */
    apr_size_t max_channel_count; /**< 0: no limit */
    apr_table_t* params;          /**< free-form parameters, may be null */
} mrcp_engine_config_t;

struct mrcp_engine_t {
    mrcp_resource_id resource_id;
    void* obj; /**< the plugin's engine object */
    const mrcp_engine_method_vtable_t* method_vtable;
    /* Set by the server: */
    const mrcp_engine_event_vtable_t* event_vtable;
    void* event_obj;
    const mrcp_engine_config_t* config;
    apt_dir_layout_t* dir_layout;
    apr_pool_t* pool;
    apt_bool_t is_open;
    apr_size_t cur_channel_count;
};

/** Channel methods, called by the server (in this order). */
typedef struct mrcp_engine_channel_method_vtable_t {
    /** Last call; the plugin releases its channel object. */
    apt_bool_t (*destroy)(mrcp_engine_channel_t* channel);
    /** Answered with mrcp_engine_channel_open_respond. */
    apt_bool_t (*open)(mrcp_engine_channel_t* channel);
    /** Answered with mrcp_engine_channel_close_respond. */
    apt_bool_t (*close)(mrcp_engine_channel_t* channel);
    /** A request in its own pool; answered with responses/events through message_send. */
    apt_bool_t (*process_request)(mrcp_engine_channel_t* channel, mrcp_message_t* request);
} mrcp_engine_channel_method_vtable_t;

/** The server's channel events. */
typedef struct mrcp_engine_channel_event_vtable_t {
    apt_bool_t (*on_open)(mrcp_engine_channel_t* channel, apt_bool_t status);
    apt_bool_t (*on_close)(mrcp_engine_channel_t* channel);
    apt_bool_t (*on_message)(mrcp_engine_channel_t* channel, mrcp_message_t* message);
} mrcp_engine_channel_event_vtable_t;

struct mrcp_engine_channel_t {
    const mrcp_engine_channel_method_vtable_t* method_vtable;
    void* obj; /**< the plugin's channel object */
    mpf_termination_t* termination;
    mrcp_engine_t* engine;
    apr_pool_t* pool;
    /* Set by the server right after create_channel returns, before open: */
    const mrcp_engine_channel_event_vtable_t* event_vtable;
    void* event_obj;
    apt_str_t id; /**< the channel's session id without the resource, e.g. "1a2b3c4d" for
                       the MRCPv2 channel "1a2b3c4d@speechrecog"; the RTSP session in v1 */
    mrcp_version_e mrcp_version; /**< MRCP version of the channel's session */
    apr_table_t* attribs;        /**< name/value strings (never null) */
    apt_bool_t is_open;
};

/** Creates an engine record in pool; null for a resource other than the recognizer. */
APT_DECLARE(mrcp_engine_t*)
mrcp_engine_create(mrcp_resource_id resource_id, void* obj,
                   const mrcp_engine_method_vtable_t* vtable, apr_pool_t* pool);
/** A configuration record in pool (name copied). */
APT_DECLARE(mrcp_engine_config_t*)
mrcp_engine_config_alloc(const char* name, apr_size_t max_channel_count, apr_pool_t* pool);

/** Creates a channel record in pool (the pool given to create_channel). */
APT_DECLARE(mrcp_engine_channel_t*)
mrcp_engine_channel_create(mrcp_engine_t* engine, const mrcp_engine_channel_method_vtable_t* vtable,
                           void* obj, mpf_termination_t* termination, apr_pool_t* pool);

/** A termination whose audio stream calls stream_vtable with obj; null on bad arguments. */
APT_DECLARE(mpf_termination_t*)
mrcp_engine_audio_termination_create(void* obj, const mpf_audio_stream_vtable_t* stream_vtable,
                                     mpf_stream_capabilities_t* capabilities, apr_pool_t* pool);

/** The codec of the audio the channel receives (LPCM at the channel's rate), or null
 * before the server opened the channel's media. */
APT_DECLARE(const mpf_codec_descriptor_t*)
mrcp_engine_sink_stream_codec_get(const mrcp_engine_channel_t* channel);
/** The plugin's stream object of a channel (the termination's), or null. */
APT_DECLARE(mpf_audio_stream_t*)
mrcp_engine_channel_audio_stream_get(mrcp_engine_channel_t* channel);

/* ---- Plugin's answers: each calls the server's event table; FALSE without one. ---- */
APT_DECLARE(apt_bool_t) mrcp_engine_open_respond(mrcp_engine_t* engine, apt_bool_t status);
APT_DECLARE(apt_bool_t) mrcp_engine_close_respond(mrcp_engine_t* engine);
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_open_respond(mrcp_engine_channel_t* channel, apt_bool_t status);
APT_DECLARE(apt_bool_t) mrcp_engine_channel_close_respond(mrcp_engine_channel_t* channel);
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_message_send(mrcp_engine_channel_t* channel, mrcp_message_t* message);

/* ---- Server side: watched channel records. ----
 * A server that destroys channels while a faulty plugin may still hold their records watches
 * them. From mrcp_engine_channel_watch until mrcp_engine_channel_unwatch, the plugin's
 * answers on the record (channel open and close respond, message send) reach the event
 * table and object the record had when watching began, one call at a time and never while
 * an unwatch runs, so the record stays valid while the server's handler runs. After the
 * unwatch, a call on that record is not followed: neither the record nor the message is
 * read, the server's gone handler is called with the object given to watch, the record's
 * address (to tell records apart, never to be read) and the name of the call, and the call
 * fails. Records never watched are reached through their own event table.
 * All four functions may be called from any thread; handlers must not call them. */
typedef void (*mrcp_engine_channel_gone_f)(void* obj, const void* channel, const char* call);
/** FALSE for a record without an event table or when out of memory (then not watched). */
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_watch(mrcp_engine_channel_t* channel, mrcp_engine_channel_gone_f gone,
                          void* obj);
/** Call before the record's memory goes; waits for a call in progress on it. */
APT_DECLARE(void) mrcp_engine_channel_unwatch(const mrcp_engine_channel_t* channel);
/** Forgets every record watched with obj, gone or not (the server itself goes away). */
APT_DECLARE(void) mrcp_engine_channel_forget(void* obj);

/* ---- Server side helpers: call the plugin's method tables. FALSE without an entry. ---- */
APT_DECLARE(apt_bool_t) mrcp_engine_virtual_open(mrcp_engine_t* engine);
APT_DECLARE(apt_bool_t) mrcp_engine_virtual_close(mrcp_engine_t* engine);
APT_DECLARE(apt_bool_t) mrcp_engine_virtual_destroy(mrcp_engine_t* engine);
APT_DECLARE(mrcp_engine_channel_t*)
mrcp_engine_channel_virtual_create(mrcp_engine_t* engine, apr_pool_t* pool);
APT_DECLARE(apt_bool_t) mrcp_engine_channel_virtual_open(mrcp_engine_channel_t* channel);
APT_DECLARE(apt_bool_t) mrcp_engine_channel_virtual_close(mrcp_engine_channel_t* channel);
APT_DECLARE(apt_bool_t) mrcp_engine_channel_virtual_destroy(mrcp_engine_channel_t* channel);
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_request_process(mrcp_engine_channel_t* channel, mrcp_message_t* request);

APT_END_EXTERN_C

#endif /* OSTRIN_MRCP_ENGINE_H */
