// One MRCP recognizer channel, and the events that carry the server's calls for it to the
// engine's event processor.
#pragma once

#include <grpcpp/channel.h>

#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <ostedpf/OstEdpfAsyncEvent.h>
#include <ostedpf/OstEdpfTimer.h>
#include <ostrin/mrcp_engine.h>

#include "OsrGrammar.h"
#include "OsrRdrManager.h"
#include "OsrUtteranceManager.h"
#include "OsrZephConnectionPool.h"
#include "OsrZephDataChunk.h"
#include "OsrZephEngine.h"
#include "OsrZephGrammarSet.h"
#include "OsrZephMediaBatch.h"
#include "OsrZephRecogParams.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStub.h"
#include "mpf_sdi_detector.h"

namespace Zeph {

class Channel;

// What a ChannelEvent asks of its channel.
enum TaskMsgType {
    TASK_MSG_OPEN = 0,      // server's channel open: Channel::Open()
    TASK_MSG_CLOSE = 1,     // server's channel close: Channel::Close()
    TASK_MSG_REQUEST = 2,   // server's request: Channel::ProcessRequest(request)
    TASK_MSG_NO_INPUT = 3,  // detector's no-input timeout
    TASK_MSG_STOP = 4       // detector carried out a stop
};

// Posted from the server's (or the media) thread; processed on the engine's event
// processor thread. Frees nothing: the message belongs to the server. The channel outlives
// the event: it is deleted only by the event that Engine::DestroyChannel posts behind every
// event already posted for it.
class ChannelEvent : public OstEdpf::AsyncEvent {
public:
    ChannelEvent(Channel* channel, TaskMsgType type, mrcp_message_t* message)
        : m_channel(channel), m_type(type), m_message(message) {}
    void Process() override;

    TaskMsgType GetType() const { return m_type; }
    mrcp_message_t* GetMessage() const { return m_message; }

private:
    Channel* m_channel;
    TaskMsgType m_type;
    mrcp_message_t* m_message;
};

// Detector output on its way from the media thread to the event processor, inside a
// MediaItem (a block of speech needs no event: the item carries it). Each holds its channel
// (not owned; the channel outlives every event posted for it).
class ChannelStartOfInputEvent : public OstEdpf::AsyncEvent {
public:
    ChannelStartOfInputEvent(Channel* channel, mpf_sdi_mode_e mode)
        : m_channel(channel), m_mode(mode) {}
    void Process() override;

private:
    Channel* m_channel;
    mpf_sdi_mode_e m_mode;
};

class ChannelDtmfInputEvent : public OstEdpf::AsyncEvent {
public:
    ChannelDtmfInputEvent(Channel* channel, std::string digits, bool matched)
        : m_channel(channel), m_matched(matched), m_digits(std::move(digits)) {}
    void Process() override;

private:
    Channel* m_channel;
    bool m_matched;
    std::string m_digits;
};

class ChannelDtmfEvent : public OstEdpf::AsyncEvent {
public:
    ChannelDtmfEvent(Channel* channel, char digit) : m_channel(channel), m_digit(digit) {}
    void Process() override;

private:
    Channel* m_channel;
    char m_digit;
};

// Created by Engine::CreateChannel and deleted through Engine::DestroyChannel, on the event
// processor thread behind every event posted for it.
//
// Threads:
// - Server thread: construction, SetHostChannel, the method table (SignalEvent only).
// - Media thread: Write and the detector's handlers (they copy and post, nothing else).
// - Event processor thread: ProcessEvent and everything it runs, the operations the method
//   objects call, OnTimeoutElapsed, Dump, destruction. All channel state belongs to this
//   thread and has no lock.
// The channel id is copied before the open is posted (the server names the channel after
// creating it): once the server's destroy entry has returned, its pool (which holds the host
// channel record) is gone, and the destructor, a usage dump or an event still queued must not
// touch the record.
class Channel : public OstEdpf::TimerHandler, public StreamHost {
public:
    explicit Channel(Engine* engine);
    ~Channel() override;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Ends every channel log line: " <id@zeph>".
    static const char* const sm_Suffix;

    // The tables handed to the server at creation.
    static const mrcp_engine_channel_method_vtable_t* GetMethodVtable();
    static const mpf_audio_stream_vtable_t* GetAudioStreamVtable();

