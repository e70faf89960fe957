// How each API flavour's messages are read and written. The stream logic (session_reactor.h)
// is written once against these traits:
//   Service, Request, Response   the generated service and its stream messages
//   StreamingService             Service with StreamingDetectIntent on raw bytes, the
//                                other methods on the callback API (UNIMPLEMENTED)
//   kName                        "v2", "v2beta1" or "v3beta1"
//   IsValidSession(path)         the flavour's session resource form
//   ReadFirstRequest / CheckFollowUpRequest / AudioOf / ClearAudio   the request side
//   RecognitionResponse / EndOfUtteranceResponse / AnswerResponse / LaterAudioResponse /
//   PartialResponse              the response side
//   kAudioAfterResult            where the service puts output audio by default
//   RecordAudioByteCount         where the audio goes in the recorded first request
// ES v2 and v2beta1 share one template; CX v3beta1 has its own struct.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <grpcpp/support/status.h>
#include <rapidjson/document.h>

#include "agent.h"
#include "google/cloud/dialogflow/cx/v3beta1/session.grpc.pb.h"
#include "google/cloud/dialogflow/v2/session.grpc.pb.h"
#include "google/cloud/dialogflow/v2beta1/session.grpc.pb.h"
#include "speech_listener.h"

namespace DialogflowSim {

enum class InputKind { kAudio, kText, kEvent, kIntent, kDtmf };

// What the first request asked for, independent of the flavour.
struct FirstInput {
    InputKind kind = InputKind::kAudio;
    std::string value;         // text, event name, intent resource name or digits
    std::string finish_digit;  // CX DTMF: the key that ended the digits, if any
    std::string language;
    int sample_rate_hertz = 0;
    int bytes_per_sample = 2;
    SpeechListener::Encoding encoding = SpeechListener::Encoding::kLinear16;
    bool partial_responses = false;  // CX enable_partial_response
    bool word_info = false;
    bool single_utterance = false;
    bool output_audio = false;
    int output_sample_rate_hertz = 0;
};

// The final answer of a stream, independent of the flavour.
struct Answer {
    InputKind kind = InputKind::kAudio;
    std::string query;  // transcript, text, event, intent name or digits
    std::string finish_digit;
    std::string language;
    const Intent* intent = nullptr;  // none with an empty query or a forced match
    bool is_fallback = false;
    bool empty_query = false;                 // no speech heard
    std::optional<ForcedMatch> forced_match;  // CX
    std::optional<grpc::Status> webhook_status;
    int output_sample_rate_hertz = 0;
    std::string intent_parent;  // "projects/P/agent" or "projects/P/locations/L/agents/A"
};

struct Word {
    std::string text;
    int64_t start_ms = 0;
    int64_t end_ms = 0;
};

// True when path has the segments of pattern, where "*" stands for any non-empty segment.
inline bool MatchesResourcePattern(const std::string& path, const std::string& pattern) {
    size_t path_at = 0, pattern_at = 0;
    while (true) {
        size_t path_end = path.find('/', path_at);
        size_t pattern_end = pattern.find('/', pattern_at);
        std::string segment = path.substr(path_at, path_end - path_at);
        std::string wanted = pattern.substr(pattern_at, pattern_end - pattern_at);
        if (segment.empty() || (wanted != "*" && wanted != segment)) {
            return false;
        }
        if (path_end == std::string::npos || pattern_end == std::string::npos) {
            return path_end == pattern_end;
        }
        path_at = path_end + 1;
        pattern_at = pattern_end + 1;
    }
}

// The id after "collection/" in a resource path ("" when absent): "projects", "locations",
// "environments", "users", "sessions".
inline std::string SegmentAfter(const std::string& path, const std::string& collection) {
    const std::string key = collection + "/";
    size_t at = path.compare(0, key.size(), key) == 0 ? 0 : path.find("/" + key);
    if (at == std::string::npos) {
        return std::string();
    }
    at += at == 0 ? key.size() : key.size() + 1;
    return path.substr(at, path.find('/', at) - at);
}

// Characters (code points) of UTF-8 text, which the service's length limits count.
inline size_t CharacterCount(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

template <class T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

namespace Detail {

inline grpc::Status Invalid(const std::string& message) {
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, message);
}

template <class Duration>
void SetMilliseconds(Duration* duration, int64_t ms) {
    duration->set_seconds(ms / 1000);
    duration->set_nanos(static_cast<int32_t>((ms % 1000) * 1000000));
}

template <class Struct>
void SetParameters(const std::string& json, Struct* parameters) {
    // The agent loader has already checked that this is a JSON object.
    (void)google::protobuf::util::JsonStringToMessage(json, parameters);
}

template <class RecognitionResult>
void FillRecognition(const std::string& transcript, bool is_final, std::optional<float> confidence,
                     int64_t speech_end_ms, const std::vector<Word>& words,
                     RecognitionResult* result) {
    result->set_message_type(RecognitionResult::TRANSCRIPT);
    result->set_transcript(transcript);
    result->set_is_final(is_final);
    // The confidence is "typically only provided if is_final is true", and may be left out.
    if (is_final) {
        if (confidence) {
            result->set_confidence(*confidence);
        }
        SetMilliseconds(result->mutable_speech_end_offset(), speech_end_ms);
        for (const Word& word : words) {
            auto* info = result->add_speech_word_info();
            info->set_word(word.text);
            SetMilliseconds(info->mutable_start_offset(), word.start_ms);
            SetMilliseconds(info->mutable_end_offset(), word.end_ms);
            info->set_confidence(confidence.value_or(0.0f));
        }
    }
}

template <class Config>
grpc::Status ReadAudioConfig(const Config& config, FirstInput* input) {
    if (config.audio_encoding() == 0) {
        return Invalid("Audio encoding must be specified.");
    }
    if (config.sample_rate_hertz() <= 0) {
        return Invalid("Sample rate hertz must be specified.");
    }
    input->kind = InputKind::kAudio;
    input->sample_rate_hertz = config.sample_rate_hertz();
    // MULAW and ALAW carry one byte per sample, the linear encodings two.
    const int encoding = static_cast<int>(config.audio_encoding());
    input->bytes_per_sample = encoding == 3 || encoding == 8 ? 1 : 2;
    input->encoding = encoding == 3   ? SpeechListener::Encoding::kMulaw
                      : encoding == 8 ? SpeechListener::Encoding::kAlaw
                                      : SpeechListener::Encoding::kLinear16;
    input->word_info = config.enable_word_info();
    input->single_utterance = config.single_utterance();
    return grpc::Status::OK;
}

// True when name is "<a session of the flavour>/<collection>/<id>".
template <class IsSession>
bool IsBelowSession(const std::string& name, const std::string& collection, IsSession is_session) {
    const size_t id_at = name.rfind('/');
    if (id_at == std::string::npos || id_at == 0 || id_at + 1 == name.size()) {
        return false;
    }
    const size_t collection_at = name.rfind('/', id_at - 1);
    return collection_at != std::string::npos &&
           name.compare(collection_at + 1, id_at - collection_at - 1, collection) == 0 &&
           is_session(name.substr(0, collection_at));
}

template <class QueryParameters, class = void>
struct HasContexts : std::false_type {};
template <class QueryParameters>
struct HasContexts<QueryParameters,
                   std::void_t<decltype(std::declval<QueryParameters>().contexts())>>
    : std::true_type {};

// What the service checks in the query parameters of every flavour: a location on the
// globe, and contexts and session entity types named by their full resource names (the
// client completes short names against its session).
template <class QueryParameters, class IsSession>
grpc::Status CheckQueryParameters(const QueryParameters& params, IsSession is_session) {
    if (params.has_geo_location()) {
        const double latitude = params.geo_location().latitude();
        const double longitude = params.geo_location().longitude();
        if (!(latitude >= -90.0 && latitude <= 90.0) ||
            !(longitude >= -180.0 && longitude <= 180.0)) {
            return Invalid(
                "Geo location latitude must be within [-90, 90] and longitude "
                "within [-180, 180].");
        }
    }
    for (const auto& type : params.session_entity_types()) {
        if (!IsBelowSession(type.name(), "entityTypes", is_session)) {
            return Invalid("Invalid session entity type name \"" + type.name() +
                           "\": not a session entity type resource name.");
        }
    }
    if constexpr (HasContexts<QueryParameters>::value) {
        for (const auto& context : params.contexts()) {
            if (!IsBelowSession(context.name(), "contexts", is_session)) {
                return Invalid("Invalid context name \"" + context.name() +
                               "\": not a context resource name.");
            }
        }
    }
    return grpc::Status::OK;
}

template <class Request>
grpc::Status ReadOutputAudioConfig(const Request& request, FirstInput* input) {
    if (!request.has_output_audio_config()) {
        return grpc::Status::OK;
    }
    if (request.output_audio_config().audio_encoding() == 0) {
        return Invalid("Output audio encoding must be specified.");
    }
    input->output_audio = true;
    input->output_sample_rate_hertz = request.output_audio_config().sample_rate_hertz();
    return grpc::Status::OK;
}

// Text inputs longer than the service takes.
inline grpc::Status CheckTextLength(const std::string& text) {
    constexpr size_t kMaxCharacters = 256;
    if (CharacterCount(text) > kMaxCharacters) {
        return Invalid("Input text exceeds the limit of " + std::to_string(kMaxCharacters) +
                       " characters.");
    }
    return grpc::Status::OK;
}

template <class Response>
void SetOutputAudio(const Answer& answer, const std::string& audio, Response* response) {
    if (!audio.empty()) {
        response->set_output_audio(audio);
        auto* config = response->mutable_output_audio_config();
        config->set_audio_encoding(
            static_cast<Bare<decltype(config->audio_encoding())>>(1));  // LINEAR_16
        config->set_sample_rate_hertz(answer.output_sample_rate_hertz);
    }
}

// The recognition-result responses, alike in every flavour.
template <class Response>
struct RecognitionResponses {
    using RecognitionResult = Bare<decltype(std::declval<Response>().recognition_result())>;

    static Response RecognitionResponse(const std::string& transcript, bool is_final,
                                        std::optional<float> confidence, int64_t speech_end_ms,
                                        const std::vector<Word>& words) {
        Response response;
        FillRecognition(transcript, is_final, confidence, speech_end_ms, words,
                        response.mutable_recognition_result());
        return response;
    }

    static Response EndOfUtteranceResponse() {
        Response response;
        response.mutable_recognition_result()->set_message_type(
            RecognitionResult::END_OF_SINGLE_UTTERANCE);
        return response;
    }
};

// The v2beta1 query input has a DTMF alternative (telephony DTMF events).
template <class QueryInput, class = void>
struct HasDtmf : std::false_type {};
template <class QueryInput>
struct HasDtmf<QueryInput, std::void_t<decltype(std::declval<QueryInput>().dtmf())>>
    : std::true_type {};

template <class DtmfEvents>
std::string DigitsOf(const DtmfEvents& events) {
    static const char kDigits[] = "?1234567890ABCD*#";  // TelephonyDtmf 1..16
    std::string digits;
    for (int event : events.dtmf_events()) {
        digits.push_back(event >= 1 && event <= 16 ? kDigits[event] : '?');
    }
    return digits;
}

// The keys of a telephone keypad, as the service's DTMF inputs name them.
inline bool IsDtmfKey(char key) {
    return (key >= '0' && key <= '9') || key == '*' || key == '#' || (key >= 'A' && key <= 'D');
}

// The start of a client's text, short enough for a status message.
inline std::string Excerpt(const std::string& text) {
    constexpr size_t kMax = 64;
    return text.size() <= kMax ? text : text.substr(0, kMax) + "...";
}

// A CX DTMF input: keypad keys only, at most one finish digit, and at least one key.
inline grpc::Status CheckDtmfInput(const std::string& digits, const std::string& finish_digit) {
    if (!std::all_of(digits.begin(), digits.end(), IsDtmfKey)) {
        return Invalid("Invalid DTMF digits \"" + Excerpt(digits) +
                       "\": only 0-9, *, #, A, B, C and D are allowed.");
    }
    if (finish_digit.size() > 1 ||
        !std::all_of(finish_digit.begin(), finish_digit.end(), IsDtmfKey)) {
        return Invalid("Invalid DTMF finish digit \"" + Excerpt(finish_digit) +
                       "\": it must be one of 0-9, *, #, A, B, C and D.");
    }
    if (digits.empty() && finish_digit.empty()) {
        return Invalid("DTMF input must contain digits or a finish digit.");
    }
    return grpc::Status::OK;
}

}  // namespace Detail

// Dialogflow ES: v2 and v2beta1 have the same fields for everything the sim reads or writes.
template <class ServiceT, class RequestT, class ResponseT>
struct EsTraits : Detail::RecognitionResponses<ResponseT> {
    using Service = ServiceT;
    using Request = RequestT;
    using Response = ResponseT;
    using StreamingService = typename Service::template WithCallbackMethod_DetectIntent<
        typename Service::template WithRawCallbackMethod_StreamingDetectIntent<
            typename Service::Service>>;
    using QueryInput = Bare<decltype(std::declval<Request>().query_input())>;

