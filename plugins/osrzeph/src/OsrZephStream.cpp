#include "OsrZephStream.h"

#include <algorithm>
#include <cstdlib>
#include <random>

#include <absl/status/status.h>
#include <ostrin/apt_log.h>
#include <ostrin/mrcp_message.h>

#include "OsrZephLog.h"
#include "OsrZephStreamRetry.h"
#include "mpf_sdi_util.h"

namespace Zeph {

namespace {

const char* const kSuffix = "zeph";

// gRPC's codes are Abseil's, whose names ("UNAVAILABLE", ...) are the ones the service uses.
std::string StatusCodeName(grpc::StatusCode code) {
    std::string name = absl::StatusCodeToString(static_cast<absl::StatusCode>(code));
    return name.empty() ? "UNKNOWN" : name;
}

}  // namespace

const char* const StreamingMethod::sm_Name = "StreamingDetectIntent";

StreamingMethod::StreamingMethod(Channel* channel, StreamHost* host, grpc::CompletionQueue* queue,
                                 OstEdpf::AsyncEventTimerProcessor* processor,
                                 long streamCreationTimeout)
    : MethodBase(channel, processor),
      m_host(host),
      m_logId(host ? host->GetLogId() : ""),
      m_queue(queue),
      m_processor(processor),
      m_streamCreationTimeout(streamCreationTimeout),
      m_hasChannel(channel != nullptr) {}

StreamingMethod::~StreamingMethod() {
    // Only reached with nothing in flight; a timer still set would call back into a freed
    // method.
    StopTimers();
}

RecogResultInput StreamingMethod::GetResultInput() const {
    auto fill = [](const GrammarRef* grammar, ResultGrammar& out) {
        if (!grammar)
            return;
        out.m_text = grammar->GetText();
        out.m_builtin = grammar->m_builtinGrammar;
    };
    RecogResultInput input;
    fill(m_host->GetSpeechGrammar().get(), input.m_speechGrammar);
    fill(m_host->GetDtmfGrammar().get(), input.m_dtmfGrammar);
    fill(m_host->GetEventGrammar().get(), input.m_eventGrammar);
    input.m_inputMode = static_cast<mpf_sdi_mode_e>(m_host->GetInputMode());
    input.m_confidenceThreshold = m_host->GetConfidenceThreshold();
    input.m_transcript = m_finalTranscript;
    input.m_finalConfidence = m_finalConfidence;
    input.m_outputAudioUri = m_host->GetOutputAudioUri();
    input.m_channelId = LogId();
    return input;
}

const SpeechContext* StreamingMethod::InitStreamingSettings() {
    std::shared_ptr<const GrammarRef> grammar = m_host->GetSpeechGrammar();
    const SpeechContext* context = grammar ? grammar->GetSpeechContext() : nullptr;
    StreamingRecogSettings& settings = m_host->GetStreamingSettings();
    if (context && !context->m_language.empty())
        settings.m_language = context->m_language;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Init Streaming Request: encoding=%d, sampling-rate=%d, language=%s, "
            "single-utterance=%d, word-info=%d <%s@%s>",
            1, m_host->GetSamplingRate(), settings.m_language.c_str(),
            settings.m_singleUtterance ? 1 : 0, settings.m_wordInfo ? 1 : 0, LogId(), kSuffix);
    return context;
}

bool StreamingMethod::Validate() {
    if (!IsAttached())
        return false;
    if (m_host->GetProjectId().empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Project Id Specified <%s@%s>",
                LogId(), kSuffix);
        return false;
    }
    if (m_host->GetDialogId().empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Dialog Id Specified <%s@%s>",
                LogId(), kSuffix);
        return false;
    }
    return true;
}

bool StreamingMethod::Invoke() {
    if (!IsAttached())
        return false;
    ComposeSessionPath();
    return CreateContext();
}

bool StreamingMethod::CreateContext() {
    if (m_contextActive || !IsAttached() || m_shutdown)
        return false;
    // A new turn has a retry budget of its own.
    m_turnRetries = 0;
    m_replayAudio.clear();
    if (!StartCall())
        return false;
    m_contextActive = true;
    return true;
}

