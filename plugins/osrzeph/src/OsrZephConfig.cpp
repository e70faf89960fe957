#include "OsrZephConfig.h"

#include <strings.h>
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
        WarnUnexpectedValue("Boolean Attribute");
    }
}

void ConfigAttrib::GetLogLevel(int& level) const {
    for (int priority = APT_PRIO_EMERGENCY; priority <= APT_PRIO_DEBUG; ++priority) {
        if (strcmp(m_value, apt_log_priority_name_get(static_cast<apt_log_priority_e>(priority))) ==
            0) {
            level = priority;
            return;
        }
    }
    WarnUnexpectedValue("Attribute");
}

long ConfigAttrib::GetInt() const {
    return strtol(m_value, nullptr, 10);
}

void ConfigAttrib::WarnUnexpectedValue(const char* what) const {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for %s <%s>",
            m_value, what, m_name);
}

void LoadConfigAttribs(const apr_xml_elem* elem, const char* record,
                       const ConfigAttribHandler& handler) {
    // The parser keeps the attributes newest first; document order matters when a name is
    // given twice in different letter case (the later one wins).
    std::vector<const apr_xml_attr*> attrs;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next)
        attrs.push_back(attr);
    for (auto it = attrs.rbegin(); it != attrs.rend(); ++it) {
        const ConfigAttrib attrib((*it)->name, (*it)->value);
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
        a.GetInt(m_maxFileAge);
    } else if (a.Is("max-file-count")) {
        a.GetInt(m_maxFileCount);
    } else if (a.Is("file-prefix")) {
        a.GetString(m_filePrefix);
    } else if (a.Is("file-ext")) {
        a.GetString(m_fileExt);
    } else if (a.Is("log-level")) {
        a.GetLogLevel(m_logLevel);
    } else if (a.Is("use-logging-tag")) {
        a.GetBool(m_useLoggingTag);
    } else {
        return false;
    }
    return true;
}

}  // namespace Zeph
