// Query parameters of a first StreamingDetectIntent request: time zone, location, input
// contexts, session entity types, payload and sentiment configuration, taken from the
// RECOGNIZE request's vendor-specific parameters, a grammar's built-in parameters and a
// grammar's query-parameters JSON text; and the parameters of an event input.
//
// Written once for the three API flavours. ES v2 and v2beta1 know the names "timeZone",
// "geoLocation", "contexts", "resetContexts", "sessionEntityTypes", "payload" and
// "sentimentAnalysisRequestConfig"; CX v3beta1 knows only "timeZone", "geoLocation",
// "sessionEntityTypes" and "payload" and has no contexts. Every other name is ignored.
//
// Malformed values never fail the request: the field keeps what it held (a "contexts" or
// "sessionEntityTypes" list becomes empty) and a WARNING names the parameter and the JSON
// parser's message.
//
// Threads: engine event processor (the streaming method builds its first request there).
// No state: every function works only on its arguments.
#pragma once

#include <map>
#include <string>

#include <google/cloud/dialogflow/cx/v3beta1/session.pb.h>
#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/cloud/dialogflow/v2beta1/session.pb.h>
#include <google/protobuf/repeated_ptr_field.h>
#include <ostrin/apt_text_stream.h>

namespace Zeph {

// The session a first request belongs to.
struct QueryScope {
    std::string sessionPath;  // short context and entity type names are completed against it
    std::string channelId;    // host channel id, for the log lines
};

// Which first request is built; decides which sources of query parameters are read.
enum class FirstRequestKind { Audio, Dtmf, Event };

// Each pair with both name and value, in order: value without enclosing double quotes,
// then SetQueryParameter. False when pairs is null, else true.
template <class QueryParameters>
bool ReadQueryParameters(const apt_pair_arr_t* pairs, QueryParameters* params,
                         const QueryScope& scope);

// SetQueryParameter for each entry of a grammar's built-in parameters, in name order.
// Returns true.
template <class QueryParameters>
bool ReadBuiltinQueryParameters(const std::map<std::string, std::string>& builtin,
                                QueryParameters* params, const QueryScope& scope);

// Applies one named parameter (exact, case-sensitive name). True when the name is known to
// this flavour and its value was used; false when ignored or malformed (WARNING logged).
template <class QueryParameters>
bool SetQueryParameter(const std::string& name, const std::string& value, QueryParameters* params,
                       const QueryScope& scope);

// Parses a grammar's query-parameters JSON text; a valid text replaces everything set
// before, an invalid one leaves params as they were (WARNING logged). Then completes context
// and session entity type names. logText: the "Set Query Params" line (audio requests only).
// True when the text parsed.
template <class QueryParameters>
bool SetQueryParameters(const std::string& text, QueryParameters* params, const QueryScope& scope,
                        bool logText = true);

// Completes short context names to scope.sessionPath + "/contexts/" + name (ES only).
template <class Context>
void ValidateContexts(google::protobuf::RepeatedPtrField<Context>* contexts,
                      const QueryScope& scope);

// Completes short session entity type names to scope.sessionPath + "/entityTypes/" + name.
template <class SessionEntityType>
void ValidateSessionEntities(google::protobuf::RepeatedPtrField<SessionEntityType>* types,
                             const QueryScope& scope);

// An event grammar's parameters, in map order, as string values of event->parameters
// (created only when there are any); one that is not UTF-8 is skipped with a WARNING. ES
// only: CX triggers an intent and sends none.
template <class EventInput>
void AddEventParameters(const std::map<std::string, std::string>& eventParams, EventInput* event,
                        const QueryScope& scope);

// The query parameters of a first request, in the order of use: audio and DTMF read the
// vendor pairs, then the grammar's built-in parameters, then its JSON text when non-empty
// (logged for audio only); an event reads the vendor pairs only. request->query_params is
// left absent when nothing was set.
template <class StreamingDetectIntentRequest>
void ComposeQueryParameters(FirstRequestKind kind, const apt_pair_arr_t* pairs,
                            const std::map<std::string, std::string>& builtin,
                            const std::string& jsonText, StreamingDetectIntentRequest* request,
                            const QueryScope& scope);

// Built for these flavours only (definitions in OsrZephQueryParams.cpp).
namespace QueryParamsFlavours {
namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;
}  // namespace QueryParamsFlavours

#define ZEPH_QUERY_PARAMS_INSTANCES(PREFIX, NS)                                                \
    PREFIX template bool ReadQueryParameters(const apt_pair_arr_t*, NS::QueryParameters*,      \
                                             const QueryScope&);                               \
    PREFIX template bool ReadBuiltinQueryParameters(const std::map<std::string, std::string>&, \
                                                    NS::QueryParameters*, const QueryScope&);  \
    PREFIX template bool SetQueryParameter(const std::string&, const std::string&,             \
                                           NS::QueryParameters*, const QueryScope&);           \
    PREFIX template bool SetQueryParameters(const std::string&, NS::QueryParameters*,          \
                                            const QueryScope&, bool);                          \
    PREFIX template void ValidateSessionEntities(                                              \
        google::protobuf::RepeatedPtrField<NS::SessionEntityType>*, const QueryScope&);        \
    PREFIX template void ComposeQueryParameters(                                               \
        FirstRequestKind, const apt_pair_arr_t*, const std::map<std::string, std::string>&,    \
        const std::string&, NS::StreamingDetectIntentRequest*, const QueryScope&);
#define ZEPH_QUERY_PARAMS_ES_INSTANCES(PREFIX, NS)                                          \
    PREFIX template void ValidateContexts(google::protobuf::RepeatedPtrField<NS::Context>*, \
                                          const QueryScope&);                               \
    PREFIX template void AddEventParameters(const std::map<std::string, std::string>&,      \
                                            NS::EventInput*, const QueryScope&);

ZEPH_QUERY_PARAMS_INSTANCES(extern, QueryParamsFlavours::v2)
ZEPH_QUERY_PARAMS_INSTANCES(extern, QueryParamsFlavours::v2beta1)
ZEPH_QUERY_PARAMS_INSTANCES(extern, QueryParamsFlavours::cx)
ZEPH_QUERY_PARAMS_ES_INSTANCES(extern, QueryParamsFlavours::v2)
ZEPH_QUERY_PARAMS_ES_INSTANCES(extern, QueryParamsFlavours::v2beta1)

}  // namespace Zeph
