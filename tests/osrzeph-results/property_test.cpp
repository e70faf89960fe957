// Thousands of random query results with hostile content (markup and control characters,
// bytes that are no UTF-8, 10 000-byte strings, deep nesting, keys that are no XML names)
// under random settings: every NLSML document must be well-formed for APR's XML parser,
// every JSON body must parse, and a copy of the query result must give the same bytes.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <google/cloud/dialogflow/cx/v3beta1/session.pb.h>
#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include "OsrGrammar.h"
#include "OsrZephPbXml.h"
#include "OsrZephResult.h"
#include "results_test_support.h"

namespace {

namespace v2 = google::cloud::dialogflow::v2;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

using google::protobuf::Struct;
using google::protobuf::Value;
using Zeph::RecogResult;
using Zeph::RecogResultInput;
using Zeph::ResultsSettings;

class Hostile {
public:
    explicit Hostile(uint32_t seed) : m_random(seed) {}

    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool Chance(int percent) { return Int(0, 99) < percent; }

    // Text made of pieces that each stress one rule.
    std::string Text(int maxPieces) {
        static const char* const kPieces[] = {"<",
                                              ">",
                                              "&",
                                              "\"",
                                              "'",
                                              "]]>",
                                              "<!--",
                                              "&amp;",
                                              "&#0;",
                                              "\n",
                                              "\r",
                                              "\t",
                                              " ",
                                              "\x01",
                                              "\x0b",
                                              "\x1f",
                                              "\x7f",
                                              "\xff",
                                              "\xc3",
                                              "\xc3\xa9",
                                              "\xed\xa0\x80",
                                              "\xef\xbf\xbe",
                                              "\xef\xbf\xbf",
                                              "\xf0\x9f\x98\x80",
                                              "\xf4\x90\x80\x80",
                                              "\xc0\xaf",
                                              "\xe5\x90\x8d",
                                              "\xcc\x81",
                                              ":",
                                              "/",
                                              ".",
                                              "-",
                                              "_",
                                              "0",
                                              "9",
                                              "a",
                                              "Z",
                                              "xml",
                                              "word",
                                              "\x80"};
        std::string text;
        const int pieces = Int(0, maxPieces);
        for (int i = 0; i < pieces; ++i) {
            const int kind = Int(0, 9);
            if (kind < 7) {
                text += kPieces[Int(0, sizeof(kPieces) / sizeof(kPieces[0]) - 1)];
            } else if (kind < 9) {
                text += static_cast<char>(Int(0, 255));
            } else {
                text += std::string(1, '\0');
            }
        }
        if (Chance(2)) {
            // A long run, with a hostile byte somewhere in it.
            std::string run(10000, 'x');
            run[static_cast<size_t>(Int(0, 9999))] = static_cast<char>(Int(0, 255));
            text += run;
        }
        return text;
    }

    double Number() {
        switch (Int(0, 7)) {
            case 0:
                return std::numeric_limits<double>::quiet_NaN();
            case 1:
                return std::numeric_limits<double>::infinity();
            case 2:
                return -1e300;
            case 3:
                return -0.0;
            case 4:
                return Int(-1000, 1000);
            default:
                return std::uniform_real_distribution<double>(-1e6, 1e6)(m_random);
        }
    }

    Value RandomValue(int depth, int& budget) {
        Value value;
        --budget;
        const int kind = depth <= 0 || budget <= 0 ? Int(0, 4) : Int(0, 6);
        switch (kind) {
            case 0:
                value.set_string_value(Text(6));
                break;
            case 1:
                value.set_number_value(Number());
                break;
            case 2:
                value.set_bool_value(Chance(50));
                break;
            case 3:
                value.set_null_value(google::protobuf::NULL_VALUE);
                break;
            case 4:
                break;  // no kind
            case 5:
                *value.mutable_struct_value() = RandomStruct(depth - 1, budget);
                break;
            default: {
                const int items = Int(0, 3);
                for (int i = 0; i < items; ++i) {
                    *value.mutable_list_value()->add_values() = RandomValue(depth - 1, budget);
                }
                break;
            }
        }
        return value;
    }

    Struct RandomStruct(int depth, int& budget) {
        Struct result;
        const int keys = Int(0, 5);
        for (int i = 0; i < keys && budget > 0; ++i) {
            (*result.mutable_fields())[Text(4)] = RandomValue(depth, budget);
        }
        return result;
    }