    static bool IsValidSession(const std::string& session) {
        return MatchesResourcePattern(session, "projects/*/agent/sessions/*") ||
               MatchesResourcePattern(session,
                                      "projects/*/agent/environments/*/users/*/sessions/*") ||
               MatchesResourcePattern(session, "projects/*/locations/*/agent/sessions/*") ||
               MatchesResourcePattern(
                   session, "projects/*/locations/*/agent/environments/*/users/*/sessions/*");
    }

    static std::string IntentParent(const std::string& session) {
        return session.substr(0, session.find("/agent/")) + "/agent";
    }

    static grpc::Status ReadFirstRequest(const Request& request, FirstInput* input) {
        if (!request.input_audio().empty()) {
            return Detail::Invalid("The first request must not contain input_audio.");
        }
        const QueryInput& query = request.query_input();
        if (query.has_audio_config()) {
            grpc::Status status = Detail::ReadAudioConfig(query.audio_config(), input);
            if (!status.ok()) {
                return status;
            }
            input->language = query.audio_config().language_code();
        } else if (query.has_text()) {
            input->kind = InputKind::kText;
            input->value = query.text().text();
            input->language = query.text().language_code();
            if (input->value.empty()) {
                return Detail::Invalid("Text input must not be empty.");
            }
            grpc::Status status = Detail::CheckTextLength(input->value);
            if (!status.ok()) {
                return status;
            }
        } else if (query.has_event()) {
            input->kind = InputKind::kEvent;
            input->value = query.event().name();
            input->language = query.event().language_code();
            if (input->value.empty()) {
                return Detail::Invalid("Event name must not be empty.");
            }
        } else if (!ReadDtmf(query, input)) {
            return Detail::Invalid("The first request must contain query_input.");
        }
        // Telephony DTMF events carry no language.
        if (input->language.empty() && input->kind != InputKind::kDtmf) {
            return Detail::Invalid("Language code must be specified.");
        }
        grpc::Status status = Detail::ReadOutputAudioConfig(request, input);
        return status.ok() ? Detail::CheckQueryParameters(request.query_params(), &IsValidSession)
                           : status;
    }