bool StreamingMethod::StartCall() {
    // Only after the previous call's last completion.
    m_call = NewCall();
    m_streamCreated = false;
    m_configSent = false;
    m_inputCompleteSent = false;
    m_finishing = false;
    m_clearing = false;
    m_cancelled = false;
    m_finalTranscript.clear();
    m_finalConfidence = 0.0f;
    m_finalResultKept = false;
    m_answered = false;
    m_keepSentAudio = true;
    m_sentAudio.clear();
    m_sentAudioBytes = 0;

    const std::string& userProject = m_host->GetUserProject();
    if (!userProject.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Set gRPC Meta Data [x-goog-user-project] to [%s] <%s@%s>", userProject.c_str(),
                LogId(), kSuffix);
        m_call->GetContext().AddMetadata("x-goog-user-project", userProject);
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "gRPC Streaming Detect Intent <%s@%s>",
            LogId(), kSuffix);
    if (!m_call->Prepare(m_queue)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Start Streaming Detect Intent <%s@%s>", LogId(), kSuffix);
        m_call.reset();
        return false;
    }
    BeginOperation(m_createStreamTag);
    m_call->StartCall(&m_createStreamTag);
    m_callStart = std::chrono::steady_clock::now();
    if (m_streamCreationTimeout > 0) {
        StartTimer(m_creationTimer, m_streamCreationTimeout);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Start gRPC Timer [%d ms] <%s@%s>",
                static_cast<int>(m_streamCreationTimeout), LogId(), kSuffix);
    }
    // Audio a retry sends again at once counts against the cap from the start.
    uint64_t replayed = 0;
    for (const DataChunk& chunk : m_replayAudio)
        replayed += chunk.m_size;
    const long bytesPerSecond = 2L * std::max(m_host->GetSamplingRate(), 1);
    StartTimer(m_capTimer,
               AudioCapRoom(GetAudioCap(), m_host->GetStreamingSettings().m_audioCapMargin,
                            static_cast<long>(replayed * 1000 / bytesPerSecond)));
    return true;
}

long StreamingMethod::CallAgeMs() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - m_callStart)
                                 .count());
}

// ---- Completions ---------------------------------------------------------------------------

bool StreamingMethod::ProcessGrpcEvent(Tag* tag, bool ok) {
    if (!tag) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Invalid gRPC Event <%s@%s>", LogId(),
                kSuffix);
        return false;
    }
    // The event clears the tag's pending flag before it gets here and holds this method
    // until it is done.
    if (!m_contextActive || !IsAttached()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "No Context Available <%s@%s>", LogId(),
                kSuffix);
        DrainCall(tag);
        return false;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Process gRPC Event: name [%s] status [%d] <%s@%s>", tag->m_name.c_str(), ok ? 1 : 0,
            LogId(), kSuffix);
    if (tag == &m_createStreamTag)
        OnCreateStream(ok);
    else if (tag == &m_writingTag)
        OnWrite(ok);
    else if (tag == &m_writesDoneTag)
        OnWritesDone(ok);
    else if (tag == &m_readingTag)
        OnRead(ok);
    else if (tag == &m_finishingTag)
        OnFinishStream(ok);
    return true;
}

void StreamingMethod::DrainCall(Tag* tag) {
    // After shutdown the queue takes no new operation; the cancelled call goes with the
    // method.
    if (!m_call || m_shutdown)
        return;
    if (tag == &m_finishingTag) {
        m_call.reset();
        return;
    }
    // Every call that was started ends with Finish, once nothing else is outstanding.
    if (m_finishing || m_createStreamTag.m_pending || m_writingTag.m_pending ||
        m_writesDoneTag.m_pending || m_readingTag.m_pending)
        return;
    m_finishing = true;
    BeginOperation(m_finishingTag);
    m_call->Finish(&m_finishingTag);
}

void StreamingMethod::OnCreateStream(bool ok) {
    if (m_streamCreated)
        return;
    m_streamCreated = true;
    m_host->SetStreamCreated();
    m_host->MarkStream(StreamHost::MARK_STREAM_CREATED);
    if (m_creationTimer) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop gRPC Timer <%s@%s>", LogId(),
                kSuffix);
        StopTimer(m_creationTimer);
    }
    if (m_clearing) {
        // The recognition ended while the call was being created.
        m_host->SetFinishAfterWrites(false);
        FinishStreaming();
        return;
    }
    if (m_host->HasPendingStop()) {
        m_host->ProcessStop();
        return;
    }
    if (!ok || m_cancelled) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create gRPC Stream <%s@%s>",
                LogId(), kSuffix);
        if (!ok && !m_cancelled) {
            m_errorByStatus = true;
            FinishStreaming();
            return;
        }
        m_host->ProcessError();
        return;
    }
    int cause = m_host->GetCompletionCause();
    if (m_host->IsInputComplete() && cause != RECOGNIZER_COMPLETION_CAUSE_UNKNOWN) {
        m_host->CompleteRecognition(cause, std::string(), std::string());
        return;
    }
    if (m_host->GetEventGrammar()) {
        InitiateEventRequest();
    } else if (m_host->GetInputMode() == MPF_SDI_MODE_DTMF) {
        if (m_host->IsInputComplete())
            InitiateDtmfRequest(m_host->GetInputText());
    } else if (m_host->IsSpeechInputStarted()) {
        InitiateSpeechRequest();
    }
}

