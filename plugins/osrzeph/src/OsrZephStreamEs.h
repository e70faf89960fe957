// The Dialogflow ES layer of the streaming engine, written once for the ES API versions:
// how an ES StreamingDetectIntentRequest is built and how an ES response is read. An API
// version instantiates EsStreamingMethod with a traits type that names its generated
// classes:
//
//   struct Api {
//       using Stub, Request, Response, QueryResult, SpeechContext;
//       static bool ParseModelVariant(const std::string& name, int* value);
//       static const char* const kSessionLogLine;   // "...[%s] <%s@%s>" with the path
//   };
//
// Threads: the engine's event processor thread (see StreamingMethod).
#pragma once

#include <string>

#include <ostrin/apt_log.h>

#include "OsrGrammar.h"
#include "OsrZephLog.h"
#include "OsrZephQueryParams.h"
#include "OsrZephResult.h"
#include "OsrZephStream.h"

namespace Zeph {

template <class Api>
class EsStreamingMethod : public StreamingMethod {
public:
    using Stub = typename Api::Stub;
    using Request = typename Api::Request;
    using Response = typename Api::Response;
    using QueryResult = typename Api::QueryResult;
    using Call = TypedStreamCall<Stub, Request, Response>;

    EsStreamingMethod(Channel* channel, StreamHost* host, Stub* stub, grpc::CompletionQueue* queue,
                      OstEdpf::AsyncEventTimerProcessor* processor, long streamCreationTimeout)
        : StreamingMethod(channel, host, queue, processor, streamCreationTimeout), m_stub(stub) {}

    // The last query result of the recognition, for the result body.
    const QueryResult& GetQueryResult() const { return m_queryResult; }

protected:
    std::shared_ptr<StreamCall> NewCall() override {
        auto call = std::make_shared<Call>(m_stub);
        m_typedCall = call.get();
        m_queryResult.Clear();
        return call;
    }

    void ComposeSessionPath() override {
        StreamHost* host = GetHost();
        std::string path = std::string(sm_ProjectPrefix) + host->GetProjectId();
        // An agent in a region is named with its location (served at that region's endpoint).
        const std::string& location = host->GetStreamingSettings().m_location;
        if (!location.empty())
            path += "/locations/" + location;
        const std::string& environment = host->GetStreamingSettings().m_environment;
        if (!environment.empty()) {
            path +=
                "/agent/environments/" + environment + "/users/-/sessions/" + host->GetDialogId();
        } else {
            path += "/agent/sessions/" + host->GetDialogId();
        }
        host->SetSessionPath(path);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, Api::kSessionLogLine, path.c_str(),
                LogId(), "zeph");
    }

