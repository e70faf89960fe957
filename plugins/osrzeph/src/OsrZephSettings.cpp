#include "OsrZephSettings.h"

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>
#include <apr_strings.h>
#include <expat.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "OsrGrammar.h"
#include "OsrZephLog.h"

namespace Zeph {

namespace {

// A credentials file is a few kilobytes; anything beyond this is not one.
constexpr size_t kMaxCredentialsFileSize = 1024 * 1024;
// Attempts at a stream refused at its start; the budget bounds their time anyway.
constexpr long kMaxRetryAttempts = 5;
// A caller waits through the back-off: anything near a minute is not a back-off any more.
constexpr long kMaxRetryBackoff = 10000;
// An audio cap below a second would leave no room for an utterance.
constexpr long kMinAudioCap = 1000;

bool NameIs(const apr_xml_elem* elem, const char* name) {
    return strcasecmp(elem->name, name) == 0;
}

// APR's parser says neither where nor what went wrong; expat (which it wraps) does, so a
// document that failed is parsed once more to say it: "line 12: mismatched tag".
std::string DescribeXmlError(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        return "not well-formed XML";
    std::string reason = "not well-formed XML";
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_ERROR) {
        reason = "line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ": " +
                 XML_ErrorString(XML_GetErrorCode(parser));
    }
    XML_ParserFree(parser);
    return reason;
}

bool IsRegularFile(const char* path, apr_pool_t* pool, apr_time_t* ctime = nullptr) {
    apr_finfo_t finfo;
    apr_int32_t wanted = APR_FINFO_TYPE | (ctime ? APR_FINFO_CTIME : 0);
    if (apr_stat(&finfo, path, wanted, pool) != APR_SUCCESS || finfo.filetype != APR_REG) {
        return false;
    }
    if (ctime)
        *ctime = finfo.ctime;
    return true;
}

}  // namespace

// ---- Settings records ---------------------------------------------------------------------

