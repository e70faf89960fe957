// The v2 streaming method against dialogflow-sim over TLS: speech, DTMF and event
// recognitions end to end, checked by what the recognition got, the sim's record of each
// stream and the plugin's log.
#include "stream_harness.h"

namespace ZephStreamTest {
namespace {

const char* const kPizzaAgent = R"({
  "environments": ["prod"],
  "intents": [
    {"name": "order", "display_name": "Order Pizza", "action": "pizza.order",
     "parameters": {"size": "large"}, "fulfillment_text": "One large pizza.",
     "texts": ["I want a large pizza", "1234#"], "events": ["ORDER", "1234#"],
     "confidence": 0.95}
  ],
  "utterances": [
    {"interim": [{"at_bytes": 6400, "transcript": "I want"}],
     "transcript": "I want a large pizza", "confidence": 0.92, "intent": "order"}
  ]
})";

class StreamTest : public StreamFixture {
protected:
    void SetUp() override {
        StreamFixture::SetUp();
        m_speech = ZephTest::SynthesizeSpeech("I want a large pizza", 16000);
        ASSERT_GT(m_speech.size(), 8000u);
    }

    std::vector<int16_t> m_speech;
};

TEST_F(StreamTest, SpeechCompletesWithTheAgentsQueryResult) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    host->m_results.m_format = Zeph::ResultsSettings::FORMAT_JSON;
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();

    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS) << m_log.Dump();
    EXPECT_EQ(host->m_contentType, "application/json");
    EXPECT_NE(host->m_body.find("\"displayName\":\"Order Pizza\""), std::string::npos)
        << host->m_body;
    EXPECT_NE(host->m_body.find("\"action\":\"pizza.order\""), std::string::npos) << host->m_body;
    EXPECT_NE(host->m_body.find("\"size\":\"large\""), std::string::npos) << host->m_body;
    EXPECT_EQ(host->m_inputText, "I want a large pizza");
    EXPECT_FLOAT_EQ(host->m_confidence, 0.92f);
    ASSERT_FALSE(host->m_interims.empty());
    EXPECT_EQ(host->m_interims.front(), "I want");
    EXPECT_EQ(host->m_interims.back(), "I want a large pizza");
    EXPECT_EQ(host->m_marks, (std::vector<std::string>{"created", "config", "half-close"}));
    EXPECT_EQ(host->m_bytesSent, m_speech.size() * 2);

    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    const StreamRecord& record = *records[0];
    EXPECT_EQ(record.session, "projects/zeph-test-project/agent/sessions/call-1");
    EXPECT_EQ(record.audioBytes, static_cast<long>(m_speech.size() * 2));
    EXPECT_EQ(record.audioRequests, static_cast<int>((m_speech.size() * 2 + 3199) / 3200));
    EXPECT_TRUE(record.halfClose);
    EXPECT_FALSE(record.cancelled);
    EXPECT_EQ(record.statusCode, 0);
    const auto& config = record.first["queryInput"]["audioConfig"];
    EXPECT_STREQ(config["audioEncoding"].GetString(), "AUDIO_ENCODING_LINEAR_16");
    EXPECT_EQ(config["sampleRateHertz"].GetInt(), 16000);
    EXPECT_STREQ(config["languageCode"].GetString(), "en-US");
    EXPECT_TRUE(config["singleUtterance"].GetBool());
    EXPECT_FALSE(record.first.HasMember("inputAudio"));

    EXPECT_TRUE(m_log.Has(
        "Set ZEPH Session ID [projects/zeph-test-project/agent/sessions/call-1] <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("gRPC Streaming Detect Intent <ch-1@zeph>"));
    EXPECT_TRUE(
        m_log.Has("Init Streaming Request: encoding=1, sampling-rate=16000, "
                  "language=en-US, single-utterance=1, word-info=0 <ch-1@zeph>"));
    EXPECT_EQ(m_log.Count("Send Config <ch-1@zeph>"), 1);
    EXPECT_EQ(m_log.Count("Send Done Message <ch-1@zeph>"), 1);
    EXPECT_EQ(m_log.Count("Finish Streaming <ch-1@zeph>"), 1);
    EXPECT_TRUE(m_log.Has("Recognition Result: transcript [I want] confidence"));
    EXPECT_EQ(m_log.Count("Query Result: "), 1);
    EXPECT_FALSE(m_log.Has("gRPC Status:"));
    ExpectNothingLeft();
}

TEST_F(StreamTest, SpeechWithWordInfoModelAndUserProjectAt8000Hz) {
    StartSim(kPizzaAgent);
    StartEngine();
    std::vector<int16_t> speech = ZephTest::SynthesizeSpeech("I want a large pizza", 8000);
    TestHost* host = NewHost();
    host->m_rate = 8000;
    host->m_userProject = "billing-project";
    host->m_settings.m_wordInfo = true;
    host->m_settings.m_model = "phone_call";
    host->m_settings.m_modelVariant = "USE_ENHANCED";
    host->m_settings.m_environment = "prod";
    host->m_speech = SpeechGrammar("pizza");
    // The RECOGNIZE's vendor parameters and the grammar's own go into the query parameters.
    apt_pair_arr_t* pairs = apt_pair_array_create(2, m_pool);
    apt_str_t name, value;
    apt_string_set(&name, "timeZone");
    apt_string_set(&value, "Europe/Paris");
    apt_pair_array_append(pairs, &name, &value, m_pool);
    host->m_queryParams = pairs;
    host->m_speech->m_params["payload"] = R"({"caller": "zeph"})";
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, speech, 1600);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);

    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    const StreamRecord& record = *records[0];
    EXPECT_EQ(record.session,
              "projects/zeph-test-project/agent/environments/prod/users/-/sessions/call-1");
    EXPECT_EQ(record.userProject, "billing-project");
    EXPECT_EQ(record.audioBytes, static_cast<long>(speech.size() * 2));
    const auto& config = record.first["queryInput"]["audioConfig"];
    EXPECT_EQ(config["sampleRateHertz"].GetInt(), 8000);
    EXPECT_TRUE(config["enableWordInfo"].GetBool());
    EXPECT_STREQ(config["model"].GetString(), "phone_call");
    EXPECT_STREQ(config["modelVariant"].GetString(), "USE_ENHANCED");
    const auto& params = record.first["queryParams"];
    EXPECT_STREQ(params["timeZone"].GetString(), "Europe/Paris");
    EXPECT_STREQ(params["payload"]["caller"].GetString(), "zeph");
    EXPECT_TRUE(m_log.Has("Set gRPC Meta Data [x-goog-user-project] to [billing-project]"));
    EXPECT_TRUE(m_log.Has("Set Model [phone_call] <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("Set Model Variant [USE_ENHANCED] <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("Word[0]: start-offset ["));
    ExpectNothingLeft();
}

