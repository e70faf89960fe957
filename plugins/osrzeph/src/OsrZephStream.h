// The streaming detect-intent engine: one bidirectional StreamingDetectIntent call per
// recognition, written once for every API flavour.
//
// StreamingMethod owns the stream state machine (create, first request, one write at a time
// from the pending-audio list, half-close, a read always outstanding, finish, restart,
// cancel) and the read side that turns responses into channel calls. A flavour derives from
// it and only says how to build its requests and how to read its responses
// (StreamingMethod's pure virtual "flavour" operations); TypedStreamCall adapts the
// generated asynchronous reader-writer of a flavour to StreamCall.
//
// The method also replaces the call of a recognition by a new one, the channel unaware:
// - a call refused as unavailable before any answer is started again after a back-off
//   (OsrZephStreamRetry.h) and sends the same first request and every byte of audio the
//   refused one carried (kept until the first answer), then the audio that waited. During
//   the back-off the context stays active and no call exists;
// - a call that nears the service's audio cap having carried nothing (no speech yet) is
//   cancelled, finished and followed at once by a new one; so is such a call older than
//   half the cap when speech starts, so that the utterance has room.
// Audio arriving meanwhile waits in the pending-audio list: nothing is lost. Speech still
// going on as the cap nears ends the input there (StreamHost::EndInputAtCap), and the
// service answers what it heard.
//
// Lifetime: a method lives until every operation it started has completed and its
// completion has been processed (or refused by a processor that is shutting down). Each
// started operation counts as in flight; while the count is above zero the method holds a
// reference to itself, so the channel may release it at any time. A method whose context
// was cleared, or that was detached from its channel, never touches the channel again: its
// remaining completions only end the call (cancel and Finish) and free it.
//
// Threads: everything here runs on the engine's event processor thread, except
// StreamCall's gRPC calls' completions, which the completion-queue thread only posts
// (MethodBase::SignalGrpcEvent). A method destroyed by a refused completion after the
// processor has ended is destroyed on the thread that released it; nothing runs then.
#pragma once

#include <grpcpp/client_context.h>
#include <grpcpp/completion_queue.h>
#include <grpcpp/support/async_stream.h>
#include <grpcpp/support/status.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <ostedpf/OstEdpfTimer.h>
#include <ostrin/apt_log.h>

#include "OsrZephDataChunk.h"
#include "OsrZephLog.h"
#include "OsrZephQueryParams.h"
#include "OsrZephResult.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStub.h"

namespace Zeph {

// One call of one stream: its client context, its final status and the flavour's typed
// reader-writer with the request and response it reuses.
class StreamCall {
public:
    virtual ~StreamCall() = default;

    grpc::ClientContext& GetContext() { return m_context; }
    const grpc::Status& GetStatus() const { return m_status; }

    // Prepares the call on `queue`; FALSE when gRPC gives no stream object.
    virtual bool Prepare(grpc::CompletionQueue* queue) = 0;
    virtual void StartCall(void* tag) = 0;
    // Writes the current request.
    virtual void Write(void* tag) = 0;
    virtual void WritesDone(void* tag) = 0;
    // Reads into a cleared response, so that a failed read leaves nothing stale behind.
    virtual void Read(void* tag) = 0;
    virtual void Finish(void* tag) = 0;

protected:
    grpc::ClientContext m_context;
    grpc::Status m_status;
};

// StreamCall over a generated stub: Stub::PrepareAsyncStreamingDetectIntent.
template <class Stub, class Request, class Response>
class TypedStreamCall : public StreamCall {
public:
    explicit TypedStreamCall(Stub* stub) : m_stub(stub) {}

    bool Prepare(grpc::CompletionQueue* queue) override {
        m_stream = m_stub->PrepareAsyncStreamingDetectIntent(&m_context, queue);
        return m_stream != nullptr;
    }
    void StartCall(void* tag) override { m_stream->StartCall(tag); }
    void Write(void* tag) override { m_stream->Write(m_request, tag); }
    void WritesDone(void* tag) override { m_stream->WritesDone(tag); }
    void Read(void* tag) override {
        m_response.Clear();
        m_stream->Read(&m_response, tag);
    }
    void Finish(void* tag) override { m_stream->Finish(&m_status, tag); }

    Request& GetRequest() { return m_request; }
    const Response& GetResponse() const { return m_response; }

private:
    Stub* m_stub;
    std::unique_ptr<grpc::ClientAsyncReaderWriter<Request, Response>> m_stream;
    Request m_request;
    Response m_response;
};

// One response read into flavour-neutral terms.
struct StreamResponse {
    enum RecognitionKind { RECOGNITION_NONE, RECOGNITION_OTHER, TRANSCRIPT, END_OF_UTTERANCE };
    struct Word {
        std::string m_word;
        int64_t m_startSeconds = 0;
        int32_t m_startMillis = 0;
        int64_t m_endSeconds = 0;
        int32_t m_endMillis = 0;
    };

