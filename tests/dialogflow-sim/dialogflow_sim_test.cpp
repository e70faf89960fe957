// dialogflow-sim end to end: real gRPC over TLS on loopback, Google default credentials
// from the test service-account file, the sim as a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <rapidjson/document.h>

#include "sim_client.h"
#include "sim_process.h"
#include "test_audio.h"

namespace ZephTest {
namespace {

constexpr size_t kOutputAudioBytes = 44 + 1600;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A WAV header over silence: the sim only checks that it is a WAV file.
std::string SilentWav() {
    std::string wav = "RIFF____WAVEfmt ";
    wav.resize(kOutputAudioBytes, '\0');
    return wav;
}

const char kAgent[] = R"({
  "environments": ["live"],
  "projects": {"zeph-test@zeph-test-project.iam.gserviceaccount.com": ["zeph-billing-project"]},
  "intents": [
    {"name": "book", "display_name": "Book a Table", "action": "table.book",
     "parameters": {"guests": 4, "time": "8 pm"}, "fulfillment_text": "For how many?",
     "output_audio": "answer.wav", "texts": ["I want a table"], "confidence": 0.95},
    {"name": "welcome", "display_name": "Welcome", "events": ["WELCOME"]},
    {"name": "menu", "display_name": "Main Menu", "dtmf": ["12#"]},
    {"name": "operator", "display_name": "Operator", "fulfillment_text": "Connecting you.",
     "dtmf": ["0", "#"]}
  ],
  "utterances": [
    {"interim": [{"at_bytes": 6400, "transcript": "book a"}], "end_of_utterance": 32000,
     "transcript": "book a table", "confidence": 0.87, "intent": "book",
     "webhook_status": {"code": "UNAVAILABLE", "message": "webhook down"}}
  ],
  "sessions": {
    "refuse": [{"transcript": "x", "faults": {"refuse": {"code": "UNAVAILABLE", "message": "scripted refusal"}}}],
    "abort": [{"transcript": "x", "faults": {"abort_after_bytes": 6400}}],
    "noresult": [{"transcript": "x", "end_of_utterance": 3200, "faults": {"end_without_result": true}}],
    "stall": [{"transcript": "x", "faults": {"stall": true}}],
    "reset": [{"transcript": "x", "faults": {"reset_after_bytes": 3200}}],
    "never": [{"transcript": "heard anyway", "end_of_utterance": 3200, "faults": {"no_end_of_utterance": true}}],
    "slow": [{"transcript": "late", "end_of_utterance": 3200, "faults": {"delay_answer_ms": 200, "delay_accept_ms": 200}}],
    "twice": [{"transcript": "first", "end_of_utterance": 3200}, {"transcript": "second", "end_of_utterance": 3200}],
    "listen": [{"transcript": "book a table please", "confidence": 0.87, "intent": "book"}],
    "portions": [{"finals": [{"transcript": "book a", "confidence": 0.82}, {"transcript": "table please"}], "intent": "book"},
                 {"finals": [{"transcript": "book a", "confidence": 0.82}, {"transcript": "table please", "confidence": 0.9}], "intent": "book"}],
    "quiet": [{"transcript": "unheard", "no_speech_timeout_ms": 500}],
    "chunks": [{"transcript": "book a table please", "intent": "book",
                "audio_delivery": {"after_result": true, "chunks": 3, "sparse_query_result": true}}],
    "early": [{"transcript": "book a table please", "intent": "book", "end_stream_early": true}],
    "continuous": [{"finals": [{"transcript": "book a", "confidence": 0.8}, {"transcript": "table please", "confidence": 0.9}], "intent": "book"}],
    "filling": [{"transcript": "four", "match": {"type": "PARAMETER_FILLING", "parameters": {"guests": 4}, "confidence": 0.7}}],
    "noinput": [{"transcript": "x", "end_of_utterance": 3200, "match": {"type": "NO_INPUT"}}],
    "partial": [{"transcript": "book a table please", "intent": "book", "partial_responses": ["One moment.", "Still looking."]}]
  }
})";

// Speech as the sim hears it: 16 kHz, espeak-ng, synthesized once per text.
const std::vector<int16_t>& Speech(const std::string& text) {
    static std::map<std::string, std::vector<int16_t>> cache;
    auto& samples = cache[text];
    if (samples.empty()) {
        samples = SynthesizeSpeech(text, 16000);
    }
    return samples;
}

std::vector<int16_t> Silence(int ms) {
    return std::vector<int16_t>(static_cast<size_t>(ms) * 16, 0);
}

// Where the speech in samples ends, in ms (the last sample well above the noise floor).
int64_t SpeechEndMs(const std::vector<int16_t>& samples) {
    size_t last = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] > 1000 || samples[i] < -1000) {
            last = i;
        }
    }
    return static_cast<int64_t>(last / 16);
}

class SimTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        UseTestCredentials();
        dir_ = MakeTempDir("zeph-sim");
        ASSERT_FALSE(dir_.empty());
        WriteFile(dir_ + "/answer.wav", SilentWav());
        WriteFile(dir_ + "/agent.json", kAgent);
        record_ = dir_ + "/record.jsonl";
    }
    void TearDown() override {
        if (sim_.running()) {
            // A sanitizer report in the sim shows as a non-zero exit status.
            EXPECT_EQ(sim_.Stop(), 0);
        }
        RunCommand("rm -rf '" + dir_ + "'");
    }

    bool StartSim(std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--agent", dir_ + "/agent.json", "--record", record_});
        return sim_.Start(extra);
    }

    std::shared_ptr<grpc::Channel> DefaultChannel() {
        return grpc::CreateChannel(sim_.target(), grpc::GoogleDefaultCredentials());
    }

    std::shared_ptr<grpc::Channel> ChannelWith(std::shared_ptr<grpc::CallCredentials> call) {
        grpc::SslCredentialsOptions ssl;
        ssl.pem_root_certs = ReadFile(TestCredentialsFile("ca.crt"));
        auto channel_credentials = grpc::SslCredentials(ssl);
        if (call) {
            channel_credentials = grpc::CompositeChannelCredentials(channel_credentials, call);
        }
        return grpc::CreateChannel(sim_.target(), channel_credentials);
    }

    // The record lines written so far, parsed.
    std::vector<rapidjson::Document> Records() {
        std::vector<rapidjson::Document> records;
        std::ifstream in(record_);
        for (std::string line; std::getline(in, line);) {
            records.emplace_back();
            records.back().Parse(line.c_str());
            EXPECT_FALSE(records.back().HasParseError()) << line;
        }
        return records;
    }

    std::string dir_;
    std::string record_;
    SimProcess sim_;
};

template <class Client>
class SimFlavourTest : public SimTestBase {};

using Flavours = ::testing::Types<V2Client, V2beta1Client, V3beta1Client>;
TYPED_TEST_SUITE(SimFlavourTest, Flavours);