bool StreamingRecogSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Streaming Recognition", [this](const ConfigAttrib& a) {
        if (a.Is("single-utterance")) {
            a.GetBool(m_singleUtterance);
        } else if (a.Is("interim-results")) {
            a.GetBool(m_interimResults);
        } else if (a.Is("max-alternatives")) {
            a.GetInt(m_maxAlternatives, 0, INT32_MAX);
        } else if (a.Is("inter-result-timeout")) {
            a.GetInt(m_interResultTimeout, 0, MPF_SDI_MAX_TIME);
        } else if (a.Is("language")) {
            a.GetString(m_language);
        } else if (a.Is("project-id")) {
            a.GetString(m_projectId);
        } else if (a.Is("method")) {
            if (a.ValueEquals("") || a.ValueEquals("StreamingDetectIntent"))
                a.GetString(m_method);
            else
                a.WarnUnexpectedValue("Attribute", m_method);
        } else if (a.Is("api")) {
            // Empty selects "v2"; a channel's "api" attribute may still name another.
            if (a.ValueEquals("") || a.ValueEquals("v2") || a.ValueEquals("v2beta1") ||
                a.ValueEquals("v3beta1"))
                a.GetString(m_api);
            else
                a.WarnUnexpectedValue("Attribute", m_api);
        } else if (a.Is("start-of-input")) {
            if (a.ValueEquals("service-originated")) {
                m_startOfInput = START_OF_INPUT_SERVICE_ORIGINATED;
            } else if (a.ValueEquals("internal")) {
                m_startOfInput = START_OF_INPUT_INTERNAL;
            } else {
                a.WarnUnexpectedValue("Attribute", m_startOfInput == START_OF_INPUT_INTERNAL
                                                       ? "internal"
                                                       : "service-originated");
            }
        } else if (a.Is("transcription-grammar")) {
            a.GetString(m_transcriptionGrammar);
        } else if (a.Is("accept-srgs")) {
            a.GetBool(m_acceptSrgs);
        } else if (a.Is("skip-unsupported-grammars")) {
            a.GetBool(m_skipUnsupportedGrammars);
        } else if (a.Is("skip-empty-results")) {
            a.GetBool(m_skipEmptyResults);
        } else if (a.Is("generate-output-audio")) {
            a.GetBool(m_generateOutputAudio);
        } else if (a.Is("http-proxy")) {
            a.GetString(m_httpProxy);
        } else if (a.Is("service-uri")) {
            a.GetString(m_serviceUri);
        } else if (a.Is("endpoint-addresses")) {
            if (!ParseEndpointAddresses(a.Value(), m_endpointAddresses))
                a.WarnUnexpectedValue("Attribute", "");
        } else if (a.Is("stream-creation-timeout")) {
            a.GetInt(m_streamCreationTimeout, 0, MPF_SDI_MAX_TIME);
        } else if (a.Is("result-timeout")) {
            a.GetInt(m_resultTimeout, 0, MPF_SDI_MAX_TIME);
        } else if (a.Is("grpc-log-redirection")) {
            a.GetBool(m_grpcLogRedirection);
        } else if (a.Is("grpc-log-verbosity")) {
            a.GetString(m_grpcLogVerbosity);
        } else if (a.Is("grpc-log-trace")) {
            a.GetString(m_grpcLogTrace);
        } else if (a.Is("word-info")) {
            a.GetBool(m_wordInfo);
        } else if (a.Is("model")) {
            a.GetString(m_model);
        } else if (a.Is("model-variant")) {
            a.GetString(m_modelVariant);
        } else if (a.Is("environment")) {
            a.GetString(m_environment);
        } else if (a.Is("agent")) {
            a.GetString(m_agent);
        } else if (a.Is("location")) {
            // It names the endpoint's host: only a location id passes.
            if (a.ValueEquals("") || IsLocationId(a.Value()))
                a.GetString(m_location);
            else
                a.WarnUnexpectedValue("Attribute", m_location);
        } else if (a.Is("max-recv-message-length")) {
            a.GetInt(m_maxRecvMessageLength, INT32_MIN, INT32_MAX);
        } else if (a.Is("max-send-message-length")) {
            a.GetInt(m_maxSendMessageLength, INT32_MIN, INT32_MAX);
        } else if (a.Is("stream-retry-attempts")) {
            a.GetInt(m_retryAttempts, 1, kMaxRetryAttempts);
        } else if (a.Is("stream-retry-backoff")) {
            a.GetInt(m_retryBackoff, 1, kMaxRetryBackoff);
        } else if (a.Is("stream-retry-max-backoff")) {
            a.GetInt(m_retryMaxBackoff, 1, kMaxRetryBackoff);
        } else if (a.Is("stream-retry-budget")) {
            a.GetInt(m_retryBudget, 0, kMaxRetryBackoff);
        } else if (a.Is("stream-audio-cap-es")) {
            a.GetInt(m_audioCapEs, kMinAudioCap, MPF_SDI_MAX_TIME);
        } else if (a.Is("stream-audio-cap-cx")) {
            a.GetInt(m_audioCapCx, kMinAudioCap, MPF_SDI_MAX_TIME);
        } else if (a.Is("stream-audio-cap-margin")) {
            a.GetInt(m_audioCapMargin, 0, MPF_SDI_MAX_TIME);
        } else if (a.Is("channels-per-connection")) {
            // 0 or less would put no channel on a connection.
            a.GetInt(m_channelsPerConnection, 1, INT32_MAX);
        } else {
            return false;
        }
        return true;
    });
    return true;
}