    // Server thread, right after creation: keeps the record and copies its id.
    void SetHostChannel(mrcp_engine_channel_t* hostChannel);
    // Server thread, at the open entry: copies the id the server has given the channel
    // (before the open event is posted, so the event processor sees it).
    void CopyHostId();
    // The destroy entry: the record is gone once it returns.
    void ForgetHostChannel() { m_hostChannel = nullptr; }
    mrcp_engine_channel_t* GetHostChannel() const { return m_hostChannel; }
    Engine* GetEngine() const { return m_engine; }
    // The server's channel id, as copied at creation.
    const char* GetId() const { return m_id.c_str(); }

    // Posts a ChannelEvent to the engine's processor. When the processor takes no more
    // events the call is answered at once (open failed, close done, request failed with
    // 407), so the server always gets its answer.
    bool SignalEvent(TaskMsgType type, mrcp_message_t* message);

    void ProcessEvent(const ChannelEvent& event);
    bool Open();
    bool Close();
    bool ProcessRequest(mrcp_message_t* request);

    // Audio written by the media thread.
    bool Write(const mpf_frame_t* frame);

    // Detector handlers (media thread): keep the input stats, hand the events to the
    // engine's media batch.
    void SetInputStats(const mpf_sdi_stats_t* stats);
    // A ChannelEvent (no input, stop) from the detector.
    void SignalDetectorEvent(TaskMsgType type);
    void SignalStartOfInput(mpf_sdi_mode_e mode);
    void SignalSpeechInputEvent(const void* bytes, uint64_t count, bool last);
    void SignalDtmfInputEvent(const char* digits, uint64_t count, bool matched);
    void SignalDtmfEvent(char digit);

    // Run by the detector events (event processor thread).
    bool ProcessStartOfInput(mpf_sdi_mode_e mode);
    bool ProcessSpeechInput(DataChunk& chunk, bool last);
    bool ProcessDtmfInput(const std::string& digits, bool matched);
    bool ProcessDtmfDigit(char digit);
    bool ProcessNoInput();

    void OnTimeoutElapsed(OstEdpf::Timer* timer) override;

    // One line of the channel dump: the channel id.
    void Dump(FILE* out) const;

    const CredentialsProfile& GetCredentials() const { return m_credentials; }

    // ---- Called by the method objects (event processor thread) ----------------------
    // The stream's view of the recognition (one per channel, for its current method).
    // Ends the recognition with `cause` (an MRCP recognizer completion cause) and, when both
    // are non-empty, a body of `contentType`. FALSE when nothing was sent (no active
    // request, a read still outstanding: the method calls again when it has completed).
    bool CompleteRecognition(int cause, const std::string& contentType,
                             const std::string& body) override;
    // An interim transcript arrived.
    void ProcessInterimResult(const std::string& text) override;
    // Audio returned by the service (a whole WAV file), saved as the output waveform.
    void ProcessOutputAudioData(const std::string& audio) override;
    // The streaming call failed.
    void ProcessError() override;
    // The detector carried out a stop (also the stop path of a skipped speech block).
    void ProcessStop() override;
    // Input is complete; FALSE when it already was.
    bool CompleteInput() override;
    // Replays a RECOGNIZE that waited for the previous call to finish; FALSE means the
    // caller sends `response` as it stands.
    bool Recognize(mrcp_message_t* request, mrcp_message_t* response);
    // Answers a close that waited for the method's call to finish.
    bool ProcessPendingClose();
    // The method's call has finished: a pending close is answered (and wins), otherwise
    // every deferred RECOGNIZE is replayed in order; each gets exactly one answer.
    void ProcessDeferred() override;
    // Adds Waveform-URI for the input waveform to `message`, when it has a URI.
    void SetWaveformUri(mrcp_message_t* message);
    // At completion: the turn's completion moment, its "Turn Timing" line and the engine's
    // timing statistics (once per recognition).
    void ReportTurnTiming();
    // Sets the status code and the Completion-Cause header.
    static void ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status,
                                mrcp_recog_completion_cause_e cause);
    // A value enclosed in double quotes at both ends (length at least 2) loses them.
    static std::string RemoveQuotes(const std::string& value);

