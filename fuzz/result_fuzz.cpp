// The protobuf-to-XML generator and the result composer, over a query result decoded from the
// fuzzer's bytes (protobuf wire format, after four bytes of options: flavour and results
// settings, the recognition's grammars and input, and its confidence threshold).
// Invariants: the generator's elements form well-formed XML inside one root element; an NLSML
// body parses as XML and a JSON body as JSON; equal arguments give equal bytes; the query
// result as JSON parses.
#include <string>

#include "../tests/common/result_bodies.h"
#include "OsrZephPbXml.h"
#include "OsrZephResult.h"
#include "plugin_support.h"

namespace {

namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

Zeph::ResultsSettings Settings(uint8_t bits, uint8_t more) {
    Zeph::ResultsSettings settings;
    settings.m_format =
        bits & 1 ? Zeph::ResultsSettings::FORMAT_JSON : Zeph::ResultsSettings::FORMAT_STANDARD;
    settings.m_indent = (bits >> 1) & 3;
    settings.m_replaceDots = bits & 8;
    settings.m_replaceDashes = bits & 16;
    settings.m_skipEmptyElements = bits & 32;
    settings.m_tagFormatFamily = bits & 64 ? Zeph::ResultsSettings::TAG_FORMAT_SWI_SEMANTICS
                                           : Zeph::ResultsSettings::TAG_FORMAT_SEMANTICS;
    settings.m_tagFormatEncoding =
        bits & 128 ? Zeph::ResultsSettings::TAG_FORMAT_JSON : Zeph::ResultsSettings::TAG_FORMAT_XML;
    settings.m_confidenceFormat = static_cast<Zeph::ResultsSettings::ConfidenceFormat>(more % 3);
    if (more & 4)
        settings.m_eventInputMode = "ev<&>\"";
    return settings;
}

// A configured built-in grammar, or null.
const Zeph::BuiltinGrammar* Builtin(const Zeph::EngineSettings::BuiltinGrammarMap& map,
                                    const char* name) {
    const auto found = map.find(name);
    return found == map.end() ? nullptr : found->second;
}

// bits: input mode (2), speech grammar (2), DTMF grammar (1); more: event grammar, output audio.
Zeph::RecogResultInput Input(uint8_t bits, uint8_t more, uint8_t threshold) {
    const Zeph::EngineSettings& settings = ZephFuzz::GrammarSettings();
    Zeph::RecogResultInput input;
    input.m_inputMode = static_cast<mpf_sdi_mode_e>(bits & 3);
    switch ((bits >> 2) & 3) {
        case 1:
            input.m_speechGrammar = {"builtin:speech/menu",
                                     Builtin(settings.m_builtinSpeechGrammars, "menu")};
            break;
        case 2:
            input.m_speechGrammar = {"session:m1", nullptr};
            break;
        case 3:
            input.m_speechGrammar = {"builtin:speech/transcribe",
                                     Builtin(settings.m_builtinSpeechGrammars, "transcribe")};
            break;
    }
    if (bits & 16)
        input.m_dtmfGrammar = {"builtin:dtmf/pin", Builtin(settings.m_builtinDtmfGrammars, "pin")};
    if (more & 1)
        input.m_eventGrammar = {"builtin:event/hello",
                                Builtin(settings.m_builtinSpeechGrammars, "hello")};
    if (more & 2)
        input.m_outputAudioUri = "http://localhost/utterances/a&b<c>.wav";
    input.m_confidenceThreshold = threshold / 255.0f;
    input.m_channelId = "fuzz";
    return input;
}

void CheckBody(const Zeph::RecogResult& result) {
    if (result.m_contentType == "application/x-nlsml") {
        const std::string error = ZephTest::XmlError(result.m_body);
        FUZZ_CHECK(error.empty(), error + "\n" + result.m_body);
    } else if (result.m_contentType == "application/json") {
        const std::string error = ZephTest::JsonError(result.m_body);
        FUZZ_CHECK(error.empty(), error + "\n" + result.m_body);
    } else {
        FUZZ_CHECK(result.m_contentType.empty() && result.m_body.empty(),
                   "content type " + result.m_contentType);
    }
}

template <class QueryResult>
void Run(const uint8_t* options, const uint8_t* data, size_t size) {
    QueryResult queryResult;
    // A message that does not decode fully keeps what decoded: still a query result.
    queryResult.ParseFromArray(data, static_cast<int>(size));

    const Zeph::ResultsSettings settings = Settings(options[1], options[2]);
    Zeph::PbXmlGenerator generator(1, settings.m_indent, settings.m_replaceDots,
                                   settings.m_replaceDashes);
    std::string instance;
    generator.ComposeXml(queryResult, instance);
    const std::string error = ZephTest::FragmentXmlError(instance);
    FUZZ_CHECK(error.empty(), error + "\n" + instance);

    const Zeph::RecogResultInput input = Input(options[2] >> 3, options[0] >> 6, options[3]);
    const Zeph::RecogResult result = Zeph::ComposeRecogResult(settings, queryResult, input);
    CheckBody(result);
    const Zeph::RecogResult again = Zeph::ComposeRecogResult(settings, queryResult, input);
    FUZZ_CHECK(again.m_body == result.m_body && again.m_cause == result.m_cause,
               "equal arguments, different results");

    std::string json;
    FUZZ_CHECK(Zeph::ComposeJsonQueryResult(queryResult, options[0] & 8, json), "json");
    const std::string jsonError = ZephTest::JsonError(json);
    FUZZ_CHECK(jsonError.empty(), jsonError + "\n" + json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    ZephFuzz::GrammarSettings();
    switch (data[0] % 3) {
        case 0:
            Run<v2::QueryResult>(data, data + 4, size - 4);
            break;
        case 1:
            Run<v2beta1::QueryResult>(data, data + 4, size - 4);
            break;
        default:
            Run<cx::QueryResult>(data, data + 4, size - 4);
            break;
    }
    return 0;
}