bool ResultsSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Results", [this](const ConfigAttrib& a) {
        if (a.Is("format")) {
            if (a.ValueEquals("standard")) {
                m_format = FORMAT_STANDARD;
            } else if (a.ValueEquals("json")) {
                m_format = FORMAT_JSON;
            } else {
                a.WarnUnexpectedValue("Format Attribute",
                                      m_format == FORMAT_JSON ? "json" : "standard");
            }
        } else if (a.Is("indent")) {
            a.GetInt(m_indent, 0, 64);
        } else if (a.Is("replace-dots")) {
            a.GetBool(m_replaceDots);
        } else if (a.Is("replace-dashes")) {
            a.GetBool(m_replaceDashes);
        } else if (a.Is("skip-empty-elemnets")) {
            a.GetBool(m_skipEmptyElements);
        } else if (a.Is("confidence-format")) {
            static const char* const kConfidenceFormats[] = {"auto", "mrcpv1", "mrcpv2"};
            bool known = false;
            for (int i = 0; i < 3 && !known; ++i) {
                if (a.ValueEquals(kConfidenceFormats[i])) {
                    m_confidenceFormat = static_cast<ConfidenceFormat>(i);
                    known = true;
                }
            }
            if (!known)
                a.WarnUnexpectedValue("Attribute", kConfidenceFormats[m_confidenceFormat]);
        } else if (a.Is("tag-format")) {
            struct TagFormat {
                const char* name;
                TagFormatFamily family;
                TagFormatEncoding encoding;
            };
            static const TagFormat kTagFormats[] = {
                {"semantics/xml", TAG_FORMAT_SEMANTICS, TAG_FORMAT_XML},
                {"swi-semantics/xml", TAG_FORMAT_SWI_SEMANTICS, TAG_FORMAT_XML},
                {"semantics/json", TAG_FORMAT_SEMANTICS, TAG_FORMAT_JSON},
                {"swi-semantics/json", TAG_FORMAT_SWI_SEMANTICS, TAG_FORMAT_JSON},
            };
            const TagFormat* kept = &kTagFormats[0];
            for (const TagFormat& format : kTagFormats) {
                if (format.family == m_tagFormatFamily && format.encoding == m_tagFormatEncoding)
                    kept = &format;
            }
            bool known = false;
            for (const TagFormat& format : kTagFormats) {
                if (a.ValueEquals(format.name)) {
                    m_tagFormatFamily = format.family;
                    m_tagFormatEncoding = format.encoding;
                    known = true;
                    break;
                }
            }
            if (!known)
                a.WarnUnexpectedValue("Attribute", kept->name);
        } else if (a.Is("event-input-mode")) {
            a.GetString(m_eventInputMode);
        } else {
            return false;
        }
        return true;
    });
    return true;
}

bool LogStatementSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Log Statement", [this](const ConfigAttrib& a) {
        if (a.Is("enable")) {
            a.GetBool(m_enable);
        } else if (a.Is("priority")) {
            int level = m_priority;
            a.GetLogLevel(level);
            m_priority = static_cast<apt_log_priority_e>(level);
        } else {
            return false;
        }
        return true;
    });
    return true;
}

bool StatusFileSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Status File", [this](const ConfigAttrib& a) {
        if (a.Is("enable")) {
            a.GetBool(m_enable);
        } else if (a.Is("status-file")) {
            a.GetString(m_statusFile);
        } else {
            return false;
        }
        return true;
    });
    return true;
}

bool MonitoringHandler::Load(const apr_xml_elem* elem) {
    // A handler has no attributes of its own; any given is reported as unknown.
    LoadConfigAttribs(elem, "Monitoring Handler", [](const ConfigAttrib&) { return false; });
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        if (NameIs(child, "log-usage")) {
            m_logUsage.Load(child);
        } else if (NameIs(child, "update-usage")) {
            m_updateUsage.Load(child);
        } else if (NameIs(child, "dump-channels")) {
            m_dumpChannels.Load(child);
        } else {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in <%s>", child->name, elem->name);
        }
    }
    return true;
}

bool MonitoringSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Monitoring", [this](const ConfigAttrib& a) {
        if (a.Is("refresh-period")) {
            // 0 or less turns the refresh off and a period too long for the timer is
            // bounded, both with a word from the engine (Engine::StartUsageRefreshTimer).
            a.GetInt(m_refreshPeriod, LONG_MIN, LONG_MAX);
        } else if (a.Is("folder-mode")) {
            a.GetFolderMode(m_folderMode);
        } else {
            return false;
        }
        return true;
    });
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        if (NameIs(child, "usage-change-handler")) {
            m_usageChangeHandler.Load(child);
        } else if (NameIs(child, "usage-refresh-handler")) {
            m_usageRefreshHandler.Load(child);
        } else {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in <%s>", child->name, elem->name);
        }
    }
    for (MonitoringHandler* handler : {&m_usageChangeHandler, &m_usageRefreshHandler}) {
        handler->m_updateUsage.m_folderMode = m_folderMode;
        handler->m_dumpChannels.m_folderMode = m_folderMode;
    }
    return true;
}

