#include "OsrZephQueryParams.h"

#include <type_traits>
#include <utility>

#include <google/protobuf/util/json_util.h>

#include "OsrZephLog.h"

namespace Zeph {

namespace {

namespace v2 = QueryParamsFlavours::v2;
namespace v2beta1 = QueryParamsFlavours::v2beta1;

const char* const kChannelSuffix = "zeph";
// A context or entity type name that starts with it is already a full resource name.
const std::string kProjectPrefix = "projects/";

// ES query parameters carry contexts (and reset and sentiment settings); CX ones do not.
template <class QueryParameters>
struct IsEsFlavour : std::false_type {};
template <>
struct IsEsFlavour<v2::QueryParameters> : std::true_type {};
template <>
struct IsEsFlavour<v2beta1::QueryParameters> : std::true_type {};

bool IsFullName(const std::string& name) {
    return name.compare(0, kProjectPrefix.size(), kProjectPrefix) == 0;
}

// A value written between double quotes loses them; a lone quote stays as it is.
std::string RemoveQuotes(const char* buf, apr_size_t length) {
    if (length >= 2 && buf[0] == '"' && buf[length - 1] == '"')
        return std::string(buf + 1, length - 2);
    return std::string(buf, length);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. A protobuf
// string field must hold UTF-8, or the service refuses the whole request.
bool IsValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        // Lead byte: count of continuation bytes, smallest code point it may encode.
        size_t extra = 3;
        unsigned min = 0x10000;
        unsigned code = c & 0x07u;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            min = 0x80;
            code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            min = 0x800;
            code = c & 0x0Fu;
        } else if (c < 0xF0 || c > 0xF4) {
            return false;
        }
        if (text.size() - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// Parses JSON in the protobuf mapping into a fresh message: unknown fields and enumeration
// names in another case are errors. On failure message is left empty and error holds the
// parser's message.
bool ParseJson(const std::string& text, google::protobuf::Message* message, std::string* error) {
    google::protobuf::util::JsonParseOptions options;
    options.ignore_unknown_fields = false;
    options.case_insensitive_enum_parsing = false;
    const auto status = google::protobuf::util::JsonStringToMessage(text, message, options);
    if (status.ok())
        return true;
    message->Clear();
    const auto text_of_error = status.message();
    error->assign(text_of_error.data(), text_of_error.size());
    return false;
}

void LogSet(const std::string& name, const std::string& value, const QueryScope& scope) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Query Param: name=%s, value=%s <%s@%s>",
            name.c_str(), value.c_str(), scope.channelId.c_str(), kChannelSuffix);
}

void WarnInvalid(const std::string& name, const std::string& error, const QueryScope& scope) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Invalid Query Param [%s]: %s <%s@%s>",
            name.c_str(), error.c_str(), scope.channelId.c_str(), kChannelSuffix);
}

// One named value parsed into a fresh message; logged when it does not parse.
template <class Message>
bool ParseValue(const std::string& name, const std::string& value, Message* parsed,
                const QueryScope& scope) {
    std::string error;
    if (ParseJson(value, parsed, &error))
        return true;
    WarnInvalid(name, error, scope);
    return false;
}

// A JSON array is parsed as the one member of a wrapping object. The parser would also
// take a lone object as a list of one, and text that closes the wrapper early could set
// other members (`[], "timeZone": "x"`): neither is an array, so both are refused.
template <class QueryParameters, class List>
bool ParseList(const std::string& name, const std::string& value, QueryParameters* wrapper,
               List* (QueryParameters::*list)(), const QueryScope& scope) {
    const size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || value[first] != '[') {
        WarnInvalid(name, "not a JSON array", scope);
        return false;
    }
    if (!ParseValue(name, "{\"" + name + "\":" + value + "}", wrapper, scope))
        return false;
    QueryParameters rest(*wrapper);
    (rest.*list)()->Clear();
    if (rest.ByteSizeLong() == 0)
        return true;
    wrapper->Clear();
    WarnInvalid(name, "not a JSON array", scope);
    return false;
}

}  // namespace

template <class QueryParameters>
bool ReadQueryParameters(const apt_pair_arr_t* pairs, QueryParameters* params,
                         const QueryScope& scope) {
    if (!pairs)
        return false;
    const apr_size_t count = apt_pair_array_size_get(pairs);
    for (apr_size_t i = 0; i < count; ++i) {
        const apt_pair_t* pair = apt_pair_array_get(pairs, i);
        if (!pair || !pair->name.buf || !pair->value.buf)
            continue;
        SetQueryParameter(std::string(pair->name.buf, pair->name.length),
                          RemoveQuotes(pair->value.buf, pair->value.length), params, scope);
    }
    return true;
}

template <class QueryParameters>
bool ReadBuiltinQueryParameters(const std::map<std::string, std::string>& builtin,
                                QueryParameters* params, const QueryScope& scope) {
    for (const auto& entry : builtin)
        SetQueryParameter(entry.first, entry.second, params, scope);
    return true;
}