TYPED_TEST(SimFlavourTest, ScriptedRecognitionEndToEndAndRecorded) {
    ASSERT_TRUE(this->StartSim());
    const std::string session = TypeParam::Session("call-1");
    // The sim stamps its last response and its status on the machine's monotonic clock.
    const auto steady_us = [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
    };
    const int64_t before = steady_us();
    int64_t after = 0;
    {
        SimStream<TypeParam> stream(this->DefaultChannel());
        ASSERT_TRUE(stream.Write(TypeParam::FirstAudio(session, true, true)));
        EXPECT_EQ(stream.WriteSilence(20), 20);
        grpc::Status status = stream.Finish();
        ASSERT_TRUE(status.ok()) << status.error_code() << " " << status.error_message();

        const auto& seen = stream.seen;
        // v2beta1 sends the output audio in a message of its own after the query result.
        const bool audio_after = std::is_same<TypeParam, V2beta1Client>::value;
        ASSERT_EQ(seen.size(), audio_after ? 5u : 4u);
        EXPECT_TRUE(seen[0].has_transcript);
        EXPECT_EQ(seen[0].transcript, "book a");
        EXPECT_FALSE(seen[0].is_final);
        EXPECT_TRUE(seen[1].end_of_utterance);
        EXPECT_EQ(seen[2].transcript, "book a table");
        EXPECT_TRUE(seen[2].is_final);
        EXPECT_EQ(seen[2].words, 3);
        EXPECT_FLOAT_EQ(seen[2].confidence, 0.87f);
        EXPECT_FLOAT_EQ(seen[0].confidence, 0.0f);  // only final results have one
        ASSERT_TRUE(seen[3].has_query_result);
        EXPECT_EQ(seen[3].query, "book a table");
        EXPECT_EQ(seen[3].intent_display_name, "Book a Table");
        EXPECT_FLOAT_EQ(seen[3].intent_confidence, 0.95f);
        EXPECT_EQ(seen[3].webhook_code, grpc::StatusCode::UNAVAILABLE);
        EXPECT_FLOAT_EQ(seen[3].speech_confidence, 0.0f);  // not set on streaming
        EXPECT_EQ(seen[3].output_audio_bytes, audio_after ? 0u : kOutputAudioBytes);
        EXPECT_EQ(seen.back().output_audio_bytes, kOutputAudioBytes);
        EXPECT_EQ(seen.back().has_query_result, !audio_after);
        after = steady_us();
    }
    auto records = this->Records();
    ASSERT_EQ(records.size(), 1u);
    const auto& record = records[0];
    EXPECT_EQ(std::string(record["session"].GetString()), session);
    EXPECT_EQ(std::string(record["user_project"].GetString()), "zeph-billing-project");
    EXPECT_EQ(std::string(record["metadata"]["x-goog-user-project"].GetString()),
              "zeph-billing-project");
    EXPECT_EQ(std::string(record["jwt_issuer"].GetString()),
              "zeph-test@zeph-test-project.iam.gserviceaccount.com");
    EXPECT_EQ(record["audio_requests"].GetUint64(), 20u);
    EXPECT_EQ(record["audio_bytes"].GetUint64(), 64000u);
    EXPECT_TRUE(record["half_close"].GetBool());
    EXPECT_EQ(record["status"]["code"].GetInt(), 0);
    EXPECT_EQ(record["responses"].GetUint64(),
              (std::is_same<TypeParam, V2beta1Client>::value ? 5u : 4u));
    const int64_t last_response = record["last_response_steady_us"].GetInt64();
    const int64_t status_sent = record["status_steady_us"].GetInt64();
    EXPECT_LE(before, last_response);
    EXPECT_LE(last_response, status_sent);
    EXPECT_LE(status_sent, after);
    const auto& first = record["first_request"];
    ASSERT_TRUE(first.IsObject());
    EXPECT_EQ(std::string(first["session"].GetString()), session);
    EXPECT_TRUE(first.HasMember("queryInput"));
    EXPECT_TRUE(first.HasMember("outputAudioConfig"));

    // Without single utterance the service never signals the end of the utterance: the
    // final transcript follows the half-close.
    SimStream<TypeParam> stream(this->DefaultChannel());
    ASSERT_TRUE(stream.Write(TypeParam::FirstAudio(session, false, false, false)));
    EXPECT_EQ(stream.WriteSilence(20), 20);
    ASSERT_TRUE(stream.Finish().ok());
    ASSERT_EQ(stream.seen.size(), 3u);
    EXPECT_FALSE(stream.seen[0].is_final);
    EXPECT_FALSE(stream.seen[1].end_of_utterance);
    EXPECT_TRUE(stream.seen[1].is_final);
    EXPECT_TRUE(stream.seen[2].has_query_result);
}

TYPED_TEST(SimFlavourTest, RefusesMissingOrForeignCredentials) {
    ASSERT_TRUE(this->StartSim());
    const std::string session = TypeParam::Session("call-2");
    {
        SimStream<TypeParam> stream(this->ChannelWith(nullptr));
        stream.Write(TypeParam::FirstAudio(session, false, false));
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::UNAUTHENTICATED);
    }
    {
        // A well-formed JWT signed by a key the sim was not given.
        auto foreign = grpc::ServiceAccountJWTAccessCredentials(
            ReadFile(TestCredentialsFile("service-account-2.json")));
        ASSERT_TRUE(foreign);
        SimStream<TypeParam> stream(this->ChannelWith(foreign));
        stream.Write(TypeParam::FirstAudio(session, false, false));
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
        EXPECT_NE(status.error_message().find("signature"), std::string::npos)
            << status.error_message();
    }
    {
        auto own = grpc::ServiceAccountJWTAccessCredentials(
            ReadFile(TestCredentialsFile("service-account.json")));
        SimStream<TypeParam> stream(this->ChannelWith(own));
        stream.Write(TypeParam::Text(session, "hi"));
        EXPECT_TRUE(stream.Finish().ok());
    }
}

TYPED_TEST(SimFlavourTest, TextAndEventInputsSelectIntents) {
    ASSERT_TRUE(this->StartSim());
    const std::string session = TypeParam::Session("call-3");
    const bool cx = std::is_same<TypeParam, V3beta1Client>::value;
    struct Case {
        bool event;
        std::string input;
        std::string intent;
        std::string cx_event;  // CX matches an event instead of an intent
    };
    for (const Case& c :
         {Case{false, "i want a TABLE", "Book a Table", ""},
          Case{true, "WELCOME", "Welcome", "WELCOME"},
          Case{false, "12#", "Main Menu", ""},    // DTMF digits sent as text
          Case{true, "12#", "Main Menu", "12#"},  // or as an event
          Case{false, "something else", "Default Fallback Intent", "sys.no-match-default"}}) {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(c.event ? TypeParam::Event(session, c.input)
                             : TypeParam::Text(session, c.input));
        grpc::Status status = stream.Finish();
        ASSERT_TRUE(status.ok()) << status.error_message();
        ASSERT_EQ(stream.seen.size(), 1u) << c.input;
        EXPECT_EQ(stream.seen[0].query, c.input);
        if (cx && !c.cx_event.empty()) {
            EXPECT_EQ(stream.seen[0].match_event, c.cx_event);
            EXPECT_EQ(stream.seen[0].intent_display_name, "") << c.input;
        } else {
            EXPECT_EQ(stream.seen[0].intent_display_name, c.intent);
            EXPECT_EQ(stream.seen[0].match_event, "");
        }
        EXPECT_EQ(stream.seen[0].output_audio_bytes, 0u);  // not asked for
    }
}

// The cap is a duration, ES's and CX's each: counted in bytes of the configured encoding
// (5 s of 16 kHz 16-bit audio is exactly 160000 bytes, which pass; one sample more ends
// the stream), and in time, so that a client slower than real time meets it as well.
TYPED_TEST(SimFlavourTest, StreamDurationIsCappedInAudioAndInTime) {
    const bool cx = std::is_same<TypeParam, V3beta1Client>::value;
    ASSERT_TRUE(this->StartSim(
        {"--max-es-audio-ms", cx ? "60000" : "5000", "--max-cx-audio-ms", cx ? "5000" : "60000"}));
    const std::string session = TypeParam::Session("cap");
    for (bool beyond : {false, true}) {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(session, false, false));
        EXPECT_EQ(stream.WriteSilence(50), 50);  // 50 x 3200 bytes
        if (beyond) {
            stream.WriteSilence(1, 2);
        }
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code() == grpc::StatusCode::OUT_OF_RANGE, beyond)
            << status.error_message();
    }
    this->sim_.Stop();
    ASSERT_TRUE(this->StartSim({"--max-audio-ms", "500"}));
    SimStream<TypeParam> stream(this->DefaultChannel());
    stream.Write(TypeParam::FirstAudio(session, false, false));
    stream.WriteSilence(1);
    grpc::Status status = stream.Finish(/*half_close=*/false);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::OUT_OF_RANGE) << status.error_message();
    EXPECT_EQ(status.error_message(), "Exceeded maximum allowed stream duration of 500 ms.");
}