bool UtteranceManagerSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Utterance Manager", [this](const ConfigAttrib& a) {
        if (a.Is("save-waveforms")) {
            a.GetBool(m_saveWaveforms);
        } else if (a.Is("waveform-folder")) {
            a.GetString(m_waveformFolder);
        } else if (a.Is("waveform-base-uri")) {
            a.GetString(m_waveformBaseUri);
        } else {
            return LoadAttrib(a);
        }
        return true;
    });
    return true;
}

bool RdrManagerSettings::Load(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "RDR Manager", [this](const ConfigAttrib& a) {
        if (a.Is("save-records")) {
            a.GetBool(m_saveRecords);
        } else if (a.Is("record-folder")) {
            a.GetString(m_recordFolder);
        } else {
            return LoadAttrib(a);
        }
        return true;
    });
    return true;
}

// ---- EngineSettings -----------------------------------------------------------------------

EngineSettings::EngineSettings() {
    mpf_sdi_params_init(&m_sdiParams);
}

EngineSettings::~EngineSettings() {
    for (auto& entry : m_speechContexts)
        delete entry.second;
    for (auto& entry : m_builtinSpeechGrammars)
        delete entry.second;
    for (auto& entry : m_builtinDtmfGrammars)
        delete entry.second;
}

bool EngineSettings::LoadConfig(const char* fileName, const char* pluginId,
                                const apt_dir_layout_t* layout, apr_pool_t* pool) {
    const char* path = apt_confdir_filepath_get(layout, fileName, pool);
    if (!path)
        return false;
    mpf_sdi_params_init(&m_sdiParams);
    const apr_xml_doc* doc = ParseFile(path, pool);
    if (!doc)
        return false;
    if (!LoadDocument(pluginId, doc, pool))
        return false;
    return ValidateConfig(layout, pool);
}

apr_xml_doc* EngineSettings::ParseFile(const char* path, apr_pool_t* pool) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Open Config File [%s]", path);
    apr_file_t* file = nullptr;
    const apr_status_t status =
        apr_file_open(&file, path, APR_FOPEN_READ | APR_FOPEN_BINARY, APR_FPROT_OS_DEFAULT, pool);
    if (status != APR_SUCCESS) {
        char reason[256];
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Open Config File [%s]: %s",
                path, apr_strerror(status, reason, sizeof(reason)));
        return nullptr;
    }
    apr_xml_parser* parser = nullptr;
    apr_xml_doc* doc = nullptr;
    if (apr_xml_parse_file(pool, &parser, &doc, file, 2000) != APR_SUCCESS) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Parse Config File [%s]: %s",
                path, DescribeXmlError(path).c_str());
        doc = nullptr;
    }
    apr_file_close(file);
    return doc;
}

bool EngineSettings::LoadDocument(const char* pluginId, const apr_xml_doc* doc, apr_pool_t* pool) {
    const apr_xml_elem* root = doc ? doc->root : nullptr;
    if (!root || strcmp(root->name, pluginId) != 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Unknown Document <%s>, Expected <%s>",
                root ? root->name : "", pluginId);
        return false;
    }
    LoadConfigAttribs(root, "Document", [this](const ConfigAttrib& a) {
        if (a.Is("gapp-credentials-file")) {
            a.GetString(m_credentialsFile);
        } else if (a.Is("ssl-roots-file")) {
            a.GetString(m_sslRootsFile);
        } else {
            return false;
        }
        return true;
    });
    for (const apr_xml_elem* elem = root->first_child; elem; elem = elem->next) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Loading Element %s", elem->name);
        LoadElement(elem, pool);
    }
    return true;
}

