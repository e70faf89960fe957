// The result composer: NLSML documents byte for byte (layout, confidence forms, tag formats,
// grammar and mode, built-in instances) and JSON bodies, for ES v2, v2beta1 and CX. Every
// document is parsed by APR's XML parser and every JSON body by RapidJSON.
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>

#include <google/cloud/dialogflow/cx/v3beta1/session.pb.h>
#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/cloud/dialogflow/v2beta1/session.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "../common/comma_locale.h"
#include "OsrGrammar.h"
#include "OsrZephResult.h"
#include "results_test_support.h"

namespace {

namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

using Zeph::BuiltinGrammar;
using Zeph::RecogResult;
using Zeph::RecogResultInput;
using Zeph::ResultsSettings;
using ZephTest::JsonError;
using ZephTest::LogCapture;
using ZephTest::NumberValue;
using ZephTest::StringValue;

ResultsSettings Settings(int indent) {
    ResultsSettings settings;
    settings.m_indent = indent;
    settings.m_confidenceFormat = ResultsSettings::CONFIDENCE_FORMAT_MRCPV2;
    return settings;
}

RecogResultInput SpeechInput(const std::string& grammar = "session:g1") {
    RecogResultInput input;
    input.m_speechGrammar.m_text = grammar;
    input.m_inputMode = MPF_SDI_MODE_SPEECH;
    input.m_channelId = "ch1";
    return input;
}

// Composes and checks what every result must be: NLSML parses, JSON parses.
template <typename QueryResult>
RecogResult Compose(const ResultsSettings& settings, const QueryResult& queryResult,
                    const RecogResultInput& input) {
    RecogResult result = Zeph::ComposeRecogResult(settings, queryResult, input);
    EXPECT_EQ(ZephTest::ResultBodyError(result.m_contentType, result.m_body), "") << result.m_body;
    return result;
}

v2::QueryResult BookingResult() {
    v2::QueryResult result;
    result.set_query_text("book a table");
    result.set_speech_recognition_confidence(0.8764f);
    result.set_action("booking");
    (*result.mutable_parameters()->mutable_fields())["guests"] = NumberValue(2);
    return result;
}

// The JSON text as the instance holds it: quotes as entities; with an indent, each line of
// the printed JSON (one space a level) nested by `indent` and shifted by `level` levels.
std::string JsonAsText(const google::protobuf::Message& message, int indent, int level) {
    std::string json;
    google::protobuf::util::JsonPrintOptions options;
    options.add_whitespace = indent > 0;
    EXPECT_TRUE(google::protobuf::util::MessageToJsonString(message, &json, options).ok());
    // Re-indented, "<" is itself again (the printer writes "\u003c").
    for (size_t at; indent > 0 && (at = json.find("\\u003c")) != std::string::npos;)
        json.replace(at, 6, "<");
    std::string text;
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) {
        const size_t spaces = line.find_first_not_of(' ');
        text += std::string((level + spaces) * static_cast<size_t>(indent), ' ');
        for (char c : line.substr(spaces)) {
            switch (c) {
                case '"':
                    text += "&quot;";
                    break;
                case '<':
                    text += "&lt;";
                    break;
                default:
                    text += c;
                    break;
            }
        }
        text += indent > 0 ? "\n" : "";
    }
    return text;
}

TEST(NlsmlLayout, IndentTwoByteForByte) {
    RecogResultInput input = SpeechInput();
    input.m_confidenceThreshold = 0.5f;
    const RecogResult result = Compose(Settings(2), BookingResult(), input);
    EXPECT_EQ(result.m_contentType, "application/x-nlsml");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    EXPECT_EQ(result.m_body,
              "<?xml version=\"1.0\"?>\n"
              "<result>\n"
              "  <interpretation grammar=\"session:g1\" confidence=\"0.876\">\n"
              "    <instance>\n"
              "      <query_text>book a table</query_text>\n"
              "      <speech_recognition_confidence>0.8764</speech_recognition_confidence>\n"
              "      <action>booking</action>\n"
              "      <parameters>\n"
              "        <guests>2</guests>\n"
              "      </parameters>\n"
              "    </instance>\n"
              "    <input mode=\"speech\">book a table</input>\n"
              "  </interpretation>\n"
              "</result>");
}

TEST(NlsmlLayout, IndentZeroIsOneLine) {
    const RecogResult result = Compose(Settings(0), BookingResult(), SpeechInput());
    EXPECT_EQ(result.m_body,
              "<?xml version=\"1.0\"?><result>"
              "<interpretation grammar=\"session:g1\" confidence=\"0.876\"><instance>"
              "<query_text>book a table</query_text>"
              "<speech_recognition_confidence>0.8764</speech_recognition_confidence>"
              "<action>booking</action><parameters><guests>2</guests></parameters>"
              "</instance><input mode=\"speech\">book a table</input></interpretation>"
              "</result>");
}