    // A chain of single-key structs, `depth` deep, ending in a hostile string.
    Struct DeepStruct(int depth) {
        Struct result;
        (*result.mutable_fields())[Text(2)].set_string_value(Text(3));
        for (int i = 0; i < depth; ++i) {
            Struct outer;
            *(*outer.mutable_fields())[Text(2)].mutable_struct_value() = result;
            result = outer;
        }
        return result;
    }

    Struct Parameters() {
        if (Chance(5)) {
            return DeepStruct(Int(10, 30));
        }
        int budget = Int(1, 40);
        return RandomStruct(Int(0, 6), budget);
    }

    ResultsSettings Settings() {
        ResultsSettings settings;
        static const int kIndents[] = {0, 1, 2, 4, -1};
        settings.m_format =
            Chance(30) ? ResultsSettings::FORMAT_JSON : ResultsSettings::FORMAT_STANDARD;
        settings.m_indent = kIndents[Int(0, 4)];
        settings.m_replaceDots = Chance(50);
        settings.m_replaceDashes = Chance(50);
        settings.m_confidenceFormat = static_cast<ResultsSettings::ConfidenceFormat>(Int(0, 2));
        settings.m_tagFormatFamily = static_cast<ResultsSettings::TagFormatFamily>(Int(0, 1));
        settings.m_tagFormatEncoding = static_cast<ResultsSettings::TagFormatEncoding>(Int(0, 1));
        settings.m_eventInputMode = Text(2);
        return settings;
    }

    RecogResultInput Input(const Zeph::BuiltinGrammar* builtin) {
        RecogResultInput input;
        input.m_speechGrammar.m_text = "session:" + Text(3);
        input.m_dtmfGrammar.m_text = "builtin:dtmf/" + Text(2);
        if (Chance(30)) {
            input.m_eventGrammar.m_text = "session:" + Text(3);
        }
        input.m_speechGrammar.m_builtin = Chance(30) ? builtin : nullptr;
        input.m_dtmfGrammar.m_builtin = Chance(30) ? builtin : nullptr;
        input.m_inputMode = static_cast<mpf_sdi_mode_e>(Int(0, 3));
        input.m_confidenceThreshold = static_cast<float>(Number());
        if (Chance(30)) {
            input.m_outputAudioUri = Text(4);
        }
        input.m_channelId = Text(2);
        return input;
    }