bool EngineSettings::LoadElement(const apr_xml_elem* elem, apr_pool_t* pool) {
    if (NameIs(elem, "streaming-recognition"))
        return m_streaming.Load(elem);
    if (NameIs(elem, "results"))
        return m_results.Load(elem);
    if (NameIs(elem, "builtin-grammars")) {
        LoadBuiltinGrammars(elem);
        return true;
    }
    if (NameIs(elem, "speech-contexts")) {
        LoadSpeechContexts(elem);
        return true;
    }
    if (NameIs(elem, "utterance-manager"))
        return m_utteranceManager.Load(elem);
    if (NameIs(elem, "rdr-manager"))
        return m_rdrManager.Load(elem);
    if (NameIs(elem, "speech-dtmf-input-detector")) {
        return mpf_sdi_params_load(&m_sdiParams, elem, pool) == TRUE;
    }
    if (NameIs(elem, "monitoring-agent"))
        return m_monitoring.Load(elem);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s>", elem->name);
    return false;
}

void EngineSettings::LoadBuiltinGrammars(const apr_xml_elem* elem) {
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        if (!NameIs(child, "builtin-grammar")) {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in Builtin Grammars", child->name);
            continue;
        }
        auto* grammar = new BuiltinGrammar();
        BuiltinGrammarMap* map = nullptr;
        if (grammar->Load(child)) {
            if (grammar->m_mode == BuiltinGrammar::MODE_SPEECH)
                map = &m_builtinSpeechGrammars;
            if (grammar->m_mode == BuiltinGrammar::MODE_DTMF)
                map = &m_builtinDtmfGrammars;
        }
        // The first record of a name wins; a record without mode belongs nowhere.
        if (!map || !map->emplace(grammar->m_name, grammar).second)
            delete grammar;
    }
}

void EngineSettings::LoadSpeechContexts(const apr_xml_elem* elem) {
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        if (!NameIs(child, "speech-context")) {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in Speech Contexts", child->name);
            continue;
        }
        auto* context = new SpeechContext();
        // The first context of an id wins.
        if (!context->Load(child) || !m_speechContexts.emplace(context->m_id, context).second) {
            delete context;
        }
    }
}

bool EngineSettings::ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool) {
    const char* varDir = apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR, pool);
    const char* statusDir = apt_vardir_filepath_get(layout, "status", pool);
    const char* dataDir = apt_dir_layout_path_get(layout, APT_LAYOUT_DATA_DIR, pool);
    if (!varDir || !statusDir || !dataDir)
        return false;
    if (!ResolvePath(m_utteranceManager.m_waveformFolder, varDir, pool))
        return false;
    if (!ResolvePath(m_rdrManager.m_recordFolder, varDir, pool))
        return false;

    if (!ResolvePath(m_credentialsFile, dataDir, pool))
        return false;
    if (!FindCredentialsFile(pool))
        return false;

    if (!m_sslRootsFile.empty()) {
        if (!ResolvePath(m_sslRootsFile, dataDir, pool))
            return false;
        if (!IsRegularFile(m_sslRootsFile.c_str(), pool)) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Stat SSL Roots File %s",
                    m_sslRootsFile.c_str());
            return false;
        }
    }

    if (m_streaming.m_projectId.empty()) {
        // Without a project id the channels cannot address the agent; they report that
        // themselves, so a credentials file without one does not stop the engine.
        std::string json;
        LoadCredentialsFile(m_credentialsFile, json, m_streaming.m_projectId);
    }

    for (MonitoringHandler* handler :
         {&m_monitoring.m_usageChangeHandler, &m_monitoring.m_usageRefreshHandler}) {
        for (StatusFileSettings* status : {&handler->m_updateUsage, &handler->m_dumpChannels}) {
            if (status->m_enable && !ResolvePath(status->m_statusFile, statusDir, pool)) {
                return false;
            }
        }
    }
    return true;
}