// A host that set a comma locale still gets numbers with a decimal point: the confidence
// attribute and the numbers of the instance.
TEST(NlsmlLayout, NumbersIgnoreTheProcessLocale) {
    ZephTest::CommaLocale comma;
    ASSERT_TRUE(comma.Active());
    char probe[16];
    snprintf(probe, sizeof(probe), "%g", 0.5);
    ASSERT_STREQ(probe, "0,5");
    v2::QueryResult queryResult = BookingResult();
    (*queryResult.mutable_parameters()->mutable_fields())["price"] = NumberValue(0.5);
    (*queryResult.mutable_parameters()->mutable_fields())["total"] = NumberValue(1234567);
    EXPECT_EQ(Compose(Settings(0), queryResult, SpeechInput()).m_body,
              "<?xml version=\"1.0\"?><result>"
              "<interpretation grammar=\"session:g1\" confidence=\"0.876\"><instance>"
              "<query_text>book a table</query_text>"
              "<speech_recognition_confidence>0.8764</speech_recognition_confidence>"
              "<action>booking</action><parameters><guests>2</guests><price>0.5</price>"
              "<total>1.23457e+06</total></parameters>"
              "</instance><input mode=\"speech\">book a table</input></interpretation>"
              "</result>");
}

TEST(NlsmlLayout, OutputAudioUriAndSwiWrapper) {
    v2::QueryResult queryResult;
    queryResult.set_query_text("hi");
    RecogResultInput input = SpeechInput();
    input.m_outputAudioUri = "http://localhost/out&1.wav";
    ResultsSettings settings = Settings(2);
    EXPECT_EQ(Compose(settings, queryResult, input).m_body,
              "<?xml version=\"1.0\"?>\n<result>\n"
              "  <interpretation grammar=\"session:g1\">\n"
              "    <instance>\n"
              "      <query_text>hi</query_text>\n"
              "        <output_audio_uri>http://localhost/out&amp;1.wav"
              "        </output_audio_uri>\n"
              "    </instance>\n"
              "    <input mode=\"speech\">hi</input>\n"
              "  </interpretation>\n</result>");
    settings.m_tagFormatFamily = ResultsSettings::TAG_FORMAT_SWI_SEMANTICS;
    input.m_outputAudioUri.clear();
    EXPECT_EQ(Compose(settings, queryResult, input).m_body,
              "<?xml version=\"1.0\"?>\n<result>\n"
              "  <interpretation grammar=\"session:g1\">\n"
              "    <instance>\n"
              "        <SWI_meaning>        <query_text>hi</query_text>\n"
              "        </SWI_meaning>\n"
              "    </instance>\n"
              "    <input mode=\"speech\">hi</input>\n"
              "  </interpretation>\n</result>");
}

TEST(NlsmlLayout, JsonTagFormatsWriteTheQueryResultAsText) {
    v2::QueryResult queryResult = BookingResult();
    queryResult.set_query_text("a < b");
    for (bool swi : {false, true}) {
        for (int indent : {0, 2, 3}) {
            ResultsSettings settings = Settings(indent);
            settings.m_tagFormatEncoding = ResultsSettings::TAG_FORMAT_JSON;
            settings.m_tagFormatFamily = swi ? ResultsSettings::TAG_FORMAT_SWI_SEMANTICS
                                             : ResultsSettings::TAG_FORMAT_SEMANTICS;
            // The JSON nested like the document around it.
            const std::string json = JsonAsText(queryResult, indent, swi ? 5 : 3);
            const std::string nl = indent > 0 ? "\n" : "";
            std::string instance;
            if (swi) {
                instance = std::string(indent * 4, ' ') + "<SWI_meaning>" + nl + json +
                           std::string(indent * 4, ' ') + "</SWI_meaning>" + nl;
            } else {
                instance = json;
            }
            const std::string body = Compose(settings, queryResult, SpeechInput()).m_body;
            // What an application reads from the element is the query result's JSON.
            std::string text;
            ASSERT_TRUE(ZephTest::XmlElementText(body, swi ? "SWI_meaning" : "instance", text));
            EXPECT_EQ(JsonError(text), "") << text;
            EXPECT_EQ(body,
                      "<?xml version=\"1.0\"?>" + nl + "<result>" + nl + std::string(indent, ' ') +
                          "<interpretation grammar=\"session:g1\" confidence=\"0.876\">" + nl +
                          std::string(indent * 2, ' ') + "<instance>" + nl + instance +
                          std::string(indent * 2, ' ') + "</instance>" + nl +
                          std::string(indent * 2, ' ') + "<input mode=\"speech\">a &lt; b</input>" +
                          nl + std::string(indent, ' ') + "</interpretation>" + nl + "</result>")
                << "swi " << swi << " indent " << indent;
        }
    }
}