TEST_F(StreamTest, DtmfAsTextAndAsEvent) {
    StartSim(kPizzaAgent);
    StartEngine();
    Zeph::BuiltinGrammar asEvent;
    asEvent.m_name = "digits";
    asEvent.m_input = Zeph::BuiltinGrammar::INPUT_EVENT;
    TestHost* text = NewHost("ch-text");
    text->m_dtmf = DtmfGrammar(nullptr);
    text->m_results.m_format = Zeph::ResultsSettings::FORMAT_JSON;
    text->m_dialogId = "dtmf-text";
    TestHost* event = NewHost("ch-event");
    event->m_dtmf = DtmfGrammar(&asEvent);
    event->m_results.m_format = Zeph::ResultsSettings::FORMAT_JSON;
    event->m_dialogId = "dtmf-event";
    ASSERT_TRUE(Invoke(text));
    ASSERT_TRUE(Invoke(event));
    // One before the stream exists, one after.
    SendDtmf(text, "1234#");
    ASSERT_TRUE(WaitUntil([event] { return event->m_streamCreated; }));
    SendDtmf(event, "1234#");
    ASSERT_TRUE(WaitDone(text)) << m_log.Dump();
    ASSERT_TRUE(WaitDone(event)) << m_log.Dump();

    for (TestHost* host : {text, event}) {
        EXPECT_EQ(host->m_completions, 1);
        EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS) << host->m_id;
        EXPECT_NE(host->m_body.find("\"displayName\":\"Order Pizza\""), std::string::npos)
            << host->m_body;
        EXPECT_EQ(host->m_bytesSent, 0u);
    }
    EXPECT_TRUE(
        m_log.Has("Init DTMF Request: name=digits, digits=1234#, language=en-US, "
                  "input=text <ch-text@zeph>"));
    EXPECT_TRUE(
        m_log.Has("Init DTMF Request: name=digits, digits=1234#, language=en-US, "
                  "input=event <ch-event@zeph>"));

    auto records = WaitRecords(2);
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_TRUE(record->halfClose);
        EXPECT_EQ(record->statusCode, 0);
        EXPECT_EQ(record->audioRequests, 0);
        const auto& input = record->first["queryInput"];
        if (record->session == "projects/zeph-test-project/agent/sessions/dtmf-text") {
            EXPECT_STREQ(input["text"]["text"].GetString(), "1234#");
            EXPECT_STREQ(input["text"]["languageCode"].GetString(), "en-US");
        } else {
            EXPECT_EQ(record->session, "projects/zeph-test-project/agent/sessions/dtmf-event");
            EXPECT_STREQ(input["event"]["name"].GetString(), "1234#");
            EXPECT_STREQ(input["event"]["languageCode"].GetString(), "en-US");
        }
    }
    ExpectNothingLeft();
}