bool EngineSettings::FindCredentialsFile(apr_pool_t* pool) {
    if (IsRegularFile(m_credentialsFile.c_str(), pool))
        return true;

    // Not a file: its last component is a pattern for the newest matching file.
    const size_t slash = m_credentialsFile.rfind('/');
    std::string dirPath;
    std::string pattern;
    if (slash == std::string::npos) {
        dirPath = ".";
        pattern = m_credentialsFile;
    } else {
        dirPath = m_credentialsFile.substr(0, slash + 1);
        pattern = m_credentialsFile.substr(slash + 1);
    }

    std::string newest;
    apr_time_t newestTime = 0;
    apr_dir_t* dir = nullptr;
    if (!pattern.empty() && apr_dir_open(&dir, dirPath.c_str(), pool) == APR_SUCCESS) {
        apr_finfo_t entry;
        while (apr_dir_read(&entry, APR_FINFO_NAME, dir) == APR_SUCCESS) {
            if (!entry.name || apr_fnmatch(pattern.c_str(), entry.name, 0) != APR_SUCCESS) {
                continue;
            }
            // apr_stat follows links, so a link to a credentials file counts as the file.
            const std::string candidate =
                (slash == std::string::npos ? std::string() : dirPath) + entry.name;
            apr_time_t ctime = 0;
            if (!IsRegularFile(candidate.c_str(), pool, &ctime))
                continue;
            if (newest.empty() || ctime > newestTime) {
                newest = candidate;
                newestTime = ctime;
            }
        }
        apr_dir_close(dir);
    }
    if (newest.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Find Credentials File %s",
                m_credentialsFile.c_str());
        return false;
    }
    m_credentialsFile = newest;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Determined Credentials File %s",
            m_credentialsFile.c_str());
    return true;
}

bool EngineSettings::ReadCredentialsFile(const std::string& path, std::string& text,
                                         std::string& problem) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) {
        problem = std::string("cannot be opened (") + strerror(errno) + ")";
        return false;
    }
    // Read it whole (one byte past the limit tells an oversized file).
    text.clear();
    char buffer[4096];
    size_t count;
    while (text.size() <= kMaxCredentialsFileSize &&
           (count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, count);
    }
    const bool readError = ferror(file) != 0;
    fclose(file);
    if (readError)
        problem = "cannot be read";
    else if (text.empty())
        problem = "is empty";
    else if (text.size() > kMaxCredentialsFileSize)
        problem = "is larger than " + std::to_string(kMaxCredentialsFileSize) + " bytes";
    else
        return true;
    return false;
}

std::string EngineSettings::CheckServiceAccountKey(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        const size_t offset = std::min(doc.GetErrorOffset(), text.size());
        const long line = 1 + std::count(text.begin(), text.begin() + offset, '\n');
        return "is not JSON (line " + std::to_string(line) + ": " +
               rapidjson::GetParseError_En(doc.GetParseError()) + ")";
    }
    if (!doc.IsObject())
        return "is not a JSON object";
    auto type = doc.FindMember("type");
    if (type == doc.MemberEnd() || !type->value.IsString())
        return "is not a service-account key (no \"type\")";
    if (std::string(type->value.GetString()) != "service_account")
        return std::string("is not a service-account key (\"type\" is \"") +
               type->value.GetString() + "\")";
    // What gRPC's service-account credentials read.
    std::string missing;
    for (const char* name : {"private_key_id", "private_key", "client_email", "client_id"}) {
        auto member = doc.FindMember(name);
        if (member == doc.MemberEnd() || !member->value.IsString())
            missing += std::string(missing.empty() ? "" : ", ") + "\"" + name + "\"";
    }
    return missing.empty() ? std::string() : "lacks " + missing;
}

bool EngineSettings::LoadCredentialsFile(const std::string& path, std::string& json,
                                         std::string& projectId) {
    std::string text;
    std::string problem;
    if (!ReadCredentialsFile(path, text, problem)) {
        const bool opened = problem.compare(0, 16, "cannot be opened") != 0;
        apt_log(
            ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            opened ? "Failed to Read Credentials File %s" : "Failed to Open Credentials File %s",
            path.c_str());
        return false;
    }

    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Credentials File %s",
                path.c_str());
        return false;
    }
    if (doc.IsObject()) {
        auto member = doc.FindMember("project_id");
        if (member != doc.MemberEnd() && member->value.IsString()) {
            projectId.assign(member->value.GetString(), member->value.GetStringLength());
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Determined Project ID %s",
                    projectId.c_str());
        }
    }
    json = std::move(text);
    return true;
}

}  // namespace Zeph