TYPED_TEST(SimFlavourTest, ProtocolViolationsEndTheStream) {
    ASSERT_TRUE(this->StartSim({"--max-audio-ms", "5000"}));
    {
        // A session in the resource form of another flavour.
        const bool cx = std::is_same<TypeParam, V3beta1Client>::value;
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(
            cx ? "projects/p/agent/sessions/s" : "projects/p/locations/global/agents/a/sessions/s",
            false, false));
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
        EXPECT_NE(status.error_message().find("session"), std::string::npos);
    }
    const std::string session = TypeParam::Session("call-4");
    {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(session, false, false));
        stream.Write(TypeParam::FirstAudio(session, false, false));  // a second config
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    }
    {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::Text(session, "hi"));
        stream.WriteSilence(1);  // audio after a text input
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    }
    {
        // 5 s of 16 kHz audio is 160000 bytes.
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(session, false, false));
        stream.WriteSilence(51);
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::OUT_OF_RANGE);
    }
    {
        // Bytes that do not parse as a request: a string field holding invalid UTF-8.
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(session, false, false));
        stream.Write(TypeParam::FirstAudio("\xff", false, false));
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT)
            << status.error_message();
        EXPECT_EQ(stream.seen.size(), 0u);
    }
    {
        typename TypeParam::RequestType empty;
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(empty);
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    }
    // What the service checks beyond the input itself: session entity types named in full
    // (below any session), a location on the globe, an output audio encoding.
    using Request = typename TypeParam::RequestType;
    auto entity_type = [](const std::string& name) {
        return [name](Request* request) {
            request->mutable_query_params()->add_session_entity_types()->set_name(name);
        };
    };
    auto latitude = [](double degrees) {
        return [degrees](Request* request) {
            request->mutable_query_params()->mutable_geo_location()->set_latitude(degrees);
        };
    };
    struct FirstRequestCase {
        std::string what;
        std::function<void(Request*)> change;
        grpc::StatusCode expected;
    };
    for (const FirstRequestCase& c : std::vector<FirstRequestCase>{
             {"own entity type", entity_type(session + "/entityTypes/size"), grpc::OK},
             {"other session's entity type",
              entity_type(TypeParam::Session("other") + "/entityTypes/size"), grpc::OK},
             {"short entity type", entity_type("size"), grpc::INVALID_ARGUMENT},
             {"entity type without id", entity_type(session + "/entityTypes/"),
              grpc::INVALID_ARGUMENT},
             {"latitude 48.8", latitude(48.8), grpc::OK},
             {"latitude 91", latitude(91.0), grpc::INVALID_ARGUMENT},
             {"output audio without encoding",
              [](Request* request) { request->mutable_output_audio_config(); },
              grpc::INVALID_ARGUMENT}}) {
        Request request = TypeParam::Text(session, "hi");
        c.change(&request);
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(request);
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), c.expected) << c.what << ": " << status.error_message();
        EXPECT_EQ(status.error_message().empty(), status.ok()) << c.what;
    }
}

TYPED_TEST(SimFlavourTest, ScriptedFaults) {
    ASSERT_TRUE(this->StartSim());
    auto run = [&](const std::string& id, int chunks, int deadline_ms = 20000) {
        auto stream = std::make_unique<SimStream<TypeParam>>(this->DefaultChannel(), deadline_ms);
        stream->Write(TypeParam::FirstAudio(TypeParam::Session(id), false, false));
        stream->WriteSilence(chunks);
        grpc::Status status = stream->Finish();
        return std::make_pair(status, stream->seen);
    };
    {
        auto [status, seen] = run("refuse", 2);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
        EXPECT_EQ(status.error_message(), "scripted refusal");
    }
    {
        auto [status, seen] = run("abort", 5);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::ABORTED);
    }
    {
        auto [status, seen] = run("noresult", 3);
        EXPECT_TRUE(status.ok());
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::none_of(seen.begin(), seen.end(),
                                 [](const SeenResponse& s) { return s.has_query_result; }));
    }
    {
        auto [status, seen] = run("stall", 3, 1500);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::DEADLINE_EXCEEDED);
        EXPECT_TRUE(seen.empty());
    }
    {
        auto [status, seen] = run("reset", 3);
        EXPECT_FALSE(status.ok());
        EXPECT_TRUE(seen.empty());
    }
    {
        auto [status, seen] = run("never", 3);
        EXPECT_TRUE(status.ok());
        EXPECT_TRUE(std::none_of(seen.begin(), seen.end(),
                                 [](const SeenResponse& s) { return s.end_of_utterance; }));
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().transcript, "heard anyway");
        EXPECT_TRUE(seen.back().has_query_result);
    }
    {
        auto [status, seen] = run("slow", 3);
        EXPECT_TRUE(status.ok());
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[1].transcript, "late");
    }
    {
        // Utterances of a session are taken in order; the last one repeats.
        std::vector<std::string> heard;
        for (int i = 0; i < 3; ++i) {
            auto [status, seen] = run("twice", 1);
            EXPECT_TRUE(status.ok());
            // End of utterance at 3200 bytes, the one chunk sent.
            ASSERT_EQ(seen.size(), 3u);
            EXPECT_TRUE(seen[0].end_of_utterance);
            heard.push_back(seen.back().query);
        }
        EXPECT_EQ(heard, (std::vector<std::string>{"first", "second", "second"}));
    }
    EXPECT_EQ(this->Records().size(), 10u);
}

// Without a byte script the sim listens: interim transcripts, each a word more, as speech
// goes on; END_OF_SINGLE_UTTERANCE after the trailing silence, with the final transcript
// (the only result with a confidence) ending where the speech ended; silence alone is
// transcribed as nothing and answered as an empty query.
TYPED_TEST(SimFlavourTest, ListeningPacesRecognitionByTheSpeechHeard) {
    ASSERT_TRUE(this->StartSim());
    const auto& speech = Speech("book a table please");
    ASSERT_FALSE(speech.empty());
    const bool cx = std::is_same<TypeParam, V3beta1Client>::value;
    {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(TypeParam::Session("listen"), true, false));
        stream.WriteSamples(Silence(300));
        stream.WriteSamples(speech);
        stream.WriteSamples(Silence(1000));
        ASSERT_TRUE(stream.Finish().ok());
        const auto& seen = stream.seen;
        auto eou = std::find_if(seen.begin(), seen.end(),
                                [](const SeenResponse& s) { return s.end_of_utterance; });
        ASSERT_NE(eou, seen.end());
        const size_t interims = static_cast<size_t>(eou - seen.begin());
        EXPECT_GE(interims, 2u);
        const std::string said = "book a table please";
        for (size_t i = 0; i < interims; ++i) {
            EXPECT_FALSE(seen[i].is_final);
            EXPECT_FLOAT_EQ(seen[i].confidence, 0.0f);
            EXPECT_EQ(said.rfind(seen[i].transcript, 0), 0u) << seen[i].transcript;
            EXPECT_GT(seen[i].transcript.size(), i ? seen[i - 1].transcript.size() : 0u);
        }
        ASSERT_EQ(seen.size(), interims + 3);
        EXPECT_TRUE(seen[interims + 1].is_final);
        EXPECT_EQ(seen[interims + 1].transcript, said);
        EXPECT_FLOAT_EQ(seen[interims + 1].confidence, 0.87f);
        EXPECT_EQ(seen[interims + 1].words, 4);
        const int64_t spoken_until = 300 + SpeechEndMs(speech);
        EXPECT_NEAR(static_cast<double>(seen[interims + 1].speech_end_ms),
                    static_cast<double>(spoken_until), 250.0);
        const SeenResponse& answer = seen.back();
        EXPECT_EQ(answer.query, said);
        EXPECT_EQ(answer.intent_display_name, "Book a Table");
        EXPECT_FLOAT_EQ(answer.intent_confidence, 0.95f);
        EXPECT_FLOAT_EQ(answer.speech_confidence, 0.0f);
    }
    SimStream<TypeParam> stream(this->DefaultChannel());
    stream.Write(TypeParam::FirstAudio(TypeParam::Session("listen"), false, false));
    stream.WriteSamples(Silence(2000));
    ASSERT_TRUE(stream.Finish().ok());
    ASSERT_EQ(stream.seen.size(), 1u);
    EXPECT_TRUE(stream.seen[0].has_query_result);
    EXPECT_EQ(stream.seen[0].query, "");
    EXPECT_EQ(stream.seen[0].intent_display_name, "");
    EXPECT_FLOAT_EQ(stream.seen[0].intent_confidence, 0.0f);
    EXPECT_EQ(stream.seen[0].match_event, cx ? "sys.no-input-default" : "");
}

