// The three API flavours of the streaming method against dialogflow-sim over TLS with the
// test credentials: what each flavour's first request holds (as the sim recorded it), its
// log lines, and the exact result body for speech, DTMF, events, no-input and STOP.
#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/json_path.h"
#include "../common/log_capture.h"
#include "../common/sim_process.h"
#include "../common/test_audio.h"
#include "OsrZephStream.h"
#include "OsrZephStubSessionV2.h"
#include "OsrZephStubSessionV2beta1.h"
#include "OsrZephStubSessionV3beta1.h"
#include "flavour_host.h"

namespace {

using ZephTest::JsonAt;
using ZephTest::JsonString;

using Zeph::GrammarRef;
using ZephFlavourTest::Completion;
using ZephFlavourTest::MakeGrammar;
using ZephFlavourTest::TestHost;

// The audio these tests send is silence, so the turn is byte-timed: the sim answers at the
// last block (one second at 8000 Hz) instead of listening for speech.
const char* const kAgent = R"({
  "intents": [
    {"name": "book", "display_name": "Book a Table", "action": "table.book",
     "parameters": {"guests": 4}, "fulfillment_text": "For how many?",
     "texts": ["I want a table", "12"], "events": ["BOOK"], "dtmf": ["12"],
     "confidence": 0.95}
  ],
  "utterances": [{"transcript": "book a table", "confidence": 0.87, "intent": "book",
                  "end_of_utterance": 16000}],
  "sessions": {"slow": [{"interim": [{"at_bytes": 1, "transcript": "nev"}], "transcript": "never",
                         "faults": {"delay_answer_ms": 1000}}]}
})";

enum class Input { Speech, Dtmf, Event, NoInput, Stop };

struct Outcome {
    Completion completion;
    bool completed = false;
    bool validated = false;
    int completions = 0;
    std::string sessionPath;
    std::string inputText;  // the stored text after the recognition
};

class FlavoursTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ZephTest::UseTestCredentials();
        apt_log_priority_set(APT_PRIO_DEBUG);
    }

    void SetUp() override {
        apr_initialize();
        apr_pool_create(&m_pool, nullptr);
        m_dir = ZephTest::MakeTempDir("zeph-flavours");
        ASSERT_FALSE(m_dir.empty());
        std::ofstream(m_dir + "/agent.json") << kAgent;
        ASSERT_TRUE(
            m_sim.Start({"--agent", m_dir + "/agent.json", "--record", m_dir + "/streams.jsonl"}));
        m_channel = grpc::CreateChannel(m_sim.target(), grpc::GoogleDefaultCredentials());
    }

    void TearDown() override {
        m_sim.Stop();
        m_channel.reset();
        std::filesystem::remove_all(m_dir);
        apr_pool_destroy(m_pool);
        apr_terminate();
        EXPECT_EQ(Zeph::MethodBase::GetLiveCount(), 0);
    }

    // One recognition of `api` through the host as `setup` prepared it.
    Outcome Recognize(const std::string& api, Input input,
                      const std::function<void(TestHost&)>& setup = {}) {
        Outcome outcome;
        ZephFlavourTest::Engine engine;
        EXPECT_TRUE(engine.IsStarted());
        TestHost host(engine.GetProcessor());
        host.m_settings.m_agent = "agent-1";
        host.m_speech = MakeGrammar(GrammarRef::TYPE_SPEECH, "transcribe");
        if (input == Input::Dtmf) {
            host.m_speech.reset();
            host.m_dtmf = MakeGrammar(GrammarRef::TYPE_DTMF, "digits");
            host.m_inputMode = 2;  // DTMF
            host.m_inputText = "12";
            host.m_inputComplete = true;
        } else if (input == Input::Event) {
            host.m_event = MakeGrammar(GrammarRef::TYPE_EVENT, "BOOK");
        } else if (input == Input::Speech || input == Input::Stop) {
            host.m_inputMode = 1;  // speech
            host.m_speechStarted = true;
        }
        if (input == Input::Stop)
            host.m_dialogId = "slow";
        if (setup)
            setup(host);
        std::unique_ptr<Zeph::StubBase> stub;
        std::shared_ptr<Zeph::MethodBase> method;
        host.Run([&] {
            method = CreateMethod(api, host, engine, stub);
            if (!method)
                return;
            host.m_method = method;
            outcome.validated = method->Validate();
            if (outcome.validated)
                method->Invoke();
        });
        if (!method || !outcome.validated) {
            host.Run([&] { host.m_method.reset(); });
            return outcome;
        }
        if (input == Input::Speech || input == Input::Stop) {
            // One second of audio in blocks of 100 ms, the last one closing the input.
            const std::string block(static_cast<size_t>(host.m_rate / 5), '\0');
            int blocks = input == Input::Stop ? 3 : 10;
            for (int i = 0; i < blocks; ++i) {
                host.Run([&] {
                    Zeph::DataChunk chunk = Zeph::DataChunk::Copy(block.data(), block.size());
                    method->ProcessSpeechInput(chunk, i == 9);
                });
            }
        }
        if (input == Input::NoInput) {
            // As the channel does: the cause is decided before the method hears of it.
            host.Run([&] {
                host.m_inputComplete = true;
                host.m_cause = 2;
                if (!method->ProcessNoInput()) {
                    host.m_cause = 2;
                    host.CompleteRecognition(2, std::string(), std::string());
                }
            });
        } else if (input == Input::Stop) {
            // STOP once the sim has read the stream: its interim transcript is here. A
            // request written is not yet read, and a cancel may overtake it at the sim. The
            // sim's answer to the half-close is a second away: the cancel comes first.
            bool heard = false;
            for (int i = 0; i < 2000 && !heard; ++i) {
                host.Run([&] { heard = !host.m_interim.empty(); });
                if (!heard)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_TRUE(heard);
            host.Run([&] {
                host.m_inputComplete = true;
                host.m_cause = 1;
                if (!method->ProcessStop())
                    host.CompleteRecognition(1, std::string(), std::string());
            });
        }
        outcome.completed = host.WaitForCompletion(outcome.completion);
        host.Run([&] {
            outcome.completions = host.m_completions;
            outcome.sessionPath = host.m_sessionPath;
            outcome.inputText = host.m_inputText;
            host.m_method.reset();
            method.reset();
            stub.reset();
        });
        return outcome;
    }

    std::shared_ptr<Zeph::MethodBase> CreateMethod(const std::string& api, TestHost& host,
                                                   ZephFlavourTest::Engine& engine,
                                                   std::unique_ptr<Zeph::StubBase>& stub) {
        if (api == "v2")
            return Create<Zeph::APIV2::SessionStub>(host, engine, stub);
        if (api == "v2beta1")
            return Create<Zeph::APIV2BETA1::SessionStub>(host, engine, stub);
        return Create<Zeph::APIV3BETA1::SessionStub>(host, engine, stub);
    }

    template <class SessionStub>
    std::shared_ptr<Zeph::MethodBase> Create(TestHost& host, ZephFlavourTest::Engine& engine,
                                             std::unique_ptr<Zeph::StubBase>& stub) {
        auto* typed = new SessionStub(nullptr, m_channel);
        stub.reset(typed);
        if (!typed->CreateGrpcStub())
            return nullptr;
        return typed->CreateStreamingDetectIntentMethod(&host, engine.GetQueue(),
                                                        engine.GetProcessor(), 0);
    }

    // The sim's records, one parsed document per finished stream.
    std::vector<rapidjson::Document> Records() {
        m_sim.Stop();
        std::vector<rapidjson::Document> records;
        std::ifstream in(m_dir + "/streams.jsonl");
        std::string line;
        while (std::getline(in, line)) {
            records.emplace_back();
            records.back().Parse(line.c_str());
            EXPECT_FALSE(records.back().HasParseError()) << line;
        }
        return records;
    }

    // Vendor-specific parameters of the RECOGNIZE, as name/value pairs.
    const apt_pair_arr_t* Pairs(const std::vector<std::pair<std::string, std::string>>& list) {
        apt_pair_arr_t* pairs = apt_pair_array_create(list.size(), m_pool);
        for (const auto& entry : list) {
            apt_str_t name, value;
            apt_string_assign_n(&name, entry.first.data(), entry.first.size(), m_pool);
            apt_string_assign_n(&value, entry.second.data(), entry.second.size(), m_pool);
            apt_pair_array_append(pairs, &name, &value, m_pool);
        }
        return pairs;
    }

    apr_pool_t* m_pool = nullptr;
    std::string m_dir;
    ZephTest::SimProcess m_sim;
    std::shared_ptr<grpc::Channel> m_channel;
    ZephTest::LogCapture m_log;
};

// The <input> element and the grammar attribute of an NLSML body.
std::string InputElement(const std::string& body) {
    size_t start = body.find("<input");
    size_t end = body.find("</input>");
    return start == std::string::npos || end == std::string::npos ? std::string()
                                                                  : body.substr(start, end - start);
}