    // Sends a message through the host channel's event table.
    bool SendMessage(mrcp_message_t* message);
    // START-OF-INPUT for the active request (Input-Type on MRCPv2), or null.
    mrcp_message_t* CreateStartOfInput(mpf_sdi_mode_e mode);
    // Appends caller audio to the utterance file when one is open.
    void WriteUtterance(const char* data, size_t size) override;
    void RecycleAudio(DataChunk&& chunk) override;
    // Closes the utterance file when one is open.
    void CloseUtterance() override;
    // Stops the detector's input unless it is complete; after a close (no detector) the
    // stop is carried out at once.
    void StopInput() override;
    void EndInputAtCap() override;
    void StopInterResultTimer() override;

    // ---- State the method objects read and write -------------------------------------
    const char* GetLogId() const override { return m_id.c_str(); }
    MethodBase* GetMethod() const { return m_method.get(); }
    // The gRPC channel to the endpoint of the current recognition (at open: of the
    // configured location); null before one is made.
    std::shared_ptr<grpc::Channel> GetGrpcChannel() const {
        return m_link ? m_link->m_grpcChannel : nullptr;
    }
    const std::string& GetProjectId() const override { return m_projectId; }
    const std::string& GetDialogId() const override { return m_sessionId; }
    const std::string& GetUserProject() const override { return m_userProject; }
    const std::string& GetSessionPath() const override { return m_sessionPath; }
    void SetSessionPath(const std::string& path) override { m_sessionPath = path; }
    // The Vendor-Specific-Parameters of the current RECOGNIZE, or null.
    const apt_pair_arr_t* GetQueryParams() const override { return m_queryParams; }
    // The RECOGNIZE in progress, or null when idle.
    mrcp_message_t* GetActiveRequest() const { return m_activeRequest; }
    bool HasDeferredRequest() const { return !m_deferredRequests.empty(); }
    // Takes the oldest deferred RECOGNIZE and its response off the channel (FALSE when none).
    bool TakeDeferredRequest(mrcp_message_t*& request, mrcp_message_t*& response);
    bool IsPendingClose() const { return m_pendingClose; }
    bool IsStreamRestart() const override { return m_streamRestart; }
    void SetStreamRestart(bool restart) override { m_streamRestart = restart; }
    bool IsFinishAfterWrites() const override { return m_finishAfterWrites; }
    void SetFinishAfterWrites(bool finish) override { m_finishAfterWrites = finish; }
    bool IsFinalResponsePending() const override { return m_finalResponsePending; }
    void SetFinalResponsePending(bool pending) override { m_finalResponsePending = pending; }
    std::list<DataChunk>& GetPendingAudio() override { return m_pendingAudio; }
    std::string& GetDtmfDigits() { return m_dtmfDigits; }
    // The grammars of the current recognition. The channel keeps them until the next
    // RECOGNIZE (or its destruction), so a close never takes them from a running method;
    // a method that outlives the channel keeps its own copies.
    std::shared_ptr<const GrammarRef> GetSpeechGrammar() const override { return m_speechGrammar; }
    std::shared_ptr<const GrammarRef> GetEventGrammar() const override { return m_eventGrammar; }
    std::shared_ptr<const GrammarRef> GetDtmfGrammar() const override { return m_dtmfGrammar; }
    mpf_sdi_detector_t* GetDetector() const { return m_detector; }
    // The record of the current recognition: settings, progress, results.
    RdrManager::RecognitionDetails& GetRecord() { return m_record; }
    StreamingRecogSettings& GetStreamingSettings() override { return m_record.m_streamingSettings; }
    const ResultsSettings& GetResultsSettings() const override {
        return m_record.m_resultsSettings;
    }
    int GetSamplingRate() const override { return m_record.m_samplingRate; }
    float GetConfidenceThreshold() const override { return m_record.m_confidenceThreshold; }
    int GetInputMode() const override { return m_record.m_inputMode; }
    bool IsSpeechInputStarted() const override { return m_record.m_speechInputStarted; }
    bool IsInputComplete() const override { return m_record.m_inputComplete; }
    void SetInputComplete() override { m_record.m_inputComplete = true; }
    const std::string& GetInputText() const override { return m_record.m_inputText; }
    // The terminating character when the last digit detected was it.
    char GetDtmfFinishDigit() const override {
        return m_dtmfTermChar != '\0' && !m_dtmfDigits.empty() &&
                       m_dtmfDigits.back() == m_dtmfTermChar
                   ? m_dtmfTermChar
                   : '\0';
    }
    void SetInputText(const std::string& text) override { m_record.m_inputText = text; }
    void SetConfidence(float confidence) override { m_record.m_confidence = confidence; }
    int GetCompletionCause() const override { return m_record.m_completionCause; }
    void SetCompletionReason(const std::string& reason) override {
        m_record.m_completionReason = reason;
    }
    void SetCompletionCause(int cause) override {
        m_record.m_completionCause = static_cast<mrcp_recog_completion_cause_e>(cause);
    }
    bool HasPendingStop() const override { return m_stopResponse != nullptr; }
    bool IsEndOfUtterance() const override { return m_record.m_endOfUtterance; }
    void SetEndOfUtterance() override {
        m_record.m_endOfUtterance = true;
        m_record.m_timeline.Mark(TurnTimeline::END_OF_SPEECH);
    }
    void SetStreamCreated() override { m_record.m_streamCreated = true; }
    void AddBytesSent(size_t size) override {
        m_record.m_bytesSent += size;
        m_record.m_timeline.Mark(TurnTimeline::FIRST_AUDIO_SENT);
    }
    void SetQueryResultText(const std::string& json) override {
        m_record.m_queryResults = json;
        if (!json.empty())
            m_record.m_timeline.Mark(TurnTimeline::FINAL_RESULT);
    }
    const std::string& GetQueryResultText() const override { return m_record.m_queryResults; }
    const std::string& GetOutputAudioUri() const override { return m_outputWaveform.m_uri; }
    void MarkStream(StreamMark mark) override;

private:
    // The engine's default profile, or the one of the "gapp-credentials-file" attribute.
    bool DetermineProfile();
    // Makes `endpoint` the current one: its link, set up when the channel has none yet
    // (then only the first endpoint's link is kept beside it). FALSE (logged) when the gRPC
    // channel or the stub cannot be made; a FALSE at open fails the open.
    bool UseEndpoint(const std::string& endpoint);
    // Sets up the gRPC channel to `endpoint` and the session stub as the current link.
    bool CreateGrpcChannel(const std::string& endpoint);
    bool CreateGrpcStub();
    // The channel's API flavour: its "api" attribute, else the configured one, else "v2".
    std::string GetApi() const;
    // The method of the next recognition.
    bool CreateMethod();
    // Lets go of the current method (cancelled when its call is active).
    void ReleaseMethod();
    void AnswerUnposted(TaskMsgType type, mrcp_message_t* message);
    // Media thread: hands the event to the engine's media batch.
    void Post(OstEdpf::AsyncEvent* event);
    // Copies the stats the media thread left into the record.
    void TakeInputStats();