void StreamingMethod::OnWrite(bool ok) {
    if (m_host->IsFinishAfterWrites()) {
        FinishStreaming();
    } else if (m_host->IsStreamRestart()) {
        SendInputComplete();
    } else if (!ok) {
        // The call has ended: the service may have closed it with its result while this
        // write was on its way. Nothing more is written; the read side, always outstanding,
        // ends the recognition with what came back and the call's status.
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Send Input <%s@%s>",
                LogId(), kSuffix);
    } else if (m_requestType == REQUEST_AUDIO &&
               (!m_replayAudio.empty() || !m_host->GetPendingAudio().empty())) {
        // What a refused call carried goes out again first.
        const bool replay = !m_replayAudio.empty();
        std::list<DataChunk>& audio = replay ? m_replayAudio : m_host->GetPendingAudio();
        DataChunk chunk = std::move(audio.front());
        audio.pop_front();
        SendInput(std::move(chunk), replay);
    } else if (m_host->IsInputComplete()) {
        SendInputComplete();
    }
}

void StreamingMethod::OnWritesDone(bool /*ok*/) {
    if (m_host->IsStreamRestart() || m_host->IsFinishAfterWrites()) {
        FinishStreaming();
        return;
    }
    int cause = m_host->GetCompletionCause();
    if (cause != RECOGNIZER_COMPLETION_CAUSE_UNKNOWN)
        m_host->CompleteRecognition(cause, std::string(), std::string());
}

void StreamingMethod::OnRead(bool ok) {
    LogReceivedResponse(ok);
    if (!ok) {
        // The read side has ended; a failed read carries no response. A call that ended
        // before any answer may be retried: its status, read at the finish, decides.
        if (MayRetry()) {
            m_retryOnFinish = true;
            FinishStreaming();
            return;
        }
        ProcessFinalResponse();
        return;
    }
    if (!m_answered) {
        // The service has taken the call: it is no longer retried.
        m_answered = true;
        m_keepSentAudio = false;
        m_sentAudio.clear();
    }
    StreamResponse response;
    ReadResponse(response);
    ProcessResponse(response);
    // The response may have ended the recognition and started the finish.
    if (!m_contextActive || !IsAttached() || m_readingTag.m_pending || m_finishing)
        return;
    BeginOperation(m_readingTag);
    m_call->Read(&m_readingTag);
}