const char* const kCxAgentPath = "projects/zeph-test-project/locations/global/agents/agent-1";

// The streaming service leaves speech_recognition_confidence unset and CX's deprecated
// intent fields empty: the confidence is the final transcript's.
const std::string kEsSpeechBody =
    "<?xml version=\"1.0\"?><result><interpretation grammar=\"builtin:speech/transcribe\" "
    "confidence=\"0.87\"><instance><query_text>book a "
    "table</query_text><action>table.book</action><parameters><guests>4</guests></"
    "parameters><all_required_params_present>true</"
    "all_required_params_present><fulfillment_text>For how many?</"
    "fulfillment_text><fulfillment_messages><text><text>For how many?</text></text></"
    "fulfillment_messages><intent><name>projects/zeph-test-project/agent/intents/book</"
    "name><display_name>Book a Table</display_name></"
    "intent><intent_detection_confidence>0.95</intent_detection_confidence><language_code>en-US</"
    "language_code></instance><input mode=\"speech\">book a table</input></interpretation></"
    "result>";

const std::string kCxSpeechBody =
    "<?xml version=\"1.0\"?><result><interpretation grammar=\"builtin:speech/transcribe\" "
    "confidence=\"0.87\"><instance><language_code>en-US</"
    "language_code><parameters><guests>4</guests></"
    "parameters><response_messages><text><text>For how many?</text></text></"
    "response_messages><transcript>book a "
    "table</transcript><match><intent><name>projects/zeph-test-project/locations/global/agents/"
    "agent-1/intents/book</name><display_name>Book a Table</display_name></"
    "intent><parameters><guests>4</guests></parameters><resolved_input>book a "
    "table</resolved_input><match_type>INTENT</"
    "match_type><confidence>0.95</confidence></match></instance><input mode=\"speech\">book a "
    "table</input></interpretation></result>";

// A speech grammar whose context has three phrases with boosts (and a language when given).
void AddPhraseContext(TestHost& host, const std::string& language = "") {
    auto grammar = MakeGrammar(GrammarRef::TYPE_SPEECH, "transcribe");
    auto context = std::make_unique<Zeph::SpeechContext>();
    context->m_id = "tables";
    context->m_language = language;
    context->AddPhrase("book a table", "", 10.0f);
    context->AddPhrase("cancel", "", 5.0f);
    context->AddPhrase("menu", "", 2.5f);
    grammar->SetOwnSpeechContext(std::move(context));
    host.m_speech = grammar;
}

// The DTMF grammar configured to send its digits as an event.
Zeph::BuiltinGrammar* EventDigits() {
    static Zeph::BuiltinGrammar grammar = [] {
        Zeph::BuiltinGrammar builtin;
        builtin.m_name = "digits";
        builtin.m_mode = Zeph::BuiltinGrammar::MODE_DTMF;
        builtin.m_input = Zeph::BuiltinGrammar::INPUT_EVENT;
        return builtin;
    }();
    return &grammar;
}

void UseEventDigits(TestHost& host) {
    auto grammar = MakeGrammar(GrammarRef::TYPE_DTMF, "digits");
    grammar->m_builtinGrammar = EventDigits();
    host.m_dtmf = grammar;
}

TEST_F(FlavoursTest, SameSpeechGivesTheSameResultInEveryFlavour) {
    Outcome v2 = Recognize("v2", Input::Speech);
    Outcome v2beta1 = Recognize("v2beta1", Input::Speech);
    Outcome cx = Recognize("v3beta1", Input::Speech);
    for (const Outcome* outcome : {&v2, &v2beta1, &cx}) {
        ASSERT_TRUE(outcome->completed);
        EXPECT_EQ(outcome->completion.cause, 0);
        EXPECT_EQ(outcome->completions, 1);
        EXPECT_EQ(outcome->completion.contentType, "application/x-nlsml");
    }
    // v2beta1 answers exactly as v2; CX differs only where its query result does.
    EXPECT_EQ(v2.completion.body, kEsSpeechBody);
    EXPECT_EQ(v2beta1.completion.body, v2.completion.body);
    EXPECT_EQ(cx.completion.body, kCxSpeechBody);
    EXPECT_EQ(InputElement(cx.completion.body), InputElement(v2.completion.body));
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 3u);
    const char* flavours[] = {"v2", "v2beta1", "v3beta1"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(JsonString(records[i], "flavour"), flavours[i]);
        EXPECT_EQ(records[i]["audio_requests"].GetInt(), 10);
        EXPECT_EQ(records[i]["status"]["code"].GetInt(), 0);
        EXPECT_TRUE(records[i]["half_close"].GetBool());
    }
}

