#include "OsrUtteranceManager.h"

#include "OsrZephSettings.h"

namespace Zeph {

bool UtteranceManager::Settings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Utterance Manager", [this](const ConfigAttrib& a) {
        if (a.Is("save-waveforms")) {
            a.GetBool(m_saveWaveforms);
        } else if (a.Is("waveform-folder")) {
            a.GetString(m_waveformFolder);
        } else if (a.Is("waveform-base-uri")) {
            a.GetString(m_waveformBaseUri);
        } else {
            return LoadFileManagerAttrib(a, *this);
        }
        return true;
    });
    return true;
}

}  // namespace Zeph
