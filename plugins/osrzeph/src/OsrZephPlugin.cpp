// The plugin's entry points: the only symbols the library exports.
#include <atomic>

#include <ostrin/mrcp_engine.h>

#include "OsrZephEngine.h"
#include "OsrZephLog.h"

namespace {

Zeph::Engine* EngineOf(mrcp_engine_t* hostEngine) {
    return static_cast<Zeph::Engine*>(hostEngine->obj);
}

apt_bool_t OnEngineDestroy(mrcp_engine_t* hostEngine) {
    if (Zeph::Engine* engine = EngineOf(hostEngine)) {
        hostEngine->obj = nullptr;
        delete engine;
    }
    return TRUE;
}

apt_bool_t OnEngineOpen(mrcp_engine_t* hostEngine) {
    return EngineOf(hostEngine)->Open() ? TRUE : FALSE;
}

apt_bool_t OnEngineClose(mrcp_engine_t* hostEngine) {
    return EngineOf(hostEngine)->Close() ? TRUE : FALSE;
}

mrcp_engine_channel_t* OnCreateChannel(mrcp_engine_t* hostEngine, apr_pool_t* pool) {
    return EngineOf(hostEngine)->CreateChannel(pool);
}

const mrcp_engine_method_vtable_t kEngineVtable = {
    OnEngineDestroy,
    OnEngineOpen,
    OnEngineClose,
    OnCreateChannel,
};

// Set by the first mrcp_plugin_create and never cleared: one engine per process.
std::atomic<bool> g_engineCreated{false};

}  // namespace

// The plugin interface version this library is built for. Defined in an extern "C" block
// (rather than with a single-declaration extern "C") so that it is a plain definition.
extern "C" {
__attribute__((visibility("default"))) mrcp_plugin_version_t mrcp_plugin_version = {
    OSTRIN_PLUGIN_VERSION_MAJOR, OSTRIN_PLUGIN_VERSION_MINOR, OSTRIN_PLUGIN_VERSION_PATCH, 0};
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t* logger) {
    apt_log_instance_set(logger);
    return TRUE;
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t* source) {
    apt_def_log_source_set(source);
    return apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);
}

MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t* pool) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
            "Zeph Plugin Version [1.17.0] Date [2020-11-25]");
    if (g_engineCreated.exchange(true))
        return nullptr;
    auto* engine = new Zeph::Engine("ZEPH");
    mrcp_engine_t* hostEngine =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, engine, &kEngineVtable, pool);
    if (!hostEngine) {
        delete engine;
        return nullptr;
    }
    engine->SetHostEngine(hostEngine);
    return hostEngine;
}
