#include "OsrZephStubV3beta1.h"

#include <ostrin/apt_log.h>

#include "OsrGrammar.h"
#include "OsrZephLog.h"
#include "OsrZephResult.h"

namespace Zeph {
namespace APIV3BETA1 {

namespace cx = google::cloud::dialogflow::cx::v3beta1;

namespace {

const char* const kSuffix = "zeph";

}  // namespace

StreamingDetectIntentMethod::StreamingDetectIntentMethod(
    Channel* channel, StreamHost* host, Stub* stub, grpc::CompletionQueue* queue,
    OstEdpf::AsyncEventTimerProcessor* processor, long streamCreationTimeout)
    : StreamingMethod(channel, host, queue, processor, streamCreationTimeout), m_stub(stub) {}

bool StreamingDetectIntentMethod::Validate() {
    if (!StreamingMethod::Validate())
        return false;
    if (GetHost()->GetStreamingSettings().m_agent.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Agent Specified <%s@%s>", LogId(),
                kSuffix);
        return false;
    }
    return true;
}

std::string StreamingDetectIntentMethod::AgentPath() const {
    StreamHost* host = GetHost();
    const StreamingRecogSettings& settings = host->GetStreamingSettings();
    const std::string& location = settings.m_location.empty() ? "global" : settings.m_location;
    return "projects/" + host->GetProjectId() + "/locations/" + location + "/agents/" +
           settings.m_agent;
}

std::shared_ptr<StreamCall> StreamingDetectIntentMethod::NewCall() {
    auto call = std::make_shared<Call>(m_stub);
    m_typedCall = call.get();
    m_queryResult.Clear();
    return call;
}

void StreamingDetectIntentMethod::ComposeSessionPath() {
    StreamHost* host = GetHost();
    std::string path = AgentPath();
    const std::string& environment = host->GetStreamingSettings().m_environment;
    if (!environment.empty())
        path += "/environments/" + environment;
    path += "/sessions/" + host->GetDialogId();
    host->SetSessionPath(path);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Set ZEPH Session ID [%s] <%s@%s>",
            path.c_str(), LogId(), kSuffix);
}

StreamingDetectIntentMethod::Request& StreamingDetectIntentMethod::NewRequest() {
    Request& request = m_typedCall->GetRequest();
    request.Clear();
    request.set_session(GetHost()->GetSessionPath());
    return request;
}

bool StreamingDetectIntentMethod::BuildSpeechRequest() {
    StreamHost* host = GetHost();
    Request& request = NewRequest();
    SetOutputAudioConfig(request);
    ApplyQueryParameters(request, FirstRequestKind::Audio, host->GetSpeechGrammar().get());
    const SpeechContext* context = InitStreamingSettings();
    const StreamingRecogSettings& settings = host->GetStreamingSettings();
    // CX's audio config has no language: the language travels in the query input.
    request.mutable_query_input()->set_language_code(settings.m_language);
    auto* config = request.mutable_query_input()->mutable_audio()->mutable_config();
    config->set_audio_encoding(cx::AUDIO_ENCODING_LINEAR_16);
    config->set_sample_rate_hertz(host->GetSamplingRate());
    config->set_single_utterance(settings.m_singleUtterance);
    config->set_enable_word_info(settings.m_wordInfo);
    SetModel(config, [](const std::string& name, int* value) {
        cx::SpeechModelVariant variant;
        if (!cx::SpeechModelVariant_Parse(name, &variant))
            return false;
        *value = static_cast<int>(variant);
        return true;
    });
    config->clear_phrase_hints();
    if (context && !context->m_phrases.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Speech Context [%s] <%s@%s>",
                context->m_id.c_str(), LogId(), kSuffix);
        // CX phrase hints carry no boost.
        for (const auto& entry : context->m_phrases)
            config->add_phrase_hints(entry.second.m_phrase);
    }
    return true;
}

