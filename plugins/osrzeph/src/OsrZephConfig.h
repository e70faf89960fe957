// Generic pieces of configuration loading: one attribute of an element, the loop over an
// element's attributes, path resolution, and the attributes every file manager shares.
//
// Threads: used while the engine loads its configuration (the server thread in
// Engine::Open), except ComposeFolderEntryPath, which any thread may call; nothing here keeps
// state between calls.
#pragma once

#include <functional>
#include <string>

#include <apr_pools.h>
#include <apr_xml.h>
#include <ostedpf/OstEdpfFileManager.h>
#include <ostrin/apt_log.h>

namespace Zeph {

// One attribute of a configuration element, handed to a record's loader.
class ConfigAttrib {
public:
    ConfigAttrib(const char* element, const char* name, const char* value)
        : m_element(element), m_name(name), m_value(value) {}

    const char* Element() const { return m_element; }
    const char* Name() const { return m_name; }
    const char* Value() const { return m_value; }
    // The attribute's name equals `name`, ignoring case.
    bool Is(const char* name) const;
    // The value equals `word`, ignoring case (booleans, a built-in grammar's mode and input).
    bool ValueIs(const char* word) const;
    // The value equals `word` exactly: the words of an enumerated attribute.
    bool ValueEquals(const char* word) const;
    // "true" or "false" in any case; anything else logs "Unexpected Value <%s> for Boolean
    // Attribute <%s> ..." and leaves `value` as it was.
    void GetBool(bool& value) const;
    // A whole decimal integer (blanks around it allowed) in [min, max]; anything else (a
    // word, "1,5", "10 ms", a number out of range) is refused with the WARNING of
    // WarnUnexpectedValue and `value` stays as it was: a word read as 0 would silently turn
    // a timeout off or a limit to nothing.
    void GetInt(long& value, long min, long max) const;
    void GetInt(int& value, long min, long max) const;
    // A decimal number in [min, max], likewise.
    void GetNumber(float& value, double min, double max) const;
    void GetString(std::string& value) const { value = m_value; }
    // A folder mode in octal ("0750", "755") that leaves the owner (the server) all rights;
    // anything else is refused as above.
    void GetFolderMode(mode_t& mode) const;
    // A log level name, "EMERGENCY" to "DEBUG" exactly, as its number (0 to 7); another
    // name is refused as above and `level` stays as it was.
    void GetLogLevel(int& level) const;
    // Logs WARNING "Unexpected Value <value> for <what> <name> in <element>, Using <kept>":
    // `what` names the kind of attribute ("Attribute", "Boolean Attribute"), `kept` is the
    // value used instead (the default unless the attribute was given before).
    void WarnUnexpectedValue(const char* what, const std::string& kept) const;
    void WarnUnexpectedValue(const char* what, long kept) const;

private:
    const char* m_element;
    const char* m_name;
    const char* m_value;
};

// Makes a relative `path` absolute under `base`; an absolute one stays as it is. FALSE when
// the two cannot be merged.
bool ResolvePath(std::string& path, const char* base, apr_pool_t* pool);

// The path of `name` as one entry of `folder` (empty: the working folder). FALSE, with `path`
// as it was, for an empty name, a name with a separator, or one that would leave the folder:
// names are built from peers' ids and tags.
bool ComposeFolderEntryPath(std::string& path, const std::string& folder, const std::string& name,
                            apr_pool_t* pool);

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
    // Mode of the folder when the manager creates it.
    mode_t m_folderMode = OstEdpf::kDefaultFolderMode;

    // Takes one of the shared attributes; FALSE for any other name.
    bool LoadAttrib(const ConfigAttrib& a);
    // Gives `manager` its folder, name pattern, limits and purge flag (the shred flag stays
    // off). A negative limit means none; an age beyond kMaxFileAgeMinutes is cut to it,
    // with a WARNING, so that it converts to timer milliseconds without overflow.
    void Apply(OstEdpf::FileManager& manager, const std::string& folder) const;

    // Ten years.
    static constexpr long kMaxFileAgeMinutes = 10L * 366 * 24 * 60;
};

}  // namespace Zeph
