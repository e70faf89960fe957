// Recognition details record manager: names and keeps the JSON record of each recognition.
//
// For now only the settings record of the "rdr-manager" element; the manager itself (a file
// manager over the record folder) and the records are built on top of it.
//
// Threads: the settings are loaded on the server thread in Engine::Open and then read on the
// engine's event processor thread.
#pragma once

#include <string>

#include <apr_xml.h>
#include <ostrin/apt_log.h>

namespace Zeph {

class RdrManager {
public:
    // Element "rdr-manager".
    struct Settings {
        bool m_saveRecords = false;
        bool m_purgeExisting = false;
        long m_maxFileAge = 60;     // minutes, 0 = no limit
        long m_maxFileCount = 100;  // 0 = no limit
        // Relative to the server's var directory until ValidateConfig makes it absolute.
        std::string m_recordFolder;
        std::string m_filePrefix = "osrzeph-";
        std::string m_fileExt = ".json";
        // Level of the manager's log facility "RDRM" (log levels share the host priorities).
        int m_logLevel = APT_PRIO_NOTICE;
        bool m_useLoggingTag = false;

        bool Load(const apr_xml_elem* elem);
    };
};

}  // namespace Zeph
