#include "OsrRdrManager.h"

#include <apr_strings.h>
#include <rapidjson/document.h>

#include <cmath>
#include <cstdio>
#include <locale>
#include <sstream>

#include "OsrUtteranceManager.h"

namespace Zeph {

namespace {

using OstEdpf::LOG_LEVEL_DEBUG;
using OstEdpf::LOG_LEVEL_WARNING;

// Member lines: 3 spaces at the top level, 6 inside "input" and "gRPC".
constexpr const char* kTop = "   ";
constexpr const char* kInner = "      ";

// Length of the well-formed UTF-8 sequence that starts at text[i]; 0 when there is none.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    unsigned min;
    unsigned code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// `text` as a JSON string, quotes included: quote, backslash and control characters are
// escaped, and a byte that is not part of well-formed UTF-8 becomes U+FFFD, so the record
// stays JSON whatever the service or the client sent.
void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length) {
                out.append(text, i, length);
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

// One member line: indentation, quoted key, ": ", the value as it is, and a comma unless
// it is the last member of its object.
void AppendMember(std::string& out, const char* indent, const char* key, const std::string& value,
                  bool comma = true) {
    out += indent;
    out += '"';
    out += key;
    out += "\": ";
    out += value;
    if (comma)
        out += ',';
    out += '\n';
}

void AppendStringMember(std::string& out, const char* indent, const char* key,
                        const std::string& value, bool comma = true) {
    std::string quoted;
    AppendJsonString(quoted, value);
    AppendMember(out, indent, key, quoted, comma);
}

// A number with its unit, inside quotes: "16000 Hz".
std::string WithUnit(unsigned long long value, const char* unit) {
    return "\"" + std::to_string(value) + " " + unit + "\"";
}

// Six significant digits, no trailing zeros, independent of the process's locale. JSON has
// no NaN or infinity: such a value (never a real confidence) is written as 0.
std::string FormatConfidence(float confidence) {
    if (!std::isfinite(confidence))
        confidence = 0;
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    stream << confidence;
    return stream.str();
}

// The query results text is JSON composed from the service's answer; it goes into the
// record as it is. Anything that is not one JSON value in UTF-8 goes in as a string
// instead, so the record stays readable. Parsed iteratively: nesting depth costs no stack.
std::string QueryResultsValue(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(text.c_str(),
                                                                                      text.size());
    if (!doc.HasParseError())
        return text;
    std::string quoted;
    AppendJsonString(quoted, text);
    return quoted;
}

}  // namespace

// ---- RecognitionDetails ---------------------------------------------------------------------

void RdrManager::RecognitionDetails::Reset() {
    m_enabled = false;
    m_name.clear();
    m_mrcpVersion = MRCP_VERSION_UNKNOWN;
    m_samplingRate = 0;
    PartialReset();  // the times, the end-of-utterance flag and the query results
    m_bytesSent = 0;
    m_timeline = TurnTimeline();
    m_streamRetries = 0;
    m_inputMode = MPF_SDI_MODE_NONE;
    mpf_sdi_stats_init(&m_inputStats);
    m_completionCause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
    m_inputText.clear();
    m_confidence = 0;
    m_confidenceThreshold = 0;
    m_streamingSettings = StreamingRecogSettings();
    m_resultsSettings = ResultsSettings();
    m_loggingTag.clear();
    m_speechInputStarted = false;
    m_dtmfInputStarted = false;
    m_startOfInputSent = false;
    m_inputComplete = false;
    m_streamCreated = false;
    m_queryResultV2.Clear();
    m_queryResultV2beta1.Clear();
    m_queryResultV3beta1.Clear();
}

void RdrManager::RecognitionDetails::PartialReset() {
    m_startTime = 0;
    m_startOfInputTime = 0;
    m_endOfInputTime = 0;
    m_streamCreationTime = 0;
    m_startOfStreamingTime = 0;
    m_endOfStreamingTime = 0;
    m_completionTime = 0;
    m_endOfUtterance = false;
    m_queryResults.clear();
}

bool RdrManager::RecognitionDetails::GetTimestampStr(apr_time_t time, std::string& text) const {
    if (!time) {
        text.clear();
        return false;
    }
    text = std::to_string(static_cast<long long>((time - m_startTime) / 1000)) + " ms";
    return true;
}

bool RdrManager::RecognitionDetails::GetInputTypeStr(int type, std::string& text) {
    switch (type) {
        case MPF_SDI_MODE_SPEECH:
            text = "speech";
            return true;
        case MPF_SDI_MODE_DTMF:
            text = "dtmf";
            return true;
        default:
            return false;
    }
}

bool RdrManager::RecognitionDetails::Save(const std::string& path,
                                          const OstEdpf::LogFacility* facility) const {
    if (facility)
        OSTEDPF_FACILITY_LOG(*facility, LOG_LEVEL_DEBUG, "Save RDR %s", path.c_str());
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        if (facility) {
            OSTEDPF_FACILITY_LOG(*facility, LOG_LEVEL_WARNING, "Failed to Open RDR File %s",
                                 path.c_str());
        }
        return false;
    }