void StreamingMethod::OnFinishStream(bool /*ok*/) {
    StopTimer(m_resultTimer);
    StopTimer(m_capTimer);
    // The end of a call we cancelled ourselves (a STOP, no-input, a clear, a close, a
    // replacement) is no fault.
    const bool ours = m_call && m_call->GetStatus().error_code() == grpc::StatusCode::CANCELLED &&
                      (m_cancelled || m_clearing || m_renewOnFinish);
    if (m_call && !m_call->GetStatus().ok()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, ours ? APT_PRIO_INFO : APT_PRIO_WARNING,
                "gRPC Status: %s <%s@%s>", m_call->GetStatus().error_message().c_str(), LogId(),
                kSuffix);
    }
    if (m_renewOnFinish) {
        // The idle call is over; the next one takes its place at once, unless the
        // recognition was cancelled or stopped meanwhile (its end calls the replacement off).
        m_renewOnFinish = false;
        if (!m_cancelled && !m_shutdown && IsAttached() && !m_host->HasPendingStop()) {
            if (!StartCall())
                FailBetweenCalls();
            return;
        }
    }
    // A call that ended before any answer (or never started) with a transient status.
    const bool refusedRead = m_retryOnFinish;
    m_retryOnFinish = false;
    if ((refusedRead || m_errorByStatus) && RetryAfterRefusal()) {
        m_errorByStatus = false;
        return;
    }
    // The read side's end, held back for the status, is handled now as a failed read is
    // (the finish is done: what it would finish for is taken up below).
    if (refusedRead)
        ProcessFinalResponse();
    ClearContext();
    if (m_errorByStatus || m_causeByStatus) {
        const bool noMatch =
            m_causeByStatus && m_inputCompleteSent && m_call && m_call->GetStatus().ok();
        m_errorByStatus = false;
        m_causeByStatus = false;
        if (noMatch) {
            m_host->CompleteRecognition(RECOGNIZER_COMPLETION_CAUSE_NO_MATCH, std::string(),
                                        std::string());
        } else {
            // The service refused or ended the call: the client is told why, e.g.
            // "UNAUTHENTICATED: ..." or "UNAVAILABLE: failed to connect to all addresses", in
            // the Completion-Reason of the recognizer-error. Every such path comes here only
            // once the finish has brought the status, so the answer never depends on which
            // side of the call reported first.
            if (m_call && !m_call->GetStatus().ok() && !ours) {
                m_host->SetCompletionReason(StatusCodeName(m_call->GetStatus().error_code()) +
                                            ": " + m_call->GetStatus().error_message());
            }
            if (!m_host->IsInputComplete() && !m_host->GetEventGrammar()) {
                // The input ends first: the detector's stop, or its last block when it has
                // ended by itself and that block is on its way, completes the recognition.
                m_host->SetCompletionCause(RECOGNIZER_COMPLETION_CAUSE_ERROR);
                m_host->SetFinalResponsePending(true);
                m_host->StopInput();
            } else {
                m_host->ProcessError();
            }
        }
    }
    if (m_host->IsStreamRestart()) {
        m_host->SetStreamRestart(false);
        // A cancelled or stopped recognition is over: it never gets a new stream.
        if (!m_clearing && !m_cancelled && !m_host->HasPendingStop()) {
            m_host->MarkStream(StreamHost::MARK_STREAM_RESTARTED);
            if (CreateContext())
                return;
            m_host->SetCompletionCause(RECOGNIZER_COMPLETION_CAUSE_ERROR);
        }
        // The skipped result was not answered: the recognition ends with the cause it has.
        int cause = m_host->GetCompletionCause();
        m_host->CompleteRecognition(cause == RECOGNIZER_COMPLETION_CAUSE_UNKNOWN
                                        ? RECOGNIZER_COMPLETION_CAUSE_CANCELLED
                                        : cause,
                                    std::string(), std::string());
    }
    // May answer a close (after which the channel may go) or replay a RECOGNIZE (which
    // releases this method): nothing of the channel is touched after it.
    m_host->ProcessDeferred();
}

// ---- Requests ------------------------------------------------------------------------------

bool StreamingMethod::InitiateSpeechRequest() {
    // A stream carries one kind of input: its first request decides which.
    if (m_configSent || !m_host->GetSpeechGrammar())
        return false;
    if (!BuildSpeechRequest())
        return false;
    m_requestType = REQUEST_AUDIO;
    return SendConfig();
}

bool StreamingMethod::InitiateDtmfRequest(const std::string& digits) {
    if (m_configSent || !m_host->GetDtmfGrammar())
        return false;
    if (!BuildDtmfRequest(digits))
        return false;
    m_requestType = REQUEST_DTMF;
    m_host->SetInputComplete();
    return SendConfig();
}

bool StreamingMethod::InitiateEventRequest() {
    if (m_configSent || !m_host->GetEventGrammar())
        return false;
    if (!BuildEventRequest())
        return false;
    m_requestType = REQUEST_EVENT;
    m_host->SetInputComplete();
    return SendConfig();
}

bool StreamingMethod::SendConfig() {
    if (m_configSent)
        return false;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send Config <%s@%s>", LogId(), kSuffix);
    BeginOperation(m_writingTag);
    m_call->Write(&m_writingTag);
    BeginOperation(m_readingTag);
    m_call->Read(&m_readingTag);
    m_host->MarkStream(StreamHost::MARK_CONFIG_SENT);
    m_configSent = true;
    return true;
}

bool StreamingMethod::SendInput(DataChunk chunk, bool replay) {
    // Audio only follows an audio first request, and nothing follows the half-close or
    // the finish.
    if (m_requestType != REQUEST_AUDIO || m_inputCompleteSent || m_finishing)
        return false;
    const char* data = reinterpret_cast<const char*>(chunk.m_data);
    const size_t size = static_cast<size_t>(chunk.m_size);
    if (!replay)
        m_host->WriteUtterance(data, size);
    BuildAudioRequest(data, size);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send [%d bytes] <%s@%s>",
            static_cast<int>(size), LogId(), kSuffix);
    BeginOperation(m_writingTag);
    m_call->Write(&m_writingTag);
    if (!replay)
        m_host->AddBytesSent(size);
    if (!m_keepSentAudio) {
        m_host->RecycleAudio(std::move(chunk));
        return true;
    }
    m_sentAudioBytes += size;
    const uint64_t bound =
        static_cast<uint64_t>(kRetryBufferMs) * 2 * std::max(m_host->GetSamplingRate(), 1) / 1000;
    if (m_sentAudioBytes > bound) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "No Answer within [%ld ms] of Audio: Stream No Longer Retried <%s@%s>",
                kRetryBufferMs, LogId(), kSuffix);
        m_keepSentAudio = false;
        m_sentAudio.clear();
        return true;
    }
    m_sentAudio.push_back(std::move(chunk));
    return true;
}