TEST_F(StreamTest, EventGrammarSendsItsEventWithParameters) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    host->m_event = EventGrammar("ORDER", {{"size", "large"}, {"crust", "thin"}});
    // An event goes first even with speech and DTMF grammars active.
    host->m_speech = SpeechGrammar();
    host->m_dtmf = DtmfGrammar(nullptr);
    host->m_settings.m_generateOutputAudio = true;
    host->m_results.m_format = Zeph::ResultsSettings::FORMAT_JSON;
    ASSERT_TRUE(Invoke(host));
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    EXPECT_NE(host->m_body.find("\"action\":\"pizza.order\""), std::string::npos);
    EXPECT_TRUE(m_log.Has("Init Event Request: name=ORDER, language=en-US <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("Add Event Param: name=crust, value=thin <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("Add Event Param: name=size, value=large <ch-1@zeph>"));
    EXPECT_FALSE(m_log.Has("Enable Output Audio"));

    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    const auto& first = records[0]->first;
    const auto& event = first["queryInput"]["event"];
    EXPECT_STREQ(event["name"].GetString(), "ORDER");
    EXPECT_STREQ(event["parameters"]["size"].GetString(), "large");
    EXPECT_STREQ(event["parameters"]["crust"].GetString(), "thin");
    EXPECT_FALSE(first.HasMember("outputAudioConfig"));
    EXPECT_TRUE(records[0]->halfClose);
    ExpectNothingLeft();
}

TEST_F(StreamTest, UnknownModelVariantIsLeftUnsetAndTheRequestStillGoesOut) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    host->m_settings.m_modelVariant = "use_enhanced";
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    EXPECT_TRUE(m_log.Has("Unknown Model Variant [use_enhanced] <ch-1@zeph>"));
    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0]->first["queryInput"]["audioConfig"].HasMember("modelVariant"));
    ExpectNothingLeft();
}

TEST_F(StreamTest, SpeechContextSendsPhrasesWithBoostsAndItsLanguage) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    auto grammar = SpeechGrammar("pizza");
    auto context = grammar->CreateSpeechContext("en-GB", Zeph::SpeechContext::SCOPE_HINT, false);
    context->AddPhrase("Large Pizza", "", 10.0f);
    context->AddPhrase("small pizza", "", 0.0f);
    context->AddPhrase("calzone", "", -1.0f);  // no boost
    grammar->SetOwnSpeechContext(std::move(context));
    host->m_speech = grammar;
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    // The context's language replaces the recognition's.
    EXPECT_EQ(host->m_settings.m_language, "en-GB");
    EXPECT_TRUE(m_log.Has("Set Speech Context [pizza] <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("language=en-GB, single-utterance=1"));

    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    const auto& config = records[0]->first["queryInput"]["audioConfig"];
    EXPECT_STREQ(config["languageCode"].GetString(), "en-GB");
    const auto& contexts = config["speechContexts"];
    ASSERT_TRUE(contexts.IsArray());
    ASSERT_EQ(contexts.Size(), 3u);
    // In the context's order (by lower-case phrase), one phrase each.
    EXPECT_STREQ(contexts[0]["phrases"][0].GetString(), "calzone");
    EXPECT_FALSE(contexts[0].HasMember("boost"));
    EXPECT_STREQ(contexts[1]["phrases"][0].GetString(), "Large Pizza");
    EXPECT_DOUBLE_EQ(contexts[1]["boost"].GetDouble(), 10.0);
    EXPECT_STREQ(contexts[2]["phrases"][0].GetString(), "small pizza");
    // A zero boost is set, and like every zero it does not appear in the JSON form.
    EXPECT_EQ(contexts[2]["phrases"].Size(), 1u);
    ExpectNothingLeft();
}

TEST_F(StreamTest, ValidateNeedsProjectAndDialog) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* noProject = NewHost("ch-a");
    noProject->m_projectId.clear();
    TestHost* noDialog = NewHost("ch-b");
    noDialog->m_dialogId.clear();
    EXPECT_FALSE(Invoke(noProject));
    EXPECT_FALSE(Invoke(noDialog));
    EXPECT_TRUE(m_log.Has("No Project Id Specified <ch-a@zeph>"));
    EXPECT_TRUE(m_log.Has("No Dialog Id Specified <ch-b@zeph>"));
    EXPECT_FALSE(m_log.Has("gRPC Streaming Detect Intent"));
    ExpectNothingLeft();
}