    bool BuildSpeechRequest() override {
        StreamHost* host = GetHost();
        std::shared_ptr<const GrammarRef> grammar = host->GetSpeechGrammar();
        const StreamingRecogSettings& settings = host->GetStreamingSettings();
        Request& request = NewRequest();
        SetOutputAudioConfig(request);
        ApplyQueryParameters(request, FirstRequestKind::Audio, grammar.get());
        const SpeechContext* context = InitStreamingSettings();
        auto* config = request.mutable_query_input()->mutable_audio_config();
        config->set_audio_encoding(
            static_cast<decltype(config->audio_encoding())>(1));  // LINEAR_16
        config->set_sample_rate_hertz(host->GetSamplingRate());
        config->set_language_code(settings.m_language);
        config->set_single_utterance(settings.m_singleUtterance);
        config->set_enable_word_info(settings.m_wordInfo);
        SetModel(config, Api::ParseModelVariant);
        config->clear_speech_contexts();
        if (context && !context->m_phrases.empty()) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Speech Context [%s] <%s@%s>",
                    context->m_id.c_str(), LogId(), "zeph");
            for (const auto& entry : context->m_phrases) {
                auto* speechContext = config->add_speech_contexts();
                speechContext->add_phrases(entry.second.m_phrase);
                if (entry.second.m_weight >= 0)
                    speechContext->set_boost(entry.second.m_weight);
            }
        }
        return true;
    }

    bool BuildDtmfRequest(const std::string& digits) override {
        StreamHost* host = GetHost();
        std::shared_ptr<const GrammarRef> grammar = host->GetDtmfGrammar();
        const std::string& language = host->GetStreamingSettings().m_language;
        Request& request = NewRequest();
        ApplyQueryParameters(request, FirstRequestKind::Dtmf, grammar.get());
        bool asEvent = grammar->m_builtinGrammar &&
                       grammar->m_builtinGrammar->m_input == BuiltinGrammar::INPUT_EVENT;
        if (asEvent) {
            auto* event = request.mutable_query_input()->mutable_event();
            event->set_name(digits);
            event->set_language_code(language);
        } else {
            auto* text = request.mutable_query_input()->mutable_text();
            text->set_text(digits);
            text->set_language_code(language);
        }
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Init DTMF Request: name=%s, digits=%s, language=%s, input=%s <%s@%s>",
                grammar->m_name.c_str(), digits.c_str(), language.c_str(),
                asEvent ? "event" : "text", LogId(), "zeph");
        return true;
    }

    bool BuildEventRequest() override {
        StreamHost* host = GetHost();
        std::shared_ptr<const GrammarRef> grammar = host->GetEventGrammar();
        const std::string& language = host->GetStreamingSettings().m_language;
        Request& request = NewRequest();
        ApplyQueryParameters(request, FirstRequestKind::Event, nullptr);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Init Event Request: name=%s, language=%s <%s@%s>", grammar->m_name.c_str(),
                language.c_str(), LogId(), "zeph");
        auto* event = request.mutable_query_input()->mutable_event();
        event->set_name(grammar->m_name);
        event->set_language_code(language);
        AddEventParameters(grammar->m_params, event, Scope());
        return true;
    }

    void BuildAudioRequest(const char* data, size_t size) override {
        Request& request = m_typedCall->GetRequest();
        // The output audio config, when the first request set it, stays in every request.
        request.clear_session();
        request.clear_query_input();
        request.clear_query_params();
        // Into the buffer of the block before: no allocation per block.
        request.mutable_input_audio()->assign(data, size);
    }

    void LogReceivedResponse(bool ok) override {
        const Response& response = m_typedCall->GetResponse();
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Received Response: status [%d] id [%s] recog result [%d] query result [%d] "
                "webhook status [%d] output audio [%d bytes] <%s@%s>",
                ok ? 1 : 0, response.response_id().c_str(),
                response.has_recognition_result() ? 1 : 0, response.has_query_result() ? 1 : 0,
                response.has_webhook_status() ? 1 : 0,
                static_cast<int>(response.output_audio().size()), LogId(), "zeph");
    }

    void ReadResponse(StreamResponse& out) override {
        const Response& response = m_typedCall->GetResponse();
        if (response.has_recognition_result())
            ReadRecognitionResult(response.recognition_result(), out);
        out.m_hasQueryResult = response.has_query_result();
        if (response.has_webhook_status()) {
            out.m_hasWebhookStatus = true;
            out.m_webhookCode = response.webhook_status().code();
            out.m_webhookMessage = response.webhook_status().message();
        }
        out.m_outputAudio = response.output_audio();
    }

    void KeepQueryResult(std::string& json) override {
        m_queryResult = m_typedCall->GetResponse().query_result();
        ComposeJsonQueryResult(m_queryResult, true, json);
    }

    bool GetQueryText(std::string& text) override { return RecognizedText(m_queryResult, text); }

    bool IsEmptyResult() override { return m_queryResult.query_text().empty(); }

    long GetAudioCap() override { return GetHost()->GetStreamingSettings().m_audioCapEs; }

    RecogResult ComposeRecogResult() override {
        return Zeph::ComposeRecogResult(GetHost()->GetResultsSettings(), m_queryResult,
                                        GetResultInput());
    }

private:
    // A fresh first request with the session path.
    Request& NewRequest() {
        Request& request = m_typedCall->GetRequest();
        request.Clear();
        request.set_session(GetHost()->GetSessionPath());
        return request;
    }

    Stub* m_stub;
    Call* m_typedCall = nullptr;  // the current call (owned by the engine)
    QueryResult m_queryResult;    // the kept one
};

}  // namespace Zeph
