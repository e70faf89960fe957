// Utterance manager: names, writes and keeps the WAV files of saved utterances.
//
// For now only the settings record of the "utterance-manager" element; the manager itself
// (a file manager over the waveform folder) is built on top of it.
//
// Threads: the settings are loaded on the server thread in Engine::Open and then read on the
// engine's event processor thread.
#pragma once

#include <string>

#include <apr_xml.h>
#include <ostrin/apt_log.h>

namespace Zeph {

class UtteranceManager {
public:
    // Element "utterance-manager".
    struct Settings {
        bool m_saveWaveforms = false;
        bool m_purgeExisting = false;
        long m_maxFileAge = 60;     // minutes, 0 = no limit
        long m_maxFileCount = 100;  // 0 = no limit
        // Relative to the server's var directory until ValidateConfig makes it absolute.
        std::string m_waveformFolder;
        std::string m_waveformBaseUri = "http://localhost/utterances";
        std::string m_filePrefix = "osrzeph-";
        std::string m_fileExt = ".wav";
        // Level of the manager's log facility "UTTM" (log levels share the host priorities).
        int m_logLevel = APT_PRIO_NOTICE;
        bool m_useLoggingTag = false;

        bool Load(const apr_xml_elem* elem);
    };
};

}  // namespace Zeph