    // Every request after the first carries audio only (ES clients may repeat the output
    // audio config, which the service tolerates).
    static grpc::Status CheckFollowUpRequest(const Request& request) {
        if (!request.session().empty() || request.has_query_input() || request.has_query_params()) {
            return Detail::Invalid(
                "Only the first request may contain session, query_input or query_params.");
        }
        return grpc::Status::OK;
    }

    static const std::string& AudioOf(const Request& request) { return request.input_audio(); }
    static void ClearAudio(Request* request) { request->clear_input_audio(); }

    static void RecordAudioByteCount(size_t bytes, rapidjson::Document* json) {
        json->AddMember("inputAudio", static_cast<uint64_t>(bytes), json->GetAllocator());
    }

    // The query result. Its speech_recognition_confidence stays unset: the service does not
    // set it for StreamingDetectIntent (the final recognition result carries it).
    static Response AnswerResponse(const Answer& answer, const std::string& response_id,
                                   const std::string& audio) {
        Response response;
        response.set_response_id(response_id);
        auto* result = response.mutable_query_result();
        result->set_query_text(answer.query);
        result->set_language_code(answer.language);
        if (answer.webhook_status) {
            response.mutable_webhook_status()->set_code(answer.webhook_status->error_code());
            response.mutable_webhook_status()->set_message(answer.webhook_status->error_message());
        }
        Detail::SetOutputAudio(answer, audio, &response);
        if (!answer.intent) {
            return response;  // an empty query matches nothing
        }
        const Intent& intent = *answer.intent;
        result->set_action(intent.action);
        Detail::SetParameters(intent.parameters_json, result->mutable_parameters());
        result->set_all_required_params_present(true);
        result->set_fulfillment_text(intent.fulfillment_text);
        if (!intent.fulfillment_text.empty()) {
            result->add_fulfillment_messages()->mutable_text()->add_text(intent.fulfillment_text);
        }
        result->mutable_intent()->set_name(answer.intent_parent + "/intents/" + intent.name);
        result->mutable_intent()->set_display_name(intent.display_name);
        result->mutable_intent()->set_is_fallback(answer.is_fallback);
        result->set_intent_detection_confidence(intent.confidence);
        return response;
    }