TEST_F(FlavoursTest, V2beta1SpeechWithPhraseHintsDtmfAndEvents) {
    Outcome speech =
        Recognize("v2beta1", Input::Speech, [](TestHost& host) { AddPhraseContext(host); });
    ASSERT_TRUE(speech.completed);
    EXPECT_EQ(speech.completion.body, kEsSpeechBody);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG,
                          "Set Dialog ID [projects/zeph-test-project/agent/"
                          "sessions/call-1] <flv1@zeph>"),
              1);
    EXPECT_TRUE(m_log.Find(APT_PRIO_DEBUG, "Set ZEPH Session ID").empty());

    Outcome text = Recognize("v2beta1", Input::Dtmf);
    Outcome event = Recognize("v2beta1", Input::Dtmf, UseEventDigits);
    Outcome grammar = Recognize("v2beta1", Input::Event, [](TestHost& host) {
        auto params = MakeGrammar(GrammarRef::TYPE_EVENT, "BOOK");
        params->m_params["table"] = "7";
        host.m_event = params;
    });
    ASSERT_TRUE(text.completed && event.completed && grammar.completed);
    EXPECT_EQ(text.completion.cause, 0);  // keyed digits are exact, whatever the threshold
    EXPECT_NE(text.completion.body.find("<input mode=\"dtmf\">12</input>"), std::string::npos)
        << text.completion.body;
    EXPECT_NE(grammar.completion.body.find("<input mode=\"event\">BOOK</input>"), std::string::npos)
        << grammar.completion.body;
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO,
                          "Init DTMF Request: name=digits, digits=12, language=en-US, "
                          "input=event <flv1@zeph>"),
              1);

    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 4u);
    const rapidjson::Value* contexts =
        JsonAt(records[0], "first_request/queryInput/audioConfig/speechContexts");
    ASSERT_TRUE(contexts && contexts->IsArray());
    ASSERT_EQ(contexts->Size(), 3u);
    EXPECT_STREQ((*contexts)[0]["phrases"][0].GetString(), "book a table");
    EXPECT_FLOAT_EQ((*contexts)[0]["boost"].GetFloat(), 10.0f);
    EXPECT_FLOAT_EQ((*contexts)[2]["boost"].GetFloat(), 2.5f);
    EXPECT_EQ(JsonString(records[1], "first_request/queryInput/text/text"), "12");
    EXPECT_EQ(JsonString(records[2], "first_request/queryInput/event/name"), "12");
    EXPECT_EQ(JsonString(records[3], "first_request/queryInput/event/name"), "BOOK");
    EXPECT_EQ(JsonString(records[3], "first_request/queryInput/event/parameters/table"), "7");
    for (const auto& record : records)
        EXPECT_EQ(JsonString(record, "flavour"), "v2beta1");
}

TEST_F(FlavoursTest, NoInputAndStopInEveryNewFlavour) {
    for (const char* api : {"v2beta1", "v3beta1"}) {
        SCOPED_TRACE(api);
        Outcome noInput = Recognize(api, Input::NoInput);
        Outcome stop = Recognize(api, Input::Stop);
        ASSERT_TRUE(noInput.completed && stop.completed);
        EXPECT_EQ(noInput.completion.cause, 2);
        EXPECT_EQ(noInput.completion.body, "");
        EXPECT_EQ(noInput.completions, 1);
        EXPECT_EQ(stop.completion.cause, 1);
        EXPECT_EQ(stop.completion.body, "");
        EXPECT_EQ(stop.completions, 1);
    }
    // A stream cancelled before it was opened may never reach the sim; the stopped ones
    // did, and every stream was cancelled by the plugin.
    std::vector<rapidjson::Document> records = Records();
    int stopped = 0;
    for (const auto& record : records) {
        EXPECT_TRUE(record["cancelled"].GetBool());
        if (JsonString(record, "session").find("/sessions/slow") != std::string::npos)
            ++stopped;
    }
    EXPECT_EQ(stopped, 2);
}

