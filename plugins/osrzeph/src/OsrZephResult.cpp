#include "OsrZephResult.h"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/type_resolver.h>
#include <google/protobuf/util/type_resolver_util.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "OsrGrammar.h"
#include "OsrZephLog.h"
#include "OsrZephPbXml.h"

namespace Zeph {

namespace {

namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

const char kChannelSuffix[] = "zeph";
const char kTypeUrlPrefix[] = "type.googleapis.com";

// ---- What differs between the flavours --------------------------------------------------

// Text of the input element: the query text for ES.
template <typename EsQueryResult>
const std::string& InputText(const EsQueryResult& queryResult, std::string& /*scratch*/) {
    return queryResult.query_text();
}

// CX: the query that was sent, whatever its kind. A triggered intent is named by the query
// itself; the match's intent, then the deprecated intent, only when the service left it out.
const std::string& InputText(const cx::QueryResult& queryResult, std::string& scratch) {
    switch (queryResult.query_case()) {
        case cx::QueryResult::kText:
            return queryResult.text();
        case cx::QueryResult::kTranscript:
            return queryResult.transcript();
        case cx::QueryResult::kTriggerEvent:
            return queryResult.trigger_event();
        case cx::QueryResult::kTriggerIntent:
            if (!queryResult.trigger_intent().empty())
                return queryResult.trigger_intent();
            if (!queryResult.match().intent().name().empty())
                return queryResult.match().intent().name();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            return queryResult.intent().name();
#pragma GCC diagnostic pop
        case cx::QueryResult::kDtmf:
            return queryResult.dtmf().digits();
        case cx::QueryResult::QUERY_NOT_SET:
            break;
    }
    scratch.clear();
    return scratch;
}

// What the service itself says about the confidence and the cause; 0 is "not set".
struct ServiceVerdict {
    float m_speechConfidence = 0.0f;  // ES speech_recognition_confidence
    float m_matchConfidence = 0.0f;
    // CX has no speech score in its query result: the match stands in for it. ES's intent
    // detection confidence judges only an event's match.
    bool m_matchRatesSpeech = false;
    bool m_emptyQuery = false;  // no text came back for the query
    bool m_noMatch = false;     // CX NO_MATCH
    bool m_noInput = false;     // CX NO_INPUT
};

template <typename EsQueryResult>
ServiceVerdict Verdict(const EsQueryResult& queryResult) {
    ServiceVerdict verdict;
    verdict.m_speechConfidence = queryResult.speech_recognition_confidence();
    verdict.m_matchConfidence = queryResult.intent_detection_confidence();
    verdict.m_emptyQuery = queryResult.query_text().empty();
    return verdict;
}

ServiceVerdict Verdict(const cx::QueryResult& queryResult) {
    ServiceVerdict verdict;
    const cx::Match& match = queryResult.match();
    verdict.m_matchConfidence = match.confidence();
    if (verdict.m_matchConfidence == 0.0f) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        verdict.m_matchConfidence = queryResult.intent_detection_confidence();
#pragma GCC diagnostic pop
    }
    verdict.m_matchRatesSpeech = true;
    verdict.m_noMatch = match.match_type() == cx::Match::NO_MATCH;
    verdict.m_noInput = match.match_type() == cx::Match::NO_INPUT;
    const auto query = queryResult.query_case();
    verdict.m_emptyQuery =
        (query == cx::QueryResult::kTranscript || query == cx::QueryResult::QUERY_NOT_SET) &&
        queryResult.transcript().empty();
    return verdict;
}

// The rule written in the header, for every flavour.
RecognitionConfidence DecideConfidence(const ServiceVerdict& verdict,
                                       const RecogResultInput& input) {
    auto known = [](float value) { return RecognitionConfidence{true, value}; };
    if (input.m_inputMode == MPF_SDI_MODE_DTMF)
        return known(1.0f);
    if (input.m_inputMode == MPF_SDI_MODE_SPEECH) {
        if (input.m_finalConfidence > 0.0f)
            return known(input.m_finalConfidence);
        if (verdict.m_speechConfidence > 0.0f)
            return known(verdict.m_speechConfidence);
        if (!verdict.m_matchRatesSpeech)
            return RecognitionConfidence();
    }
    if (verdict.m_matchConfidence > 0.0f)
        return known(verdict.m_matchConfidence);
    return RecognitionConfidence();
}

mrcp_recog_completion_cause_e DecideCause(const ServiceVerdict& verdict,
                                          const RecognitionConfidence& confidence,
                                          const RecogResultInput& input) {
    const bool heardNothing = input.m_inputMode == MPF_SDI_MODE_SPEECH &&
                              input.m_transcript.empty() && verdict.m_emptyQuery;
    if (heardNothing || verdict.m_noInput)
        return RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    if (verdict.m_noMatch)
        return RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    if (confidence.m_known && confidence.m_value < input.m_confidenceThreshold)
        return RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    return RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
}

// Integer text of a number parameter, truncated toward zero; NaN gives 0 and values beyond
// the range of a 64-bit integer its nearest end (a plain conversion would be undefined).
std::string IntegerText(double value) {
    int64_t integer = 0;
    if (std::isnan(value)) {
        integer = 0;
    } else if (value >= 9223372036854775807.0) {
        integer = INT64_MAX;
    } else if (value <= -9223372036854775808.0) {
        integer = INT64_MIN;
    } else {
        integer = static_cast<int64_t>(value);
    }
    char text[32];
    snprintf(text, sizeof(text), "%" PRId64, integer);
    return text;
}

// ES: the value of the grammar's required parameter, when the query result carries the
// grammar's action.
template <typename EsQueryResult>
void ComposeBuiltinInstance(const BuiltinGrammar& grammar, const EsQueryResult& queryResult,
                            const RecogResultInput& input, std::string& out,
                            mrcp_recog_completion_cause_e& cause) {
    const char* channelId = input.m_channelId.c_str();
    if (queryResult.action() != grammar.m_action) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Action Mismatch: expected [%s] received [%s] <%s@%s>", grammar.m_action.c_str(),
                queryResult.action().c_str(), channelId, kChannelSuffix);
        cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
        return;
    }
    const auto& fields = queryResult.parameters().fields();
    const auto it = fields.find(grammar.m_parameterName);
    if (it == fields.end()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Missing Required Parameter [%s] <%s@%s>", grammar.m_parameterName.c_str(),
                channelId, kChannelSuffix);
        cause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
        return;
    }
    const google::protobuf::Value& value = it->second;
    switch (value.kind_case()) {
        case google::protobuf::Value::kStringValue:
            // Escaped like every other text: the value is the caller's words.
            PbXmlGenerator::AppendXmlText(value.string_value(), out);
            break;
        case google::protobuf::Value::kNumberValue:
            out += IntegerText(value.number_value());
            break;
        case google::protobuf::Value::kBoolValue:
            out += value.bool_value() ? "1" : "0";
            break;
        default:
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unsupported Parameter Value Type %d [%s] <%s@%s>",
                    static_cast<int>(value.kind_case()), grammar.m_parameterName.c_str(), channelId,
                    kChannelSuffix);
            cause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
            break;
    }
}