    bool Stop(mrcp_message_t* request, mrcp_message_t* response);
    // Answers each deferred RECOGNIZE PENDING and drops it from the queue: the STOP that
    // calls this lists them as stopped, so none of them starts.
    void StopDeferred(mrcp_generic_header_t& stopList, mrcp_message_t* stopResponse);
    // SET-PARAMS changes the channel's defaults; GET-PARAMS reports them.
    void SetParams(mrcp_message_t* request, mrcp_message_t* response);
    void GetParams(mrcp_message_t* request, mrcp_message_t* response);
    // Logs each header of `refusal` and names it in `response`.
    void AnswerRefusal(const RecogParams::Refusal& refusal, mrcp_message_t* request,
                       mrcp_message_t* response);
    bool StartTimers(mrcp_message_t* request, mrcp_message_t* response);
    // ComposeResponse, and FALSE so that the caller sends the response.
    bool Fail(mrcp_message_t* response, mrcp_status_code_e status,
              mrcp_recog_completion_cause_e cause);
    void ResetRecognition();
    void ReadVendorParameters();
    // The session id as the service takes it (ServiceSessionId); a mapping is logged the
    // first time the channel meets its id.
    void UseServiceSessionId();
    void ReadGrammarParameters(const GrammarRef& grammar);
    void ReadBuiltinGrammarParameters(const GrammarParams& params);
    void SetGrammarParameter(const std::string& name, const std::string& value);
    bool SendStartOfInput(mpf_sdi_mode_e mode);
    void CloseInputWaveform();
    // What the channel still holds of requests is answered before its close response.
    void SendCloseResponse();
    // CompleteRecognition past the wait for an outstanding read.
    bool EndRecognition(int cause, const std::string& contentType, const std::string& body);
    void SendStopResponses();
    void AnswerHeldRequests();
    // Drops what the current recognition holds (audio, digits, timer, utterance file).
    void ReleaseRecognition();
    void DestroyDetector();

