// Query parameters, per API flavour: one named value, a grammar's JSON text, or a whole
// first request's sources. The first byte picks the flavour (v2, v2beta1, v3beta1) and the
// mode:
//   0  "name\nvalue": SetQueryParameter over parameters already holding valid values;
//   1  the JSON text: SetQueryParameters over the same;
//   2  lines "name=value" (vendor-specific pairs; a line without "=" is a name without
//      value), "@name=value" (a grammar's built-in parameters) and one "{..." line (the
//      grammar's JSON text): ComposeQueryParameters for an audio, DTMF or event request.
// Invariants: the result always serializes, protobuf logs nothing (a string that is not
// UTF-8 would be refused by the service), and a refused JSON text leaves the parameters as
// they were (a refused named value too, but for the lists it empties).
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/message_differencer.h>

#include <map>
#include <string>

#include "OsrZephQueryParams.h"
#include "plugin_support.h"

namespace {

namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

std::string g_protobufLog;

void OnProtobufLog(google::protobuf::LogLevel, const char*, int, const std::string& message) {
    g_protobufLog += message + "\n";
}

const char* const kValid[][2] = {
    {"timeZone", "America/New_York"},
    {"geoLocation", R"({"latitude":37.4,"longitude":-122.1})"},
    {"contexts", R"([{"name":"ctx1","lifespanCount":2,"parameters":{"a":[1,"x"]}}])"},
    {"resetContexts", "true"},
    {"sessionEntityTypes",
     R"([{"name":"fruit","entityOverrideMode":"ENTITY_OVERRIDE_MODE_SUPPLEMENT",)"
     R"("entities":[{"value":"apple","synonyms":["apple"]}]}])"},
    {"payload", R"({"caller":{"id":"42"}})"},
};

// Names whose refusal changes the parameters: a list becomes empty, a reset flag false.
bool RefusalClears(const std::string& name) {
    return name == "contexts" || name == "sessionEntityTypes" || name == "resetContexts";
}

std::string Serialized(const google::protobuf::Message& message) {
    std::string wire;
    FUZZ_CHECK(message.SerializeToString(&wire), message.DebugString());
    return wire;
}

template <class Flavour>
void Run(int mode, const std::string& text, const Zeph::QueryScope& scope) {
    using Params = typename Flavour::QueryParameters;
    Params filled;
    for (const auto& valid : kValid)
        Zeph::SetQueryParameter(valid[0], valid[1], &filled, scope);
    if (mode == 0) {
        const size_t split = text.find('\n');
        const std::string name = text.substr(0, split);
        const std::string value = split == std::string::npos ? "" : text.substr(split + 1);
        Params params = filled;
        const bool used = Zeph::SetQueryParameter(name, value, &params, scope);
        Serialized(params);
        if (!used && !RefusalClears(name)) {
            FUZZ_CHECK(google::protobuf::util::MessageDifferencer::Equals(filled, params),
                       "refused value changed the parameters: " + name);
        }
    } else if (mode == 1) {
        Params params = filled;
        if (!Zeph::SetQueryParameters(text, &params, scope)) {
            FUZZ_CHECK(google::protobuf::util::MessageDifferencer::Equals(filled, params),
                       "refused text changed the parameters");
        }
        Serialized(params);
    } else {
        ZephFuzz::Pool pool;
        apt_pair_arr_t* pairs = apt_pair_array_create(4, pool);
        std::map<std::string, std::string> builtin;
        std::string json;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            const size_t eq = line.find('=');
            if (!line.empty() && line[0] == '{') {
                json = line;
            } else if (!line.empty() && line[0] == '@') {
                builtin[line.substr(1, eq == std::string::npos ? eq : eq - 1)] =
                    eq == std::string::npos ? "" : line.substr(eq + 1);
            } else {
                const std::string name = line.substr(0, eq);
                apt_str_t n{const_cast<char*>(name.data()), name.size()};
                std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
                apt_str_t v{const_cast<char*>(value.data()), value.size()};
                apt_pair_array_append(pairs, &n, eq == std::string::npos ? nullptr : &v, pool);
            }
        }
        const Zeph::FirstRequestKind kinds[] = {Zeph::FirstRequestKind::Audio,
                                                Zeph::FirstRequestKind::Dtmf,
                                                Zeph::FirstRequestKind::Event};
        for (Zeph::FirstRequestKind kind : kinds) {
            typename Flavour::StreamingDetectIntentRequest request;
            Zeph::ComposeQueryParameters(kind, pairs, builtin, json, &request, scope);
            Serialized(request);
        }
    }
}

struct V2 {
    using QueryParameters = v2::QueryParameters;
    using StreamingDetectIntentRequest = v2::StreamingDetectIntentRequest;
};
struct V2beta1 {
    using QueryParameters = v2beta1::QueryParameters;
    using StreamingDetectIntentRequest = v2beta1::StreamingDetectIntentRequest;
};
struct Cx {
    using QueryParameters = cx::QueryParameters;
    using StreamingDetectIntentRequest = cx::StreamingDetectIntentRequest;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    ZephFuzz::InitPlugin();
    static bool handlerSet = (google::protobuf::SetLogHandler(&OnProtobufLog), true);
    (void)handlerSet;
    g_protobufLog.clear();
    const int flavour = data[0] % 3;
    const int mode = (data[0] / 3) % 3;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (flavour == 0)
        Run<V2>(mode, text, {"projects/p1/agent/sessions/d1", "fuzz"});
    else if (flavour == 1)
        Run<V2beta1>(mode, text, {"projects/p1/agent/sessions/d1", "fuzz"});
    else
        Run<Cx>(mode, text, {"projects/p1/locations/global/agents/a1/sessions/d1", "fuzz"});
    FUZZ_CHECK(g_protobufLog.empty(), "protobuf: " + g_protobufLog);
    return 0;
}
