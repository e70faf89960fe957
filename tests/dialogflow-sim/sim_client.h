// A small synchronous StreamingDetectIntent client per flavour, for the sim's tests: the
// traits build requests and read responses; SimStream drives one stream.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "google/cloud/dialogflow/cx/v3beta1/session.grpc.pb.h"
#include "google/cloud/dialogflow/v2/session.grpc.pb.h"
#include "google/cloud/dialogflow/v2beta1/session.grpc.pb.h"

namespace ZephTest {

// What a test looks at in a response, the same for every flavour.
struct SeenResponse {
    bool end_of_utterance = false;
    bool has_transcript = false;
    std::string transcript;
    bool is_final = false;
    float confidence = 0.0f;  // of the recognition result
    int64_t speech_end_ms = 0;
    int words = 0;
    bool has_query_result = false;
    std::string query;  // query text, transcript or trigger
    std::string intent_display_name;
    std::string action_or_intent_name;
    std::string match_event;         // CX: the event matched (an event input or no match)
    float intent_confidence = 0.0f;  // ES intent detection, CX match confidence
    float speech_confidence = 0.0f;  // ES QueryResult.speech_recognition_confidence
    bool partial = false;            // CX: a PARTIAL detect-intent response
    int webhook_code = 0;
    size_t output_audio_bytes = 0;
};

// The recognition-result part, alike in every flavour.
template <class Response>
SeenResponse SeeRecognition(const Response& response) {
    SeenResponse seen;
    const auto& recognition = response.recognition_result();
    seen.end_of_utterance = response.has_recognition_result() &&
                            recognition.message_type() == recognition.END_OF_SINGLE_UTTERANCE;
    seen.has_transcript =
        response.has_recognition_result() && recognition.message_type() == recognition.TRANSCRIPT;
    seen.transcript = recognition.transcript();
    seen.is_final = recognition.is_final();
    seen.confidence = recognition.confidence();
    seen.speech_end_ms = recognition.speech_end_offset().seconds() * 1000 +
                         recognition.speech_end_offset().nanos() / 1000000;
    seen.words = recognition.speech_word_info_size();
    return seen;
}

template <class Service, class Request, class Response>
struct EsClientTraits {
    using ServiceType = Service;
    using Stub = typename Service::Stub;
    using RequestType = Request;
    using ResponseType = Response;

    static std::string Session(const std::string& id,
                               const std::string& project = "zeph-test-project") {
        return "projects/" + project + "/agent/sessions/" + id;
    }
    static std::string EnvironmentSession(const std::string& environment, const std::string& id) {
        return "projects/zeph-test-project/agent/environments/" + environment +
               "/users/-/sessions/" + id;
    }
    static Request FirstAudio(const std::string& session, bool word_info, bool output_audio,
                              bool single_utterance = true) {
        Request request;
        request.set_session(session);
        auto* config = request.mutable_query_input()->mutable_audio_config();
        config->set_audio_encoding(static_cast<decltype(config->audio_encoding())>(1));
        config->set_sample_rate_hertz(16000);
        config->set_language_code("en-US");
        config->set_single_utterance(single_utterance);
        config->set_enable_word_info(word_info);
        if (output_audio) {
            auto* out = request.mutable_output_audio_config();
            out->set_audio_encoding(static_cast<decltype(out->audio_encoding())>(1));
            out->set_sample_rate_hertz(16000);
        }
        return request;
    }
    static Request Audio(const std::string& bytes) {
        Request request;
        request.set_input_audio(bytes);
        return request;
    }
    static Request Text(const std::string& session, const std::string& text) {
        Request request;
        request.set_session(session);
        request.mutable_query_input()->mutable_text()->set_text(text);
        request.mutable_query_input()->mutable_text()->set_language_code("en-US");
        return request;
    }
    static Request Event(const std::string& session, const std::string& name) {
        Request request;
        request.set_session(session);
        request.mutable_query_input()->mutable_event()->set_name(name);
        request.mutable_query_input()->mutable_event()->set_language_code("en-US");
        return request;
    }
    static SeenResponse See(const Response& response) {
        SeenResponse seen = SeeRecognition(response);
        seen.has_query_result = response.has_query_result();
        seen.query = response.query_result().query_text();
        seen.intent_display_name = response.query_result().intent().display_name();
        seen.action_or_intent_name = response.query_result().action();
        seen.intent_confidence = response.query_result().intent_detection_confidence();
        seen.speech_confidence = response.query_result().speech_recognition_confidence();
        seen.webhook_code = response.webhook_status().code();
        seen.output_audio_bytes = response.output_audio().size();
        return seen;
    }
};

// Named structs rather than aliases, so that test names show a short type name.
struct V2Client : EsClientTraits<google::cloud::dialogflow::v2::Sessions,
                                 google::cloud::dialogflow::v2::StreamingDetectIntentRequest,
                                 google::cloud::dialogflow::v2::StreamingDetectIntentResponse> {};
struct V2beta1Client
    : EsClientTraits<google::cloud::dialogflow::v2beta1::Sessions,
                     google::cloud::dialogflow::v2beta1::StreamingDetectIntentRequest,
                     google::cloud::dialogflow::v2beta1::StreamingDetectIntentResponse> {};

struct V3beta1Client {
    using ServiceType = google::cloud::dialogflow::cx::v3beta1::Sessions;
    using Stub = google::cloud::dialogflow::cx::v3beta1::Sessions::Stub;
    using RequestType = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentRequest;
    using ResponseType = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentResponse;