// The confidence attribute of a v2 result with `confidence`; "none" when it is left out.
std::string ConfidenceAttribute(float confidence, ResultsSettings::ConfidenceFormat format) {
    v2::QueryResult queryResult;
    queryResult.set_query_text("yes");
    queryResult.set_speech_recognition_confidence(confidence);
    ResultsSettings settings = Settings(0);
    settings.m_confidenceFormat = format;
    const std::string body = Compose(settings, queryResult, SpeechInput()).m_body;
    const std::string key = "confidence=\"";
    if (body.find(key) == std::string::npos)
        return "none";
    const size_t start = body.find(key) + key.size();
    return body.substr(start, body.find('"', start) - start);
}

TEST(NlsmlConfidence, PercentageAndDecimalForms) {
    using RS = ResultsSettings;
    EXPECT_EQ(ConfidenceAttribute(0.999f, RS::CONFIDENCE_FORMAT_MRCPV1), "99");
    EXPECT_EQ(ConfidenceAttribute(0.876f, RS::CONFIDENCE_FORMAT_MRCPV1), "87");
    EXPECT_EQ(ConfidenceAttribute(1.0f, RS::CONFIDENCE_FORMAT_MRCPV1), "100");
    EXPECT_EQ(ConfidenceAttribute(0.999f, RS::CONFIDENCE_FORMAT_MRCPV2), "0.999");
    EXPECT_EQ(ConfidenceAttribute(0.99951f, RS::CONFIDENCE_FORMAT_MRCPV2), "1");
    EXPECT_EQ(ConfidenceAttribute(0.8764f, RS::CONFIDENCE_FORMAT_MRCPV2), "0.876");
    EXPECT_EQ(ConfidenceAttribute(0.5f, RS::CONFIDENCE_FORMAT_MRCPV2), "0.5");
    EXPECT_EQ(ConfidenceAttribute(1.0f, RS::CONFIDENCE_FORMAT_MRCPV2), "1");
    // The service's "not set" is no score: the attribute is left out.
    EXPECT_EQ(ConfidenceAttribute(0.0f, RS::CONFIDENCE_FORMAT_MRCPV2), "none");
    // Not settled by the channel: decimal.
    EXPECT_EQ(ConfidenceAttribute(0.25f, RS::CONFIDENCE_FORMAT_AUTO), "0.25");
    // A confidence no service should send still gives a number.
    EXPECT_EQ(ConfidenceAttribute(1e30f, RS::CONFIDENCE_FORMAT_MRCPV1), "2147483647");
    EXPECT_EQ(
        ConfidenceAttribute(std::numeric_limits<float>::quiet_NaN(), RS::CONFIDENCE_FORMAT_MRCPV1),
        "none");
}

