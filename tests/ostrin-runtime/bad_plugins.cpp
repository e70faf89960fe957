// Broken plugins for the loader's tests; which one is chosen at compile time.
#include <ostrin/mrcp_engine.h>

#if defined(BAD_PLUGIN_WRONG_VERSION)
MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t) mrcp_plugin_version = {1, 6, 0, 0};
MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t*) {
    return nullptr;
}
#elif defined(BAD_PLUGIN_NO_CREATE)
MRCP_PLUGIN_VERSION_DECLARE
#elif defined(BAD_PLUGIN_NULL_ENGINE)
MRCP_PLUGIN_VERSION_DECLARE
MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t*) {
    return nullptr;
}
#endif