    Engine* m_engine;
    mrcp_engine_channel_t* m_hostChannel = nullptr;
    std::string m_id;
    CredentialsProfile m_credentials;
    // What the channel holds at one service endpoint: its place on one of the engine's
    // connections there, the gRPC channel and the session stub on it.
    struct ServiceLink {
        ConnectionLease m_connection;
        std::shared_ptr<grpc::Channel> m_grpcChannel;
        // One per API flavour; at most one is set.
        std::shared_ptr<StubBase> m_v2Stub;
        std::shared_ptr<StubBase> m_v2beta1Stub;
        std::shared_ptr<StubBase> m_v3beta1Stub;
    };
    // By endpoint: the first endpoint's link (made at open) and the latest other one, so
    // that recognitions alternating between two regions keep their connections while ones
    // that wander through many regions do not pile them up. Declared before the method:
    // stubs outlive the channel's reference to its method.
    std::map<std::string, ServiceLink> m_links;
    std::string m_firstEndpoint;
    ServiceLink* m_link = nullptr;  // the current recognition's, in m_links
    std::shared_ptr<MethodBase> m_method;
    std::string m_projectId;
    std::string m_sessionId;
    // The last session id too long for the service, logged with its mapping once.
    std::string m_longSessionId;
    std::string m_userProject;
    std::string m_sessionPath;
    const apt_pair_arr_t* m_queryParams = nullptr;
    OstEdpf::Timer* m_interResultTimer = nullptr;
    mrcp_message_t* m_activeRequest = nullptr;
    mrcp_message_t* m_stopResponse = nullptr;
    // Further STOPs of the same recognition, answered right after the first.
    std::vector<mrcp_message_t*> m_laterStopResponses;
    // RECOGNIZE requests (with their responses) that wait for the previous call to finish,
    // oldest first; each gets exactly one answer.
    std::deque<std::pair<mrcp_message_t*, mrcp_message_t*>> m_deferredRequests;
    bool m_pendingClose = false;
    bool m_streamRestart = false;
    bool m_finishAfterWrites = false;
    bool m_finalResponsePending = false;
    // This recognition asked the detector to stop: only then is a stop it reports this
    // recognition's (one of an earlier recognition may still be on its way).
    bool m_detectorStopRequested = false;
    // The stream's audio cap ended this recognition's input: its result says so, as at the
    // recognition timeout.
    bool m_inputEndedAtCap = false;
    mpf_sdi_detector_t* m_detector = nullptr;
    // The detector's own pool: a channel destroyed without a close is deleted on the
    // processor's thread after the server has already freed the channel's pool.
    apr_pool_t* m_detectorPool = nullptr;
    std::list<DataChunk> m_pendingAudio;
    std::string m_dtmfDigits;
    char m_dtmfTermChar = '\0';  // the recognition's DTMF-Term-Char; NUL: none
    // The channel's defaults: the configuration's, changed by SET-PARAMS.
    RecogParams m_defaults;
    // The current recognition's copy of the defaults with its headers and grammar
    // parameters; never written back.
    RecogParams m_recognition;
    // Names, paths and files of one recognition; renewed at each RECOGNIZE so that a long
    // call does not grow the channel's pool.
    apr_pool_t* m_recognitionPool = nullptr;
    UtteranceManager::WaveFile m_inputWaveform;
    UtteranceManager::WaveFile m_outputWaveform;
    RdrManager::RecognitionDetails m_record;
    GrammarSet m_grammars;
    std::shared_ptr<const GrammarRef> m_speechGrammar;
    std::shared_ptr<const GrammarRef> m_eventGrammar;
    std::shared_ptr<const GrammarRef> m_dtmfGrammar;
    // Input stats the detector handed over on the media thread, until the event processor
    // takes them into the record.
    std::mutex m_statsMutex;
    mpf_sdi_stats_t m_mediaStats{};
    bool m_mediaStatsFresh = false;
    // Media thread: the tick of the engine's media batch this channel was last written in.
    uint64_t m_mediaTick = UINT64_MAX;
};

}  // namespace Zeph
