// The plugin's own log source, "ZEPH-PLUGIN".
//
// Registered by the entry point mrcp_plugin_log_source_set; until then it is null, which
// apt_log treats as the host's default source. Set once at plugin load, read from any thread.
#pragma once

#include <ostrin/apt_log.h>

extern apt_log_source_t* ZEPH_PLUGIN;
