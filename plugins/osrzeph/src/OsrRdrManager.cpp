#include "OsrRdrManager.h"

#include "OsrZephSettings.h"

namespace Zeph {

bool RdrManager::Settings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "RDR Manager", [this](const ConfigAttrib& a) {
        if (a.Is("save-records")) {
            a.GetBool(m_saveRecords);
        } else if (a.Is("purge-existing")) {
            a.GetBool(m_purgeExisting);
        } else if (a.Is("max-file-age")) {
            a.GetInt(m_maxFileAge);
        } else if (a.Is("max-file-count")) {
            a.GetInt(m_maxFileCount);
        } else if (a.Is("record-folder")) {
            a.GetString(m_recordFolder);
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
    });
    return true;
}

}  // namespace Zeph