bool StreamingDetectIntentMethod::BuildDtmfRequest(const std::string& digits) {
    StreamHost* host = GetHost();
    std::shared_ptr<const GrammarRef> grammar = host->GetDtmfGrammar();
    const std::string& language = host->GetStreamingSettings().m_language;
    Request& request = NewRequest();
    ApplyQueryParameters(request, FirstRequestKind::Dtmf, grammar.get());
    auto* input = request.mutable_query_input();
    input->set_language_code(language);
    bool asEvent = grammar->m_builtinGrammar &&
                   grammar->m_builtinGrammar->m_input == BuiltinGrammar::INPUT_EVENT;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Init DTMF Request: name=%s, digits=%s, language=%s, input=%s <%s@%s>",
            grammar->m_name.c_str(), digits.c_str(), language.c_str(), asEvent ? "event" : "text",
            LogId(), kSuffix);
    if (!asEvent) {
        input->mutable_text()->set_text(digits);
        return true;
    }
    // CX takes keypad input as a DTMF input, which its flows' DTMF handlers match; the
    // terminating key, when the caller pressed it, is the finish digit, not one of the digits.
    auto* dtmf = input->mutable_dtmf();
    char finish = host->GetDtmfFinishDigit();
    std::string collected = digits;
    if (finish != '\0') {
        if (!collected.empty() && collected.back() == finish)
            collected.pop_back();
        dtmf->set_finish_digit(std::string(1, finish));
    }
    dtmf->set_digits(collected);
    return true;
}

bool StreamingDetectIntentMethod::BuildEventRequest() {
    StreamHost* host = GetHost();
    std::shared_ptr<const GrammarRef> grammar = host->GetEventGrammar();
    const std::string& language = host->GetStreamingSettings().m_language;
    Request& request = NewRequest();
    ApplyQueryParameters(request, FirstRequestKind::Event, nullptr);
    request.mutable_query_input()->set_language_code(language);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Init Event Request: name=%s, language=%s <%s@%s>", grammar->m_name.c_str(),
            language.c_str(), LogId(), kSuffix);
    // CX triggers an intent of the agent (no environment segment); no parameters go with it.
    request.mutable_query_input()->mutable_intent()->set_intent(AgentPath() + "/intents/" +
                                                                grammar->m_name);
    return true;
}

void StreamingDetectIntentMethod::BuildAudioRequest(const char* data, size_t size) {
    Request& request = m_typedCall->GetRequest();
    // A follow-up request holds the audio bytes only: CX takes the output audio config from
    // the first request alone.
    request.clear_session();
    request.clear_query_params();
    request.clear_output_audio_config();
    // The query input and its buffer are kept from one block to the next: no allocation
    // per block once the first has been sent.
    auto* input = request.mutable_query_input();
    input->clear_language_code();
    auto* audio = input->mutable_audio();
    audio->clear_config();
    audio->mutable_audio()->assign(data, size);
}

void StreamingDetectIntentMethod::LogReceivedResponse(bool ok) {
    const Response& response = m_typedCall->GetResponse();
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Received Response: status [%d] recog result [%d] detect intent response [%d] "
            "<%s@%s>",
            ok ? 1 : 0, response.has_recognition_result() ? 1 : 0,
            response.has_detect_intent_response() ? 1 : 0, LogId(), kSuffix);
}

void StreamingDetectIntentMethod::ReadResponse(StreamResponse& out) {
    const Response& response = m_typedCall->GetResponse();
    if (response.has_recognition_result())
        ReadRecognitionResult(response.recognition_result(), out);
    if (!response.has_detect_intent_response())
        return;
    const cx::DetectIntentResponse& detect = response.detect_intent_response();
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Detect Intent Response: id [%s] query result [%d] output audio [%d bytes] output "
            "audio config [%d] <%s@%s>",
            detect.response_id().c_str(), detect.has_query_result() ? 1 : 0,
            static_cast<int>(detect.output_audio().size()),
            detect.has_output_audio_config() ? 1 : 0, LogId(), kSuffix);
    out.m_hasQueryResult = detect.has_query_result();
    // Partial responses come before the final one, which is the answer.
    out.m_queryResultFinal = detect.response_type() != cx::DetectIntentResponse::PARTIAL;
    out.m_outputAudio = detect.output_audio();
}

void StreamingDetectIntentMethod::KeepQueryResult(std::string& json) {
    m_queryResult = m_typedCall->GetResponse().detect_intent_response().query_result();
    ComposeJsonQueryResult(m_queryResult, true, json);
}

bool StreamingDetectIntentMethod::GetQueryText(std::string& text) {
    return RecognizedText(m_queryResult, text);
}

bool StreamingDetectIntentMethod::IsEmptyResult() {
    return m_queryResult.query_case() == QueryResult::kTranscript &&
           m_queryResult.transcript().empty();
}

RecogResult StreamingDetectIntentMethod::ComposeRecogResult() {
    return Zeph::ComposeRecogResult(GetHost()->GetResultsSettings(), m_queryResult,
                                    GetResultInput());
}

}  // namespace APIV3BETA1
}  // namespace Zeph