TEST(NlsmlConfidence, ThresholdDecidesTheCause) {
    v2::QueryResult queryResult;
    queryResult.set_query_text("yes");
    queryResult.set_speech_recognition_confidence(0.4f);
    RecogResultInput input = SpeechInput();
    input.m_confidenceThreshold = 0.5f;
    EXPECT_EQ(Compose(Settings(0), queryResult, input).m_cause,
              RECOGNIZER_COMPLETION_CAUSE_NO_MATCH);
    input.m_confidenceThreshold = 0.4f;  // at the threshold is a success
    EXPECT_EQ(Compose(Settings(0), queryResult, input).m_cause,
              RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    // An unknown confidence is never held against the threshold.
    input.m_confidenceThreshold = 0.5f;
    queryResult.set_speech_recognition_confidence(0.0f);
    EXPECT_EQ(Compose(Settings(0), queryResult, input).m_cause,
              RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
}

// The one confidence rule and the causes the service's answer decides, across flavours and
// inputs: which source counts, and what the cause and the NLSML then say.
TEST(NlsmlConfidence, RuleByInputAndFlavour) {
    struct Row {
        const char* name;
        const char* flavour;  // "es" or "cx"
        mpf_sdi_mode_e mode;
        std::string finals;  // the utterance's final transcripts
        float finalConfidence;
        float speechConfidence;      // ES speech_recognition_confidence
        float matchConfidence;       // ES intent_detection_confidence, CX match.confidence
        float deprecatedConfidence;  // CX intent_detection_confidence
        int matchType;               // CX Match::MatchType
        std::string query;           // ES query_text, CX transcript
        const char* attribute;       // the NLSML's confidence attribute
        mrcp_recog_completion_cause_e cause;
        const char* input;  // the NLSML's input text
    };
    using C = mrcp_recog_completion_cause_e;
    const C ok = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    const C noMatch = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    const C noInput = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    const auto speech = MPF_SDI_MODE_SPEECH;
    const auto dtmf = MPF_SDI_MODE_DTMF;
    const auto event = MPF_SDI_MODE_NONE;
    const std::vector<Row> rows = {
        {"finals first", "es", speech, "a large pizza", 0.7f, 0.9f, 0.95f, 0, 0, "a large",
         " confidence=\"0.7\"", ok, "a large pizza"},
        {"then the query result's", "es", speech, "", 0, 0.3f, 0.95f, 0, 0, "yes",
         " confidence=\"0.3\"", noMatch, "yes"},
        {"ES speech: no speech score, unknown", "es", speech, "", 0, 0, 0.95f, 0, 0, "yes", "", ok,
         "yes"},
        {"DTMF is exact", "es", dtmf, "", 0, 0, 0.2f, 0, 0, "12", " confidence=\"1\"", ok, "12"},
        {"ES event: the match", "es", event, "", 0, 0, 0.8f, 0, 0, "", " confidence=\"0.8\"", ok,
         ""},
        {"ES event, no match confidence", "es", event, "", 0, 0, 0, 0, 0, "", "", ok, ""},
        {"ES no speech", "es", speech, "", 0, 0, 0, 0, 0, "", "", noInput, ""},
        {"CX speech: finals, then the match", "cx", speech, "", 0, 0, 0.6f, 0.2f, 1, "hi",
         " confidence=\"0.6\"", ok, "hi"},
        {"CX deprecated only as a fallback", "cx", speech, "", 0, 0, 0, 0.45f, 1, "hi",
         " confidence=\"0.45\"", noMatch, "hi"},
        {"CX intent input", "cx", event, "", 0, 0, 0.9f, 0, 2, "", " confidence=\"0.9\"", ok, ""},
        {"CX parameter filling", "cx", speech, "large", 0.8f, 0, 0, 0, 3, "large",
         " confidence=\"0.8\"", ok, "large"},
        {"CX no match", "cx", speech, "blah", 0.9f, 0, 0, 0, 4, "blah", " confidence=\"0.9\"",
         noMatch, "blah"},
        {"CX no input", "cx", speech, "", 0, 0, 0, 0, 5, "", "", noInput, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RecogResultInput input = SpeechInput();
        input.m_dtmfGrammar.m_text = "builtin:dtmf/digits";
        if (row.mode == event)
            input.m_eventGrammar.m_text = "builtin:event/e";
        input.m_inputMode = row.mode;
        input.m_confidenceThreshold = 0.5f;
        input.m_transcript = row.finals;
        input.m_finalConfidence = row.finalConfidence;
        RecogResult result;
        if (std::string(row.flavour) == "es") {
            v2::QueryResult queryResult;
            queryResult.set_query_text(row.query);
            queryResult.set_speech_recognition_confidence(row.speechConfidence);
            queryResult.set_intent_detection_confidence(row.matchConfidence);
            result = Compose(Settings(0), queryResult, input);
        } else {
            cx::QueryResult queryResult;
            if (row.mode == event)
                queryResult.set_trigger_intent("projects/p/locations/l/agents/a/intents/i");
            else
                queryResult.set_transcript(row.query);
            queryResult.mutable_match()->set_confidence(row.matchConfidence);
            queryResult.mutable_match()->set_match_type(
                static_cast<cx::Match::MatchType>(row.matchType));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            queryResult.set_intent_detection_confidence(row.deprecatedConfidence);
#pragma GCC diagnostic pop
            result = Compose(Settings(0), queryResult, input);
        }
        EXPECT_EQ(result.m_cause, row.cause);
        const std::string grammar = row.mode == event  ? "builtin:event/e"
                                    : row.mode == dtmf ? "builtin:dtmf/digits"
                                                       : "session:g1";
        EXPECT_NE(result.m_body.find("<interpretation grammar=\"" + grammar + "\"" + row.attribute +
                                     "><instance>"),
                  std::string::npos)
            << result.m_body;
        const std::string mode = row.mode == speech ? "speech" : row.mode == dtmf ? "dtmf" : "";
        if (row.mode != event) {
            EXPECT_NE(result.m_body.find("<input mode=\"" + mode + "\">" + row.input + "</input>"),
                      std::string::npos)
                << result.m_body;
        }
    }
}

TEST(NlsmlInput, QueryTextIsEscaped) {
    v2::QueryResult queryResult;
    queryResult.set_query_text("tom <&> jerry\nsays \"hi\"");
    const std::string body = Compose(Settings(0), queryResult, SpeechInput()).m_body;
    EXPECT_NE(body.find("<input mode=\"speech\">tom &lt;&amp;&gt; jerry says &quot;hi&quot;"
                        "</input>"),
              std::string::npos)
        << body;
}

TEST(NlsmlInput, GrammarAndModeByInput) {
    v2::QueryResult queryResult;
    queryResult.set_query_text("12");
    ResultsSettings settings = Settings(0);
    settings.m_eventInputMode = "voice-event";

    RecogResultInput input;
    input.m_speechGrammar.m_text = "session:speech";
    input.m_dtmfGrammar.m_text = "builtin:dtmf/digits";
    input.m_inputMode = MPF_SDI_MODE_DTMF;
    std::string body = Compose(settings, queryResult, input).m_body;
    EXPECT_NE(body.find("<interpretation grammar=\"builtin:dtmf/digits\""), std::string::npos);
    EXPECT_NE(body.find("<input mode=\"dtmf\">12</input>"), std::string::npos);

    // An event grammar names the interpretation whatever the input.
    input.m_eventGrammar.m_text = "session:welcome";
    input.m_inputMode = MPF_SDI_MODE_NONE;
    body = Compose(settings, queryResult, input).m_body;
    EXPECT_NE(body.find("<interpretation grammar=\"session:welcome\""), std::string::npos);
    EXPECT_NE(body.find("<input mode=\"voice-event\">12</input>"), std::string::npos);

    // A grammar id with markup stays inside its attribute.
    input.m_eventGrammar.m_text = "session:a\"b<c>&'";
    body = Compose(settings, queryResult, input).m_body;
    EXPECT_NE(body.find("grammar=\"session:a&quot;b&lt;c&gt;&amp;&apos;\""), std::string::npos);
}

TEST(NlsmlInput, NoGrammarForTheInputGivesNoBody) {
    v2::QueryResult queryResult;
    queryResult.set_speech_recognition_confidence(0.9f);
    RecogResultInput input;
    input.m_speechGrammar.m_text = "session:speech";
    input.m_inputMode = MPF_SDI_MODE_NONE;  // nothing came in: no-match
    RecogResult result = Compose(Settings(2), queryResult, input);
    EXPECT_EQ(result.m_contentType, "");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH);

    input.m_inputMode = MPF_SDI_MODE_DTMF;  // DTMF without a DTMF grammar: cause kept
    result = Compose(Settings(2), queryResult, input);
    EXPECT_EQ(result.m_contentType, "");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);

    input.m_speechGrammar.m_text.clear();
    input.m_inputMode = MPF_SDI_MODE_NONE;
    result = Compose(Settings(2), queryResult, input);
    EXPECT_EQ(result.m_contentType, "");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
}

class BuiltinInstance : public ::testing::Test {
protected:
    BuiltinInstance() {
        m_grammar.m_name = "yesno";
        m_grammar.m_mode = BuiltinGrammar::MODE_SPEECH;
        m_grammar.m_action = "confirm";
        m_grammar.m_parameterName = "answer";
        m_input = SpeechInput("builtin:speech/yesno");
        m_input.m_speechGrammar.m_builtin = &m_grammar;
        m_queryResult.set_query_text("yes");
        m_queryResult.set_speech_recognition_confidence(0.9f);
        m_queryResult.set_action("confirm");
    }
    void SetAnswer(const google::protobuf::Value& value) {
        (*m_queryResult.mutable_parameters()->mutable_fields())["answer"] = value;
    }
    RecogResult Result(int indent = 2) { return Compose(Settings(indent), m_queryResult, m_input); }
    static std::string Instance(const std::string& body) {
        const size_t start = body.find("<instance>");
        const size_t end = body.find("</instance>");
        return body.substr(start, end + 11 - start);
    }

    BuiltinGrammar m_grammar;
    RecogResultInput m_input;
    v2::QueryResult m_queryResult;
    ZephTest::LogPriority m_debug{APT_PRIO_DEBUG};
    LogCapture m_log;
};

TEST_F(BuiltinInstance, ValueWrittenInline) {
    SetAnswer(StringValue("yes"));
    RecogResult result = Result();
    EXPECT_EQ(result.m_body,
              "<?xml version=\"1.0\"?>\n<result>\n"
              "  <interpretation grammar=\"builtin:speech/yesno\" confidence=\"0.9\">\n"
              "    <instance>yes</instance>\n"
              "    <input mode=\"speech\">yes</input>\n"
              "  </interpretation>\n</result>");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    SetAnswer(NumberValue(3.9));
    EXPECT_EQ(Instance(Result().m_body), "<instance>3</instance>");
    SetAnswer(NumberValue(-3.9));
    EXPECT_EQ(Instance(Result().m_body), "<instance>-3</instance>");
    SetAnswer(NumberValue(1e300));
    EXPECT_EQ(Instance(Result().m_body), "<instance>9223372036854775807</instance>");
    SetAnswer(ZephTest::BoolValue(true));
    EXPECT_EQ(Instance(Result().m_body), "<instance>1</instance>");
    SetAnswer(ZephTest::BoolValue(false));
    EXPECT_EQ(Instance(Result(0).m_body), "<instance>0</instance>");
}

TEST_F(BuiltinInstance, StringValueIsEscaped) {
    SetAnswer(StringValue("<b&w>\n\x01"));
    EXPECT_EQ(Instance(Result().m_body), "<instance>&lt;b&amp;w&gt;  </instance>");
}

TEST_F(BuiltinInstance, ActionMismatchIsNoMatch) {
    SetAnswer(StringValue("yes"));
    m_queryResult.set_action("smalltalk");
    RecogResult result = Result();
    EXPECT_EQ(Instance(result.m_body), "<instance></instance>");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG,
                          "Action Mismatch: expected [confirm] received [smalltalk] <ch1@zeph>"),
              1);
}