    RecognitionKind m_recognition = RECOGNITION_NONE;
    std::string m_transcript;
    float m_confidence = 0;
    bool m_isFinal = false;
    int64_t m_endSeconds = 0;
    int32_t m_endMillis = 0;
    std::vector<Word> m_words;
    // The response carries a query result; a final one (ES always, CX unless PARTIAL) is
    // the recognition's answer, which later ones do not replace.
    bool m_hasQueryResult = false;
    bool m_queryResultFinal = true;
    bool m_hasWebhookStatus = false;
    int m_webhookCode = 0;
    std::string m_webhookMessage;
    std::string m_outputAudio;
};

// A flavour's StreamingRecognitionResult into `out` (every flavour has the same fields).
template <class RecognitionResult>
void ReadRecognitionResult(const RecognitionResult& result, StreamResponse& out) {
    switch (static_cast<int>(result.message_type())) {
        case 1:  // TRANSCRIPT
            out.m_recognition = StreamResponse::TRANSCRIPT;
            break;
        case 2:  // END_OF_SINGLE_UTTERANCE
            out.m_recognition = StreamResponse::END_OF_UTTERANCE;
            break;
        default:
            out.m_recognition = StreamResponse::RECOGNITION_OTHER;
            break;
    }
    out.m_transcript = result.transcript();
    out.m_confidence = result.confidence();
    out.m_isFinal = result.is_final();
    out.m_endSeconds = result.speech_end_offset().seconds();
    out.m_endMillis = result.speech_end_offset().nanos() / 1000000;
    for (const auto& info : result.speech_word_info()) {
        StreamResponse::Word word;
        word.m_word = info.word();
        word.m_startSeconds = info.start_offset().seconds();
        word.m_startMillis = info.start_offset().nanos() / 1000000;
        word.m_endSeconds = info.end_offset().seconds();
        word.m_endMillis = info.end_offset().nanos() / 1000000;
        out.m_words.push_back(std::move(word));
    }
}

class StreamingMethod : public MethodBase, public OstEdpf::TimerHandler {
public:
    static const char* const sm_Name;

    // `host` is the recognition this method serves (the channel's, when `channel` is set);
    // it must stay valid until the method is detached from its channel or shut down, or
    // its last completion has been processed. Completions go through `queue` and are
    // processed on `processor`, which also runs the method's timers.
    StreamingMethod(Channel* channel, StreamHost* host, grpc::CompletionQueue* queue,
                    OstEdpf::AsyncEventTimerProcessor* processor, long streamCreationTimeout);
    ~StreamingMethod() override;

    // ---- MethodBase -----------------------------------------------------------------------
    bool Validate() override;
    bool Invoke() override;
    void Clear() override;
    bool ProcessNoInput() override;
    bool ProcessStop() override;
    bool ProcessStartOfSpeechInput() override;
    bool ProcessSpeechInput(DataChunk& chunk, bool last) override;
    bool ProcessDtmfInput(const std::string& digits, bool matched) override;
    bool ProcessGrpcEvent(Tag* tag, bool ok) override;
    std::string GetName() const override { return sm_Name; }
    // After the channel detached the method (its destruction), the call is ended without
    // it: cancelled, finished, and nothing calls back.
    bool Cancel() override;
    int GetStreamRetries() const override { return m_retries; }

    // The host goes away (the channel's destruction; Cancel() after DetachChannel() comes
    // here): the call is cancelled and finished without it, and nothing calls back.
    void Detach();

    // The engine is shutting down: no completion will be processed any more. Cancels the
    // call and completes an open recognition with error (006) at once; the host is not
    // used afterwards.
    void Shutdown();

    virtual bool CreateContext();
    void OnTimeoutElapsed(OstEdpf::Timer* timer) override;