    // A message after the query result's: output audio, and with sparse a query result
    // holding only the query and its language.
    static Response LaterAudioResponse(const Answer& answer, const std::string& response_id,
                                       const std::string& audio, bool sparse) {
        Response response;
        response.set_response_id(response_id);
        if (sparse) {
            response.mutable_query_result()->set_query_text(answer.query);
            response.mutable_query_result()->set_language_code(answer.language);
        }
        Detail::SetOutputAudio(answer, audio, &response);
        return response;
    }

    // ES streams have no partial responses.
    static std::optional<Response> PartialResponse(const Answer&, const std::string&,
                                                   const std::string&) {
        return std::nullopt;
    }

private:
    static bool ReadDtmf(const QueryInput& query, FirstInput* input) {
        if constexpr (Detail::HasDtmf<QueryInput>::value) {
            if (query.has_dtmf()) {
                input->kind = InputKind::kDtmf;
                input->value = Detail::DigitsOf(query.dtmf());
                return true;
            }
        }
        (void)query;
        (void)input;
        return false;
    }
};

using V2Traits = EsTraits<google::cloud::dialogflow::v2::Sessions,
                          google::cloud::dialogflow::v2::StreamingDetectIntentRequest,
                          google::cloud::dialogflow::v2::StreamingDetectIntentResponse>;
struct V2Flavour : V2Traits {
    static constexpr const char* kName = "v2";
    static constexpr bool kIsCx = false;
    // The v2 response comment lists recognition results, then the query result.
    static constexpr bool kAudioAfterResult = false;
};

using V2beta1Traits = EsTraits<google::cloud::dialogflow::v2beta1::Sessions,
                               google::cloud::dialogflow::v2beta1::StreamingDetectIntentRequest,
                               google::cloud::dialogflow::v2beta1::StreamingDetectIntentResponse>;
struct V2beta1Flavour : V2beta1Traits {
    static constexpr const char* kName = "v2beta1";
    static constexpr bool kIsCx = false;
    // "all subsequent messages contain output_audio and output_audio_config"
    static constexpr bool kAudioAfterResult = true;
};

// Dialogflow CX v3beta1.
struct V3beta1Flavour : Detail::RecognitionResponses<
                            google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentResponse> {
    using Service = google::cloud::dialogflow::cx::v3beta1::Sessions;
    using Request = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentRequest;
    using Response = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentResponse;
    using StreamingService = Service::WithCallbackMethod_DetectIntent<
        Service::WithCallbackMethod_ServerStreamingDetectIntent<
            Service::WithRawCallbackMethod_StreamingDetectIntent<
                Service::WithCallbackMethod_MatchIntent<Service::WithCallbackMethod_FulfillIntent<
                    Service::WithCallbackMethod_SubmitAnswerFeedback<Service::Service>>>>>>;
    using Match = google::cloud::dialogflow::cx::v3beta1::Match;
    static constexpr const char* kName = "v3beta1";
    static constexpr bool kIsCx = true;
    // The last message has the fully populated FINAL detect-intent response.
    static constexpr bool kAudioAfterResult = false;
    // The events CX raises when no intent matches and for an empty query, handled by their
    // default handlers.
    static constexpr const char* kNoMatchEvent = "sys.no-match-default";
    static constexpr const char* kNoInputEvent = "sys.no-input-default";

    static bool IsValidSession(const std::string& session) {
        return MatchesResourcePattern(session, "projects/*/locations/*/agents/*/sessions/*") ||
               MatchesResourcePattern(session,
                                      "projects/*/locations/*/agents/*/environments/*/sessions/*");
    }

    static std::string IntentParent(const std::string& session) {
        size_t agents = session.find("/agents/");
        return session.substr(0, session.find('/', agents + 8));
    }

    static grpc::Status ReadFirstRequest(const Request& request, FirstInput* input) {
        const auto& query = request.query_input();
        input->language = query.language_code();
        if (query.has_audio()) {
            if (!query.audio().audio().empty()) {
                return Detail::Invalid("The first request must not contain audio.");
            }
            grpc::Status status = Detail::ReadAudioConfig(query.audio().config(), input);
            if (!status.ok()) {
                return status;
            }
        } else if (query.has_text()) {
            input->kind = InputKind::kText;
            input->value = query.text().text();
            grpc::Status status = Detail::CheckTextLength(input->value);
            if (!status.ok()) {
                return status;
            }
        } else if (query.has_event()) {
            input->kind = InputKind::kEvent;
            input->value = query.event().event();
        } else if (query.has_intent()) {
            input->kind = InputKind::kIntent;
            input->value = query.intent().intent();
            if (!IsOfSessionAgent(input->value, request.session(), "intents")) {
                return Detail::Invalid("Invalid intent \"" + input->value +
                                       "\": not an intent resource name of the session's agent.");
            }
        } else if (query.has_dtmf()) {
            input->kind = InputKind::kDtmf;
            input->value = query.dtmf().digits();
            input->finish_digit = query.dtmf().finish_digit();
            grpc::Status status = Detail::CheckDtmfInput(input->value, input->finish_digit);
            if (!status.ok()) {
                return status;
            }
        } else {
            return Detail::Invalid("The first request must contain query_input.");
        }
        // DTMF may be a finish digit alone; its check is above.
        if (input->kind != InputKind::kAudio && input->kind != InputKind::kDtmf &&
            input->value.empty()) {
            return Detail::Invalid("The query input must not be empty.");
        }
        if (input->language.empty()) {
            return Detail::Invalid("Language code must be specified.");
        }
        input->partial_responses = request.enable_partial_response();
        const std::string& page = request.query_params().current_page();
        if (!page.empty() && !IsOfSessionAgent(page, request.session(), "flows/*/pages")) {
            return Detail::Invalid("Invalid current page \"" + page +
                                   "\": not a page resource name of the session's agent.");
        }
        grpc::Status status = Detail::ReadOutputAudioConfig(request, input);
        return status.ok() ? Detail::CheckQueryParameters(request.query_params(), &IsValidSession)
                           : status;
    }

    // True when name is "<the session's agent>/<collection>/<id>"; "*" in collection stands
    // for any one segment.
    static bool IsOfSessionAgent(const std::string& name, const std::string& session,
                                 const std::string& collection) {
        const std::string agent = IntentParent(session);
        return name.compare(0, agent.size() + 1, agent + "/") == 0 &&
               MatchesResourcePattern(name.substr(agent.size() + 1), collection + "/*");
    }

    // Every request after the first carries query_input.audio.audio and nothing else.
    static grpc::Status CheckFollowUpRequest(const Request& request) {
        const auto& query = request.query_input();
        if (!request.session().empty() || request.has_query_params() ||
            request.has_output_audio_config() || !query.language_code().empty() ||
            query.input_case() != query.kAudio || query.audio().has_config()) {
            return Detail::Invalid(
                "Requests after the first must contain only query_input.audio.audio.");
        }
        return grpc::Status::OK;
    }

    static const std::string& AudioOf(const Request& request) {
        return request.query_input().audio().audio();
    }
    static void ClearAudio(Request* request) {
        if (request->query_input().has_audio()) {
            request->mutable_query_input()->mutable_audio()->clear_audio();
        }
    }

    static void RecordAudioByteCount(size_t bytes, rapidjson::Document* json) {
        auto& allocator = json->GetAllocator();
        if (!json->HasMember("queryInput")) {
            json->AddMember("queryInput", rapidjson::Value(rapidjson::kObjectType), allocator);
        }
        rapidjson::Value& query = (*json)["queryInput"];
        if (!query.HasMember("audio")) {
            query.AddMember("audio", rapidjson::Value(rapidjson::kObjectType), allocator);
        }
        query["audio"].AddMember("audio", static_cast<uint64_t>(bytes), allocator);
    }

    static Response AnswerResponse(const Answer& answer, const std::string& response_id,
                                   const std::string& audio) {
        Response response;
        auto* detect = response.mutable_detect_intent_response();
        detect->set_response_id(response_id);
        detect->set_response_type(
            google::cloud::dialogflow::cx::v3beta1::DetectIntentResponse::FINAL);
        auto* result = detect->mutable_query_result();
        SetQuery(answer, result);
        if (answer.intent) {
            Detail::SetParameters(answer.intent->parameters_json, result->mutable_parameters());
            if (!answer.intent->fulfillment_text.empty()) {
                result->add_response_messages()->mutable_text()->add_text(
                    answer.intent->fulfillment_text);
            }
        }
        SetMatch(answer, result);
        if (answer.webhook_status) {
            auto* status = result->add_webhook_statuses();
            status->set_code(answer.webhook_status->error_code());
            status->set_message(answer.webhook_status->error_message());
        }
        Detail::SetOutputAudio(answer, audio, detect);
        return response;
    }

    // Not what the service documents (the last message is the full FINAL response); the
    // audio-after-result variant sends it anyway.
    static Response LaterAudioResponse(const Answer& answer, const std::string& response_id,
                                       const std::string& audio, bool sparse) {
        Response response;
        auto* detect = response.mutable_detect_intent_response();
        detect->set_response_id(response_id);
        detect->set_response_type(
            google::cloud::dialogflow::cx::v3beta1::DetectIntentResponse::FINAL);
        if (sparse) {
            SetQuery(answer, detect->mutable_query_result());
        }
        Detail::SetOutputAudio(answer, audio, detect);
        return response;
    }

    // A PARTIAL detect-intent response: the query and one text response message.
    static std::optional<Response> PartialResponse(const Answer& answer,
                                                   const std::string& response_id,
                                                   const std::string& text) {
        Response response;
        auto* detect = response.mutable_detect_intent_response();
        detect->set_response_id(response_id);
        detect->set_response_type(
            google::cloud::dialogflow::cx::v3beta1::DetectIntentResponse::PARTIAL);
        SetQuery(answer, detect->mutable_query_result());
        detect->mutable_query_result()->add_response_messages()->mutable_text()->add_text(text);
        return response;
    }

private:
    using QueryResult = google::cloud::dialogflow::cx::v3beta1::QueryResult;

    static void SetQuery(const Answer& answer, QueryResult* result) {
        switch (answer.kind) {
            case InputKind::kAudio:
                result->set_transcript(answer.query);
                break;
            case InputKind::kText:
                result->set_text(answer.query);
                break;
            case InputKind::kEvent:
                result->set_trigger_event(answer.query);
                break;
            case InputKind::kIntent:
                result->set_trigger_intent(answer.query);
                break;
            case InputKind::kDtmf:
                result->mutable_dtmf()->set_digits(answer.query);
                result->mutable_dtmf()->set_finish_digit(answer.finish_digit);
                break;
        }
        result->set_language_code(answer.language);
    }

    // The match says what the query was used for. Only an INTENT match names the intent;
    // events name their event; the deprecated QueryResult.intent and
    // intent_detection_confidence, superseded by the match, stay empty.
    static void SetMatch(const Answer& answer, QueryResult* result) {
        auto* match = result->mutable_match();
        match->set_resolved_input(answer.query);
        const bool no_input =
            answer.empty_query ||
            (answer.forced_match && answer.forced_match->type == ForcedMatch::kNoInput);
        if (no_input) {
            match->set_match_type(Match::NO_INPUT);
            match->set_event(kNoInputEvent);
        } else if (answer.forced_match) {
            match->set_match_type(Match::PARAMETER_FILLING);
            match->set_confidence(answer.forced_match->confidence);
            Detail::SetParameters(answer.forced_match->parameters_json,
                                  match->mutable_parameters());
            *result->mutable_parameters() = match->parameters();
        } else if (answer.is_fallback) {
            match->set_match_type(Match::NO_MATCH);
            match->set_event(kNoMatchEvent);
        } else if (answer.kind == InputKind::kEvent) {
            match->set_match_type(Match::EVENT);
            match->set_event(answer.query);
        } else if (answer.intent) {
            const Intent& intent = *answer.intent;
            Detail::SetParameters(intent.parameters_json, match->mutable_parameters());
            if (answer.kind == InputKind::kIntent) {
                match->set_match_type(Match::DIRECT_INTENT);
                match->set_confidence(1.0f);  // the client named the intent
            } else {
                match->set_match_type(Match::INTENT);
                match->set_confidence(intent.confidence);
                match->mutable_intent()->set_name(answer.intent_parent + "/intents/" + intent.name);
                match->mutable_intent()->set_display_name(intent.display_name);
            }
        }
    }
};

}  // namespace DialogflowSim