bool StreamingMethod::SendInputComplete() {
    if (m_inputCompleteSent || m_finishing)
        return false;
    bool restart = m_host->IsStreamRestart();
    if (!restart)
        m_host->CloseUtterance();
    m_host->StopInterResultTimer();
    m_inputCompleteSent = true;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send Done Message <%s@%s>", LogId(),
            kSuffix);
    BeginOperation(m_writesDoneTag);
    m_call->WritesDone(&m_writesDoneTag);
    if (!restart) {
        m_host->MarkStream(StreamHost::MARK_INPUT_COMPLETE_SENT);
        long timeout = m_host->GetStreamingSettings().m_resultTimeout;
        if (timeout > 0 && !m_resultTimer)
            StartTimer(m_resultTimer, timeout);
    }
    return true;
}

void StreamingMethod::FinishStreaming() {
    if (m_finishing)
        return;
    if (IsWriting()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Wait for Writing to Complete <%s@%s>",
                LogId(), kSuffix);
        m_host->SetFinishAfterWrites(true);
        return;
    }
    m_host->SetFinishAfterWrites(false);
    m_finishing = true;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Finish Streaming <%s@%s>", LogId(),
            kSuffix);
    BeginOperation(m_finishingTag);
    m_call->Finish(&m_finishingTag);
}

// ---- Input from the channel ----------------------------------------------------------------

bool StreamingMethod::ProcessStartOfSpeechInput() {
    if (!IsAttached() || !m_contextActive || !m_streamCreated || m_clearing || m_finishing ||
        IsReplacing())
        return false;
    // An idle call past half the cap would leave the utterance little room: a new one takes
    // it, and its creation sends the first request.
    if (!m_configSent && m_host->GetSpeechGrammar() && CallAgeMs() > GetAudioCap() / 2) {
        RenewIdleCall();
        return true;
    }
    return InitiateSpeechRequest();
}

bool StreamingMethod::ProcessSpeechInput(DataChunk& chunk, bool last) {
    if (!IsAttached())
        return false;
    if (chunk.m_size > 0) {
        bool waiting = IsWriting() || !m_streamCreated || m_host->IsStreamRestart() ||
                       !m_configSent || !m_contextActive || IsReplacing();
        if (waiting)
            m_host->GetPendingAudio().push_back(std::move(chunk));
        else
            SendInput(std::move(chunk), false);
    }
    if (last) {
        if (m_host->CompleteInput() && !IsWriting() && m_streamCreated && m_configSent &&
            m_contextActive && !IsReplacing())
            SendInputComplete();
    }
    return true;
}

bool StreamingMethod::ProcessDtmfInput(const std::string& /*digits*/, bool /*last*/) {
    if (!IsAttached())
        return false;
    if (!m_streamCreated || !m_contextActive || m_clearing || IsReplacing())
        return true;  // OnCreateStream sends the digits
    if (!m_host->IsSpeechInputStarted()) {
        InitiateDtmfRequest(m_host->GetInputText());
    } else if (!IsWriting()) {
        SendInputComplete();
    }
    return true;
}

bool StreamingMethod::ProcessNoInput() {
    // Between two calls nothing is in flight to end the recognition.
    if (!IsAttached() || !m_call)
        return false;
    if (m_streamCreated) {
        // With no request sent nothing is in flight: a cancel would bring no completion to
        // end the call, so the channel ends the recognition now.
        if (!m_host->IsSpeechInputStarted() || !m_configSent)
            return false;
        if (!IsWriting())
            SendInputComplete();
    }
    if (m_contextActive)
        Cancel();
    return true;
}

bool StreamingMethod::ProcessStop() {
    if (!IsAttached())
        return false;
    if (m_host->IsFinalResponsePending()) {
        ProcessFinalResponse();
        return true;
    }
    // No request went out (or the call is over), so no answer will come back: the channel
    // completes now, and Clear() ends the call.
    if (!m_configSent || !m_contextActive)
        return false;
    // A client's STOP does not wait for the service: the call is cancelled and its read,
    // failing, completes the recognition.
    bool stopRequested = m_host->HasPendingStop();
    if (m_host->IsSpeechInputStarted()) {
        if (!IsWriting())
            SendInputComplete();
        // The input has ended on the service's word or at the audio cap (or the stream has
        // failed): the stream ends by itself.
        if (!stopRequested && (m_host->IsEndOfUtterance() || m_inputEndedAtCap ||
                               m_host->GetCompletionCause() == RECOGNIZER_COMPLETION_CAUSE_ERROR))
            return true;
    } else if (!stopRequested) {
        return false;
    }
    if (m_contextActive)
        Cancel();
    return true;
}