TEST_F(BuiltinInstance, MissingOrUnsupportedParameterIsAnError) {
    RecogResult result = Result();
    EXPECT_EQ(Instance(result.m_body), "<instance></instance>");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Missing Required Parameter [answer] <ch1@zeph>"), 1);

    SetAnswer(ZephTest::StructValue(google::protobuf::Struct()));
    result = Result();
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_EQ(
        m_log.Count(APT_PRIO_WARNING, "Unsupported Parameter Value Type 5 [answer] <ch1@zeph>"), 1);
    SetAnswer(ZephTest::ListValue({}));
    Result();
    EXPECT_EQ(
        m_log.Count(APT_PRIO_WARNING, "Unsupported Parameter Value Type 6 [answer] <ch1@zeph>"), 1);
    SetAnswer(ZephTest::NullValue());
    Result();
    EXPECT_EQ(
        m_log.Count(APT_PRIO_WARNING, "Unsupported Parameter Value Type 1 [answer] <ch1@zeph>"), 1);
}

TEST_F(BuiltinInstance, OnlyTheInputGrammarCounts) {
    // DTMF input: the speech grammar's definition does not apply.
    SetAnswer(StringValue("yes"));
    m_input.m_dtmfGrammar.m_text = "session:digits";
    m_input.m_inputMode = MPF_SDI_MODE_DTMF;
    const std::string instance = Instance(Result(0).m_body);
    EXPECT_EQ(instance.rfind("<instance><query_text>yes</query_text>", 0), 0u) << instance;
}