    float Confidence() {
        return Chance(10) ? static_cast<float>(Number())
                          : std::uniform_real_distribution<float>(0.0f, 1.0f)(m_random);
    }

private:
    std::mt19937 m_random;
};

// How many bodies of each kind a run produced, so that a run that tests nothing fails.
struct Tally {
    int nlsml = 0;
    int json = 0;
    int none = 0;
    size_t longest = 0;
};

// Composes, checks the body with the real parsers, and that a copy composes the same bytes.
template <typename QueryResult>
void CheckResult(const ResultsSettings& settings, const QueryResult& queryResult,
                 const RecogResultInput& input, int iteration, Tally& tally, RecogResult& result) {
    result = Zeph::ComposeRecogResult(settings, queryResult, input);
    tally.longest = std::max(tally.longest, result.m_body.size());
    if (result.m_contentType == "application/x-nlsml") {
        ++tally.nlsml;
    } else if (result.m_contentType == "application/json") {
        ++tally.json;
    } else {
        ++tally.none;
    }
    const std::string error = ZephTest::ResultBodyError(result.m_contentType, result.m_body);
    ASSERT_EQ(error, "") << "iteration " << iteration << "\n" << result.m_body.substr(0, 4000);
    const QueryResult copy = queryResult;  // maps of the copy iterate in another order
    const RecogResult again = Zeph::ComposeRecogResult(settings, copy, input);
    ASSERT_EQ(again.m_body, result.m_body) << "iteration " << iteration;
    ASSERT_EQ(again.m_cause, result.m_cause);
}

// Serialising strings that are no UTF-8 logs an error per string, and the built-in grammar
// checks a warning per result: thousands here.
class QuietLogs {
public:
    QuietLogs() : m_previous(google::protobuf::SetLogHandler(nullptr)) {}
    ~QuietLogs() { google::protobuf::SetLogHandler(m_previous); }

private:
    google::protobuf::LogHandler* m_previous;
    ZephTest::LogPriority m_errorsOnly{APT_PRIO_ERROR};
};

// What an application reads back from the document for `text`: bytes that are no UTF-8 and
// U+FFFE/U+FFFF as U+FFFD, control characters (line feed included) as spaces, and carriage
// returns as the parser normalises them, to line feeds.
std::string ReadBack(const std::string& text) {
    std::string valid = text;
    Zeph::PbXmlGenerator::ReplaceInvalidUtf8(valid);
    std::string read;
    for (size_t i = 0; i < valid.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(valid[i]);
        if (c == '\r') {
            read += '\n';
        } else if (c < 0x20 && c != '\t') {
            read += ' ';
        } else if (c == 0xEF && valid.compare(i, 2, "\xef\xbf") == 0 &&
                   (valid.compare(i, 3, "\xef\xbf\xbe") == 0 ||
                    valid.compare(i, 3, "\xef\xbf\xbf") == 0)) {
            read += "\xef\xbf\xbd";
            i += 2;
        } else {
            read += static_cast<char>(c);
        }
    }
    return read;
}

void ExpectVaried(const Tally& tally, int iterations) {
    EXPECT_GT(tally.nlsml, iterations / 4);
    EXPECT_GT(tally.json, iterations / 5);
    EXPECT_GT(tally.none, 0);
    EXPECT_GT(tally.longest, 10000u);
}

TEST(ResultProperty, HostileEsQueryResultsGiveWellFormedDocuments) {
    QuietLogs quiet;
    Tally tally;
    Hostile hostile(20261207);
    Zeph::BuiltinGrammar builtin;
    builtin.m_action = "act";
    builtin.m_parameterName = "p";
    int readBack = 0;
    const int iterations = 2500;
    for (int i = 0; i < iterations; ++i) {
        v2::QueryResult queryResult;
        queryResult.set_query_text(hostile.Text(8));
        queryResult.set_speech_recognition_confidence(hostile.Confidence());
        queryResult.set_action(hostile.Chance(50) ? "act" : hostile.Text(3));
        *queryResult.mutable_parameters() = hostile.Parameters();
        if (hostile.Chance(50)) {
            int budget = 3;  // the built-in grammar's parameter
            (*queryResult.mutable_parameters()->mutable_fields())["p"] =
                hostile.RandomValue(2, budget);
        }
        if (hostile.Chance(20)) {
            queryResult.set_fulfillment_text(hostile.Text(5));
            *queryResult.mutable_webhook_payload() = hostile.Parameters();
            auto* info = queryResult.add_fulfillment_messages()
                             ->mutable_list_select()
                             ->add_items()
                             ->mutable_info();
            info->set_key(hostile.Text(3));
            info->add_synonyms(hostile.Text(3));
        }
        const ResultsSettings settings = hostile.Settings();
        RecogResult result;
        CheckResult(settings, queryResult, hostile.Input(&builtin), i, tally, result);
        if (HasFatalFailure()) {
            return;
        }
        if (result.m_contentType == "application/x-nlsml") {
            // The text survives escaping as the application will read it.
            std::string text;
            ASSERT_TRUE(ZephTest::XmlElementText(result.m_body, "input", text));
            ASSERT_EQ(text, ReadBack(queryResult.query_text())) << "iteration " << i;
            if (settings.m_tagFormatEncoding == ResultsSettings::TAG_FORMAT_XML &&
                result.m_body.find("<instance>\n") != std::string::npos &&
                !queryResult.query_text().empty()) {
                ASSERT_TRUE(ZephTest::XmlElementText(result.m_body, "query_text", text));
                ASSERT_EQ(text, ReadBack(queryResult.query_text())) << "iteration " << i;
            }
            ++readBack;
        }
    }
    ExpectVaried(tally, iterations);
    EXPECT_GT(readBack, iterations / 4);
}

TEST(ResultProperty, HostileCxQueryResultsGiveWellFormedDocuments) {
    QuietLogs quiet;
    Tally tally;
    Hostile hostile(7122026);
    const int iterations = 1000;
    for (int i = 0; i < iterations; ++i) {
        cx::QueryResult queryResult;
        switch (hostile.Int(0, 4)) {
            case 0:
                queryResult.set_transcript(hostile.Text(8));
                break;
            case 1:
                queryResult.set_text(hostile.Text(8));
                break;
            case 2:
                queryResult.set_trigger_event(hostile.Text(4));
                break;
            case 3:
                queryResult.set_trigger_intent(hostile.Text(4));
                break;
            default:
                break;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        queryResult.set_intent_detection_confidence(hostile.Confidence());
        queryResult.mutable_intent()->set_name(hostile.Text(4));
#pragma GCC diagnostic pop
        *queryResult.mutable_parameters() = hostile.Parameters();
        RecogResult result;
        CheckResult(hostile.Settings(), queryResult, hostile.Input(nullptr), i, tally, result);
        if (HasFatalFailure()) {
            return;
        }
    }
    ExpectVaried(tally, iterations);
}

}  // namespace