// ---- Ending --------------------------------------------------------------------------------

void StreamingMethod::Clear() {
    if (!m_contextActive || !IsAttached())
        return;
    StopTimers();
    // The recognition is over: the call that ends now is followed by none.
    m_retryOnFinish = false;
    m_renewOnFinish = false;
    if (!m_call) {
        // Between two calls: nothing to end.
        ClearContext();
        return;
    }
    if (!m_configSent) {
        // The call was started but never carried a request: the service would wait for one
        // forever. Cancel it, then finish it like any other.
        Cancel();
        m_clearing = true;
        if (!m_streamCreated) {
            // OnCreateStream finishes it; meanwhile the channel holds a RECOGNIZE back.
            m_host->SetFinishAfterWrites(true);
            return;
        }
    }
    FinishStreaming();
}

bool StreamingMethod::Cancel() {
    if (m_hasChannel && !GetChannel()) {
        // The channel is being destroyed and has let go of this method.
        Detach();
        return false;
    }
    if (!m_call) {
        // Between two calls: the next attempt is called off, and nothing is in flight.
        if (m_contextActive) {
            StopTimers();
            ClearContext();
            m_cancelled = true;
        }
        return false;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Cancel Streaming Detect Intent <%s@%s>",
            LogId(), kSuffix);
    m_call->GetContext().TryCancel();
    m_cancelled = true;
    return true;
}

void StreamingMethod::Detach() {
    if (!IsAttached())
        return;
    m_host = nullptr;
    StopTimers();
    ClearContext();
    if (!m_call)
        return;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Cancel Streaming Detect Intent <%s@%s>",
            LogId(), kSuffix);
    m_call->GetContext().TryCancel();
    // A call with nothing in flight is finished here; otherwise its completions do it.
    if (!IsWriting() && !m_readingTag.m_pending && !m_createStreamTag.m_pending)
        DrainCall(nullptr);
}

void StreamingMethod::Shutdown() {
    if (!IsAttached())
        return;
    m_shutdown = true;
    StopTimers();
    if (m_call)
        Cancel();
    // No completion will be processed any more: none is waited for.
    m_createStreamTag.m_pending = false;
    m_writingTag.m_pending = false;
    m_writesDoneTag.m_pending = false;
    m_readingTag.m_pending = false;
    m_finishingTag.m_pending = false;
    m_host->SetFinishAfterWrites(false);
    m_host->SetFinalResponsePending(false);
    StreamHost* host = m_host;
    if (m_contextActive) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Streaming Detect Intent Ended by Shutdown <%s@%s>", LogId(), kSuffix);
        ClearContext();
        host->SetCompletionCause(RECOGNIZER_COMPLETION_CAUSE_ERROR);
        host->CompleteRecognition(RECOGNIZER_COMPLETION_CAUSE_ERROR, std::string(), std::string());
    }
    m_host = nullptr;
}

// ---- Timers --------------------------------------------------------------------------------

void StreamingMethod::StartTimer(OstEdpf::Timer*& timer, long ms) {
    StopTimer(timer);
    timer = new OstEdpf::Timer(this, ms);
    if (!timer->Start(m_processor)) {
        delete timer;
        timer = nullptr;
    }
}

void StreamingMethod::StopTimer(OstEdpf::Timer*& timer) {
    if (!timer)
        return;
    // The queue deletes a stopped timer; a stop still in flight never reaches this method.
    timer->DetachHandler();
    timer->Stop();
    timer = nullptr;
}

void StreamingMethod::StopTimers() {
    StopTimer(m_creationTimer);
    StopTimer(m_resultTimer);
    StopTimer(m_capTimer);
    StopTimer(m_retryTimer);
}