// CX: a built-in grammar definition adds nothing; its checks do not apply.
void ComposeBuiltinInstance(const BuiltinGrammar& /*grammar*/, const cx::QueryResult& /*qr*/,
                            const RecogResultInput& /*input*/, std::string& /*out*/,
                            mrcp_recog_completion_cause_e& /*cause*/) {}

// ---- The NLSML document -----------------------------------------------------------------

// One composition: the settings and inputs, and the cause it may change.
template <typename QueryResult>
class NlsmlComposer {
public:
    NlsmlComposer(const ResultsSettings& settings, const QueryResult& queryResult,
                  const RecogResultInput& input, const RecognitionConfidence& confidence,
                  mrcp_recog_completion_cause_e& cause)
        : m_settings(settings),
          m_queryResult(queryResult),
          m_input(input),
          m_confidence(confidence),
          m_cause(cause),
          m_spaces(PbXmlGenerator::IndentSpaces(settings.m_indent)) {}

    // The whole document into `out`; FALSE (and `out` unspecified) when no grammar names the
    // interpretation.
    bool ComposeDocument(std::string& out) {
        out += "<?xml version=\"1.0\"?>";
        NewLine(out);
        out += "<result>";
        NewLine(out);
        if (!ComposeInterpretation(out)) {
            return false;
        }
        NewLine(out);
        out += "</result>";
        return true;
    }

private:
    bool ComposeInterpretation(std::string& out) {
        const ResultGrammar* grammar = nullptr;
        const mpf_sdi_mode_e mode = m_input.m_inputMode;
        if (!m_input.m_eventGrammar.m_text.empty()) {
            grammar = &m_input.m_eventGrammar;
        } else if (mode == MPF_SDI_MODE_SPEECH && !m_input.m_speechGrammar.m_text.empty()) {
            grammar = &m_input.m_speechGrammar;
        } else if (mode == MPF_SDI_MODE_DTMF && !m_input.m_dtmfGrammar.m_text.empty()) {
            grammar = &m_input.m_dtmfGrammar;
        }
        if (grammar == nullptr) {
            if (mode == MPF_SDI_MODE_NONE && !m_input.m_speechGrammar.m_text.empty()) {
                m_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
            }
            return false;
        }
        // The grammar chosen for the input decides whether the instance is a built-in value.
        const BuiltinGrammar* builtin = nullptr;
        if (mode == MPF_SDI_MODE_SPEECH) {
            builtin = m_input.m_speechGrammar.m_builtin;
        } else if (mode == MPF_SDI_MODE_DTMF) {
            builtin = m_input.m_dtmfGrammar.m_builtin;
        }

        // Attribute values are escaped too: a grammar id is the client's text.
        Indent(out, 1);
        out += "<interpretation grammar=\"";
        PbXmlGenerator::AppendXmlText(grammar->m_text, out);
        out += '"';
        if (m_confidence.m_known) {
            out += " confidence=\"";
            ComposeConfidence(out);
            out += '"';
        }
        out += '>';
        NewLine(out);

        Indent(out, 2);
        out += "<instance>";
        if (builtin != nullptr) {
            ComposeBuiltinInstance(*builtin, m_queryResult, m_input, out, m_cause);
        } else {
            NewLine(out);
            ComposeInstance(3, out);
            Indent(out, 2);
        }
        out += "</instance>";
        NewLine(out);

        Indent(out, 2);
        out += "<input mode=\"";
        if (mode == MPF_SDI_MODE_SPEECH) {
            out += "speech";
        } else if (mode == MPF_SDI_MODE_DTMF) {
            out += "dtmf";
        } else {
            PbXmlGenerator::AppendXmlText(m_settings.m_eventInputMode, out);
        }
        out += "\">";
        std::string scratch;
        const bool spoken = mode == MPF_SDI_MODE_SPEECH && !m_input.m_transcript.empty();
        PbXmlGenerator::AppendXmlText(
            spoken ? m_input.m_transcript : InputText(m_queryResult, scratch), out);
        out += "</input>";
        NewLine(out);

        Indent(out, 1);
        out += "</interpretation>";
        return true;
    }