// The listener hears G.711 telephony audio and rates its detector does not take: each
// stream's speech is transcribed in full.
TEST_F(SimTestBase, ListeningHearsG711AndOtherRates) {
    ASSERT_TRUE(StartSim());
    namespace v2 = google::cloud::dialogflow::v2;
    struct Case {
        const char* sox_encoding;
        v2::AudioEncoding encoding;
        int rate;
    };
    for (const Case& c : {Case{"mu-law", v2::AUDIO_ENCODING_MULAW, 8000},
                          Case{"a-law", v2::AUDIO_ENCODING_ALAW, 8000},
                          Case{"signed-integer", v2::AUDIO_ENCODING_LINEAR_16, 11025}}) {
        const std::string raw = dir_ + "/speech.raw";
        ASSERT_TRUE(RunCommand("espeak-ng -w '" + dir_ +
                               "/speech.wav' 'book a table please' && sox '" + dir_ +
                               "/speech.wav' -r " + std::to_string(c.rate) + " -c 1 -e " +
                               c.sox_encoding + " -t raw '" + raw + "' pad 0 1 >/dev/null 2>&1"));
        auto request = V2Client::FirstAudio(V2Client::Session("listen"), false, false);
        request.mutable_query_input()->mutable_audio_config()->set_audio_encoding(c.encoding);
        request.mutable_query_input()->mutable_audio_config()->set_sample_rate_hertz(c.rate);
        SimStream<V2Client> stream(DefaultChannel());
        stream.Write(request);
        stream.Write(V2Client::Audio(ReadFile(raw)));
        ASSERT_TRUE(stream.Finish().ok());
        ASSERT_FALSE(stream.seen.empty());
        EXPECT_TRUE(std::any_of(stream.seen.begin(), stream.seen.end(), [](const SeenResponse& s) {
            return s.end_of_utterance;
        })) << c.sox_encoding;
        EXPECT_EQ(stream.seen.back().query, "book a table please") << c.sox_encoding;
    }
}

// The behaviours an agent file selects per turn, each as a client sees it.
TYPED_TEST(SimFlavourTest, PerTurnVariants) {
    ASSERT_TRUE(this->StartSim());
    const auto& speech = Speech("book a table please");
    ASSERT_FALSE(speech.empty());
    const std::string said = "book a table please";
    auto finals = [](const std::vector<SeenResponse>& seen) {
        std::vector<std::pair<std::string, float>> found;
        for (const auto& s : seen) {
            if (s.is_final) {
                found.emplace_back(s.transcript, s.confidence);
            }
        }
        return found;
    };
    auto spoken = [&](SimStream<TypeParam>& stream, const std::string& id, bool output_audio) {
        stream.Write(TypeParam::FirstAudio(TypeParam::Session(id), false, output_audio));
        stream.WriteSamples(speech);
        stream.WriteSamples(Silence(1000));
    };
    // Several is_final portions, the last without, then with, a confidence.
    for (float last : {0.0f, 0.9f}) {
        SimStream<TypeParam> stream(this->DefaultChannel());
        spoken(stream, "portions", false);
        ASSERT_TRUE(stream.Finish().ok());
        EXPECT_EQ(finals(stream.seen), (std::vector<std::pair<std::string, float>>{
                                           {"book a", 0.82f}, {"table please", last}}));
        EXPECT_EQ(stream.seen.back().query, said);
    }
    {
        // No speech: the utterance ends after the configured silence, empty.
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(TypeParam::Session("quiet"), false, false));
        stream.WriteSamples(Silence(2000));
        ASSERT_TRUE(stream.Finish().ok());
        ASSERT_EQ(stream.seen.size(), 2u);
        EXPECT_TRUE(stream.seen[0].end_of_utterance);
        EXPECT_TRUE(stream.seen[1].has_query_result);
        EXPECT_EQ(stream.seen[1].query, "");
        EXPECT_EQ(stream.seen[1].intent_display_name, "");
    }
    {
        // Output audio after the query result, in three chunks with sparse query results.
        SimStream<TypeParam> stream(this->DefaultChannel());
        spoken(stream, "chunks", true);
        ASSERT_TRUE(stream.Finish().ok());
        auto answer = std::find_if(stream.seen.begin(), stream.seen.end(),
                                   [](const SeenResponse& s) { return s.has_query_result; });
        ASSERT_EQ(stream.seen.end() - answer, 4);
        EXPECT_EQ(answer->intent_display_name, "Book a Table");
        EXPECT_EQ(answer->output_audio_bytes, 0u);
        size_t audio = 0;
        for (auto later = answer + 1; later != stream.seen.end(); ++later) {
            EXPECT_GT(later->output_audio_bytes, 0u);
            audio += later->output_audio_bytes;
            EXPECT_TRUE(later->has_query_result);
            EXPECT_EQ(later->query, said);
            EXPECT_EQ(later->intent_display_name, "");
            EXPECT_FLOAT_EQ(later->intent_confidence, 0.0f);
        }
        EXPECT_EQ(audio, kOutputAudioBytes);
    }
    {
        // The service ends the stream with its answer before the client half-closes; a
        // write of the client meets the ended stream.
        SimStream<TypeParam> stream(this->DefaultChannel());
        spoken(stream, "early", false);
        while (stream.ReadOne()) {
        }
        stream.WriteSilence(1);
        ASSERT_TRUE(stream.Finish(/*half_close=*/false).ok());
        ASSERT_FALSE(stream.seen.empty());
        EXPECT_EQ(stream.seen.back().query, said);
        EXPECT_EQ(stream.seen.back().intent_display_name, "Book a Table");
    }
    {
        // Continuous recognition: each portion's final while the audio still flows.
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::FirstAudio(TypeParam::Session("continuous"), false, false, false));
        stream.WriteSamples(Speech("book a"));
        stream.WriteSamples(Silence(1000));
        while (stream.ReadOne() && !stream.seen.back().is_final) {
        }
        ASSERT_FALSE(stream.seen.empty());
        EXPECT_EQ(stream.seen.back().transcript, "book a");
        stream.WriteSamples(Speech("table please"));
        stream.WriteSamples(Silence(1000));
        ASSERT_TRUE(stream.Finish().ok());
        EXPECT_EQ(finals(stream.seen), (std::vector<std::pair<std::string, float>>{
                                           {"book a", 0.8f}, {"table please", 0.9f}}));
        EXPECT_TRUE(std::none_of(stream.seen.begin(), stream.seen.end(),
                                 [](const SeenResponse& s) { return s.end_of_utterance; }));
        EXPECT_EQ(stream.seen.back().query, said);
    }
    auto records = this->Records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_FALSE(records[4]["half_close"].GetBool());  // the early end
}

// What the service refuses beyond the form of a request: ids and texts over its limits,
// environments the agent does not have, and projects the caller may not use.
TYPED_TEST(SimFlavourTest, LimitsEnvironmentsAndProjectsAreChecked) {
    ASSERT_TRUE(this->StartSim());
    std::string accents;
    for (int i = 0; i < 256; ++i) {
        accents += "\xc3\xa9";  // 256 characters, 512 bytes
    }
    struct Case {
        std::string session;
        std::string text;
        grpc::StatusCode expected;
    };
    for (const Case& c : std::vector<Case>{
             {TypeParam::Session(std::string(36, 's')), "hi", grpc::OK},
             {TypeParam::Session(std::string(37, 's')), "hi", grpc::INVALID_ARGUMENT},
             {TypeParam::Session("limits"), accents, grpc::OK},
             {TypeParam::Session("limits"), accents + "e", grpc::INVALID_ARGUMENT},
             {TypeParam::EnvironmentSession("live", "limits"), "hi", grpc::OK},
             {TypeParam::EnvironmentSession("staging", "limits"), "hi", grpc::NOT_FOUND},
             {TypeParam::Session("limits", "zeph-billing-project"), "hi", grpc::OK},
             {TypeParam::Session("limits", "someone-elses-project"), "hi",
              grpc::PERMISSION_DENIED}}) {
        SimStream<TypeParam> stream(this->DefaultChannel());
        stream.Write(TypeParam::Text(c.session, c.text));
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), c.expected)
            << c.session << " " << c.text.size() << ": " << status.error_message();
        EXPECT_EQ(stream.seen.size(), c.expected == grpc::OK ? 1u : 0u);
    }
}