// ---- Every call that was started is ended ---------------------------------------------

TEST_F(StreamTest, ClearBeforeTheStreamIsCreatedCancelsAndFinishesTheCall) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    bool completed = false;
    // The channel completes (no input) before the create-stream completion is processed: in
    // the invoking event itself.
    ASSERT_TRUE(Invoke(host, 0, [&] {
        EXPECT_FALSE(host->m_streamCreated);
        host->m_cause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
        host->CompleteInput();
        completed = host->CompleteRecognition(host->m_cause, "", "");
        // Still active: a RECOGNIZE now waits for the finish.
        EXPECT_TRUE(host->m_method->IsContextActive());
        EXPECT_TRUE(host->m_finishAfterWrites);
    }));
    EXPECT_TRUE(completed);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT);
    EXPECT_FALSE(host->m_finishAfterWrites);
    EXPECT_TRUE(m_log.Has("Cancel Streaming Detect Intent <ch-1@zeph>"));
    EXPECT_TRUE(m_log.Has("Finish Streaming <ch-1@zeph>"));
    EXPECT_FALSE(m_log.Has("Send Config"));
    // Cancelled before it reached the sim, or ended there as cancelled.
    for (const auto& record : ReadRecords(m_recordPath))
        EXPECT_TRUE(record->cancelled || record->statusCode == 1);
    ExpectNothingLeft();
}

TEST_F(StreamTest, ClearBeforeTheFirstRequestCancelsAndFinishesTheCall) {
    StartSim(kPizzaAgent);
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    ASSERT_TRUE(Invoke(host));
    ASSERT_TRUE(WaitUntil([host] { return host->m_streamCreated; }));
    Run([&] {
        host->m_cause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
        host->CompleteInput();
        EXPECT_FALSE(host->m_method->ProcessNoInput());  // no speech: the channel completes
        EXPECT_TRUE(host->CompleteRecognition(host->m_cause, "", ""));
    });
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completions, 1);
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT);
    EXPECT_TRUE(m_log.Has("Cancel Streaming Detect Intent <ch-1@zeph>"));
    auto records = WaitRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0]->cancelled || records[0]->statusCode == 1);
    ExpectNothingLeft();
}

TEST_F(StreamTest, AFailedReadDoesNotReprocessTheLastResponse) {
    // The stream ends without a query result right after the final transcript: the read
    // that fails must not hand that transcript on a second time.
    StartSim(R"({"utterances": [{"transcript": "I want a large pizza",
                                 "faults": {"end_without_result": true}}]})");
    StartEngine();
    TestHost* host = NewHost();
    host->m_speech = SpeechGrammar();
    ASSERT_TRUE(Invoke(host));
    SendSpeech(host, m_speech);
    ASSERT_TRUE(WaitDone(host)) << m_log.Dump();
    EXPECT_EQ(host->m_completeCause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH);
    EXPECT_EQ(host->m_body, "");
    EXPECT_EQ(m_log.Count("Recognition Result: transcript [I want a large pizza]"), 1);
    int finals = 0;
    for (const auto& text : host->m_interims)
        finals += text == "I want a large pizza" ? 1 : 0;
    EXPECT_EQ(finals, 1);
    EXPECT_TRUE(
        m_log.Has("Received Response: status [0] id [] recog result [0] query result "
                  "[0] webhook status [0] output audio [0 bytes] <ch-1@zeph>"));
    ExpectNothingLeft();
}

}  // namespace
}  // namespace ZephStreamTest