    void ComposeInstance(int level, std::string& out) {
        const bool swi = m_settings.m_tagFormatFamily == ResultsSettings::TAG_FORMAT_SWI_SEMANTICS;
        if (swi) {
            ++level;
            Indent(out, level);
            out += "<SWI_meaning>";
        }
        if (m_settings.m_tagFormatEncoding == ResultsSettings::TAG_FORMAT_XML) {
            PbXmlGenerator generator(level, m_settings.m_indent, m_settings.m_replaceDots,
                                     m_settings.m_replaceDashes);
            generator.ComposeXml(m_queryResult, out);
            if (!m_input.m_outputAudioUri.empty()) {
                Indent(out, level + 1);
                out += "<output_audio_uri>";
                PbXmlGenerator::AppendXmlText(m_input.m_outputAudioUri, out);
                Indent(out, level + 1);
                out += "</output_audio_uri>";
                NewLine(out);
            }
        } else if (m_spaces == 0) {
            std::string json;
            ComposeJsonQueryResult(m_queryResult, false, json);
            PbXmlGenerator::AppendXmlText(json, out);
        } else {
            // Indented like the document around it: the JSON nested by the configured indent,
            // each of its lines at the instance's level (inside SWI_meaning one deeper). Line
            // feeds stay, as element text would not keep them: in JSON they are only layout,
            // since a line feed inside a string is always escaped.
            std::string json;
            ComposeJsonQueryResult(m_queryResult, true, json);
            ReindentJson(json, m_settings.m_indent);
            if (swi) {
                ++level;
                NewLine(out);
            }
            for (size_t start = 0; start < json.size();) {
                size_t end = json.find('\n', start);
                if (end == std::string::npos)
                    end = json.size();
                Indent(out, level);
                PbXmlGenerator::AppendXmlText(json.substr(start, end - start), out);
                NewLine(out);
                start = end + 1;
            }
            if (swi)
                --level;
        }
        if (swi) {
            Indent(out, level);
            out += "</SWI_meaning>";
            NewLine(out);
        }
    }

