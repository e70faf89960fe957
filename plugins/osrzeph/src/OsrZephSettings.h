// Engine settings: the configuration document "osrzeph.xml" and the records it fills.
//
// Threads: the engine loads the configuration once, on the server thread that runs
// Engine::Open; afterwards the settings are read-only and are read on the engine's event
// processor thread (channels copy the records they change per recognition).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <apr_pools.h>
#include <apr_xml.h>
#include <ostrin/apt_dir_layout.h>
#include <ostrin/apt_log.h>

#include "OsrZephConfig.h"
#include "OsrZephEndpoint.h"
#include "mpf_sdi_util.h"

namespace Zeph {

class SpeechContext;
class BuiltinGrammar;

// ---- Settings records ---------------------------------------------------------------------

// Element "streaming-recognition": how a recognition is streamed to the service.
struct StreamingRecogSettings {
    enum StartOfInput {
        START_OF_INPUT_SERVICE_ORIGINATED = 0,  // START-OF-INPUT on the first transcript
        START_OF_INPUT_INTERNAL = 1             // START-OF-INPUT on the detector's speech start
    };

    bool m_singleUtterance = true;
    bool m_interimResults = false;
    int m_maxAlternatives = 1;
    long m_interResultTimeout = 0;  // ms, 0 = none
    std::string m_language = "en-US";
    std::string m_projectId;  // empty: read from the credentials file
    std::string m_method;     // empty or "StreamingDetectIntent"
    std::string m_api;        // "v2", "v2beta1", "v3beta1"; empty selects "v2"
    StartOfInput m_startOfInput = START_OF_INPUT_SERVICE_ORIGINATED;
    std::string m_transcriptionGrammar = "transcribe";
    bool m_acceptSrgs = true;
    bool m_skipUnsupportedGrammars = true;
    bool m_skipEmptyResults = true;
    bool m_generateOutputAudio = false;
    std::string m_httpProxy;
    // At the global endpoint (the default), each recognition goes to its location's
    // endpoint (OsrZephEndpoint.h); any other target takes every recognition.
    std::string m_serviceUri = "dialogflow.googleapis.com";
    // Endpoints reached at other network addresses than their names (OsrZephEndpoint.h).
    EndpointAddresses m_endpointAddresses;
    long m_streamCreationTimeout = 0;
    // ms from the half-close until the service must have ended the stream, 0 = no limit;
    // above the longest webhook timeout the service allows (30 s).
    long m_resultTimeout = 35000;
    bool m_grpcLogRedirection = false;
    std::string m_grpcLogVerbosity;
    std::string m_grpcLogTrace;
    bool m_wordInfo = false;
    std::string m_model;
    std::string m_modelVariant;
    std::string m_environment;
    std::string m_agent;
    std::string m_location;               // empty or a location id (IsLocationId)
    int32_t m_maxRecvMessageLength = -1;  // used when > 0
    int32_t m_maxSendMessageLength = -1;  // used when > 0
    // MRCP channels that share one gRPC connection to the service (at least 1): half the
    // 100 concurrent streams the service takes on one connection, so that every channel
    // may have a call finishing while its next one starts.
    int m_channelsPerConnection = 50;
    // The stream engine's retry of a stream the service refuses at its start as unavailable
    // or exhausted, before it has answered anything (OsrZephStreamRetry.h): attempts in all
    // (1 = no retry), the capped exponential back-off in ms (each wait drawn at random below
    // its bound), and the budget: no retry starts later than this many ms after the turn's
    // first refusal. The defaults keep a caller waiting at most about a second more.
    int m_retryAttempts = 3;
    long m_retryBackoff = 250;
    long m_retryMaxBackoff = 500;
    long m_retryBudget = 1000;
    // The service's cap on the audio of one stream, in ms (ES 1 minute, CX 2 minutes), and
    // the margin before it at which the engine acts: a stream that has carried nothing is
    // replaced, speech is ended there and its result completes as at the recognition
    // timeout.
    long m_audioCapEs = 60000;
    long m_audioCapCx = 120000;
    long m_audioCapMargin = 2000;

    bool Load(const apr_xml_elem* elem);
};

// Element "results": how a query result becomes the body of RECOGNITION-COMPLETE.
struct ResultsSettings {
    enum Format { FORMAT_STANDARD = 0, FORMAT_JSON = 1 };
    enum ConfidenceFormat {
        CONFIDENCE_FORMAT_AUTO = 0,
        CONFIDENCE_FORMAT_MRCPV1 = 1,
        CONFIDENCE_FORMAT_MRCPV2 = 2
    };
    enum TagFormatFamily { TAG_FORMAT_SEMANTICS = 0, TAG_FORMAT_SWI_SEMANTICS = 1 };
    enum TagFormatEncoding { TAG_FORMAT_XML = 0, TAG_FORMAT_JSON = 1 };

    Format m_format = FORMAT_STANDARD;
    int m_indent = 0;
    bool m_replaceDots = true;
    bool m_replaceDashes = true;
    bool m_skipEmptyElements = false;
    ConfidenceFormat m_confidenceFormat = CONFIDENCE_FORMAT_AUTO;
    TagFormatFamily m_tagFormatFamily = TAG_FORMAT_SEMANTICS;
    TagFormatEncoding m_tagFormatEncoding = TAG_FORMAT_XML;
    std::string m_eventInputMode = "event";

    bool Load(const apr_xml_elem* elem);
};

// Child "log-usage" of a monitoring handler: the usage log line.
struct LogStatementSettings {
    bool m_enable = false;
    apt_log_priority_e m_priority = APT_PRIO_NOTICE;