    std::string datetime;
    if (m_startTime) {
        apr_time_exp_t t;
        if (apr_time_exp_lt(&t, m_startTime) == APR_SUCCESS) {
            char text[64];
            snprintf(text, sizeof(text), "%4d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
            datetime = text;
        }
    }
    std::string cause;
    if (const apt_str_t* name = mrcp_recog_completion_cause_get(m_completionCause, m_mrcpVersion))
        cause.assign(name->buf, name->length);

    // A "ts" value, quoted.
    const auto ts = [this](apr_time_t time) {
        std::string text;
        GetTimestampStr(time, text);
        return "\"" + text + "\"";
    };
    // Set, and not before the recognition started.
    const auto happened = [this](apr_time_t time) { return time && time >= m_startTime; };

    std::string out = "{\"recog-details-record\": {\n";
    AppendStringMember(out, kTop, "datetime", datetime);
    AppendStringMember(out, kTop, "language", m_streamingSettings.m_language);
    AppendMember(out, kTop, "sampling-rate",
                 WithUnit(m_samplingRate > 0 ? static_cast<unsigned>(m_samplingRate) : 0, "Hz"));
    AppendMember(out, kTop, "max-alternatives",
                 std::to_string(m_streamingSettings.m_maxAlternatives));

    std::string type;
    if (m_inputMode != MPF_SDI_MODE_NONE && GetInputTypeStr(m_inputMode, type)) {
        const bool speech = m_inputMode == MPF_SDI_MODE_SPEECH;
        out += kTop;
        out += "\"input\": {\n";
        AppendStringMember(out, kInner, "type", type);
        if (happened(m_startOfInputTime))
            AppendMember(out, kInner, "start-of-input-ts", ts(m_startOfInputTime));
        if (happened(m_endOfInputTime))
            AppendMember(out, kInner, "end-of-input-ts", ts(m_endOfInputTime));
        // The detector's own name for its cause; "UNKNOWN" for a value it has no name for.
        AppendStringMember(out, kInner, "end-of-input-cause",
                           mpf_sdi_completion_cause_str(
                               static_cast<mpf_sdi_completion_cause_e>(m_inputStats.cause)),
                           speech);
        if (speech) {
            AppendMember(out, kInner, "duration", WithUnit(m_inputStats.duration, "ms"));
            AppendMember(out, kInner, "size", WithUnit(m_inputStats.size, "bytes"), false);
        }
        out += kTop;
        out += "},\n";
    }

    if (happened(m_startOfStreamingTime)) {
        out += kTop;
        out += "\"gRPC\": {\n";
        AppendMember(out, kInner, "creation-ts", ts(m_streamCreationTime));
        AppendMember(out, kInner, "start-of-streaming-ts", ts(m_startOfStreamingTime));
        AppendMember(out, kInner, "end-of-streaming-ts", ts(m_endOfStreamingTime));
        if (m_endOfUtterance)
            AppendMember(out, kInner, "end-of-utterance", "true");
        AppendMember(out, kInner, "sent", WithUnit(m_bytesSent, "bytes"), false);
        out += kTop;
        out += "},\n";
    }

    // Every recognition a channel ran has a timeline (started at its RECOGNIZE).
    if (m_timeline.IsStarted()) {
        m_timeline.AppendRecordMember(out, kTop);
        AppendMember(out, kTop, "stream-retries", std::to_string(m_streamRetries));
    }
    AppendStringMember(out, kTop, "completion-cause", cause);
    AppendMember(out, kTop, "completion-ts", ts(m_completionTime));
    AppendStringMember(out, kTop, "transcript", m_inputText);
    out += kTop;
    out += "\"confidence\": ";
    out += FormatConfidence(m_confidence);
    if (!m_queryResults.empty()) {
        out += ",\n";
        out += kTop;
        out += "\"query-results\":\n";
        out += QueryResultsValue(m_queryResults);
        out += "}}\n";
    } else {
        out += "\n}}\n";
    }

    fwrite(out.data(), 1, out.size(), file);
    fclose(file);
    return true;
}

// ---- RdrManager -----------------------------------------------------------------------------

RdrManager::RdrManager(const Settings& settings)
    : OstEdpf::FileManager(&m_logFacility),
      m_logFacility("RDRM", static_cast<OstEdpf::LogLevel>(settings.m_logLevel)),
      m_saveRecords(settings.m_saveRecords),
      m_useLoggingTag(settings.m_useLoggingTag) {
    settings.Apply(*this, settings.m_recordFolder);
}

RdrManager::~RdrManager() {
    // Here, while the facility the base logs with still exists.
    DestroyFileEntries();
}

bool RdrManager::ComposeName(std::string& name, const char* channelId, std::uint32_t requestId,
                             const std::string& loggingTag, apr_pool_t* pool) const {
    const char* composed =
        !loggingTag.empty() && m_useLoggingTag
            ? apr_psprintf(pool, "%s%s-%lu-%s%s", m_filePrefix.c_str(), channelId,
                           static_cast<unsigned long>(requestId),
                           UtteranceManager::SanitizeLoggingTag(loggingTag).c_str(),
                           m_fileExtension.c_str())
            : apr_psprintf(pool, "%s%s-%lu%s", m_filePrefix.c_str(), channelId,
                           static_cast<unsigned long>(requestId), m_fileExtension.c_str());
    if (!composed)
        return false;
    name = composed;
    return true;
}

bool RdrManager::ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const {
    if (!ComposeFolderEntryPath(path, m_directory, name, pool)) {
        OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_WARNING,
                             "Failed to Compose RDR File Path for [%s]", name.c_str());
        return false;
    }
    return true;
}

bool RdrManager::SaveRecord(RecognitionDetails& details, apr_pool_t* pool) {
    if (!details.m_enabled)
        return false;
    details.m_completionTime = apr_time_now();
    std::string path;
    if (!ComposePath(path, details.m_name, pool) || !details.Save(path, &m_logFacility))
        return false;
    return AddFileEntry(details.m_name, details.m_completionTime);
}

}  // namespace Zeph