    void ComposeConfidence(std::string& out) const {
        const float confidence = m_confidence.m_value;
        if (m_settings.m_confidenceFormat != ResultsSettings::CONFIDENCE_FORMAT_MRCPV1) {
            out += PbXmlGenerator::FormatNumber(static_cast<double>(confidence), 3);
            return;
        }
        // A percentage, truncated; a confidence outside any sense (NaN, huge) is held to the
        // range of int rather than converted with undefined result.
        const float percent = 100.0f * confidence;
        int value = 0;
        if (std::isnan(percent)) {
            value = 0;
        } else if (percent >= 2147483647.0f) {
            value = INT_MAX;
        } else if (percent <= -2147483648.0f) {
            value = INT_MIN;
        } else {
            value = static_cast<int>(percent);
        }
        out += std::to_string(value);
    }

    void Indent(std::string& out, int level) const {
        if (level > 0 && m_spaces > 0) {
            out.append(static_cast<size_t>(level * m_spaces), ' ');
        }
    }
    void NewLine(std::string& out) const {
        if (m_settings.m_indent != 0) {
            out += '\n';
        }
    }

    const ResultsSettings& m_settings;
    const QueryResult& m_queryResult;
    const RecogResultInput& m_input;
    const RecognitionConfidence& m_confidence;
    mrcp_recog_completion_cause_e& m_cause;
    const int m_spaces;
};

template <typename QueryResult>
RecogResult Compose(const ResultsSettings& settings, const QueryResult& queryResult,
                    const RecogResultInput& input) {
    RecogResult result;
    const ServiceVerdict verdict = Verdict(queryResult);
    result.m_confidence = DecideConfidence(verdict, input);
    result.m_cause = DecideCause(verdict, result.m_confidence, input);
    if (settings.m_format == ResultsSettings::FORMAT_JSON) {
        result.m_contentType = "application/json";
        ComposeJsonQueryResult(queryResult, settings.m_indent >= 1, result.m_body);
        ReindentJson(result.m_body, settings.m_indent);
        return result;
    }
    std::string document;
    NlsmlComposer<QueryResult> composer(settings, queryResult, input, result.m_confidence,
                                        result.m_cause);
    if (composer.ComposeDocument(document)) {
        result.m_contentType = "application/x-nlsml";
        result.m_body.swap(document);
    }
    return result;
}

}  // namespace