    bool Load(const apr_xml_elem* elem);
};

// Children "update-usage" and "dump-channels" of a monitoring handler: a status file. A
// relative path is resolved under the var directory's "status" folder by ValidateConfig.
struct StatusFileSettings {
    bool m_enable = false;
    std::string m_statusFile;
    // Mode of the file's folder when it has to be created: the monitoring agent's
    // "folder-mode", given to each of its status files.
    mode_t m_folderMode = OstEdpf::kDefaultFolderMode;

    bool Load(const apr_xml_elem* elem);
};

// "usage-change-handler" or "usage-refresh-handler": what to do on that occasion.
struct MonitoringHandler {
    LogStatementSettings m_logUsage;
    StatusFileSettings m_updateUsage;
    StatusFileSettings m_dumpChannels;

    // Any of the three outputs enabled.
    bool IsEnabled() const {
        return m_logUsage.m_enable || m_updateUsage.m_enable || m_dumpChannels.m_enable;
    }
    bool Load(const apr_xml_elem* elem);
};

// Element "monitoring-agent".
struct MonitoringSettings {
    long m_refreshPeriod = 60000;  // seconds
    mode_t m_folderMode = OstEdpf::kDefaultFolderMode;
    MonitoringHandler m_usageChangeHandler;
    MonitoringHandler m_usageRefreshHandler;

    bool Load(const apr_xml_elem* elem);
};

// Element "utterance-manager" (UtteranceManager::Settings).
struct UtteranceManagerSettings : FileManagerSettings {
    UtteranceManagerSettings() : FileManagerSettings(".wav") {}

    bool m_saveWaveforms = false;
    // Relative to the server's var directory until ValidateConfig makes it absolute.
    std::string m_waveformFolder;
    std::string m_waveformBaseUri = "http://localhost/utterances";

    bool Load(const apr_xml_elem* elem);
};

// Element "rdr-manager" (RdrManager::Settings).
struct RdrManagerSettings : FileManagerSettings {
    RdrManagerSettings() : FileManagerSettings(".json") {}

    bool m_saveRecords = false;
    // Relative to the server's var directory until ValidateConfig makes it absolute.
    std::string m_recordFolder;

    bool Load(const apr_xml_elem* elem);
};

// ---- Everything the engine configures ---------------------------------------------------

// The engine's configuration: filled by LoadConfig, then read-only. Owns the configured
// speech contexts and built-in grammars (deleted with the settings).
class EngineSettings {
public:
    using SpeechContextMap = std::map<std::string, SpeechContext*>;
    using BuiltinGrammarMap = std::map<std::string, BuiltinGrammar*>;

    // Every record at its default; detector parameters from mpf_sdi_params_init.
    EngineSettings();
    ~EngineSettings();
    EngineSettings(const EngineSettings&) = delete;
    EngineSettings& operator=(const EngineSettings&) = delete;

    // Finds `fileName` in the configuration directory, parses and loads it (root element
    // must be `pluginId`), then validates and completes the paths.
    bool LoadConfig(const char* fileName, const char* pluginId, const apt_dir_layout_t* layout,
                    apr_pool_t* pool);
    // The parsed document, allocated from `pool`, or null (logged).
    apr_xml_doc* ParseFile(const char* path, apr_pool_t* pool);
    bool LoadDocument(const char* pluginId, const apr_xml_doc* doc, apr_pool_t* pool);
    // One child of the root; FALSE for an unknown element (the caller goes on regardless).
    bool LoadElement(const apr_xml_elem* elem, apr_pool_t* pool);
    // Resolves relative folders and files against the server's directories, picks the
    // credentials file (a wildcard pattern selects the most recently changed match), checks
    // the SSL roots file and reads the project id from the credentials file if none is set.
    bool ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool);

    // Reads a Google credentials file: `json` gets its whole text; `projectId` gets its
    // "project_id" string if it has one (otherwise it is left as it was). FALSE (logged) when
    // the file cannot be opened, is empty or larger than 1 MiB, or is not JSON.
    static bool LoadCredentialsFile(const std::string& path, std::string& json,
                                    std::string& projectId);
    // Reads a credentials file whole, as LoadCredentialsFile does; FALSE with what is wrong
    // in `problem` ("cannot be opened", ...), nothing logged.
    static bool ReadCredentialsFile(const std::string& path, std::string& text,
                                    std::string& problem);
    // What keeps gRPC from making credentials of a service-account key's text ("is not JSON
    // (line 1: Invalid value.)", "lacks \"client_email\""); empty when nothing does. gRPC
    // would only log a dump of its own, naming the next file it tried.
    static std::string CheckServiceAccountKey(const std::string& text);

    // Root attribute "gapp-credentials-file"; after validation the full path of the file.
    std::string m_credentialsFile;
    // Root attribute "ssl-roots-file"; after validation the full path, or empty.
    std::string m_sslRootsFile;

    StreamingRecogSettings m_streaming;
    ResultsSettings m_results;
    MonitoringSettings m_monitoring;
    UtteranceManagerSettings m_utteranceManager;
    RdrManagerSettings m_rdrManager;
    mpf_sdi_params_t m_sdiParams;

    // Configured speech contexts by id; built-in grammars by name, one map per mode.
    SpeechContextMap m_speechContexts;
    BuiltinGrammarMap m_builtinSpeechGrammars;
    BuiltinGrammarMap m_builtinDtmfGrammars;

private:
    void LoadBuiltinGrammars(const apr_xml_elem* elem);
    void LoadSpeechContexts(const apr_xml_elem* elem);
    bool FindCredentialsFile(apr_pool_t* pool);
};

}  // namespace Zeph
