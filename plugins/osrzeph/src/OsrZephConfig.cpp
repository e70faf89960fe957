#include "OsrZephConfig.h"

#include <locale.h>
#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <apr_file_info.h>

#include "OsrZephLog.h"

namespace Zeph {

bool ResolvePath(std::string& path, const char* base, apr_pool_t* pool) {
    const char* rest = path.c_str();
    const char* root = nullptr;
    if (apr_filepath_root(&root, &rest, 0, pool) != APR_ERELATIVE)
        return true;
    char* merged = nullptr;
    if (apr_filepath_merge(&merged, base, path.c_str(), 0, pool) != APR_SUCCESS)
        return false;
    path = merged;
    return true;
}

bool ComposeFolderEntryPath(std::string& path, const std::string& folder, const std::string& name,
                            apr_pool_t* pool) {
    char* merged = nullptr;
    if (name.empty() || name.find('/') != std::string::npos ||
        apr_filepath_merge(&merged, folder.empty() ? nullptr : folder.c_str(), name.c_str(),
                           APR_FILEPATH_NATIVE | APR_FILEPATH_SECUREROOT, pool) != APR_SUCCESS) {
        return false;
    }
    path = merged;
    return true;
}

// ---- ConfigAttrib -------------------------------------------------------------------------

bool ConfigAttrib::Is(const char* name) const {
    return strcasecmp(m_name, name) == 0;
}

bool ConfigAttrib::ValueIs(const char* word) const {
    return strcasecmp(m_value, word) == 0;
}

bool ConfigAttrib::ValueEquals(const char* word) const {
    return strcmp(m_value, word) == 0;
}

void ConfigAttrib::GetBool(bool& value) const {
    if (ValueIs("true")) {
        value = true;
    } else if (ValueIs("false")) {
        value = false;
    } else {
        WarnUnexpectedValue("Boolean Attribute", value ? "true" : "false");
    }
}

namespace {

bool IsBlankTail(const char* end) {
    while (*end == ' ' || *end == '\t')
        ++end;
    return *end == '\0';
}

}  // namespace

void ConfigAttrib::GetInt(long& value, long min, long max) const {
    char* end = nullptr;
    errno = 0;
    const long number = strtol(m_value, &end, 10);
    if (end == m_value || errno == ERANGE || !IsBlankTail(end) || number < min || number > max) {
        WarnUnexpectedValue("Attribute", value);
        return;
    }
    value = number;
}

void ConfigAttrib::GetInt(int& value, long min, long max) const {
    long number = value;
    GetInt(number, std::max<long>(min, INT_MIN), std::min<long>(max, INT_MAX));
    value = static_cast<int>(number);
}

void ConfigAttrib::GetNumber(float& value, double min, double max) const {
    char* end = nullptr;
    errno = 0;
    // Numbers in the configuration are written with a dot, whatever the process's locale.
    static const locale_t classic = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    const double number = classic ? strtod_l(m_value, &end, classic) : strtod(m_value, &end);
    // !(a <= b) also refuses NaN.
    if (end == m_value || errno == ERANGE || !IsBlankTail(end) || !(number >= min) ||
        !(number <= max)) {
        char kept[32];
        snprintf(kept, sizeof(kept), "%g", static_cast<double>(value));
        WarnUnexpectedValue("Attribute", kept);
        return;
    }
    value = static_cast<float>(number);
}

void ConfigAttrib::GetLogLevel(int& level) const {
    for (int priority = APT_PRIO_EMERGENCY; priority <= APT_PRIO_DEBUG; ++priority) {
        if (strcmp(m_value, apt_log_priority_name_get(static_cast<apt_log_priority_e>(priority))) ==
            0) {
            level = priority;
            return;
        }
    }
    WarnUnexpectedValue("Attribute",
                        apt_log_priority_name_get(static_cast<apt_log_priority_e>(level)));
}

void ConfigAttrib::GetFolderMode(mode_t& mode) const {
    char* end = nullptr;
    const long number = strtol(m_value, &end, 8);
    // The server must be able to list, create and delete files in the folder.
    if (end == m_value || !IsBlankTail(end) || number < 0700 || number > 0777) {
        char kept[16];
        snprintf(kept, sizeof(kept), "%04o", static_cast<unsigned>(mode));
        WarnUnexpectedValue("Attribute", kept);
        return;
    }
    mode = static_cast<mode_t>(number);
}

void ConfigAttrib::WarnUnexpectedValue(const char* what, const std::string& kept) const {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for %s <%s> in <%s>, Using <%s>", m_value, what, m_name,
            m_element, kept.c_str());
}

void ConfigAttrib::WarnUnexpectedValue(const char* what, long kept) const {
    WarnUnexpectedValue(what, std::to_string(kept));
}

void LoadConfigAttribs(const apr_xml_elem* elem, const char* record,
                       const ConfigAttribHandler& handler) {
    // The parser keeps the attributes newest first; document order matters when a name is
    // given twice in different letter case (the later one wins).
    std::vector<const apr_xml_attr*> attrs;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next)
        attrs.push_back(attr);
    for (auto it = attrs.rbegin(); it != attrs.rend(); ++it) {
        const ConfigAttrib attrib(elem->name, (*it)->name, (*it)->value);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load %s Attribute: %s = %s", record,
                attrib.Name(), attrib.Value());
        if (!handler(attrib)) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown %s Attribute <%s>",
                    record, attrib.Name());
        }
    }
}

// ---- FileManagerSettings ------------------------------------------------------------------

bool FileManagerSettings::LoadAttrib(const ConfigAttrib& a) {
    if (a.Is("purge-existing")) {
        a.GetBool(m_purgeExisting);
    } else if (a.Is("max-file-age")) {
        a.GetInt(m_maxFileAge, 0, kMaxFileAgeMinutes);
    } else if (a.Is("max-file-count")) {
        a.GetInt(m_maxFileCount, 0, INT32_MAX);
    } else if (a.Is("file-prefix")) {
        a.GetString(m_filePrefix);
    } else if (a.Is("file-ext")) {
        a.GetString(m_fileExt);
    } else if (a.Is("log-level")) {
        a.GetLogLevel(m_logLevel);
    } else if (a.Is("use-logging-tag")) {
        a.GetBool(m_useLoggingTag);
    } else if (a.Is("folder-mode")) {
        a.GetFolderMode(m_folderMode);
    } else {
        return false;
    }
    return true;
}

void FileManagerSettings::Apply(OstEdpf::FileManager& manager, const std::string& folder) const {
    long age = m_maxFileAge > 0 ? m_maxFileAge : 0;
    if (age > kMaxFileAgeMinutes) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Max File Age [%ld min] Limited to [%ld min]", age, kMaxFileAgeMinutes);
        age = kMaxFileAgeMinutes;
    }
    manager.SetDirectory(folder);
    manager.SetDirectoryMode(m_folderMode);
    manager.SetFilePrefix(m_filePrefix);
    manager.SetFileExtension(m_fileExt);
    manager.SetMaxFileAge(static_cast<size_t>(age));
    manager.SetMaxFileCount(m_maxFileCount > 0 ? static_cast<size_t>(m_maxFileCount) : 0);
    manager.SetPurgeExisting(m_purgeExisting);
}

}  // namespace Zeph