RecogResult ComposeRecogResult(const ResultsSettings& settings, const v2::QueryResult& queryResult,
                               const RecogResultInput& input) {
    return Compose(settings, queryResult, input);
}

RecogResult ComposeRecogResult(const ResultsSettings& settings,
                               const v2beta1::QueryResult& queryResult,
                               const RecogResultInput& input) {
    return Compose(settings, queryResult, input);
}

RecogResult ComposeRecogResult(const ResultsSettings& settings, const cx::QueryResult& queryResult,
                               const RecogResultInput& input) {
    return Compose(settings, queryResult, input);
}

bool RecognizedText(const v2::QueryResult& queryResult, std::string& text) {
    text = queryResult.query_text();
    return true;
}

bool RecognizedText(const v2beta1::QueryResult& queryResult, std::string& text) {
    text = queryResult.query_text();
    return true;
}

bool RecognizedText(const cx::QueryResult& queryResult, std::string& text) {
    if (queryResult.has_transcript()) {
        text = queryResult.transcript();
        return true;
    }
    if (queryResult.has_text()) {
        text = queryResult.text();
        return true;
    }
    return false;
}

void ReindentJson(std::string& json, int indent) {
    // The JSON printer has an indent of its own (one space a level); the configured one is
    // written anew.
    if (indent <= 0)
        return;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseFullPrecisionFlag>(json.c_str(), json.size());
    if (doc.HasParseError())
        return;
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', static_cast<unsigned>(PbXmlGenerator::IndentSpaces(indent)));
    doc.Accept(writer);
    json.assign(buffer.GetString(), buffer.GetSize());
    json += '\n';
}

bool ComposeJsonQueryResult(const google::protobuf::Message& message, bool addWhitespace,
                            std::string& json) {
    using google::protobuf::DescriptorPool;
    using google::protobuf::util::TypeResolver;
    json.clear();
    // The JSON printer writes map entries in the order of the binary form, which a
    // deterministic serialization sorts by key; the map's own order would vary between runs.
    std::string binary;
    {
        google::protobuf::io::StringOutputStream stream(&binary);
        google::protobuf::io::CodedOutputStream coded(&stream);
        coded.SetSerializationDeterministic(true);
        message.SerializeToCodedStream(&coded);
    }
    const DescriptorPool* pool = message.GetDescriptor()->file()->pool();
    static const std::unique_ptr<TypeResolver> generatedResolver(
        google::protobuf::util::NewTypeResolverForDescriptorPool(kTypeUrlPrefix,
                                                                 DescriptorPool::generated_pool()));
    std::unique_ptr<TypeResolver> ownResolver;
    TypeResolver* resolver = generatedResolver.get();
    if (pool != DescriptorPool::generated_pool()) {
        ownResolver.reset(
            google::protobuf::util::NewTypeResolverForDescriptorPool(kTypeUrlPrefix, pool));
        resolver = ownResolver.get();
    }
    google::protobuf::util::JsonPrintOptions options;
    options.add_whitespace = addWhitespace;
    const auto status = google::protobuf::util::BinaryToJsonString(
        resolver, std::string(kTypeUrlPrefix) + "/" + message.GetDescriptor()->full_name(), binary,
        &json, options);
    if (!status.ok()) {
        // The printer stops where it fails (a message nested deeper than it follows), which
        // would leave a body that is no JSON at all.
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Convert Message to JSON [%s]", status.ToString().c_str());
        json = "{}";
    }
    // A string that is no UTF-8 (the service never sends one) can pass the printer partly
    // unchanged; JSON text must be UTF-8.
    PbXmlGenerator::ReplaceInvalidUtf8(json);
    return true;
}

}  // namespace Zeph