TEST(JsonBody, FormatJsonIsTheBareQueryResult) {
    const v2::QueryResult queryResult = BookingResult();
    ResultsSettings settings = Settings(2);
    settings.m_format = ResultsSettings::FORMAT_JSON;
    BuiltinGrammar grammar;
    grammar.m_action = "other";  // would be a no-match in NLSML
    RecogResultInput input = SpeechInput();
    input.m_speechGrammar.m_builtin = &grammar;
    input.m_outputAudioUri = "http://localhost/a.wav";
    for (int indent : {0, 2, 4}) {
        settings.m_indent = indent;
        const RecogResult result = Compose(settings, queryResult, input);
        std::string printed;
        google::protobuf::util::JsonPrintOptions options;
        options.add_whitespace = indent >= 1;
        ASSERT_TRUE(
            google::protobuf::util::MessageToJsonString(queryResult, &printed, options).ok());
        // The printer indents by one space a level; the body by the configured indent.
        std::string expected;
        std::istringstream lines(printed);
        for (std::string line; std::getline(lines, line);) {
            const size_t spaces = line.find_first_not_of(' ');
            expected += std::string(spaces * static_cast<size_t>(indent), ' ') +
                        line.substr(spaces) + (lines.eof() ? "" : "\n");
        }
        EXPECT_EQ(result.m_contentType, "application/json");
        EXPECT_EQ(result.m_body, expected);
        EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    }
}