    // ---- State the channel and tests read -----------------------------------------------
    bool IsStreamCreated() const { return m_streamCreated; }
    bool IsConfigSent() const { return m_configSent; }
    bool IsInputCompleteSent() const { return m_inputCompleteSent; }
    bool IsFinishing() const { return m_finishing; }

protected:
    // ---- Flavour operations ---------------------------------------------------------------
    // A new call (context, reader-writer, request, response) on the flavour's stub.
    virtual std::shared_ptr<StreamCall> NewCall() = 0;
    // Composes, stores (host) and logs the session path.
    virtual void ComposeSessionPath() = 0;
    // First requests: fill the call's request completely (log lines included). FALSE when
    // the needed grammar is missing.
    virtual bool BuildSpeechRequest() = 0;
    virtual bool BuildDtmfRequest(const std::string& digits) = 0;
    virtual bool BuildEventRequest() = 0;
    // Turns the request into the next audio request carrying `data`.
    virtual void BuildAudioRequest(const char* data, size_t size) = 0;
    // "Received Response: ..." for the response just read (empty after a failed read).
    virtual void LogReceivedResponse(bool ok) = 0;
    // Reads the response just read into neutral terms.
    virtual void ReadResponse(StreamResponse& response) = 0;
    // Keeps the query result of the response just read as the recognition's (replacing one
    // kept before); its JSON text into `json`. A new call starts with none kept.
    virtual void KeepQueryResult(std::string& json) = 0;
    // After the read side ended, with input complete and a query result kept: the text of
    // the query; FALSE leaves the stored input as it is (CX: a triggered intent or event).
    virtual bool GetQueryText(std::string& text) = 0;
    // TRUE when the kept result has no transcript, for "skip-empty-results".
    virtual bool IsEmptyResult() = 0;
    // The result of the kept query result (cause, confidence, content type and body).
    virtual RecogResult ComposeRecogResult() = 0;
    // The service's cap on the audio of one stream of this flavour, in ms.
    virtual long GetAudioCap() = 0;

    // ---- For the flavours -----------------------------------------------------------------
    StreamHost* GetHost() const { return m_host; }
    StreamCall* GetCall() const { return m_call.get(); }
    const char* LogId() const { return m_logId.c_str(); }
    // What the recognition adds to its result besides the query result.
    RecogResultInput GetResultInput() const;

    // Steps of an audio first request that every flavour takes the same way.
    // The output audio config, when the recognition asks for output audio.
    template <class Request>
    void SetOutputAudioConfig(Request& request) {
        if (!m_host->GetStreamingSettings().m_generateOutputAudio)
            return;
        int rate = m_host->GetSamplingRate();
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Enable Output Audio: encoding=%d, sampling-rate=%d <%s@%s>", 1, rate, LogId(),
                "zeph");
        auto* output = request.mutable_output_audio_config();
        output->set_audio_encoding(
            static_cast<decltype(output->audio_encoding())>(1));  // LINEAR_16
        output->set_sample_rate_hertz(rate);
    }
    // The channel's query parameters, then (audio and DTMF) the grammar's built-in and
    // JSON ones.
    template <class Request>
    void ApplyQueryParameters(Request& request, FirstRequestKind kind, const GrammarRef* grammar) {
        static const GrammarParams kNone;
        ComposeQueryParameters(kind, m_host->GetQueryParams(), grammar ? grammar->m_params : kNone,
                               grammar ? grammar->m_queryParamsText : std::string(), &request,
                               Scope());
    }
    // The session names in query parameters are completed against, and the log suffix.
    QueryScope Scope() const {
        QueryScope scope;
        scope.sessionPath = m_host->GetSessionPath();
        scope.channelId = LogId();
        return scope;
    }
    // The speech context's language replaces the channel's; logs the request's audio
    // settings. Returns the speech grammar's context (may be null).
    const SpeechContext* InitStreamingSettings();
    // Model and model variant of an input audio config; `parse` maps a variant name to the
    // flavour's enum value (FALSE: unknown).
    template <class AudioConfig, class Parse>
    void SetModel(AudioConfig* config, Parse parse) {
        const StreamingRecogSettings& settings = m_host->GetStreamingSettings();
        if (!settings.m_model.empty()) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Model [%s] <%s@%s>",
                    settings.m_model.c_str(), LogId(), "zeph");
            config->set_model(settings.m_model);
        }
        if (settings.m_modelVariant.empty())
            return;
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Model Variant [%s] <%s@%s>",
                settings.m_modelVariant.c_str(), LogId(), "zeph");
        int variant = 0;
        if (parse(settings.m_modelVariant, &variant)) {
            config->set_model_variant(static_cast<decltype(config->model_variant())>(variant));
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Model Variant [%s] <%s@%s>", settings.m_modelVariant.c_str(), LogId(),
                    "zeph");
        }
    }

    // The steps of the first requests that are the same for every flavour.
    bool InitiateSpeechRequest();
    bool InitiateDtmfRequest(const std::string& digits);
    bool InitiateEventRequest();