// 200 streams at once, 50 per connection, each a scripted recognition.
TEST_F(SimTestBase, TwoHundredConcurrentStreamsComplete) {
    ASSERT_TRUE(StartSim());
    constexpr int kStreams = 200;
    constexpr int kConnections = 4;
    std::vector<std::shared_ptr<grpc::Channel>> channels;
    for (int i = 0; i < kConnections; ++i) {
        grpc::ChannelArguments args;
        args.SetInt("zeph.test.connection", i);  // distinct arguments: a connection each
        channels.push_back(
            grpc::CreateCustomChannel(sim_.target(), grpc::GoogleDefaultCredentials(), args));
    }
    const long cpu_before = sim_.CpuMilliseconds();
    const auto started = std::chrono::steady_clock::now();
    std::atomic<int> completed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kStreams; ++i) {
        threads.emplace_back([&, i] {
            SimStream<V2Client> stream(channels[i % kConnections], 60000);
            stream.Write(
                V2Client::FirstAudio(V2Client::Session("load-" + std::to_string(i)), false, false));
            // 2 s of 16 kHz audio in 100 ms chunks, paced like a live call at 10x speed.
            for (int chunk = 0; chunk < 20; ++chunk) {
                stream.WriteSilence(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            grpc::Status status = stream.Finish();
            if (status.ok() && !stream.seen.empty() && stream.seen.back().has_query_result) {
                ++completed;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const long wall_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count());
    const long cpu_ms = sim_.CpuMilliseconds() - cpu_before;
    EXPECT_EQ(completed.load(), kStreams);
    std::printf("%d concurrent streams: %d completed, wall %ld ms, sim CPU %ld ms\n", kStreams,
                completed.load(), wall_ms, cpu_ms);
    RecordProperty("completed", completed.load());
    RecordProperty("wall_ms", static_cast<int>(wall_ms));
    RecordProperty("sim_cpu_ms", static_cast<int>(cpu_ms));
    EXPECT_EQ(Records().size(), static_cast<size_t>(kStreams));
}

// The inputs only some flavours have, and what the record keeps of a first request.
TEST_F(SimTestBase, FlavourSpecificInputsAndRecordedFirstRequest) {
    ASSERT_TRUE(StartSim());
    namespace cx = google::cloud::dialogflow::cx::v3beta1;
    namespace v2beta1 = google::cloud::dialogflow::v2beta1;
    namespace v2 = google::cloud::dialogflow::v2;
    const std::string cx_agent = "projects/zeph-test-project/locations/global/agents/agent-1";
    // A CX first request with the given input; returns the intent matched, or the status.
    auto cx_answer = [&](auto set_input) {
        cx::StreamingDetectIntentRequest request;
        request.set_session(cx_agent + "/environments/live/sessions/inputs");
        request.mutable_query_input()->set_language_code("en-US");
        set_input(&request);
        SimStream<V3beta1Client> stream(DefaultChannel());
        stream.Write(request);
        grpc::Status status = stream.Finish();
        if (!status.ok()) {
            return std::to_string(status.error_code()) + " " + status.error_message();
        }
        if (stream.seen.size() != 1) {
            return std::string("no answer");
        }
        return stream.seen[0].match_event.empty() ? stream.seen[0].intent_display_name
                                                  : "event " + stream.seen[0].match_event;
    };
    auto cx_intent = [&](const std::string& intent) {
        return cx_answer([&](cx::StreamingDetectIntentRequest* request) {
            request->mutable_query_input()->mutable_intent()->set_intent(intent);
        });
    };
    EXPECT_EQ(cx_intent(cx_agent + "/intents/book"), "");  // a direct intent match names none
    EXPECT_EQ(cx_intent(cx_agent + "/intents/none"),
              "5 Intent '" + cx_agent + "/intents/none' not found.");
    EXPECT_EQ(cx_answer([](cx::StreamingDetectIntentRequest* request) {
                  request->mutable_query_input()->mutable_dtmf()->set_digits("12#");
              }),
              "Main Menu");
    // An intent is named in full, by the session's agent, without the environment.
    for (const std::string& intent :
         {std::string("book"), cx_agent + "/environments/live/intents/book",
          std::string("projects/zeph-test-project/locations/global/agents/other/intents/book")}) {
        EXPECT_EQ(cx_intent(intent).rfind("3 Invalid intent", 0), 0u) << cx_intent(intent);
    }
    EXPECT_EQ(cx_answer([&](cx::StreamingDetectIntentRequest* request) {
                  request->mutable_query_params()->set_current_page(cx_agent + "/flows/f/pages/p");
                  request->mutable_query_input()->mutable_text()->set_text("hi");
              }),
              "event sys.no-match-default");
    EXPECT_EQ(cx_answer([&](cx::StreamingDetectIntentRequest* request) {
                  request->mutable_query_params()->set_current_page("p");
                  request->mutable_query_input()->mutable_text()->set_text("hi");
              }).rfind("3 Invalid current page", 0),
              0u);
    {
        v2beta1::StreamingDetectIntentRequest request;
        request.set_session(V2beta1Client::Session("inputs"));
        auto* dtmf = request.mutable_query_input()->mutable_dtmf();
        dtmf->add_dtmf_events(v2beta1::TelephonyDtmf::DTMF_ONE);
        dtmf->add_dtmf_events(v2beta1::TelephonyDtmf::DTMF_TWO);
        dtmf->add_dtmf_events(v2beta1::TelephonyDtmf::DTMF_POUND);
        SimStream<V2beta1Client> stream(DefaultChannel());
        stream.Write(request);
        ASSERT_TRUE(stream.Finish().ok());
        ASSERT_EQ(stream.seen.size(), 1u);
        EXPECT_EQ(stream.seen[0].intent_display_name, "Main Menu");
    }
    {
        v2::StreamingDetectIntentRequest request = V2Client::Event(
            "projects/zeph-test-project/agent/environments/live/users/-/sessions/inputs",
            "WELCOME");
        (*request.mutable_query_input()
              ->mutable_event()
              ->mutable_parameters()
              ->mutable_fields())["caller"]
            .set_string_value("+15550100");
        request.mutable_query_params()->set_time_zone("Europe/Paris");
        request.mutable_query_params()->add_contexts()->set_name(request.session() +
                                                                 "/contexts/ctx1");
        SimStream<V2Client> stream(DefaultChannel());
        stream.Write(request);
        ASSERT_TRUE(stream.Finish().ok());
    }
    {
        // A context named short, as the client should have completed it.
        v2::StreamingDetectIntentRequest request =
            V2Client::Text(V2Client::Session("inputs"), "hi");
        request.mutable_query_params()->add_contexts()->set_name("ctx1");
        SimStream<V2Client> stream(DefaultChannel());
        stream.Write(request);
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    }
    auto records = Records();
    ASSERT_EQ(records.size(), 11u);
    const auto& first = records[9]["first_request"];
    EXPECT_EQ(std::string(first["queryParams"]["timeZone"].GetString()), "Europe/Paris");
    EXPECT_EQ(std::string(first["queryInput"]["event"]["parameters"]["caller"].GetString()),
              "+15550100");
    EXPECT_EQ(std::string(records[0]["flavour"].GetString()), "v3beta1");
    EXPECT_EQ(std::string(records[8]["flavour"].GetString()), "v2beta1");
}

// What a CX client finds in the detect-intent responses of a stream: the match says what
// the query was used for, names an intent only when one was matched, carries a confidence
// where there is one and the event or parameters; the deprecated intent fields stay empty.
// Partial responses come before the final one when the client asks for them.
TEST_F(SimTestBase, CxDetectIntentResponsesNameTheirMatch) {
    ASSERT_TRUE(StartSim());
    namespace cx = google::cloud::dialogflow::cx::v3beta1;
    const std::string agent = "projects/zeph-test-project/locations/global/agents/agent-1";
    const std::string session = V3beta1Client::Session("matches");
    const auto& spoken = Speech("four");
    ASSERT_FALSE(spoken.empty());
    // The detect-intent responses of a stream with these requests.
    auto answers = [&](std::vector<cx::StreamingDetectIntentRequest> requests) {
        SimStream<V3beta1Client> stream(DefaultChannel());
        for (const auto& request : requests) {
            stream.Write(request);
        }
        grpc::Status status = stream.Finish();
        EXPECT_TRUE(status.ok()) << status.error_message();
        std::vector<cx::DetectIntentResponse> found;
        for (const auto& response : stream.responses) {
            if (response.has_detect_intent_response()) {
                found.push_back(response.detect_intent_response());
            }
        }
        return found;
    };
    auto audio = [&](const std::string& id, const std::vector<int16_t>& samples) {
        std::vector<cx::StreamingDetectIntentRequest> requests = {
            V3beta1Client::FirstAudio(V3beta1Client::Session(id), false, false)};
        const std::string bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
        for (size_t at = 0; at < bytes.size(); at += 3200) {
            requests.push_back(V3beta1Client::Audio(bytes.substr(at, 3200)));
        }
        return requests;
    };
    std::vector<int16_t> speech = spoken;
    speech.resize(speech.size() + 16000, 0);
    cx::StreamingDetectIntentRequest direct;
    direct.set_session(session);
    direct.mutable_query_input()->set_language_code("en-US");
    direct.mutable_query_input()->mutable_intent()->set_intent(agent + "/intents/book");
    struct Case {
        std::string what;
        std::vector<cx::StreamingDetectIntentRequest> requests;
        cx::Match::MatchType type;
        std::string intent;  // the intent resource name in the match, if any
        std::string event;
        float confidence;
        std::string guests;  // the "guests" parameter of the match, as JSON
    };
    for (const Case& c :
         std::vector<Case>{{"speech", audio("matches", Silence(1000)), cx::Match::INTENT,
                            agent + "/intents/book", "", 0.95f, "4"},
                           {"text",
                            {V3beta1Client::Text(session, "I want a table")},
                            cx::Match::INTENT,
                            agent + "/intents/book",
                            "",
                            0.95f,
                            "4"},
                           {"intent input", {direct}, cx::Match::DIRECT_INTENT, "", "", 1.0f, "4"},
                           {"no match",
                            {V3beta1Client::Text(session, "something else")},
                            cx::Match::NO_MATCH,
                            "",
                            "sys.no-match-default",
                            0.0f,
                            ""},
                           {"event",
                            {V3beta1Client::Event(session, "WELCOME")},
                            cx::Match::EVENT,
                            "",
                            "WELCOME",
                            0.0f,
                            ""},
                           {"nothing heard", audio("listen", Silence(1000)), cx::Match::NO_INPUT,
                            "", "sys.no-input-default", 0.0f, ""},
                           {"parameter filling", audio("filling", speech),
                            cx::Match::PARAMETER_FILLING, "", "", 0.7f, "4"},
                           {"no input", audio("noinput", Silence(1000)), cx::Match::NO_INPUT, "",
                            "sys.no-input-default", 0.0f, ""}}) {
        const auto found = answers(c.requests);
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].response_type(), cx::DetectIntentResponse::FINAL) << c.what;
        const cx::QueryResult& result = found[0].query_result();
        EXPECT_EQ(result.match().match_type(), c.type) << c.what;
        EXPECT_EQ(result.match().event(), c.event) << c.what;
        EXPECT_EQ(result.match().has_intent(), !c.intent.empty()) << c.what;
        EXPECT_EQ(result.match().intent().name(), c.intent) << c.what;
        EXPECT_FLOAT_EQ(result.match().confidence(), c.confidence) << c.what;
        const auto& fields = result.match().parameters().fields();
        EXPECT_EQ(fields.count("guests")
                      ? std::to_string(static_cast<int>(fields.at("guests").number_value()))
                      : "",
                  c.guests)
            << c.what;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        EXPECT_FALSE(result.has_intent()) << c.what;
        EXPECT_FLOAT_EQ(result.intent_detection_confidence(), 0.0f) << c.what;
#pragma GCC diagnostic pop
    }
    auto partial = audio("partial", speech);
    const auto without = answers(partial);
    EXPECT_EQ(without.size(), 1u);
    partial[0].set_enable_partial_response(true);
    const auto with = answers(partial);
    ASSERT_EQ(with.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(with[i].response_type(), cx::DetectIntentResponse::PARTIAL);
        EXPECT_EQ(with[i].query_result().response_messages(0).text().text(0),
                  i ? "Still looking." : "One moment.");
        EXPECT_FALSE(with[i].query_result().has_match());
    }
    EXPECT_EQ(with[2].response_type(), cx::DetectIntentResponse::FINAL);
    EXPECT_EQ(with[2].query_result().match().intent().display_name(), "Book a Table");
}

// CX DTMF: keypad keys and a finish digit, matched against the agent's digit strings,
// checked as the service checks them and recorded as sent.
TEST_F(SimTestBase, CxDtmfInputIsCheckedAnsweredAndRecorded) {
    ASSERT_TRUE(StartSim());
    namespace cx = google::cloud::dialogflow::cx::v3beta1;
    const std::string session = V3beta1Client::Session("keypad");
    auto dtmf = [&](const std::string& digits, const std::string& finish,
                    const std::string& language = "en-US") {
        cx::StreamingDetectIntentRequest request;
        request.set_session(session);
        request.mutable_query_input()->set_language_code(language);
        request.mutable_query_input()->mutable_dtmf()->set_digits(digits);
        request.mutable_query_input()->mutable_dtmf()->set_finish_digit(finish);
        return request;
    };
    struct Answered {
        std::string digits;
        std::string finish;
        std::string intent;  // display name; none: no match
    };
    for (const Answered& c : std::vector<Answered>{
             {"12", "#", "Main Menu"},  // the keys as pressed, "12#", are the menu's
             {"12#", "", "Main Menu"},  // the same with the finish digit left in the digits
             {"0", "", "Operator"},
             {"0", "#", "Operator"},  // "0#" is nobody's: the digits alone select
             {"", "#", "Operator"},   // the finish digit alone
             {"*9ABCD", "*", ""},
             {"12", "*", ""}}) {  // not "12#", and "12" alone is nobody's
        const std::string what = "\"" + c.digits + "\" finish \"" + c.finish + "\"";
        SimStream<V3beta1Client> stream(DefaultChannel());
        stream.Write(dtmf(c.digits, c.finish));
        grpc::Status status = stream.Finish();
        ASSERT_TRUE(status.ok()) << what << ": " << status.error_message();
        ASSERT_EQ(stream.responses.size(), 1u) << what;
        const cx::DetectIntentResponse& response = stream.responses[0].detect_intent_response();
        EXPECT_EQ(response.response_type(), cx::DetectIntentResponse::FINAL);
        const cx::QueryResult& result = response.query_result();
        EXPECT_TRUE(result.has_dtmf()) << what;
        EXPECT_EQ(result.dtmf().digits(), c.digits);
        EXPECT_EQ(result.dtmf().finish_digit(), c.finish);
        EXPECT_EQ(result.language_code(), "en-US");
        EXPECT_EQ(result.match().intent().display_name(), c.intent) << what;
        EXPECT_EQ(result.match().match_type(),
                  c.intent.empty() ? cx::Match::NO_MATCH : cx::Match::INTENT)
            << what;
        EXPECT_EQ(result.match().event(), c.intent.empty() ? "sys.no-match-default" : "");
        if (c.intent == "Operator") {
            ASSERT_EQ(result.response_messages_size(), 1);
            EXPECT_EQ(result.response_messages(0).text().text(0), "Connecting you.");
        }
    }
    struct Refused {
        cx::StreamingDetectIntentRequest request;
        std::string message;  // how the status message starts
    };
    for (const Refused& c : std::vector<Refused>{
             {dtmf("12x", ""), "Invalid DTMF digits \"12x\""},
             {dtmf("1a", ""), "Invalid DTMF digits"},  // the keys A to D are upper case
             {dtmf("1 2", ""), "Invalid DTMF digits"},
             {dtmf(std::string(100000, '1') + "x", ""), "Invalid DTMF digits \"111"},
             {dtmf("12", "##"), "Invalid DTMF finish digit \"##\""},
             {dtmf("12", "x"), "Invalid DTMF finish digit"},
             {dtmf("", ""), "DTMF input must contain digits or a finish digit."},
             {dtmf("12", "#", ""), "Language code must be specified."}}) {
        SimStream<V3beta1Client> stream(DefaultChannel());
        stream.Write(c.request);
        grpc::Status status = stream.Finish();
        EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << c.message;
        EXPECT_EQ(status.error_message().rfind(c.message, 0), 0u) << status.error_message();
        EXPECT_LT(status.error_message().size(), 200u);  // quotes only the start of the input
        EXPECT_TRUE(stream.seen.empty()) << c.message;
    }
    {
        // Nothing may follow a DTMF input.
        SimStream<V3beta1Client> stream(DefaultChannel());
        stream.Write(dtmf("12", "#"));
        stream.WriteSilence(1);
        EXPECT_EQ(stream.Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    }
    auto records = Records();
    ASSERT_EQ(records.size(), 7u + 8u + 1u);
    const auto& answered = records[0];
    EXPECT_EQ(std::string(answered["flavour"].GetString()), "v3beta1");
    EXPECT_EQ(answered["status"]["code"].GetInt(), 0);
    EXPECT_EQ(answered["responses"].GetUint64(), 1u);
    EXPECT_TRUE(answered["half_close"].GetBool());
    EXPECT_EQ(answered["audio_requests"].GetUint64(), 0u);
    const auto& input = answered["first_request"]["queryInput"];
    EXPECT_EQ(std::string(input["languageCode"].GetString()), "en-US");
    EXPECT_EQ(std::string(input["dtmf"]["digits"].GetString()), "12");
    EXPECT_EQ(std::string(input["dtmf"]["finishDigit"].GetString()), "#");
    const auto& refused = records[7];
    EXPECT_EQ(refused["status"]["code"].GetInt(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(std::string(refused["first_request"]["queryInput"]["dtmf"]["digits"].GetString()),
              "12x");
    EXPECT_EQ(records[15]["status"]["code"].GetInt(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(records[15]["audio_requests"].GetUint64(), 0u);
}

// A stream still open when the sim stops ends with UNAVAILABLE, and its record says so
// rather than that the client cancelled it.
TEST_F(SimTestBase, StreamOpenAtShutdownEndsUnavailableAndIsRecordedSo) {
    ASSERT_TRUE(StartSim());
    SimStream<V3beta1Client> stream(DefaultChannel());
    ASSERT_TRUE(
        stream.Write(V3beta1Client::FirstAudio(V3beta1Client::Session("cut"), false, false)));
    EXPECT_EQ(stream.WriteSilence(2), 2);
    // The interim transcript at 6400 bytes: the sim has the stream open.
    ASSERT_TRUE(stream.ReadOne());
    EXPECT_EQ(stream.seen[0].transcript, "book a");
    grpc::Status status;
    std::thread reader([&] { status = stream.Finish(/*half_close=*/false); });
    EXPECT_EQ(sim_.Stop(), 0);
    reader.join();
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE) << status.error_message();
    EXPECT_EQ(status.error_message(), "The service is shutting down.");
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["status"]["code"].GetInt(), grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(std::string(records[0]["status"]["message"].GetString()),
              "The service is shutting down.");
    EXPECT_FALSE(records[0]["cancelled"].GetBool());
    EXPECT_FALSE(records[0]["half_close"].GetBool());
    EXPECT_EQ(records[0]["audio_requests"].GetUint64(), 2u);
    EXPECT_EQ(records[0]["responses"].GetUint64(), 1u);
}

// A stream whose client reads nothing cannot be sent its end: at shutdown the sim cancels
// it, and still records the status it meant to send, not a cancellation by the client.
TEST_F(SimTestBase, StreamNotReadAtShutdownIsCancelledAndRecordedUnavailable) {
    std::string wav = SilentWav();
    wav.resize(4 << 20, '\0');  // far beyond the flow-control window of a stream not read
    WriteFile(dir_ + "/long.wav", wav);
    WriteFile(dir_ + "/agent.json",
              R"({"intents": [{"name": "long", "texts": ["play"], "output_audio": "long.wav"}]})");
    ASSERT_TRUE(StartSim());
    grpc::ChannelArguments args;
    args.SetMaxReceiveMessageSize(8 << 20);
    auto channel = grpc::CreateCustomChannel(sim_.target(), grpc::GoogleDefaultCredentials(), args);
    SimStream<V3beta1Client> stream(channel);
    auto request = V3beta1Client::Text(V3beta1Client::Session("unread"), "play");
    request.mutable_output_audio_config()->set_audio_encoding(
        google::cloud::dialogflow::cx::v3beta1::OUTPUT_AUDIO_ENCODING_LINEAR_16);
    ASSERT_TRUE(stream.Write(request));
    stream.WaitForHeaders();  // the sim is writing its answer
    EXPECT_EQ(sim_.Stop(), 0);
    EXPECT_FALSE(stream.Finish(/*half_close=*/false).ok());
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["status"]["code"].GetInt(), grpc::StatusCode::UNAVAILABLE);
    EXPECT_FALSE(records[0]["cancelled"].GetBool());
    EXPECT_EQ(records[0]["responses"].GetUint64(), 0u);
}

TEST_F(SimTestBase, ExampleAgentServesItsCallFlow) {
    ASSERT_TRUE(sim_.Start({"--agent", std::string(ZEPH_SOURCE_DIR) +
                                           "/tools/dialogflow-sim/examples/pizza-agent.json"}));
    const std::string session = V2Client::Session("rehearsal");
    std::vector<std::string> intents;
    for (const char* said : {"a large pizza with mushrooms", "when are you open", "mumble"}) {
        SimStream<V2Client> stream(DefaultChannel());
        stream.Write(V2Client::FirstAudio(session, false, false));
        stream.WriteSamples(Speech(said));
        stream.WriteSamples(Silence(1000));
        ASSERT_TRUE(stream.Finish().ok());
        ASSERT_FALSE(stream.seen.empty());
        intents.push_back(stream.seen.back().intent_display_name);
    }
    EXPECT_EQ(intents, (std::vector<std::string>{"Order Pizza", "Opening Hours",
                                                 "Default Fallback Intent"}));
}

// Bad input at start is an error exit (1 for files, 2 for flags), never a crash.
TEST_F(SimTestBase, BadAgentFileOrFlagsAreRefusedAtStart) {
    const std::string bad = dir_ + "/bad.json";
    for (const char* text :
         {R"({"intents": [{"name": "a", "colour": "red"}]})",
          R"({"utterances": [{"intent": "missing"}]})", R"({"utterances": []})", R"([1, 2])",
          R"({"sessions": {"s": [{"end_of_utterance": -1}]}})",
          R"({"intents": [{"name": "a", "output_audio": "none.wav"}]})",
          R"({"utterances": [{"transcript": "a", "finals": [{"transcript": "a"}]}]})",
          R"({"utterances": [{"partial_responses": ["1", "2", "3", "4", "5", "6"]}]})",
          R"({"utterances": [{"match": {"type": "INTENT"}}]})",
          R"({"audio_delivery": {"chunks": 0}})", "{ not json", ""}) {
        WriteFile(bad, text);
        SimProcess sim;
        EXPECT_FALSE(sim.Start({"--agent", bad}));
        EXPECT_EQ(sim.exit_status(), 1) << text;
    }
    SimProcess sim;
    EXPECT_FALSE(sim.Start({"--agent", dir_ + "/absent.json"}));
    EXPECT_EQ(sim.exit_status(), 1);
    EXPECT_FALSE(sim.Start({"--max-audio-ms", "0"}));
    EXPECT_EQ(sim.exit_status(), 2);
    EXPECT_FALSE(sim.Start({"--hold-streams-until", "0"}));
    EXPECT_EQ(sim.exit_status(), 2);
    for (const char* location : {"global=0", "eu=x", "=1", "Europe=0"}) {
        EXPECT_FALSE(sim.Start({"--location", location}));
        EXPECT_EQ(sim.exit_status(), 2) << location;
    }
}

// With a gate of three, a stream alone is never read (its deadline passes); three open at
// once all go through, and each record names the client's end of its connection.
TEST_F(SimTestBase, StreamsWaitAtTheGateUntilEnoughAreOpen) {
    ASSERT_TRUE(StartSim({"--hold-streams-until", "3"}));
    auto channel = DefaultChannel();
    {
        SimStream<V2Client> alone(channel, 1000);
        alone.Write(V2Client::Text(V2Client::Session("alone"), "hi"));
        EXPECT_EQ(alone.Finish().error_code(), grpc::StatusCode::DEADLINE_EXCEEDED);
        EXPECT_TRUE(alone.seen.empty());
    }
    std::vector<std::unique_ptr<SimStream<V2Client>>> together;
    for (int i = 0; i < 3; ++i) {
        together.push_back(std::make_unique<SimStream<V2Client>>(channel));
        together.back()->Write(V2Client::Text(V2Client::Session("together"), "hi"));
    }
    for (auto& stream : together) {
        EXPECT_TRUE(stream->Finish().ok());
        ASSERT_EQ(stream->seen.size(), 1u);
        EXPECT_TRUE(stream->seen[0].has_query_result);
    }
    // Past the gate nothing waits.
    SimStream<V2Client> later(channel);
    later.Write(V2Client::Text(V2Client::Session("later"), "hi"));
    EXPECT_TRUE(later.Finish().ok());
    EXPECT_EQ(sim_.Stop(), 0);
    std::vector<rapidjson::Document> records = Records();
    ASSERT_EQ(records.size(), 5u);
    const std::string peer = records[0]["peer"].GetString();
    EXPECT_EQ(peer.rfind("ipv4:127.0.0.1:", 0), 0u) << peer;
    for (const auto& record : records)
        EXPECT_EQ(record["peer"].GetString(), peer);  // one channel, one connection
}

// Agent-wide faults reach every stream, text inputs included.
TEST_F(SimTestBase, AgentWideFaultsApplyToTextInputs) {
    WriteFile(dir_ + "/agent.json", R"({"faults": {"end_without_result": true}})");
    ASSERT_TRUE(StartSim());
    SimStream<V2Client> stream(DefaultChannel());
    stream.Write(V2Client::Text(V2Client::Session("quiet"), "hello"));
    EXPECT_TRUE(stream.Finish().ok());
    EXPECT_TRUE(stream.seen.empty());
}

// A held connection holds back the creation of the streams on it: an asynchronous
// StartCall does not complete before the call's deadline while the hold lasts (one longer
// than the test), and nothing reaches the service. A sim stopped with a connection held
// exits cleanly. Once a (short) hold is over, the connection carries a whole recognition.
TEST_F(SimTestBase, HeldConnectionsHoldStreamCreation) {
    ASSERT_TRUE(StartSim({"--hold-connections", "600000"}));
    {
        auto stub = google::cloud::dialogflow::v2::Sessions::NewStub(DefaultChannel());
        grpc::CompletionQueue queue;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(1));
        auto stream = stub->PrepareAsyncStreamingDetectIntent(&context, &queue);
        ASSERT_TRUE(stream);
        int start = 0, finish = 0;
        stream->StartCall(&start);
        void* tag = nullptr;
        bool ok = true;
        ASSERT_TRUE(queue.Next(&tag, &ok));
        EXPECT_EQ(tag, &start);
        EXPECT_FALSE(ok) << "the stream was created through a held connection";
        grpc::Status status;
        stream->Finish(&status, &finish);
        ASSERT_TRUE(queue.Next(&tag, &ok));
        EXPECT_EQ(tag, &finish);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::DEADLINE_EXCEEDED);
        queue.Shutdown();
        while (queue.Next(&tag, &ok)) {
        }
    }
    EXPECT_EQ(sim_.Stop(), 0);
    EXPECT_TRUE(Records().empty());

    ASSERT_TRUE(StartSim({"--hold-connections", "300"}));
    SimStream<V2Client> stream(DefaultChannel());
    ASSERT_TRUE(stream.Write(V2Client::FirstAudio(V2Client::Session("call-1"), true, true)));
    EXPECT_EQ(stream.WriteSilence(20), 20);
    grpc::Status status = stream.Finish();
    ASSERT_TRUE(status.ok()) << status.error_code() << " " << status.error_message();
    ASSERT_EQ(stream.seen.size(), 4u);
    EXPECT_TRUE(stream.seen[3].has_query_result);
    EXPECT_EQ(sim_.Stop(), 0);
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["audio_bytes"].GetUint64(), 64000u);
    EXPECT_FALSE(sim_.Start({"--hold-connections", "0"}));
    EXPECT_EQ(sim_.exit_status(), 2);
}

TEST_F(SimTestBase, PlaintextWithBuiltInAgent) {
    ASSERT_TRUE(sim_.Start({"--insecure"}));
    // gRPC sends no call credentials over plaintext, so the header is added by hand; without
    // --credentials the sim takes any bearer token.
    grpc::ClientContext context;
    context.AddMetadata("authorization", "Bearer any-token");
    auto plain = grpc::CreateChannel("127.0.0.1:" + std::to_string(sim_.port()),
                                     grpc::InsecureChannelCredentials());
    auto stub = google::cloud::dialogflow::v2::Sessions::NewStub(plain);
    auto stream = stub->StreamingDetectIntent(&context);
    stream->Write(V2Client::FirstAudio(V2Client::Session("smoke"), false, false));
    std::vector<int16_t> said = Speech("hello world");
    said.resize(said.size() + 16000, 0);
    stream->Write(
        V2Client::Audio(std::string(reinterpret_cast<const char*>(said.data()), said.size() * 2)));
    stream->WritesDone();
    google::cloud::dialogflow::v2::StreamingDetectIntentResponse response, last;
    while (stream->Read(&response)) {
        last = response;
    }
    ASSERT_TRUE(stream->Finish().ok());
    EXPECT_EQ(last.query_result().query_text(), "hello world");
    EXPECT_EQ(last.query_result().intent().display_name(), "Default Welcome Intent");
}

// Regional endpoints on loopback: a listener per location, called by the location's host
// name (the channel's default authority; the test certificate covers *.googleapis.com).
// A session is served only at the endpoint of its location.
TEST_F(SimTestBase, RegionalEndpointsServeTheirLocationOnly) {
    ASSERT_TRUE(StartSim({"--location", "europe-west1=0"}));
    const int regional = sim_.LocationPort("europe-west1");
    ASSERT_GT(regional, 0);
    auto channel_as = [&](int port, const std::string& authority) {
        grpc::ChannelArguments args;
        args.SetString(GRPC_ARG_DEFAULT_AUTHORITY, authority);
        return grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port),
                                         grpc::GoogleDefaultCredentials(), args);
    };
    auto europe = channel_as(regional, "europe-west1-dialogflow.googleapis.com");
    auto global = DefaultChannel();
    const std::string cx_europe =
        "projects/zeph-test-project/locations/europe-west1/agents/agent-1/sessions/s";
    const std::string es_europe =
        "projects/zeph-test-project/locations/europe-west1/agent/sessions/s";
    auto status_of = [](std::shared_ptr<grpc::Channel> channel, auto request, auto client) {
        SimStream<decltype(client)> stream(channel);
        stream.Write(request);
        return stream.Finish().error_code();
    };
    EXPECT_EQ(status_of(europe, V3beta1Client::Text(cx_europe, "hi"), V3beta1Client()), grpc::OK);
    EXPECT_EQ(status_of(europe, V2Client::Text(es_europe, "hi"), V2Client()), grpc::OK);
    EXPECT_EQ(status_of(global, V3beta1Client::Text(cx_europe, "hi"), V3beta1Client()),
              grpc::INVALID_ARGUMENT);
    EXPECT_EQ(
        status_of(europe, V3beta1Client::Text(V3beta1Client::Session("s"), "hi"), V3beta1Client()),
        grpc::INVALID_ARGUMENT);
    EXPECT_EQ(status_of(europe, V2Client::Text(V2Client::Session("s"), "hi"), V2Client()),
              grpc::INVALID_ARGUMENT);
    // The regional port called by another name is not the regional endpoint.
    EXPECT_EQ(status_of(channel_as(regional, "localhost:" + std::to_string(regional)),
                        V3beta1Client::Text(cx_europe, "hi"), V3beta1Client()),
              grpc::INVALID_ARGUMENT);
    const auto records = Records();
    ASSERT_EQ(records.size(), 6u);
    // The record names the endpoint each stream was called at.
    EXPECT_STREQ(records[0]["authority"].GetString(), "europe-west1-dialogflow.googleapis.com");
    EXPECT_STREQ(records[2]["authority"].GetString(), sim_.target().c_str());
}

}  // namespace
}  // namespace ZephTest
