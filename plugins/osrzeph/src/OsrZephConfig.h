// Generic pieces of configuration loading: one attribute of an element, the loop over an
// element's attributes, path resolution, and the attributes every file manager shares.
//
// Threads: used while the engine loads its configuration (the server thread in
// Engine::Open); nothing here keeps state between calls.
#pragma once

#include <functional>
#include <string>

#include <apr_pools.h>
#include <apr_xml.h>
#include <ostrin/apt_log.h>

namespace Zeph {

// One attribute of a configuration element, handed to a record's loader.
class ConfigAttrib {
public:
    ConfigAttrib(const char* name, const char* value) : m_name(name), m_value(value) {}

    const char* Name() const { return m_name; }
    const char* Value() const { return m_value; }
    // The attribute's name equals `name`, ignoring case.
    bool Is(const char* name) const;
    // The value equals `word`, ignoring case (booleans, a built-in grammar's mode and input).
    bool ValueIs(const char* word) const;
    // The value equals `word` exactly: the words of an enumerated attribute.
    bool ValueEquals(const char* word) const;
    // "true" or "false" in any case; anything else logs "Unexpected Value <%s> for Boolean
    // Attribute <%s>" and leaves `value` as it was.
    void GetBool(bool& value) const;
    // Decimal integer as strtol reads it (text that is not a number gives 0).
    long GetInt() const;
    void GetInt(long& value) const { value = GetInt(); }
    void GetInt(int& value) const { value = static_cast<int>(GetInt()); }
    void GetString(std::string& value) const { value = m_value; }
    // A log level name, "EMERGENCY" to "DEBUG" exactly, as its number (0 to 7); another
    // name logs "Unexpected Value <%s> for Attribute <%s>" and leaves `level` as it was.
    void GetLogLevel(int& level) const;
    // Logs "Unexpected Value <%s> for <what> <%s>" (value, name); `what` names the kind of
    // attribute, e.g. "Attribute" or "Format Attribute".
    void WarnUnexpectedValue(const char* what) const;

private:
    const char* m_name;
    const char* m_value;
};

// Makes a relative `path` absolute under `base`; an absolute one stays as it is. FALSE when
// the two cannot be merged.
bool ResolvePath(std::string& path, const char* base, apr_pool_t* pool);

// Returns false for an attribute name the record does not know.
using ConfigAttribHandler = std::function<bool(const ConfigAttrib&)>;

// Hands the attributes of `elem` to `handler` in document order. Each is first logged at
// DEBUG as "Load <record> Attribute: name = value"; an unknown one is logged at WARNING as
// "Unknown <record> Attribute <name>" and skipped.
void LoadConfigAttribs(const apr_xml_elem* elem, const char* record,
                       const ConfigAttribHandler& handler);

// What the utterance and RDR managers' settings share: both are file managers over a
// bounded folder with a log facility of their own.
struct FileManagerSettings {
    explicit FileManagerSettings(const char* fileExt) : m_fileExt(fileExt) {}

    bool m_purgeExisting = false;
    long m_maxFileAge = 60;     // minutes, 0 = no limit
    long m_maxFileCount = 100;  // 0 = no limit
    std::string m_filePrefix = "osrzeph-";
    std::string m_fileExt;
    // Level of the manager's log facility (log levels share the host priorities).
    int m_logLevel = APT_PRIO_NOTICE;
    // Put the request's logging tag into file names.
    bool m_useLoggingTag = false;

    // Takes one of the shared attributes; FALSE for any other name.
    bool LoadAttrib(const ConfigAttrib& a);
};

}  // namespace Zeph