template <class QueryParameters>
bool SetQueryParameter(const std::string& name, const std::string& value, QueryParameters* params,
                       const QueryScope& scope) {
    if (name == "timeZone") {
        LogSet(name, value, scope);
        if (!IsValidUtf8(value)) {
            WarnInvalid(name, "not valid UTF-8", scope);
            return false;
        }
        params->set_time_zone(value);
        return true;
    }
    if (name == "geoLocation") {
        LogSet(name, value, scope);
        // Created only by a valid value: an invalid one must not send latitude 0, longitude 0.
        std::decay_t<decltype(params->geo_location())> location;
        if (!ParseValue(name, value, &location, scope))
            return false;
        params->mutable_geo_location()->Swap(&location);
        return true;
    }
    if (name == "sessionEntityTypes") {
        LogSet(name, value, scope);
        // The list is replaced even by an invalid value, which leaves it empty.
        QueryParameters wrapper;
        const bool ok =
            ParseList(name, value, &wrapper, &QueryParameters::mutable_session_entity_types, scope);
        params->mutable_session_entity_types()->Swap(wrapper.mutable_session_entity_types());
        ValidateSessionEntities(params->mutable_session_entity_types(), scope);
        return ok;
    }
    if (name == "payload") {
        LogSet(name, value, scope);
        google::protobuf::Struct payload;
        if (!ParseValue(name, value, &payload, scope))
            return false;
        params->mutable_payload()->Swap(&payload);
        return true;
    }
    if constexpr (IsEsFlavour<QueryParameters>::value) {
        if (name == "contexts") {
            LogSet(name, value, scope);
            QueryParameters wrapper;
            const bool ok =
                ParseList(name, value, &wrapper, &QueryParameters::mutable_contexts, scope);
            params->mutable_contexts()->Swap(wrapper.mutable_contexts());
            ValidateContexts(params->mutable_contexts(), scope);
            return ok;
        }
        if (name == "resetContexts") {
            LogSet(name, value, scope);
            // Only the exact word "true" resets; anything but "false" is worth a warning.
            params->set_reset_contexts(value == "true");
            if (value == "true" || value == "false")
                return true;
            WarnInvalid(name, "neither true nor false, taken as false", scope);
            return false;
        }
        if (name == "sentimentAnalysisRequestConfig") {
            LogSet(name, value, scope);
            std::decay_t<decltype(params->sentiment_analysis_request_config())> config;
            if (!ParseValue(name, value, &config, scope))
                return false;
            params->mutable_sentiment_analysis_request_config()->Swap(&config);
            return true;
        }
    }
    return false;
}

template <class QueryParameters>
bool SetQueryParameters(const std::string& text, QueryParameters* params, const QueryScope& scope,
                        bool logText) {
    if (logText)
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Query Params: %s <%s@%s>",
                text.c_str(), scope.channelId.c_str(), kChannelSuffix);
    QueryParameters parsed;
    std::string error;
    if (!ParseJson(text, &parsed, &error)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Invalid Query Params: %s <%s@%s>",
                error.c_str(), scope.channelId.c_str(), kChannelSuffix);
        return false;
    }
    params->Swap(&parsed);
    if constexpr (IsEsFlavour<QueryParameters>::value) {
        if (params->contexts_size() > 0)
            ValidateContexts(params->mutable_contexts(), scope);
    }
    if (params->session_entity_types_size() > 0)
        ValidateSessionEntities(params->mutable_session_entity_types(), scope);
    return true;
}

template <class Context>
void ValidateContexts(google::protobuf::RepeatedPtrField<Context>* contexts,
                      const QueryScope& scope) {
    for (Context& context : *contexts) {
        if (IsFullName(context.name()))
            continue;
        context.set_name(scope.sessionPath + "/contexts/" + context.name());
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Set Context Name [%s] <%s@%s>",
                context.name().c_str(), scope.channelId.c_str(), kChannelSuffix);
    }
}

template <class SessionEntityType>
void ValidateSessionEntities(google::protobuf::RepeatedPtrField<SessionEntityType>* types,
                             const QueryScope& scope) {
    for (SessionEntityType& type : *types) {
        if (IsFullName(type.name()))
            continue;
        type.set_name(scope.sessionPath + "/entityTypes/" + type.name());
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Set Entity Name [%s] <%s@%s>",
                type.name().c_str(), scope.channelId.c_str(), kChannelSuffix);
    }
}

template <class EventInput>
void AddEventParameters(const std::map<std::string, std::string>& eventParams, EventInput* event,
                        const QueryScope& scope) {
    if (eventParams.empty())
        return;
    auto* fields = event->mutable_parameters()->mutable_fields();
    for (const auto& entry : eventParams) {
        if (!IsValidUtf8(entry.first) || !IsValidUtf8(entry.second)) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Invalid Event Param [%s]: not valid UTF-8 <%s@%s>", entry.first.c_str(),
                    scope.channelId.c_str(), kChannelSuffix);
            continue;
        }
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Add Event Param: name=%s, value=%s <%s@%s>", entry.first.c_str(),
                entry.second.c_str(), scope.channelId.c_str(), kChannelSuffix);
        // Always a string: "42" stays the text 42 for the agent's parameter mapping.
        (*fields)[entry.first].set_string_value(entry.second);
    }
}

template <class StreamingDetectIntentRequest>
void ComposeQueryParameters(FirstRequestKind kind, const apt_pair_arr_t* pairs,
                            const std::map<std::string, std::string>& builtin,
                            const std::string& jsonText, StreamingDetectIntentRequest* request,
                            const QueryScope& scope) {
    auto* params = request->mutable_query_params();
    ReadQueryParameters(pairs, params, scope);
    if (kind != FirstRequestKind::Event) {
        ReadBuiltinQueryParameters(builtin, params, scope);
        if (!jsonText.empty())
            SetQueryParameters(jsonText, params, scope, kind == FirstRequestKind::Audio);
    }
    if (params->ByteSizeLong() == 0)
        request->clear_query_params();
}

ZEPH_QUERY_PARAMS_INSTANCES(, QueryParamsFlavours::v2)
ZEPH_QUERY_PARAMS_INSTANCES(, QueryParamsFlavours::v2beta1)
ZEPH_QUERY_PARAMS_INSTANCES(, QueryParamsFlavours::cx)
ZEPH_QUERY_PARAMS_ES_INSTANCES(, QueryParamsFlavours::v2)
ZEPH_QUERY_PARAMS_ES_INSTANCES(, QueryParamsFlavours::v2beta1)

}  // namespace Zeph