private:
    // A new call for the recognition (the first, a restart, a retry or a replacement): the
    // per-call state starts over. FALSE (logged) when gRPC gives no stream.
    bool StartCall();
    bool SendConfig();
    // Sends the chunk (a replayed one is neither counted nor written to the utterance again)
    // and keeps it for a retry while the call has no answer.
    bool SendInput(DataChunk chunk, bool replay);
    bool SendInputComplete();
    void FinishStreaming();

    void OnCreateStream(bool ok);
    void OnWrite(bool ok);
    void OnWritesDone(bool ok);
    void OnRead(bool ok);
    void OnFinishStream(bool ok);

    void ProcessResponse(const StreamResponse& response);
    void ProcessFinalResponse();

    // ---- Replacing the call ----------------------------------------------------------------
    // The read side ended before any answer: TRUE when the call's status, read at its
    // finish, may still bring a retry.
    bool MayRetry() const;
    // At the finish of a call refused before any answer: waits for the next attempt; FALSE
    // when the status or the budget allows none.
    bool RetryAfterRefusal();
    // Cancels and finishes a call that has carried nothing; its finish starts the next.
    void RenewIdleCall();
    // The call nears the audio cap.
    void OnNearAudioCap();
    // A new call could not be started between two calls: the recognition fails.
    void FailBetweenCalls();
    // Waiting for a call to be replaced: input waits in the pending-audio list.
    bool IsReplacing() const {
        return m_retryOnFinish || m_renewOnFinish || (m_contextActive && !m_call);
    }
    long CallAgeMs() const;

    // Completions of a call whose context was cleared: end it and let it go.
    void DrainCall(Tag* tag);
    bool IsWriting() const { return m_writingTag.m_pending || m_writesDoneTag.m_pending; }
    bool IsAttached() const { return m_host != nullptr; }

    void StartTimer(OstEdpf::Timer*& timer, long ms);
    void StopTimer(OstEdpf::Timer*& timer);
    void StopTimers();

    StreamHost* m_host;
    std::string m_logId;  // the channel id, copied: a detached method still logs with it
    grpc::CompletionQueue* m_queue;
    OstEdpf::AsyncEventTimerProcessor* m_processor;
    long m_streamCreationTimeout;
    std::shared_ptr<StreamCall> m_call;

    // Started in CreateContext when a creation timeout is set.
    OstEdpf::Timer* m_creationTimer = nullptr;
    // Started at the half-close: the service must end the stream within the result timeout.
    OstEdpf::Timer* m_resultTimer = nullptr;
    // Started with each call: fires the margin before the service's audio cap.
    OstEdpf::Timer* m_capTimer = nullptr;
    // The back-off before the next attempt at a refused call.
    OstEdpf::Timer* m_retryTimer = nullptr;

    // ---- Replacement --------------------------------------------------------------------
    // The read side ended before any answer: the finish reads the status and may retry.
    bool m_retryOnFinish = false;
    // An idle call was cancelled to be replaced: its finish starts the next.
    bool m_renewOnFinish = false;
    // The current call has read a response: it is no longer retried.
    bool m_answered = false;
    // Audio sent on the current call, kept for a retry until its first answer; dropped (and
    // the call no longer retried) beyond kRetryBufferMs.
    std::list<DataChunk> m_sentAudio;
    uint64_t m_sentAudioBytes = 0;
    bool m_keepSentAudio = true;
    // Audio of a refused call that the next one sends again, before the pending audio.
    std::list<DataChunk> m_replayAudio;
    // Retries of the recognition (for its record) and of the current turn (its budget).
    int m_retries = 0;
    int m_turnRetries = 0;
    std::chrono::steady_clock::time_point m_firstRefusal;
    std::chrono::steady_clock::time_point m_callStart;
    // The cap ended the input: the stream ends by itself after the half-close.
    bool m_inputEndedAtCap = false;

    // Per stream; a restart starts them over.
    bool m_streamCreated = false;
    bool m_configSent = false;
    bool m_inputCompleteSent = false;
    bool m_finishing = false;
    // Clear() came before the first request: the call is cancelled and finished.
    bool m_clearing = false;
    // The call was cancelled. Its creation may still complete ok (the cancel came after gRPC
    // had started it), but it will never carry a request.
    bool m_cancelled = false;
    // The utterance's final transcripts, concatenated as they came, and the lowest
    // confidence among those that carried one (0: none did).
    std::string m_finalTranscript;
    float m_finalConfidence = 0.0f;
    // A final query result is kept: later ones (the output audio's messages) do not replace
    // it.
    bool m_finalResultKept = false;
    // Per recognition: which first request went out.
    enum RequestType { REQUEST_NONE, REQUEST_AUDIO, REQUEST_DTMF, REQUEST_EVENT };
    RequestType m_requestType = REQUEST_NONE;
    // The read side ended without a result: the final status decides the cause, and a
    // failed one is the Completion-Reason.
    bool m_causeByStatus = false;
    // The call failed to start: only its status tells why (no connection, TLS, credentials),
    // so the error is reported when the finish has brought it.
    bool m_errorByStatus = false;
    // Per recognition: the cause of a result timeout wins over no-match.
    bool m_resultTimedOut = false;
    // The engine is shutting down: no completion will be processed any more.
    bool m_shutdown = false;

    // Created for a channel: a channel that detached the method took the host with it.
    bool m_hasChannel;
};

}  // namespace Zeph