TEST(JsonBody, MapEntriesInKeyOrderWhateverTheInsertionOrder) {
    v2::QueryResult forward, backward;
    for (int i = 0; i < 100; ++i) {
        (*forward.mutable_parameters()->mutable_fields())["p" + std::to_string(i)] = NumberValue(i);
        (*backward.mutable_parameters()->mutable_fields())["p" + std::to_string(99 - i)] =
            NumberValue(99 - i);
    }
    std::string a, b;
    Zeph::ComposeJsonQueryResult(forward, false, a);
    Zeph::ComposeJsonQueryResult(backward, false, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.rfind("{\"parameters\":{\"p0\":0,\"p1\":1,\"p10\":10,", 0), 0u) << a.substr(0, 60);
    EXPECT_EQ(JsonError(a), "");
    // The NLSML instance of both is the same too.
    EXPECT_EQ(Compose(Settings(2), forward, SpeechInput()).m_body,
              Compose(Settings(2), backward, SpeechInput()).m_body);
}

TEST(JsonBody, NestingDeeperThanThePrinterFollowsStaysJson) {
    LogCapture log;
    google::protobuf::Struct inner;
    (*inner.mutable_fields())["leaf"] = StringValue("x");
    for (int depth = 0; depth < 40; ++depth) {
        google::protobuf::Struct outer;
        (*outer.mutable_fields())["k"] = ZephTest::StructValue(inner);
        inner = outer;
    }
    v2::QueryResult queryResult;
    *queryResult.mutable_parameters() = inner;
    ResultsSettings settings = Settings(0);
    settings.m_format = ResultsSettings::FORMAT_JSON;
    EXPECT_EQ(Compose(settings, queryResult, SpeechInput()).m_body, "{}");
    EXPECT_EQ(log.Find(APT_PRIO_WARNING, "Failed to Convert Message to JSON [").size(), 1u);
    // The XML instance carries the whole tree.
    settings.m_format = ResultsSettings::FORMAT_STANDARD;
    EXPECT_NE(Compose(settings, queryResult, SpeechInput()).m_body.find("<leaf>x</leaf>"),
              std::string::npos);
}

TEST(Flavours, V2beta1GivesTheSameResultAsV2) {
    v2::QueryResult es = BookingResult();
    es.set_query_text("a&b");
    (*es.mutable_parameters()->mutable_fields())["when"] = StringValue("today");
    v2beta1::QueryResult beta;
    ASSERT_TRUE(beta.ParseFromString(es.SerializeAsString()));
    for (int indent : {0, 3}) {
        for (auto format : {ResultsSettings::FORMAT_STANDARD, ResultsSettings::FORMAT_JSON}) {
            ResultsSettings settings = Settings(indent);
            settings.m_format = format;
            const RecogResult a = Compose(settings, es, SpeechInput());
            const RecogResult b = Compose(settings, beta, SpeechInput());
            EXPECT_EQ(a.m_body, b.m_body);
            EXPECT_EQ(a.m_contentType, b.m_contentType);
            EXPECT_EQ(a.m_cause, b.m_cause);
        }
    }
    EXPECT_FLOAT_EQ(Compose(Settings(0), beta, SpeechInput()).m_confidence.m_value, 0.8764f);
    std::string text;
    EXPECT_TRUE(Zeph::RecognizedText(beta, text));
    EXPECT_EQ(text, "a&b");
}

cx::QueryResult CxResult() {
    cx::QueryResult result;
    result.set_transcript("hello there");
    result.set_language_code("en-us");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    result.set_intent_detection_confidence(0.9f);
#pragma GCC diagnostic pop
    (*result.mutable_parameters()->mutable_fields())["x"] = StringValue("y");
    return result;
}

TEST(CxResult, DocumentByteForByte) {
    RecogResultInput input = SpeechInput();
    input.m_confidenceThreshold = 0.95f;
    const RecogResult result = Compose(Settings(2), CxResult(), input);
    EXPECT_EQ(result.m_contentType, "application/x-nlsml");
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH);
    EXPECT_EQ(result.m_body,
              "<?xml version=\"1.0\"?>\n"
              "<result>\n"
              "  <interpretation grammar=\"session:g1\" confidence=\"0.9\">\n"
              "    <instance>\n"
              "      <language_code>en-us</language_code>\n"
              "      <parameters>\n"
              "        <x>y</x>\n"
              "      </parameters>\n"
              "      <intent_detection_confidence>0.9</intent_detection_confidence>\n"
              "      <transcript>hello there</transcript>\n"
              "    </instance>\n"
              "    <input mode=\"speech\">hello there</input>\n"
              "  </interpretation>\n"
              "</result>");
    ResultsSettings settings = Settings(0);
    settings.m_confidenceFormat = ResultsSettings::CONFIDENCE_FORMAT_MRCPV1;
    EXPECT_EQ(Compose(settings, CxResult(), input).m_body,
              "<?xml version=\"1.0\"?><result>"
              "<interpretation grammar=\"session:g1\" confidence=\"90\"><instance>"
              "<language_code>en-us</language_code><parameters><x>y</x></parameters>"
              "<intent_detection_confidence>0.9</intent_detection_confidence>"
              "<transcript>hello there</transcript></instance>"
              "<input mode=\"speech\">hello there</input></interpretation></result>");
}