void StreamingMethod::OnTimeoutElapsed(OstEdpf::Timer* timer) {
    if (timer == m_creationTimer) {
        delete timer;
        m_creationTimer = nullptr;
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Create gRPC Stream Timed out <%s@%s>",
                LogId(), kSuffix);
        if (m_contextActive)
            Cancel();
    } else if (timer == m_resultTimer) {
        long timeout = static_cast<long>(timer->GetTimeout());
        delete timer;
        m_resultTimer = nullptr;
        if (!m_contextActive || !IsAttached())
            return;
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Result within Result Timeout [%ld ms]: Cancel Stream <%s@%s>", timeout, LogId(),
                kSuffix);
        m_resultTimedOut = true;
        m_host->SetCompletionCause(RECOGNIZER_COMPLETION_CAUSE_ERROR);
        Cancel();
    } else if (timer == m_capTimer) {
        delete timer;
        m_capTimer = nullptr;
        OnNearAudioCap();
    } else if (timer == m_retryTimer) {
        delete timer;
        m_retryTimer = nullptr;
        if (m_contextActive && IsAttached() && !m_call && !StartCall())
            FailBetweenCalls();
    }
}

// ---- Replacing the call --------------------------------------------------------------------

bool StreamingMethod::MayRetry() const {
    return !m_answered && m_keepSentAudio && !m_cancelled && !m_clearing && !m_resultTimedOut &&
           !m_shutdown && IsAttached() && !m_host->HasPendingStop() && !m_host->IsStreamRestart() &&
           m_turnRetries + 1 < m_host->GetStreamingSettings().m_retryAttempts;
}

bool StreamingMethod::RetryAfterRefusal() {
    if (!m_call || !MayRetry())
        return false;
    const grpc::StatusCode code = m_call->GetStatus().error_code();
    const auto now = std::chrono::steady_clock::now();
    if (m_turnRetries == 0)
        m_firstRefusal = now;
    const long elapsed = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - m_firstRefusal).count());
    std::random_device random;
    const long delay = RetryDelay(m_host->GetStreamingSettings(), code, m_turnRetries + 1, elapsed,
                                  std::uniform_real_distribution<double>(0.0, 1.0)(random));
    if (delay < 0)
        return false;
    ++m_turnRetries;
    ++m_retries;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Retry gRPC Stream Refused at Start: attempt [%d] status [%s] wait [%ld ms] <%s@%s>",
            m_turnRetries + 1, StatusCodeName(code).c_str(), delay, LogId(), kSuffix);
    // The next call sends what the refused one carried, then what it had not sent yet.
    m_sentAudio.splice(m_sentAudio.end(), m_replayAudio);
    m_replayAudio.swap(m_sentAudio);
    m_sentAudioBytes = 0;
    m_call.reset();
    m_streamCreated = false;
    m_configSent = false;
    m_inputCompleteSent = false;
    m_finishing = false;
    StartTimer(m_retryTimer, std::max(delay, 1L));
    if (!m_retryTimer)
        FailBetweenCalls();  // the processor is going away: no retry will come
    return true;
}

void StreamingMethod::RenewIdleCall() {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Replace Idle gRPC Stream [%ld ms] before the Audio Cap [%ld ms] <%s@%s>", CallAgeMs(),
            GetAudioCap(), LogId(), kSuffix);
    m_renewOnFinish = true;
    m_call->GetContext().TryCancel();
    FinishStreaming();
}

void StreamingMethod::OnNearAudioCap() {
    if (!m_contextActive || !IsAttached() || !m_call || m_finishing || IsReplacing() ||
        !m_streamCreated || m_clearing || m_cancelled)
        return;
    if (!m_configSent) {
        RenewIdleCall();
        return;
    }
    if (m_requestType != REQUEST_AUDIO || m_inputCompleteSent || m_host->IsInputComplete())
        return;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Speech Reaches the Audio Cap [%ld ms]: End Input <%s@%s>", GetAudioCap(), LogId(),
            kSuffix);
    m_inputEndedAtCap = true;
    m_host->EndInputAtCap();
}

void StreamingMethod::FailBetweenCalls() {
    ClearContext();
    m_host->ProcessError();
    m_host->ProcessDeferred();
}

// ---- Responses -----------------------------------------------------------------------------

