// The plugin's own log source, "ZEPH-PLUGIN", and the one door through which every log line
// of the plugin reaches the host log.
//
// Log lines carry text that clients supply (Content-Ids, grammar URIs and documents, header
// values, phrases): a line break among it would let a client write lines of its own into the
// log. So every plugin file that includes this header logs through ZephLog, which formats
// the record, escapes its control characters (EscapeLogText) and hands the result to the
// host's apt_log as one line. The macro below routes the plugin's apt_log calls there, so
// that no call site can forget it; a call written as (apt_log)(...) reaches the host
// directly.
//
// ZEPH_PLUGIN is registered by the entry point mrcp_plugin_log_source_set; until then it is
// null, which apt_log treats as the host's default source. Set once at plugin load, read from
// any thread. ZephLog may be called from any thread.
#pragma once

#include <string>

#include <ostrin/apt_log.h>

extern apt_log_source_t* ZEPH_PLUGIN;

namespace Zeph {

// `text` with each control character (below 0x20, and 0x7F) written as an escape: "\n",
// "\r", "\t", or "\x" and two hex digits. Every other byte is kept.
std::string EscapeLogText(const char* text, size_t length);

// One record of the plugin: dropped unless the host logs its priority; otherwise formatted,
// escaped and written with apt_log. Returns what apt_log returns.
apt_bool_t ZephLog(apt_log_source_t* source, const char* file, int line,
                   apt_log_priority_e priority, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

}  // namespace Zeph

#define apt_log(...) ::Zeph::ZephLog(__VA_ARGS__)