    static std::string Session(const std::string& id,
                               const std::string& project = "zeph-test-project") {
        return "projects/" + project + "/locations/global/agents/agent-1/sessions/" + id;
    }
    static std::string EnvironmentSession(const std::string& environment, const std::string& id) {
        return "projects/zeph-test-project/locations/global/agents/agent-1/environments/" +
               environment + "/sessions/" + id;
    }
    static RequestType FirstAudio(const std::string& session, bool word_info, bool output_audio,
                                  bool single_utterance = true) {
        RequestType request;
        request.set_session(session);
        request.mutable_query_input()->set_language_code("en-US");
        auto* config = request.mutable_query_input()->mutable_audio()->mutable_config();
        config->set_audio_encoding(
            google::cloud::dialogflow::cx::v3beta1::AUDIO_ENCODING_LINEAR_16);
        config->set_sample_rate_hertz(16000);
        config->set_single_utterance(single_utterance);
        config->set_enable_word_info(word_info);
        if (output_audio) {
            auto* out = request.mutable_output_audio_config();
            out->set_audio_encoding(
                google::cloud::dialogflow::cx::v3beta1::OUTPUT_AUDIO_ENCODING_LINEAR_16);
            out->set_sample_rate_hertz(16000);
        }
        return request;
    }
    static RequestType Audio(const std::string& bytes) {
        RequestType request;
        request.mutable_query_input()->mutable_audio()->set_audio(bytes);
        return request;
    }
    static RequestType Text(const std::string& session, const std::string& text) {
        RequestType request;
        request.set_session(session);
        request.mutable_query_input()->set_language_code("en-US");
        request.mutable_query_input()->mutable_text()->set_text(text);
        return request;
    }
    static RequestType Event(const std::string& session, const std::string& name) {
        RequestType request;
        request.set_session(session);
        request.mutable_query_input()->set_language_code("en-US");
        request.mutable_query_input()->mutable_event()->set_event(name);
        return request;
    }
    static SeenResponse See(const ResponseType& response) {
        SeenResponse seen = SeeRecognition(response);
        const auto& detect = response.detect_intent_response();
        seen.has_query_result = detect.has_query_result();
        const auto& result = detect.query_result();
        seen.query = result.has_transcript()      ? result.transcript()
                     : result.has_text()          ? result.text()
                     : result.has_trigger_event() ? result.trigger_event()
                                                  : result.trigger_intent();
        seen.intent_display_name = result.match().intent().display_name();
        seen.action_or_intent_name = result.match().intent().name();
        seen.intent_confidence = result.match().confidence();
        seen.match_event = result.match().event();
        seen.partial = detect.response_type() == detect.PARTIAL;
        seen.webhook_code = result.webhook_statuses_size() ? result.webhook_statuses(0).code() : 0;
        seen.output_audio_bytes = detect.output_audio().size();
        return seen;
    }
};

// One stream: Write requests, WritesDone, then read everything and Finish.
template <class Client>
class SimStream {
public:
    SimStream(const std::shared_ptr<grpc::Channel>& channel, int deadline_ms = 20000)
        : stub_(Client::ServiceType::NewStub(channel)) {
        context_.set_deadline(std::chrono::system_clock::now() +
                              std::chrono::milliseconds(deadline_ms));
        context_.AddMetadata("x-goog-user-project", "zeph-billing-project");
        stream_ = stub_->StreamingDetectIntent(&context_);
    }

    bool Write(const typename Client::RequestType& request) { return stream_->Write(request); }

    // Sends n chunks of silence of chunk_bytes each.
    int WriteSilence(int n, size_t chunk_bytes = 3200) {
        int written = 0;
        for (int i = 0; i < n && Write(Client::Audio(std::string(chunk_bytes, '\0'))); ++i) {
            ++written;
        }
        return written;
    }

    // Sends 16-bit samples in chunks of chunk_bytes, as LINEAR16 audio.
    int WriteSamples(const std::vector<int16_t>& samples, size_t chunk_bytes = 3200) {
        const std::string bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
        int written = 0;
        for (size_t at = 0; at < bytes.size(); at += chunk_bytes, ++written) {
            if (!Write(Client::Audio(bytes.substr(at, chunk_bytes)))) {
                break;
            }
        }
        return written;
    }

    // Waits for the sim's response headers, which it sends with its first response.
    void WaitForHeaders() { stream_->WaitForInitialMetadata(); }

    // Reads one response; false at the end of the stream.
    bool ReadOne() {
        typename Client::ResponseType response;
        if (!stream_->Read(&response)) {
            return false;
        }
        seen.push_back(Client::See(response));
        responses.push_back(std::move(response));
        return true;
    }

    // Half-closes (unless told not to), reads to the end and returns the final status.
    grpc::Status Finish(bool half_close = true) {
        if (half_close) {
            stream_->WritesDone();
        }
        while (ReadOne()) {
        }
        return stream_->Finish();
    }

    void Cancel() { context_.TryCancel(); }

    std::vector<SeenResponse> seen;
    std::vector<typename Client::ResponseType> responses;  // as received, seen[i] from [i]

private:
    std::unique_ptr<typename Client::Stub> stub_;
    grpc::ClientContext context_;
    std::unique_ptr<
        grpc::ClientReaderWriter<typename Client::RequestType, typename Client::ResponseType>>
        stream_;
};

}  // namespace ZephTest