void StreamingMethod::ProcessResponse(const StreamResponse& response) {
    if (response.m_recognition == StreamResponse::END_OF_UTTERANCE) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Recognition Result: end-of-utterance <%s@%s>", LogId(), kSuffix);
        m_host->SetEndOfUtterance();
    } else if (response.m_recognition == StreamResponse::TRANSCRIPT) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Recognition Result: transcript [%s] confidence [%.2f] final [%d] end-offset "
                "[%ld:%d] <%s@%s>",
                response.m_transcript.c_str(), static_cast<double>(response.m_confidence),
                response.m_isFinal ? 1 : 0, static_cast<long>(response.m_endSeconds),
                response.m_endMillis, LogId(), kSuffix);
        int i = 0;
        for (const StreamResponse::Word& word : response.m_words) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                    "Word[%d]: start-offset [%ld:%d] end-offset [%ld:%d] %s <%s@%s>", i++,
                    static_cast<long>(word.m_startSeconds), word.m_startMillis,
                    static_cast<long>(word.m_endSeconds), word.m_endMillis, word.m_word.c_str(),
                    LogId(), kSuffix);
        }
        if (response.m_isFinal) {
            // The whole utterance is the final portions one after the other.
            m_finalTranscript += response.m_transcript;
            float confidence = response.m_confidence;
            if (confidence > 0.0f && (m_finalConfidence == 0.0f || confidence < m_finalConfidence))
                m_finalConfidence = confidence;
        }
        // Phrase matching and the inter-result timer see each portion as it comes.
        m_host->ProcessInterimResult(response.m_transcript);
        if (!IsAttached())
            return;
    }
    if (response.m_hasQueryResult && m_finalResultKept) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Later Query Result <%s@%s>",
                LogId(), kSuffix);
    } else if (response.m_hasQueryResult) {
        std::string json;
        KeepQueryResult(json);
        m_finalResultKept = response.m_queryResultFinal;
        m_host->SetQueryResultText(json);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Query Result: %s <%s@%s>", json.c_str(),
                LogId(), kSuffix);
    }
    if (response.m_hasWebhookStatus) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Webhook Status: code [%d] message [%s] <%s@%s>", response.m_webhookCode,
                response.m_webhookMessage.c_str(), LogId(), kSuffix);
    }
    if (!response.m_outputAudio.empty())
        m_host->ProcessOutputAudioData(response.m_outputAudio);
}

void StreamingMethod::ProcessFinalResponse() {
    StreamHost* host = m_host;
    // A read that ended because the call was cancelled says nothing about the utterance:
    // the call is not restarted.
    if (host->GetInputMode() == MPF_SDI_MODE_DTMF && m_requestType == REQUEST_AUDIO &&
        m_contextActive && !m_resultTimedOut && !m_cancelled && !host->HasPendingStop()) {
        // The speech stream ended after the caller switched to DTMF: the digits go out on a
        // new stream.
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Result <%s@%s>", LogId(), kSuffix);
        host->SetStreamRestart(true);
        if (host->IsInputComplete())
            FinishStreaming();
        return;
    }
    if (host->IsInputComplete()) {
        host->SetFinalResponsePending(false);
        int cause = host->GetCompletionCause();
        std::string contentType;
        std::string body;
        // A result that arrived before the result timeout is the answer.
        if (!host->GetQueryResultText().empty()) {
            std::string text = m_finalTranscript;
            if (!text.empty() || GetQueryText(text))
                host->SetInputText(text);
            RecogResult result = ComposeRecogResult();
            host->SetConfidence(result.m_confidence.m_known ? result.m_confidence.m_value : 0.0f);
            cause = result.m_cause;
            contentType = std::move(result.m_contentType);
            body = std::move(result.m_body);
        } else if (m_resultTimedOut) {
            cause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
        } else if (cause == RECOGNIZER_COMPLETION_CAUSE_UNKNOWN) {
            // No result: a stream the service ended with an error status is an error, not
            // a no-match. The status comes with the finish.
            m_causeByStatus = true;
            FinishStreaming();
            return;
        }
        host->CompleteRecognition(cause, contentType, body);
        return;
    }
    if (host->IsEndOfUtterance() && !m_resultTimedOut && !m_cancelled) {
        if (m_finalTranscript.empty() && IsEmptyResult() &&
            host->GetStreamingSettings().m_skipEmptyResults) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Empty Result <%s@%s>", LogId(),
                    kSuffix);
            host->SetStreamRestart(true);
            if (!IsWriting())
                SendInputComplete();
            return;
        }
        host->SetFinalResponsePending(true);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Input <%s@%s>", LogId(), kSuffix);
        host->StopInput();
        return;
    }
    if (host->GetQueryResultText().empty() && !m_resultTimedOut && !m_cancelled &&
        !host->HasPendingStop()) {
        // The service ended the call before the input ended and without an answer (it
        // refused the credentials or the project, say): the finish brings its status,
        // which says why.
        m_causeByStatus = true;
        FinishStreaming();
        return;
    }
    host->SetFinalResponsePending(true);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Input <%s@%s>", LogId(), kSuffix);
    host->StopInput();
    host->SetCompletionCause(RECOGNIZER_COMPLETION_CAUSE_ERROR);
}

}  // namespace Zeph