TEST_F(FlavoursTest, CxSessionPathsAndTheAgentCheck) {
    Outcome noAgent = Recognize("v3beta1", Input::Speech,
                                [](TestHost& host) { host.m_settings.m_agent.clear(); });
    EXPECT_FALSE(noAgent.validated);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "No Agent Specified <flv1@zeph>"), 1);
    Outcome placed = Recognize("v3beta1", Input::Event, [](TestHost& host) {
        host.m_settings.m_location = "europe-west1";
        host.m_settings.m_environment = "draft";
        host.m_event = MakeGrammar(GrammarRef::TYPE_EVENT, "book");
    });
    ASSERT_TRUE(placed.completed);
    EXPECT_EQ(placed.sessionPath,
              "projects/zeph-test-project/locations/europe-west1/agents/agent-1/environments/"
              "draft/sessions/call-1");
    EXPECT_EQ(
        m_log.Count(APT_PRIO_DEBUG, "Set ZEPH Session ID [" + placed.sessionPath + "] <flv1@zeph>"),
        1);
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 1u);  // nothing went out without an agent
    EXPECT_EQ(JsonString(records[0], "session"), placed.sessionPath);
    // The intent belongs to the agent: no environment segment.
    EXPECT_EQ(JsonString(records[0], "first_request/queryInput/intent/intent"),
              "projects/zeph-test-project/locations/europe-west1/agents/agent-1/intents/book");
}

TEST_F(FlavoursTest, CxAudioRequestsCarryLanguageInTheQueryInputAndHintsWithoutBoosts) {
    Outcome speech = Recognize("v3beta1", Input::Speech, [](TestHost& host) {
        AddPhraseContext(host, "de-DE");
        host.m_settings.m_generateOutputAudio = true;
    });
    ASSERT_TRUE(speech.completed);
    EXPECT_EQ(speech.completion.cause, 0);
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO,
                          "Init Streaming Request: encoding=1, sampling-rate=8000, "
                          "language=de-DE, single-utterance=1, word-info=0 <flv1@zeph>"),
              1);
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO, "Set Speech Context [tables] <flv1@zeph>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO,
                          "Received Response: status [1] recog result [1] detect intent "
                          "response [0] <flv1@zeph>"),
              2);
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO,
                          "Received Response: status [1] recog result [0] detect intent "
                          "response [1] <flv1@zeph>"),
              1);
    std::vector<ZephTest::LogRecord> detect =
        m_log.Find(APT_PRIO_INFO, "Detect Intent Response: id [");
    ASSERT_EQ(detect.size(), 1u);
    EXPECT_NE(detect[0].message.find("] query result [1] output audio [0 bytes] output audio "
                                     "config [0] <flv1@zeph>"),
              std::string::npos)
        << detect[0].message;
    EXPECT_EQ(m_log.Find(APT_PRIO_INFO, "Query Result: {").size(), 1u);

    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const rapidjson::Value& first = records[0]["first_request"];
    EXPECT_EQ(JsonString(first, "queryInput/languageCode"), "de-DE");
    EXPECT_EQ(JsonAt(first, "queryInput/audio/config/languageCode"), nullptr);
    EXPECT_EQ(JsonAt(first, "queryInput/audio/config/speechContexts"), nullptr);
    const rapidjson::Value* hints = JsonAt(first, "queryInput/audio/config/phraseHints");
    ASSERT_TRUE(hints && hints->IsArray());
    ASSERT_EQ(hints->Size(), 3u);
    EXPECT_STREQ((*hints)[0].GetString(), "book a table");
    EXPECT_STREQ((*hints)[1].GetString(), "cancel");
    EXPECT_STREQ((*hints)[2].GetString(), "menu");
    EXPECT_EQ(JsonString(first, "outputAudioConfig/audioEncoding"),
              "OUTPUT_AUDIO_ENCODING_LINEAR_16");
    // The sim refuses any later request that carries more than audio bytes.
    EXPECT_EQ(records[0]["audio_requests"].GetInt(), 10);
    EXPECT_EQ(records[0]["status"]["code"].GetInt(), 0);
}

