#include "ostrin_runtime/plugin_loader.h"

#include <dlfcn.h>

namespace OstrinRuntime {

namespace {

std::string VersionText(const mrcp_plugin_version_t& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
}

}  // namespace

PluginLoader::~PluginLoader() {
    Unload();
}

bool PluginLoader::Load(const std::string& path, std::string* error) {
    Unload();
    // RTLD_NODELETE: a plugin's libraries (gRPC among them) may keep process-wide state and
    // helper threads after its engine is gone, so its code stays mapped until the process
    // ends; dlclose only drops our reference.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* reason = dlerror();
        *error = "cannot load plugin " + path + ": " + (reason ? reason : "unknown error");
        return false;
    }
    auto fail = [&](const std::string& why) {
        dlclose(handle);
        *error = "plugin " + path + ": " + why;
        return false;
    };
    auto* version =
        static_cast<const mrcp_plugin_version_t*>(dlsym(handle, MRCP_PLUGIN_VERSION_SYM_NAME));
    if (!version)
        return fail("missing symbol " MRCP_PLUGIN_VERSION_SYM_NAME);
    mrcp_plugin_version_t expected = {OSTRIN_PLUGIN_VERSION_MAJOR, OSTRIN_PLUGIN_VERSION_MINOR,
                                      OSTRIN_PLUGIN_VERSION_PATCH, 0};
    // Same major and minor: patch releases of the interface do not change it.
    if (version->major != expected.major || version->minor != expected.minor) {
        return fail("plugin interface version " + VersionText(*version) +
                    " is not supported (this host implements " + VersionText(expected) + ")");
    }
    auto create =
        reinterpret_cast<mrcp_plugin_create_f>(dlsym(handle, MRCP_PLUGIN_ENGINE_SYM_NAME));
    if (!create)
        return fail("missing symbol " MRCP_PLUGIN_ENGINE_SYM_NAME);
    handle_ = handle;
    path_ = path;
    create_ = create;
    logger_set_ =
        reinterpret_cast<mrcp_plugin_logger_set_f>(dlsym(handle, MRCP_PLUGIN_LOGGER_SYM_NAME));
    log_source_set_ = reinterpret_cast<mrcp_plugin_log_source_set_f>(
        dlsym(handle, MRCP_PLUGIN_LOG_SOURCE_SYM_NAME));
    return true;
}

mrcp_engine_t* PluginLoader::CreateEngine(apr_pool_t* pool, std::string* error) {
    if (!handle_) {
        *error = "no plugin loaded";
        return nullptr;
    }
    if (logger_set_ && apt_log_instance_get())
        logger_set_(apt_log_instance_get());
    if (log_source_set_)
        log_source_set_(apt_def_log_source_get());
    mrcp_engine_t* engine = create_(pool);
    if (!engine) {
        *error = "plugin " + path_ + ": " MRCP_PLUGIN_ENGINE_SYM_NAME " created no engine";
        return nullptr;
    }
    if (!engine->method_vtable) {
        *error = "plugin " + path_ + ": engine has no method table";
        return nullptr;
    }
    return engine;
}

void PluginLoader::Unload() {
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
    create_ = nullptr;
    logger_set_ = nullptr;
    log_source_set_ = nullptr;
}

}  // namespace OstrinRuntime
