#include "OsrRdrManager.h"

#include "OsrZephSettings.h"

namespace Zeph {

bool RdrManager::Settings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "RDR Manager", [this](const ConfigAttrib& a) {
        if (a.Is("save-records")) {
            a.GetBool(m_saveRecords);
        } else if (a.Is("record-folder")) {
            a.GetString(m_recordFolder);
        } else {
            return LoadFileManagerAttrib(a, *this);
        }
        return true;
    });
    return true;
}

}  // namespace Zeph