// The input element of a CX result.
std::string CxInput(const cx::QueryResult& queryResult) {
    RecogResultInput input;
    input.m_eventGrammar.m_text = "session:e";
    const std::string body = Compose(Settings(0), queryResult, input).m_body;
    const size_t start = body.find("<input ");
    return body.substr(start, body.find("</input>") + 8 - start);
}

TEST(CxResult, InputTextByQueryKind) {
    cx::QueryResult queryResult;
    EXPECT_EQ(CxInput(queryResult), "<input mode=\"event\"></input>");
    queryResult.set_text("typed <text>");
    EXPECT_EQ(CxInput(queryResult), "<input mode=\"event\">typed &lt;text&gt;</input>");
    queryResult.set_trigger_event("welcome");
    EXPECT_EQ(CxInput(queryResult), "<input mode=\"event\">welcome</input>");
    queryResult.mutable_dtmf()->set_digits("123");
    EXPECT_EQ(CxInput(queryResult), "<input mode=\"event\">123</input>");
    queryResult.set_trigger_intent("projects/p/locations/global/agents/a/intents/i");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    queryResult.mutable_intent()->set_name("projects/p/locations/global/agents/a/intents/i1");
#pragma GCC diagnostic pop
    // The query names the intent; the deprecated intent is no source of it.
    EXPECT_EQ(CxInput(queryResult),
              "<input mode=\"event\">projects/p/locations/global/agents/a/intents/i</input>");
    queryResult.set_trigger_intent("");
    EXPECT_EQ(CxInput(queryResult),
              "<input mode=\"event\">projects/p/locations/global/agents/a/intents/i1</input>");
}

TEST(CxResult, StoredTextOnlyForTranscriptOrText) {
    std::string text = "before";
    cx::QueryResult queryResult;
    EXPECT_FALSE(Zeph::RecognizedText(queryResult, text));
    queryResult.set_trigger_intent("i");
    EXPECT_FALSE(Zeph::RecognizedText(queryResult, text));
    queryResult.set_trigger_event("e");
    EXPECT_FALSE(Zeph::RecognizedText(queryResult, text));
    EXPECT_EQ(text, "before");
    queryResult.set_text("typed");
    EXPECT_TRUE(Zeph::RecognizedText(queryResult, text));
    EXPECT_EQ(text, "typed");
    queryResult.set_transcript("spoken");
    EXPECT_TRUE(Zeph::RecognizedText(queryResult, text));
    EXPECT_EQ(text, "spoken");
    EXPECT_FLOAT_EQ(Compose(Settings(0), CxResult(), SpeechInput()).m_confidence.m_value, 0.9f);
}

TEST(CxResult, BuiltinGrammarAddsNothing) {
    ZephTest::LogPriority debug(APT_PRIO_DEBUG);
    LogCapture log;
    BuiltinGrammar grammar;
    grammar.m_action = "confirm";
    grammar.m_parameterName = "answer";  // absent, and no action: no check applies
    RecogResultInput input = SpeechInput("builtin:speech/yesno");
    input.m_speechGrammar.m_builtin = &grammar;
    const RecogResult result = Compose(Settings(2), CxResult(), input);
    EXPECT_NE(result.m_body.find("    <instance></instance>\n"), std::string::npos)
        << result.m_body;
    EXPECT_EQ(result.m_cause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    for (int priority = APT_PRIO_EMERGENCY; priority <= APT_PRIO_DEBUG; ++priority) {
        EXPECT_TRUE(log.Find(static_cast<apt_log_priority_e>(priority), "").empty());
    }
}

TEST(CxResult, JsonFormat) {
    ResultsSettings settings = Settings(0);
    settings.m_format = ResultsSettings::FORMAT_JSON;
    const RecogResult result = Compose(settings, CxResult(), SpeechInput());
    std::string expected;
    ASSERT_TRUE(google::protobuf::util::MessageToJsonString(CxResult(), &expected).ok());
    EXPECT_EQ(result.m_body, expected);
    EXPECT_EQ(result.m_contentType, "application/json");
}

}  // namespace