TEST_F(FlavoursTest, CxDtmfAsTextAndAsDtmfInput) {
    Outcome text = Recognize("v3beta1", Input::Dtmf);
    Outcome finished = Recognize("v3beta1", Input::Dtmf, [](TestHost& host) {
        UseEventDigits(host);
        host.m_finishDigit = '#';
    });
    Outcome bare = Recognize("v3beta1", Input::Dtmf, UseEventDigits);
    ASSERT_TRUE(text.completed && finished.completed && bare.completed);
    EXPECT_EQ(text.completion.cause, 0);
    EXPECT_NE(text.completion.body.find("<text>12</text>"), std::string::npos);
    EXPECT_NE(text.completion.body.find("<input mode=\"dtmf\">12</input>"), std::string::npos)
        << text.completion.body;
    for (const Outcome* dtmf : {&finished, &bare}) {
        EXPECT_EQ(dtmf->completion.cause, 0);
        EXPECT_NE(dtmf->completion.body.find("<input mode=\"dtmf\">12</input>"), std::string::npos)
            << dtmf->completion.body;
    }
    EXPECT_EQ(m_log.Count(APT_PRIO_INFO,
                          "Init DTMF Request: name=digits, digits=12, language=en-US, "
                          "input=event <flv1@zeph>"),
              2);
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(JsonString(records[0], "first_request/queryInput/text/text"), "12");
    EXPECT_EQ(JsonString(records[0], "first_request/queryInput/languageCode"), "en-US");
    EXPECT_EQ(JsonString(records[1], "first_request/queryInput/dtmf/digits"), "12");
    EXPECT_EQ(JsonString(records[1], "first_request/queryInput/dtmf/finishDigit"), "#");
    EXPECT_EQ(JsonString(records[1], "first_request/queryInput/languageCode"), "en-US");
    EXPECT_EQ(JsonString(records[2], "first_request/queryInput/dtmf/digits"), "12");
    EXPECT_EQ(JsonAt(records[2], "first_request/queryInput/dtmf/finishDigit"), nullptr);
    for (const auto& record : records)
        EXPECT_EQ(record["status"]["code"].GetInt(), 0);
}

TEST_F(FlavoursTest, CxEventGrammarTriggersTheIntentWithoutParameters) {
    m_log.Clear();
    Outcome outcome = Recognize("v3beta1", Input::Event, [](TestHost& host) {
        auto grammar = MakeGrammar(GrammarRef::TYPE_EVENT, "book");
        grammar->m_params["table"] = "7";
        host.m_event = grammar;
        host.m_inputText = "kept";
    });
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.completion.cause, 0);
    // A triggered intent names the query result's intent in the input element.
    EXPECT_EQ(InputElement(outcome.completion.body),
              "<input mode=\"event\">" + std::string(kCxAgentPath) + "/intents/book");
    EXPECT_EQ(
        m_log.Count(APT_PRIO_INFO, "Init Event Request: name=book, language=en-US <flv1@zeph>"), 1);
    EXPECT_TRUE(m_log.Find(APT_PRIO_INFO, "Add Event Param").empty());
    EXPECT_EQ(outcome.inputText, "kept");
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const rapidjson::Value& first = records[0]["first_request"];
    EXPECT_EQ(JsonString(first, "queryInput/intent/intent"),
              std::string(kCxAgentPath) + "/intents/book");
    EXPECT_EQ(JsonAt(first, "queryInput/intent/parameters"), nullptr);
    EXPECT_EQ(JsonAt(first, "queryInput/event"), nullptr);
    EXPECT_EQ(JsonAt(first, "queryParams"), nullptr);
}

}  // namespace

namespace {

TEST_F(FlavoursTest, CxQueryParametersKnowOnlyTheirOwnNames) {
    const apt_pair_arr_t* pairs =
        Pairs({{"timeZone", "Europe/Paris"},
               {"contexts", R"([{"name": "booking", "lifespanCount": 2}])"},
               {"sessionEntityTypes",
                R"([{"name": "size", "entityOverrideMode": "ENTITY_OVERRIDE_MODE_OVERRIDE",
                     "entities": [{"value": "large", "synonyms": ["large"]}]}])"}});
    Outcome outcome =
        Recognize("v3beta1", Input::Speech, [&](TestHost& host) { host.m_queryParams = pairs; });
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.completion.cause, 0);
    EXPECT_EQ(m_log.Find(APT_PRIO_INFO, "Set Query Param: name=timeZone").size(), 1u);
    EXPECT_TRUE(m_log.Find(APT_PRIO_INFO, "Set Query Param: name=contexts").empty());
    EXPECT_EQ(m_log.Warnings(), 0);
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const rapidjson::Value& first = records[0]["first_request"];
    EXPECT_EQ(JsonString(first, "queryParams/timeZone"), "Europe/Paris");
    EXPECT_EQ(JsonAt(first, "queryParams/contexts"), nullptr);
    const rapidjson::Value* types = JsonAt(first, "queryParams/sessionEntityTypes");
    ASSERT_TRUE(types && types->IsArray() && types->Size() == 1u);
    EXPECT_EQ(JsonString((*types)[0], "name"),
              std::string(kCxAgentPath) + "/sessions/call-1/entityTypes/size");
}

}  // namespace
