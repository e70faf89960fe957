// Loading a recognizer plugin: dlopen by path, the interface version check and the exported
// entry points.
//
// Server thread only.
#pragma once

#include <string>

#include <ostrin/mrcp_engine.h>

namespace OstrinRuntime {

class PluginLoader {
public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Opens the library and checks its version and entry points; false with a one-line
    // reason in `error` (the library is released again).
    bool Load(const std::string& path, std::string* error);
    // Hands the plugin the host's logger and default log source (entry points that a plugin
    // does not export are skipped), then calls mrcp_plugin_create. Null (with `error`) when
    // the plugin makes no engine.
    mrcp_engine_t* CreateEngine(apr_pool_t* pool, std::string* error);
    // Releases the library. Once called, nothing of the plugin may run any more.
    void Unload();

    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    mrcp_plugin_create_f create_ = nullptr;
    mrcp_plugin_logger_set_f logger_set_ = nullptr;
    mrcp_plugin_log_source_set_f log_source_set_ = nullptr;
};

}  // namespace OstrinRuntime
