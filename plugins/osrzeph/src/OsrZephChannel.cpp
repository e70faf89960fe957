#include "OsrZephChannel.h"

#include <apr_strings.h>
#include <apr_tables.h>
#include <grpcpp/create_channel.h>
#include <grpcpp/support/channel_arguments.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "OsrZephEndpoint.h"
#include "OsrZephLog.h"
#include "OsrZephSessionId.h"
#include "OsrZephStubSessionV2.h"
#include "OsrZephStubSessionV2beta1.h"
#include "OsrZephStubSessionV3beta1.h"

namespace Zeph {

namespace {

Channel* ChannelOf(mrcp_engine_channel_t* hostChannel) {
    return static_cast<Channel*>(hostChannel->obj);
}

apt_bool_t OnChannelDestroy(mrcp_engine_channel_t* hostChannel) {
    Channel* channel = ChannelOf(hostChannel);
    if (channel) {
        hostChannel->obj = nullptr;
        // The server frees the record with the channel's pool once this returns.
        channel->ForgetHostChannel();
        channel->GetEngine()->DestroyChannel(channel);
    }
    return TRUE;
}

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* hostChannel) {
    Channel* channel = ChannelOf(hostChannel);
    // The server names the channel after creating it: the id is final by now.
    channel->CopyHostId();
    return channel->SignalEvent(TASK_MSG_OPEN, nullptr);
}

apt_bool_t OnChannelClose(mrcp_engine_channel_t* hostChannel) {
    return ChannelOf(hostChannel)->SignalEvent(TASK_MSG_CLOSE, nullptr);
}

apt_bool_t OnChannelRequest(mrcp_engine_channel_t* hostChannel, mrcp_message_t* request) {
    return ChannelOf(hostChannel)->SignalEvent(TASK_MSG_REQUEST, request);
}

apt_bool_t OnStreamWriteFrame(mpf_audio_stream_t* stream, const mpf_frame_t* frame) {
    return static_cast<Channel*>(stream->obj)->Write(frame);
}

const mrcp_engine_channel_method_vtable_t kMethodVtable = {
    OnChannelDestroy,
    OnChannelOpen,
    OnChannelClose,
    OnChannelRequest,
};

// A sink: only frames written to it.
const mpf_audio_stream_vtable_t kAudioStreamVtable = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, OnStreamWriteFrame, nullptr,
};

// ---- Detector handlers (media thread, under the detector's lock: copy and post) ------------

Channel* ChannelOfDetector(mpf_sdi_detector_t* detector) {
    return static_cast<Channel*>(mpf_sdi_obj_get(detector));
}

void OnDetectorNoInput(mpf_sdi_detector_t* detector) {
    ChannelOfDetector(detector)->SignalDetectorEvent(TASK_MSG_NO_INPUT);
}

void OnDetectorStop(mpf_sdi_detector_t* detector, const mpf_sdi_stats_t* stats) {
    Channel* channel = ChannelOfDetector(detector);
    channel->SetInputStats(stats);
    channel->SignalDetectorEvent(TASK_MSG_STOP);
}

void OnDetectorStartOfInput(mpf_sdi_detector_t* detector, mpf_sdi_mode_e mode) {
    ChannelOfDetector(detector)->SignalStartOfInput(mode);
}

void OnDetectorSpeechInput(mpf_sdi_detector_t* detector, const void* data, apr_size_t size,
                           mpf_sdi_state_e state, const mpf_sdi_stats_t* stats) {
    Channel* channel = ChannelOfDetector(detector);
    channel->SetInputStats(stats);
    channel->SignalSpeechInputEvent(data, size, state == MPF_SDI_STATE_COMPLETE);
}

void OnDetectorDtmfInput(mpf_sdi_detector_t* detector, const char* digits, apr_size_t count,
                         apt_bool_t matched, mpf_sdi_state_e state, const mpf_sdi_stats_t* stats) {
    Channel* channel = ChannelOfDetector(detector);
    channel->SetInputStats(stats);
    if (state == MPF_SDI_STATE_COMPLETE)
        channel->SignalDtmfInputEvent(digits, count, matched == 1);
}

void OnDetectorDtmfDigit(mpf_sdi_detector_t* detector, char digit) {
    ChannelOfDetector(detector)->SignalDtmfEvent(digit);
}

const mpf_sdi_event_handlers_t kDetectorHandlers = {
    OnDetectorNoInput,     OnDetectorStop,      OnDetectorStartOfInput,
    OnDetectorSpeechInput, OnDetectorDtmfInput, OnDetectorDtmfDigit,
};

std::string StrOf(const apt_str_t& text) {
    return text.buf ? std::string(text.buf, text.length) : std::string();
}

long ToInteger(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

// The session stub of an API flavour, by its exact name; null for any other.
std::shared_ptr<StubBase> CreateSessionStub(const std::string& api, Channel* channel) {
    if (api == "v2")
        return std::make_shared<APIV2::SessionStub>(channel, channel->GetGrpcChannel());
    if (api == "v2beta1")
        return std::make_shared<APIV2BETA1::SessionStub>(channel, channel->GetGrpcChannel());
    if (api == "v3beta1")
        return std::make_shared<APIV3BETA1::SessionStub>(channel, channel->GetGrpcChannel());
    return nullptr;
}

}  // namespace

void ChannelEvent::Process() {
    m_channel->ProcessEvent(*this);
}

void ChannelStartOfInputEvent::Process() {
    m_channel->ProcessStartOfInput(m_mode);
}

void ChannelDtmfInputEvent::Process() {
    m_channel->ProcessDtmfInput(m_digits, m_matched);
}

void ChannelDtmfEvent::Process() {
    m_channel->ProcessDtmfDigit(m_digit);
}

const char* const Channel::sm_Suffix = "zeph";

Channel::Channel(Engine* engine)
    : m_engine(engine),
      m_defaults(engine->GetSettings()),
      m_recognition(engine->GetSettings()),
      m_grammars(engine->GetSettings()) {}

Channel::~Channel() {
    StopInterResultTimer();
    if (m_method) {
        // Operations still in flight keep the method alive; it must not reach back here.
        std::shared_ptr<MethodBase> method = std::move(m_method);
        method->DetachChannel();
        method->Cancel();
    }
    DestroyDetector();
    ReleaseRecognition();
    if (m_recognitionPool)
        apr_pool_destroy(m_recognitionPool);
}

void Channel::DestroyDetector() {
    if (m_detector) {
        mpf_sdi_destroy(m_detector);
        m_detector = nullptr;
    }
    if (m_detectorPool) {
        apr_pool_destroy(m_detectorPool);
        m_detectorPool = nullptr;
    }
}

void Channel::SetHostChannel(mrcp_engine_channel_t* hostChannel) {
    m_hostChannel = hostChannel;
    CopyHostId();
}

void Channel::CopyHostId() {
    if (!m_hostChannel)
        return;
    m_id.assign(m_hostChannel->id.buf ? m_hostChannel->id.buf : "");
    m_grammars.SetChannelId(m_id);
}

const mrcp_engine_channel_method_vtable_t* Channel::GetMethodVtable() {
    return &kMethodVtable;
}

const mpf_audio_stream_vtable_t* Channel::GetAudioStreamVtable() {
    return &kAudioStreamVtable;
}

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t* message) {
    auto* event = new ChannelEvent(this, type, message);
    event->Ref();
    if (!m_engine->PostEvent(event))  // released if refused
        AnswerUnposted(type, message);
    return true;
}

void Channel::AnswerUnposted(TaskMsgType type, mrcp_message_t* message) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Engine Not Running: Failed to Signal Event [%d] <%s@%s>", static_cast<int>(type),
            GetId(), sm_Suffix);
    switch (type) {
        case TASK_MSG_OPEN:
            mrcp_engine_channel_open_respond(m_hostChannel, FALSE);
            break;
        case TASK_MSG_CLOSE:
            mrcp_engine_channel_close_respond(m_hostChannel);
            break;
        case TASK_MSG_REQUEST:
            if (mrcp_message_t* response = mrcp_response_create(message, message->pool)) {
                response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
                mrcp_engine_channel_message_send(m_hostChannel, response);
            }
            break;
        default:
            break;
    }
}

void Channel::ProcessEvent(const ChannelEvent& event) {
    switch (event.GetType()) {
        case TASK_MSG_OPEN:
            Open();
            break;
        case TASK_MSG_CLOSE:
            Close();
            break;
        case TASK_MSG_REQUEST:
            ProcessRequest(event.GetMessage());
            break;
        case TASK_MSG_NO_INPUT:
            ProcessNoInput();
            break;
        case TASK_MSG_STOP:
            if (m_detectorStopRequested) {
                ProcessStop();
            } else {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                        "Stop of an Earlier Input Ignored <%s@%s>", GetId(), sm_Suffix);
            }
            break;
        default:
            break;
    }
}

// ---- Media thread --------------------------------------------------------------------

bool Channel::Write(const mpf_frame_t* frame) {
    // The server attaches the stream after the open and detaches it before the close, so
    // the detector is not created or destroyed while frames arrive.
    MediaBatch& batch = m_engine->GetMediaBatch();
    batch.BeginWrite(m_mediaTick);
    if (m_detector)
        mpf_sdi_process(m_detector, frame);
    batch.EndWrite();
    return true;
}

void Channel::SetInputStats(const mpf_sdi_stats_t* stats) {
    if (!stats)
        return;
    std::lock_guard<std::mutex> lock(m_statsMutex);
    m_mediaStats = *stats;
    m_mediaStatsFresh = true;
}

void Channel::TakeInputStats() {
    std::lock_guard<std::mutex> lock(m_statsMutex);
    if (!m_mediaStatsFresh)
        return;
    m_mediaStatsFresh = false;
    m_record.m_inputStats = m_mediaStats;
}

void Channel::Post(OstEdpf::AsyncEvent* event) {
    event->Ref();
    MediaItem item;
    item.m_channel = this;
    item.m_event = event;
    m_engine->GetMediaBatch().Add(std::move(item));
}

void Channel::SignalDetectorEvent(TaskMsgType type) {
    Post(new ChannelEvent(this, type, nullptr));
}

void Channel::SignalStartOfInput(mpf_sdi_mode_e mode) {
    Post(new ChannelStartOfInputEvent(this, mode));
}

void Channel::SignalSpeechInputEvent(const void* bytes, uint64_t count, bool last) {
    MediaItem item;
    item.m_channel = this;
    item.m_chunk = m_engine->GetMediaBatch().CopyAudio(bytes, count);
    item.m_last = last;
    m_engine->GetMediaBatch().Add(std::move(item));
}

void Channel::SignalDtmfInputEvent(const char* digits, uint64_t count, bool matched) {
    Post(new ChannelDtmfInputEvent(this, std::string(digits ? digits : "", digits ? count : 0),
                                   matched));
}

void Channel::SignalDtmfEvent(char digit) {
    Post(new ChannelDtmfEvent(this, digit));
}

// ---- Open and close --------------------------------------------------------------------

bool Channel::Open() {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open <%s@%s>", GetId(), sm_Suffix);
    DetermineProfile();
    bool status = UseEndpoint(ServiceEndpoint(m_engine->GetSettings().m_streaming.m_serviceUri,
                                              m_engine->GetSettings().m_streaming.m_location));
    if (status) {
        mpf_sdi_stats_init(&m_record.m_inputStats);
        if (!m_detectorPool)
            apr_pool_create(&m_detectorPool, nullptr);
        m_detector = mpf_sdi_detector_create(GetId(), &kDetectorHandlers, this,
                                             &m_engine->GetSettings().m_sdiParams, m_detectorPool);
        m_engine->OnOpenChannel(this);
    }
    mrcp_engine_channel_open_respond(m_hostChannel, status ? TRUE : FALSE);
    return status;
}

bool Channel::Close() {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close <%s@%s>", GetId(), sm_Suffix);
    DestroyDetector();
    // A method still running keeps its own references to the active grammars.
    m_grammars.Clear();
    if (m_method && m_method->IsContextActive()) {
        // Answered when the call has ended; the caller is gone, so it ends now rather than
        // when the service has finished with it.
        m_pendingClose = true;
        m_method->Cancel();
        if (!m_pendingClose)
            return true;  // answered while cancelling
        if (m_method && m_method->IsContextActive() && m_method->GetOperationsInFlight() > 0)
            return true;
        // Nothing in flight: no completion will come back to carry the close out. The
        // call is ended with the method when the channel is destroyed.
        m_pendingClose = false;
    }
    SendCloseResponse();
    return true;
}

void Channel::ProcessDeferred() {
    if (m_pendingClose) {
        // The close wins; what waited is answered before the close response.
        ProcessPendingClose();
        return;
    }
    if (m_streamRestart)
        return;
    // In the order they came: the first may start a recognition, the others then meet it
    // as any RECOGNIZE meets a recognition in progress.
    mrcp_message_t* request = nullptr;
    mrcp_message_t* response = nullptr;
    while (TakeDeferredRequest(request, response)) {
        if (!Recognize(request, response))
            SendMessage(response);
    }
}

bool Channel::ProcessPendingClose() {
    if (!m_pendingClose)
        return false;
    m_pendingClose = false;
    SendCloseResponse();
    return true;
}

void Channel::SendCloseResponse() {
    // The server frees every request of the channel with the close: whatever is still
    // held is answered first, so each request gets exactly one answer.
    AnswerHeldRequests();
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send Close Response <%s@%s>", GetId(),
            sm_Suffix);
    m_engine->OnCloseChannel(this);
    // The server may destroy the channel as soon as it has this answer: nothing of the
    // channel is touched after it.
    mrcp_engine_channel_close_respond(m_hostChannel);
}

void Channel::AnswerHeldRequests() {
    mrcp_message_t* request = nullptr;
    mrcp_message_t* response = nullptr;
    while (TakeDeferredRequest(request, response)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Deferred Recognize Dropped by Close [%u] <%s@%s>", request->start_line.request_id,
                GetId(), sm_Suffix);
        ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED,
                        RECOGNIZER_COMPLETION_CAUSE_ERROR);
        SendMessage(response);
    }
    if (m_activeRequest && !m_stopResponse) {
        // A recognition still in progress ends before the channel does: the client has
        // gone, so it is cancelled (or ends with the cause it already has).
        if (m_record.m_completionCause == RECOGNIZER_COMPLETION_CAUSE_UNKNOWN)
            m_record.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
        EndRecognition(m_record.m_completionCause, "", "");
    }
    if (m_activeRequest) {
        m_activeRequest = nullptr;
        SendStopResponses();
    }
    ReleaseRecognition();
}

void Channel::ResetRecognition() {
    ReleaseRecognition();
    if (m_recognitionPool)
        apr_pool_clear(m_recognitionPool);
    else
        apr_pool_create(&m_recognitionPool, nullptr);
    m_record.Reset();
    m_inputWaveform.Reset();
    m_outputWaveform.Reset();
    m_pendingAudio.clear();
    m_dtmfDigits.clear();
    m_dtmfTermChar = '\0';
    m_sessionPath.clear();
    m_streamRestart = false;
    m_finishAfterWrites = false;
    m_finalResponsePending = false;
    m_detectorStopRequested = false;
    m_inputEndedAtCap = false;
    {
        // Stats left from an earlier recognition are not this one's.
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_mediaStatsFresh = false;
    }
    mpf_sdi_stats_init(&m_record.m_inputStats);
}

void Channel::CloseInputWaveform() {
    if (UtteranceManager* utterances = m_engine->GetUtteranceManager())
        utterances->CloseWavefile(m_inputWaveform);
}

void Channel::ReleaseRecognition() {
    m_pendingAudio.clear();
    m_dtmfDigits.clear();
    StopInterResultTimer();
    if (m_inputWaveform.m_file)
        CloseInputWaveform();
}

// ---- Requests --------------------------------------------------------------------------

bool Channel::ProcessRequest(mrcp_message_t* request) {
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    if (!response) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Response <%s@%s>",
                GetId(), sm_Suffix);
        return false;
    }
    bool handled = false;
    switch (request->start_line.method_id) {
        case RECOGNIZER_DEFINE_GRAMMAR:
            m_grammars.DefineGrammar(request, response);
            break;
        case RECOGNIZER_RECOGNIZE:
            handled = Recognize(request, response);
            break;
        case RECOGNIZER_START_INPUT_TIMERS:
            handled = StartTimers(request, response);
            break;
        case RECOGNIZER_STOP:
            handled = Stop(request, response);
            break;
        case RECOGNIZER_SET_PARAMS:
            SetParams(request, response);
            break;
        case RECOGNIZER_GET_PARAMS:
            GetParams(request, response);
            break;
        default:
            // INTERPRET, GET-RESULT, phrase enrollment: refused, never acknowledged unheard.
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Method Not Supported [%.*s] <%s@%s>",
                    static_cast<int>(request->start_line.method_name.length),
                    request->start_line.method_name.buf ? request->start_line.method_name.buf : "",
                    GetId(), sm_Suffix);
            response->start_line.status_code = MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
            break;
    }
    if (!handled)
        SendMessage(response);
    return true;
}

bool Channel::Fail(mrcp_message_t* response, mrcp_status_code_e status,
                   mrcp_recog_completion_cause_e cause) {
    ComposeResponse(response, status, cause);
    return false;
}

bool Channel::Recognize(mrcp_message_t* request, mrcp_message_t* response) {
    // 1. The previous call is still there.
    if (m_method && m_method->IsContextActive()) {
        if (m_method->m_finishingTag.m_pending || m_finishAfterWrites) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                    "Wait for Finish to Complete <%s@%s>", GetId(), sm_Suffix);
            m_deferredRequests.emplace_back(request, response);
            return true;
        }
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Previous Recog Context Not Released <%s@%s>", GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
                    RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    if (m_activeRequest) {
        // A recognition without a streaming call (its method never started one) is still
        // running: one recognition at a time.
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Previous Recog Context Not Released <%s@%s>", GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
                    RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    // 2, 3.
    if (!m_detector) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Detector Available <%s@%s>",
                GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
                    RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    const mpf_codec_descriptor_t* codec = mrcp_engine_sink_stream_codec_get(m_hostChannel);
    if (!codec) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Codec Descriptor Available <%s@%s>", GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
                    RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    // 4. Grammars. The recognition keeps its own references to them.
    m_speechGrammar.reset();
    m_eventGrammar.reset();
    m_dtmfGrammar.reset();
    // The DTMF lengths go into this recognition's parameters below, not into the detector.
    mrcp_status_code_e status = m_grammars.SetActiveGrammar(request, nullptr);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return Fail(response, status, RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE);
    m_speechGrammar = m_grammars.GetSpeechGrammar();
    m_eventGrammar = m_grammars.GetEventGrammar();
    m_dtmfGrammar = m_grammars.GetDtmfGrammar();
    // 5. Input mode.
    mpf_sdi_mode_e inputMode = MPF_SDI_MODE_NONE;
    if (m_speechGrammar && m_dtmfGrammar)
        inputMode = MPF_SDI_MODE_SPEECH_DTMF;
    else if (m_speechGrammar)
        inputMode = MPF_SDI_MODE_SPEECH;
    else if (m_dtmfGrammar)
        inputMode = MPF_SDI_MODE_DTMF;
    else if (!m_eventGrammar) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Grammar Specified <%s@%s>",
                GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_MISSING_PARAM,
                    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE);
    }
    // 6, 7, 8. A fresh record. The recognition starts from the channel's defaults.
    ResetRecognition();
    m_record.m_enabled = m_engine->GetSettings().m_rdrManager.m_saveRecords;
    m_record.m_samplingRate = codec->sampling_rate;
    m_record.m_mrcpVersion = request->start_line.version;
    m_record.m_resultsSettings = m_engine->GetSettings().m_results;
    if (m_record.m_resultsSettings.m_confidenceFormat == ResultsSettings::CONFIDENCE_FORMAT_AUTO &&
        request->start_line.version == MRCP_VERSION_1)
        m_record.m_resultsSettings.m_confidenceFormat = ResultsSettings::CONFIDENCE_FORMAT_MRCPV1;
    // 9, 11. The request's headers apply to this recognition only.
    m_recognition = m_defaults;
    RecogParams::Refusal refusal;
    m_recognition.Merge(request, refusal);
    if (refusal.Refused()) {
        AnswerRefusal(refusal, request, response);
        return Fail(response, refusal.m_status, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    m_record.m_streamingSettings = m_recognition.m_streaming;
    m_record.m_confidenceThreshold = m_recognition.m_confidenceThreshold;
    m_record.m_loggingTag = m_recognition.m_loggingTag;
    m_inputWaveform.m_save = m_recognition.m_saveWaveform;
    m_queryParams = m_recognition.VendorParameters(m_recognitionPool);
    if (m_dtmfGrammar) {
        DtmfContext lengths;
        if (GrammarSet::GetDtmfLengths(*m_dtmfGrammar, lengths)) {
            m_recognition.m_detector.dtmf_length = static_cast<apr_uint64_t>(lengths.m_length);
            m_recognition.m_detector.dtmf_min_length =
                static_cast<apr_uint64_t>(lengths.m_minLength);
            m_recognition.m_detector.dtmf_max_length =
                static_cast<apr_uint64_t>(lengths.m_maxLength);
        }
    }
    // 10. Project and session; a user project only when a grammar names one.
    m_projectId = m_credentials.m_projectId;
    m_sessionId = StrOf(request->channel_id.session_id);
    m_userProject.clear();
    ReadVendorParameters();
    // 12. Grammar parameters, later grammars overriding earlier ones.
    for (const std::shared_ptr<const GrammarRef>* grammar :
         {&m_speechGrammar, &m_dtmfGrammar, &m_eventGrammar}) {
        if (!*grammar)
            continue;
        ReadGrammarParameters(**grammar);
        if (!(*grammar)->m_params.empty())
            ReadBuiltinGrammarParameters((*grammar)->m_params);
    }
    UseServiceSessionId();
    // What the record and the saved files are named by (the session as the service knows it).
    m_record.m_channelId = GetId();
    m_record.m_sessionId = m_sessionId;
    {
        apr_time_exp_t t;
        apr_time_exp_gmt(&t, apr_time_now());
        char stamp[64];  // room for any int the compiler cannot bound
        snprintf(stamp, sizeof(stamp), "-%04d%02d%02dT%02d%02d%02d%03dZ", t.tm_year + 1900,
                 t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_usec / 1000);
        m_record.m_fileId = GetId() + std::string(stamp);
    }
    // 13, 14. The detector runs this recognition with its own values, whatever an earlier
    // one used.
    bool serviceOriginated = m_record.m_streamingSettings.m_startOfInput ==
                             StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED;
    if (serviceOriginated)
        m_record.m_streamingSettings.m_interimResults = true;
    m_dtmfTermChar = m_recognition.m_detector.dtmf_term_char;
    mpf_sdi_params_set(m_detector, &m_recognition.m_detector);
    mpf_sdi_speech_start_mode_set(m_detector, serviceOriginated ? MPF_SDI_START_OF_INPUT_EXTERNAL
                                                                : MPF_SDI_START_OF_INPUT_INTERNAL);
    mpf_sdi_init(m_detector, inputMode, m_record.m_samplingRate,
                 m_recognition.m_startInputTimers ? TRUE : FALSE,
                 m_record.m_streamingSettings.m_interimResults ? TRUE : FALSE);
    // 15, 16. The method, at the endpoint of the recognition's location. The location names
    // the endpoint's host: only a location id passes.
    const std::string& location = m_record.m_streamingSettings.m_location;
    if (!location.empty() && !IsLocationId(location)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Invalid Location [%s] <%s@%s>",
                location.c_str(), GetId(), sm_Suffix);
        return Fail(response, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE,
                    RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    ReleaseMethod();  // before its endpoint's stub may go
    if (!UseEndpoint(ServiceEndpoint(m_engine->GetSettings().m_streaming.m_serviceUri, location)) ||
        !CreateMethod())
        return Fail(response, MRCP_STATUS_CODE_METHOD_FAILED, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    if (!m_method->Validate())
        return Fail(response, MRCP_STATUS_CODE_MISSING_PARAM, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    // 17. The caller's utterance file.
    if (m_inputWaveform.m_save) {
        UtteranceManager* utterances = m_engine->GetUtteranceManager();
        if (!utterances ||
            !utterances->ComposeName(m_inputWaveform.m_fileName, m_record.m_fileId.c_str(),
                                     request->start_line.request_id, 0, m_record.m_loggingTag,
                                     m_recognitionPool) ||
            !utterances->OpenWavefile(m_inputWaveform, m_record.m_samplingRate, m_recognitionPool))
            return Fail(response, MRCP_STATUS_CODE_METHOD_FAILED,
                        RECOGNIZER_COMPLETION_CAUSE_ERROR);
        if (m_recognition.m_saveWaveformAsked)
            utterances->ComposeUri(m_inputWaveform.m_uri, m_inputWaveform.m_fileName,
                                   m_recognitionPool);
    }
    // 18. The record; the turn's timeline is kept for the timing figures in any case.
    m_record.m_timeline.Start(apr_time_now());
    if (m_record.m_enabled) {
        if (RdrManager* records = m_engine->GetRdrManager())
            records->ComposeName(m_record.m_name, m_record.m_fileId.c_str(),
                                 request->start_line.request_id, m_record.m_loggingTag,
                                 m_recognitionPool);
        m_record.m_startTime = apr_time_now();
    }
    // 19. Start.
    m_activeRequest = request;
    if (!m_method->Invoke()) {
        m_activeRequest = nullptr;
        ReleaseRecognition();
        return Fail(response, MRCP_STATUS_CODE_METHOD_FAILED, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    SendMessage(response);
    return true;
}

void Channel::ReadVendorParameters() {
    if (!m_queryParams)
        return;
    bool projectFound = false;
    bool dialogFound = false;
    for (int i = 0; i < m_queryParams->nelts; ++i) {
        const apt_pair_t& pair = APR_ARRAY_IDX(m_queryParams, i, apt_pair_t);
        if (!pair.name.buf || !pair.value.buf)
            continue;
        if (!projectFound && strcasecmp(pair.name.buf, "projectid") == 0) {
            m_projectId = RemoveQuotes(pair.value.buf);
            projectFound = true;
        } else if (!dialogFound && strcasecmp(pair.name.buf, "dialogid") == 0) {
            m_sessionId = RemoveQuotes(pair.value.buf);
            dialogFound = true;
        }
    }
}

void Channel::UseServiceSessionId() {
    std::string id = ServiceSessionId(m_sessionId);
    if (id == m_sessionId)
        return;
    if (m_sessionId != m_longSessionId) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Map Session ID [%s] of More than %d Characters to [%s] <%s@%s>",
                m_sessionId.c_str(), static_cast<int>(kMaxSessionIdLength), id.c_str(), GetId(),
                sm_Suffix);
        m_longSessionId = m_sessionId;
    }
    m_sessionId = id;
}

void Channel::ReadGrammarParameters(const GrammarRef& grammar) {
    if (!grammar.m_projectId.empty())
        m_projectId = grammar.m_projectId;
    else if (grammar.m_builtinGrammar && !grammar.m_builtinGrammar->m_projectId.empty())
        m_projectId = grammar.m_builtinGrammar->m_projectId;
    if (!grammar.m_dialogId.empty())
        m_sessionId = grammar.m_dialogId;
    if (!grammar.m_userProject.empty())
        m_userProject = grammar.m_userProject;
    if (!grammar.m_method.empty())
        m_record.m_streamingSettings.m_method = grammar.m_method;
    if (!grammar.m_agent.empty())
        m_record.m_streamingSettings.m_agent = grammar.m_agent;
}

void Channel::ReadBuiltinGrammarParameters(const GrammarParams& params) {
    // The map is ordered by name.
    for (const auto& param : params)
        SetGrammarParameter(param.first, param.second);
}

void Channel::SetGrammarParameter(const std::string& name, const std::string& value) {
    StreamingRecogSettings& streaming = m_record.m_streamingSettings;
    auto logged = [&] {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Set Grammar Param: name=%s, value=%s <%s@%s>", name.c_str(), value.c_str(),
                GetId(), sm_Suffix);
    };
    if (name == "single-utterance") {
        logged();
        ParseBooleanString(value.c_str(), streaming.m_singleUtterance);
    } else if (name == "start-of-input") {
        logged();
        if (value == "service-originated")
            streaming.m_startOfInput = StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED;
        else if (value == "internal")
            streaming.m_startOfInput = StreamingRecogSettings::START_OF_INPUT_INTERNAL;
    } else if (name == "language") {
        streaming.m_language = value;
    } else if (name == "speech-start-timeout") {
        logged();
        m_recognition.m_detector.speech_start_timeout = static_cast<apr_uint64_t>(ToInteger(value));
    } else if (name == "inter-result-timeout") {
        streaming.m_interResultTimeout = ToInteger(value);
    } else if (name == "format") {
        logged();
        if (value == "standard")
            m_record.m_resultsSettings.m_format = ResultsSettings::FORMAT_STANDARD;
        else if (value == "json")
            m_record.m_resultsSettings.m_format = ResultsSettings::FORMAT_JSON;
    } else if (name == "skip-empty-results") {
        logged();
        ParseBooleanString(value.c_str(), streaming.m_skipEmptyResults);
    } else if (name == "word-info") {
        ParseBooleanString(value.c_str(), streaming.m_wordInfo);
    } else if (name == "model") {
        streaming.m_model = value;
    } else if (name == "model-variant") {
        streaming.m_modelVariant = value;
    } else if (name == "environment") {
        streaming.m_environment = value;
    } else if (name == "agent") {
        streaming.m_agent = value;
    } else if (name == "location") {
        streaming.m_location = value;
    } else if (name == "logging-tag") {
        m_record.m_loggingTag = value;
    }
}

bool Channel::Stop(mrcp_message_t* /*request*/, mrcp_message_t* response) {
    // The response names every request it stops: the recognition in progress and those
    // waiting to start.
    mrcp_generic_header_t* stopList = mrcp_generic_header_get(response);
    stopList->active_request_id_list.count = 0;
    if (m_activeRequest && !m_stopResponse)
        stopList->active_request_id_list.ids[stopList->active_request_id_list.count++] =
            m_activeRequest->start_line.request_id;
    StopDeferred(*stopList, response);
    if (!m_activeRequest) {
        SendMessage(response);
        return true;
    }
    if (m_stopResponse) {
        // The recognition is already being stopped. This STOP is answered right after the
        // first one, when there is nothing left in progress for it to stop.
        m_laterStopResponses.push_back(response);
        return true;
    }
    m_stopResponse = response;
    m_record.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
    if (!m_record.m_inputComplete && m_detector) {
        // The detector reports the stop with its input statistics (ProcessStop).
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Input <%s@%s>", GetId(),
                sm_Suffix);
        m_detectorStopRequested = true;
        mpf_sdi_stop(m_detector);
    } else {
        // Input is over: only the call is left to end, and no detector event will come.
        ProcessStop();
    }
    return true;
}

void Channel::StopDeferred(mrcp_generic_header_t& stopList, mrcp_message_t* stopResponse) {
    mrcp_request_id_list_t& ids = stopList.active_request_id_list;
    mrcp_message_t* request = nullptr;
    mrcp_message_t* response = nullptr;
    while (TakeDeferredRequest(request, response)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Stop Deferred Recognize [%u] <%s@%s>",
                request->start_line.request_id, GetId(), sm_Suffix);
        if (ids.count == MRCP_MAX_ACTIVE_REQUEST_ID_COUNT) {
            // No room left in the list: refused instead of stopped.
            ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED,
                            RECOGNIZER_COMPLETION_CAUSE_CANCELLED);
            SendMessage(response);
            continue;
        }
        // Queued, and ended by the STOP response that lists it.
        response->start_line.request_state = MRCP_REQUEST_STATE_PENDING;
        SendMessage(response);
        ids.ids[ids.count++] = request->start_line.request_id;
    }
    if (ids.count > 0)
        mrcp_generic_header_property_add(stopResponse, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
}

void Channel::SetParams(mrcp_message_t* request, mrcp_message_t* response) {
    // All or nothing: the defaults change only when every header is taken.
    RecogParams params = m_defaults;
    RecogParams::Refusal refusal;
    bool ignored = false;
    params.MergeSettable(request, refusal, ignored);
    if (refusal.Refused()) {
        AnswerRefusal(refusal, request, response);
        response->start_line.status_code = refusal.m_status;
        return;
    }
    m_defaults = std::move(params);
    if (ignored)
        response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE;
}

void Channel::GetParams(mrcp_message_t* request, mrcp_message_t* response) {
    m_defaults.Describe(request, response);
}

void Channel::AnswerRefusal(const RecogParams::Refusal& refusal, mrcp_message_t* request,
                            mrcp_message_t* response) {
    for (mrcp_recognizer_header_id id : refusal.m_resource) {
        if (id == RECOGNIZER_HEADER_MEDIA_TYPE) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Not Supported Media-Type [%s] <%s@%s>",
                    StrOf(request->resource_header.media_type).c_str(), GetId(), sm_Suffix);
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Refused Header [%s] <%s@%s>",
                    mrcp_resource_header_name_get(id, request->start_line.version), GetId(),
                    sm_Suffix);
        }
    }
    for (mrcp_generic_header_id id : refusal.m_generic) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Refused Header [%s] <%s@%s>",
                mrcp_generic_header_name_get(id, request->start_line.version), GetId(), sm_Suffix);
    }
    RecogParams::NameRefused(refusal, request, response);
}

void Channel::SendStopResponses() {
    if (m_stopResponse) {
        SetWaveformUri(m_stopResponse);
        SendMessage(m_stopResponse);
        m_stopResponse = nullptr;
    }
    for (mrcp_message_t* response : m_laterStopResponses)
        SendMessage(response);
    m_laterStopResponses.clear();
}

bool Channel::StartTimers(mrcp_message_t* /*request*/, mrcp_message_t* response) {
    if (m_detector && !m_record.m_startOfInputSent)
        mpf_sdi_start_timers(m_detector);
    SendMessage(response);
    return true;
}

// ---- Completion --------------------------------------------------------------------------

bool Channel::CompleteRecognition(int cause, const std::string& contentType,
                                  const std::string& body) {
    if (!m_activeRequest)
        return false;
    if (m_method && m_method->m_readingTag.m_pending) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Wait for Reading to Complete <%s@%s>",
                GetId(), sm_Suffix);
        return false;
    }
    return EndRecognition(cause, contentType, body);
}

bool Channel::EndRecognition(int cause, const std::string& contentType, const std::string& body) {
    if (cause == RECOGNIZER_COMPLETION_CAUSE_UNKNOWN) {
        // Every path decides its cause; one that did not is a fault of ours, reported as
        // an error rather than as a cause MRCP does not have.
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Recognition Ended without a Cause: Error <%s@%s>", GetId(), sm_Suffix);
        cause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
    }
    TakeInputStats();
    m_pendingAudio.clear();
    m_dtmfDigits.clear();
    if (m_inputWaveform.m_file)
        CloseInputWaveform();
    StopInterResultTimer();
    // The client's close cancelled the call: the recognition is cancelled, not failed by
    // the call that the cancel ended.
    if (m_pendingClose && cause == RECOGNIZER_COMPLETION_CAUSE_ERROR)
        cause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
    // The recognition timeout or the stream's audio cap cut the input off: the result says
    // so.
    if (m_record.m_inputStats.cause == MPF_SDI_COMPLETION_CAUSE_TIMEDOUT || m_inputEndedAtCap) {
        bool v2 = m_record.m_mrcpVersion == MRCP_VERSION_2;
        if (cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS && v2)
            cause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME;
        else if (cause == RECOGNIZER_COMPLETION_CAUSE_NO_MATCH)
            cause =
                v2 ? RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME
                   : RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME;  // MRCPv1 "recognition-timeout"
    }
    // The record gives the cause the client is told: a stopped recognition stays cancelled.
    if (!m_stopResponse)
        m_record.m_completionCause = static_cast<mrcp_recog_completion_cause_e>(cause);
    if (m_method)
        m_record.m_streamRetries = m_method->GetStreamRetries();
    ReportTurnTiming();
    if (m_record.m_enabled) {
        if (RdrManager* records = m_engine->GetRdrManager())
            records->SaveRecord(m_record, m_recognitionPool);
    }
    if (m_method && m_method->IsContextActive())
        m_method->Clear();
    if (m_stopResponse) {
        m_activeRequest = nullptr;
        SendStopResponses();
        return true;
    }
    if (m_record.m_streamingSettings.m_startOfInput ==
            StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED &&
        !m_record.m_startOfInputSent &&
        (cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS ||
         cause == RECOGNIZER_COMPLETION_CAUSE_NO_MATCH ||
         cause == RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME ||
         cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME ||
         cause == RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME))
        SendStartOfInput(MPF_SDI_MODE_SPEECH);
    mrcp_message_t* event =
        mrcp_event_create(m_activeRequest, RECOGNIZER_RECOGNITION_COMPLETE, m_activeRequest->pool);
    if (!event)
        return false;
    mrcp_resource_header_get(event)->completion_cause =
        static_cast<mrcp_recog_completion_cause_e>(cause);
    mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    if (!m_record.m_completionReason.empty()) {
        apt_string_assign_n(&mrcp_resource_header_get(event)->completion_reason,
                            m_record.m_completionReason.data(), m_record.m_completionReason.size(),
                            event->pool);
        mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_REASON);
    }
    SetWaveformUri(event);
    if (!contentType.empty() && !body.empty()) {
        mrcp_generic_header_t* generic = mrcp_generic_header_get(event);
        generic->content_type.buf = apr_pstrdup(event->pool, contentType.c_str());
        generic->content_type.length = contentType.size();
        mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
        mrcp_message_body_set(event, body.data(), body.size());
    }
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    m_activeRequest = nullptr;
    SendMessage(event);
    return true;
}

void Channel::ReportTurnTiming() {
    TurnTimeline& timeline = m_record.m_timeline;
    if (!timeline.IsStarted() || timeline.Has(TurnTimeline::COMPLETION_SENT))
        return;
    // The response or event goes out right after the record is saved.
    timeline.Mark(TurnTimeline::COMPLETION_SENT);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Turn Timing: %s <%s@%s>",
            timeline.DescribeFigures().c_str(), GetId(), sm_Suffix);
    m_engine->GetTurnTimingStats().Add(timeline.GetFigures());
}

void Channel::SetWaveformUri(mrcp_message_t* message) {
    // The URI describes the file it names: the audio written to it, and no URI for a file
    // that got none.
    size_t size = m_inputWaveform.m_contentLength;
    if (m_inputWaveform.m_uri.empty() || size == 0)
        return;
    // 16-bit mono samples.
    unsigned long duration =
        m_record.m_samplingRate > 0
            ? static_cast<unsigned long>(size / 2 * 1000 /
                                         static_cast<size_t>(m_record.m_samplingRate))
            : 0;
    mrcp_recog_header_t* header = mrcp_resource_header_get(message);
    const char* value = message->start_line.version == MRCP_VERSION_2
                            ? apr_psprintf(message->pool, "<%s>;size=%lu;duration=%lu",
                                           m_inputWaveform.m_uri.c_str(),
                                           static_cast<unsigned long>(size), duration)
                            : apr_pstrdup(message->pool, m_inputWaveform.m_uri.c_str());
    header->waveform_uri.buf = const_cast<char*>(value);
    header->waveform_uri.length = strlen(value);
    mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_WAVEFORM_URI);
}

bool Channel::SendStartOfInput(mpf_sdi_mode_e mode) {
    mrcp_message_t* event = CreateStartOfInput(mode);
    m_record.m_startOfInputSent = true;
    if (!event)
        return false;
    return SendMessage(event);
}

mrcp_message_t* Channel::CreateStartOfInput(mpf_sdi_mode_e mode) {
    if (!m_activeRequest)
        return nullptr;
    m_record.m_inputMode = mode;
    mrcp_message_t* event =
        mrcp_event_create(m_activeRequest, RECOGNIZER_START_OF_INPUT, m_activeRequest->pool);
    if (!event)
        return nullptr;
    if (event->start_line.version == MRCP_VERSION_2) {
        const char* type = mode == MPF_SDI_MODE_DTMF ? "dtmf" : "speech";
        mrcp_recog_header_t* header = mrcp_resource_header_get(event);
        header->input_type.buf = apr_pstrdup(event->pool, type);
        header->input_type.length = strlen(type);
        mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_INPUT_TYPE);
    }
    event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    return event;
}

// ---- Transcripts and the inter-result timer -------------------------------------------

void Channel::ProcessInterimResult(const std::string& text) {
    m_record.m_timeline.Mark(TurnTimeline::FIRST_INTERIM_RESULT);
    StopInterResultTimer();
    if (m_record.m_streamingSettings.m_startOfInput ==
            StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED &&
        !m_record.m_startOfInputSent)
        SendStartOfInput(MPF_SDI_MODE_SPEECH);
    long timeout = m_record.m_streamingSettings.m_interResultTimeout;
    if (timeout > 0 && !m_record.m_inputComplete) {
        m_interResultTimer = new OstEdpf::Timer(this, timeout);
        m_interResultTimer->Start(m_engine->GetEventProcessor());
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Start Inter-result Timer [%d ms] <%s@%s>", static_cast<int>(timeout), GetId(),
                sm_Suffix);
    }
    if (m_detector)
        mpf_sdi_result_flag_set(m_detector);
    const SpeechContext* context = m_speechGrammar ? m_speechGrammar->GetSpeechContext() : nullptr;
    if (context && context->m_speechComplete) {
        bool complete = false;
        if (context->FindPhrase(text, complete)) {
            if (complete) {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Phrase Matched [%s] <%s@%s>",
                        text.c_str(), GetId(), sm_Suffix);
                m_record.m_endOfUtterance = true;
                StopInput();
            } else {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Phrase Matched [%s...] <%s@%s>",
                        text.c_str(), GetId(), sm_Suffix);
            }
        }
    }
}

void Channel::StopInput() {
    if (m_record.m_inputComplete)
        return;
    if (!m_detector) {
        // Closed: no detector will report the stop, so it is carried out here.
        ProcessStop();
        return;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Input <%s@%s>", GetId(), sm_Suffix);
    m_detectorStopRequested = true;
    mpf_sdi_stop(m_detector);
}

void Channel::EndInputAtCap() {
    m_inputEndedAtCap = true;
    StopInput();
}

void Channel::StopInterResultTimer() {
    if (!m_interResultTimer)
        return;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Inter-result Timer <%s@%s>", GetId(),
            sm_Suffix);
    // A stopped timer is deleted by the timer queue; it never calls back once detached.
    m_interResultTimer->DetachHandler();
    m_interResultTimer->Stop();
    m_interResultTimer = nullptr;
}

void Channel::OnTimeoutElapsed(OstEdpf::Timer* timer) {
    if (!timer || timer != m_interResultTimer)
        return;
    delete m_interResultTimer;
    m_interResultTimer = nullptr;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Inter-result Timeout Elapsed <%s@%s>",
            GetId(), sm_Suffix);
    m_record.m_streamingSettings.m_interResultTimeout = 0;
    m_record.m_endOfUtterance = true;
    StopInput();
}

// ---- Audio returned by the service ---------------------------------------------------

void Channel::ProcessOutputAudioData(const std::string& audio) {
    UtteranceManager* utterances = m_engine->GetUtteranceManager();
    if (!utterances || !m_recognitionPool)
        return;
    if (!m_outputWaveform.m_created) {
        m_outputWaveform.m_created = true;
        mrcp_request_id id = m_activeRequest ? m_activeRequest->start_line.request_id : 0;
        utterances->ComposeName(m_outputWaveform.m_fileName, m_record.m_fileId.c_str(), id, 1,
                                m_record.m_loggingTag, m_recognitionPool);
        utterances->ComposeUri(m_outputWaveform.m_uri, m_outputWaveform.m_fileName,
                               m_recognitionPool);
    }
    // The service may send the audio in several chunks, one after the other: one file.
    if (!utterances->AppendOutputFile(m_outputWaveform, audio.data(), audio.size(),
                                      GetSamplingRate(), m_recognitionPool))
        return;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Write [%d bytes] <%s@%s>",
            static_cast<int>(audio.size()), GetId(), sm_Suffix);
}

void Channel::WriteUtterance(const char* data, size_t size) {
    if (!m_inputWaveform.m_file || !data || size == 0)
        return;
    apr_size_t written = size;
    if (apr_file_write_full(m_inputWaveform.m_file, data, size, &written) == APR_SUCCESS)
        m_inputWaveform.m_contentLength += written;
}

void Channel::RecycleAudio(DataChunk&& chunk) {
    m_engine->GetMediaBatch().Recycle(std::move(chunk));
}

void Channel::CloseUtterance() {
    if (m_inputWaveform.m_file)
        CloseInputWaveform();
}

void Channel::MarkStream(StreamMark mark) {
    apr_time_t now = apr_time_now();
    switch (mark) {
        case MARK_STREAM_CREATED:
            m_record.m_streamCreationTime = now;
            m_record.m_timeline.Mark(TurnTimeline::STREAM_CREATED, now);
            break;
        case MARK_CONFIG_SENT:
            m_record.m_startOfStreamingTime = now;
            break;
        case MARK_INPUT_COMPLETE_SENT:
            m_record.m_endOfStreamingTime = now;
            m_record.m_timeline.Mark(TurnTimeline::HALF_CLOSE, now);
            break;
        case MARK_STREAM_RESTARTED:
            m_record.PartialReset();
            m_record.m_startTime = now;
            break;
    }
}

// ---- Input path (event processor thread) --------------------------------------------

bool Channel::ProcessStartOfInput(mpf_sdi_mode_e mode) {
    if (!m_activeRequest)
        return false;
    if (m_record.m_enabled)
        m_record.m_startOfInputTime = apr_time_now();
    if (mode == MPF_SDI_MODE_SPEECH) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Speech Input Started <%s@%s>", GetId(),
                sm_Suffix);
        m_record.m_timeline.Mark(TurnTimeline::START_OF_SPEECH);
        if (m_record.m_speechInputStarted)
            return false;
        m_record.m_speechInputStarted = true;
        if (m_record.m_streamCreated && m_method)
            m_method->ProcessStartOfSpeechInput();
        if (m_record.m_startOfInputSent ||
            m_record.m_streamingSettings.m_startOfInput ==
                StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED)
            return true;
        SendStartOfInput(MPF_SDI_MODE_SPEECH);
        return true;
    }
    if (mode == MPF_SDI_MODE_DTMF) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "DTMF Input Started <%s@%s>", GetId(),
                sm_Suffix);
        if (m_record.m_dtmfInputStarted)
            return false;
        m_record.m_dtmfInputStarted = true;
        if (m_record.m_startOfInputSent)
            return true;
        SendStartOfInput(MPF_SDI_MODE_DTMF);
        return true;
    }
    return true;
}

bool Channel::ProcessSpeechInput(DataChunk& chunk, bool last) {
    if (!m_activeRequest) {
        chunk.Free();
        return false;
    }
    if (m_finalResponsePending) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Speech <%s@%s>", GetId(),
                sm_Suffix);
        chunk.Free();
        ProcessStop();
        return false;
    }
    if (!m_record.m_speechInputStarted) {
        m_record.m_speechInputStarted = true;
        m_record.m_timeline.Mark(TurnTimeline::START_OF_SPEECH);
        if (m_record.m_enabled)
            m_record.m_startOfInputTime = apr_time_now();
        if (m_record.m_streamCreated && m_method)
            m_method->ProcessStartOfSpeechInput();
    }
    if (m_method)
        m_method->ProcessSpeechInput(chunk, last);
    // A STOP that came when the detector had already ended its input gets no stop event
    // from it: it is carried out here.
    if (last && m_stopResponse)
        ProcessStop();
    return true;
}

bool Channel::ProcessDtmfInput(const std::string& digits, bool matched) {
    if (!m_activeRequest)
        return false;
    m_record.m_confidence = 1.0f;
    m_record.m_inputText = digits;
    CompleteInput();
    if (m_method)
        m_method->ProcessDtmfInput(digits, matched);
    if (m_stopResponse)
        ProcessStop();  // as for the last speech block
    return true;
}

bool Channel::ProcessDtmfDigit(char digit) {
    if (!m_activeRequest || !m_method)
        return false;
    return m_method->ProcessDtmfDigit(digit);
}

bool Channel::ProcessNoInput() {
    if (!m_activeRequest)
        return false;
    m_record.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    CompleteInput();
    if (!m_method || !m_method->ProcessNoInput())
        CompleteRecognition(m_record.m_completionCause, "", "");
    return true;
}

void Channel::ProcessStop() {
    if (!m_activeRequest)
        return;
    CompleteInput();
    if (!m_method || !m_method->ProcessStop())
        CompleteRecognition(m_record.m_completionCause, "", "");
}

void Channel::ProcessError() {
    if (!m_activeRequest)
        return;
    if (m_record.m_completionCause == RECOGNIZER_COMPLETION_CAUSE_UNKNOWN)
        m_record.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
    if (!m_record.m_inputComplete && !m_eventGrammar) {
        StopInput();
        return;
    }
    CompleteRecognition(m_record.m_completionCause, "", "");
}

bool Channel::CompleteInput() {
    if (m_record.m_inputComplete)
        return false;
    TakeInputStats();
    m_record.m_inputComplete = true;
    if (m_record.m_enabled)
        m_record.m_endOfInputTime = apr_time_now();
    if (m_record.m_speechInputStarted)
        m_record.m_timeline.Mark(TurnTimeline::END_OF_SPEECH);
    const mpf_sdi_stats_t& stats = m_record.m_inputStats;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Input Complete [%s] size=%d bytes, dur=%d ms <%s@%s>",
            mpf_sdi_completion_cause_str(static_cast<mpf_sdi_completion_cause_e>(stats.cause)),
            static_cast<int>(stats.size), static_cast<int>(stats.duration), GetId(), sm_Suffix);
    return true;
}

void Channel::ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status,
                              mrcp_recog_completion_cause_e cause) {
    response->start_line.status_code = status;
    mrcp_resource_header_get(response)->completion_cause = cause;
    mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
}

std::string Channel::RemoveQuotes(const std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

bool Channel::SendMessage(mrcp_message_t* message) {
    return mrcp_engine_channel_message_send(m_hostChannel, message) == TRUE;
}

bool Channel::TakeDeferredRequest(mrcp_message_t*& request, mrcp_message_t*& response) {
    if (m_deferredRequests.empty())
        return false;
    request = m_deferredRequests.front().first;
    response = m_deferredRequests.front().second;
    m_deferredRequests.pop_front();
    return true;
}

void Channel::Dump(FILE* out) const {
    std::fprintf(out, "%s\n", GetId());
}

bool Channel::DetermineProfile() {
    m_credentials = m_engine->GetDefaultProfile();
    const char* file = apr_table_get(m_hostChannel->attribs, "gapp-credentials-file");
    if (!file)
        return true;
    std::string path;
    if (!m_engine->GetCredentialsFilePath(path, file, m_hostChannel->pool)) {
        // Never fall back to the engine's credentials for a channel that asked for others.
        m_credentials.m_credentials.reset();
        return true;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Find Credentials [%s] <%s@%s>", path.c_str(),
            GetId(), sm_Suffix);
    if (!m_engine->FindCredentials(path, m_credentials)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Credentials [%s] <%s@%s>",
                path.c_str(), GetId(), sm_Suffix);
        if (!m_engine->CreateCredentials(path, m_credentials))
            m_credentials.m_credentials.reset();
    }
    return true;
}

bool Channel::UseEndpoint(const std::string& endpoint) {
    auto found = m_links.find(endpoint);
    if (found != m_links.end()) {
        m_link = &found->second;
        return true;
    }
    m_link = nullptr;
    for (auto link = m_links.begin(); link != m_links.end();)
        link = link->first == m_firstEndpoint ? std::next(link) : m_links.erase(link);
    if (m_links.empty())
        m_firstEndpoint = endpoint;
    return CreateGrpcChannel(endpoint);
}

bool Channel::CreateGrpcChannel(const std::string& endpoint) {
    if (!m_credentials.m_credentials) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Get Credentials <%s@%s>",
                GetId(), sm_Suffix);
        return false;
    }
    const StreamingRecogSettings& settings = m_engine->GetSettings().m_streaming;
    grpc::ChannelArguments arguments;
    if (settings.m_maxRecvMessageLength > 0)
        arguments.SetMaxReceiveMessageSize(settings.m_maxRecvMessageLength);
    if (settings.m_maxSendMessageLength > 0)
        arguments.SetMaxSendMessageSize(settings.m_maxSendMessageLength);
    std::string target = EndpointTarget(endpoint, settings.m_endpointAddresses, arguments);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Connect to Endpoint [%s] at [%s] <%s@%s>",
            endpoint.c_str(), target.c_str(), GetId(), sm_Suffix);
    // A connection shared with few enough other channels that the service never makes a
    // call of this channel wait for a free stream.
    ServiceLink link;
    link.m_connection =
        m_engine->GetConnectionPool().Acquire(target, m_credentials.m_credentials, arguments);
    link.m_grpcChannel = link.m_connection.GetChannel();
    if (!link.m_grpcChannel) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Create gRPC Channel <%s@%s>", GetId(), sm_Suffix);
        return false;
    }
    m_link = &(m_links[endpoint] = std::move(link));
    if (CreateGrpcStub())
        return true;
    m_links.erase(endpoint);
    m_link = nullptr;
    return false;
}

std::string Channel::GetApi() const {
    std::string api = m_engine->GetSettings().m_streaming.m_api;
    if (const char* attribute = apr_table_get(m_hostChannel->attribs, "api"))
        api = attribute;
    return api.empty() ? "v2" : api;
}

bool Channel::CreateGrpcStub() {
    const std::string api = GetApi();
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Create gRPC Session Stub [%s] <%s@%s>",
            api.c_str(), GetId(), sm_Suffix);
    std::shared_ptr<StubBase> stub = CreateSessionStub(api, this);
    if (!stub) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown API [%s] <%s@%s>",
                api.c_str(), GetId(), sm_Suffix);
    } else {
        m_link->m_v2Stub.reset();
        m_link->m_v2beta1Stub.reset();
        m_link->m_v3beta1Stub.reset();
        if (api == "v2")
            m_link->m_v2Stub = stub;
        else if (api == "v2beta1")
            m_link->m_v2beta1Stub = stub;
        else
            m_link->m_v3beta1Stub = stub;
        if (stub->CreateGrpcStub())
            return true;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Create gRPC Session Stub [%s] <%s@%s>", api.c_str(), GetId(), sm_Suffix);
    return false;
}

bool Channel::CreateMethod() {
    ReleaseMethod();
    const std::string& name = m_record.m_streamingSettings.m_method;
    if (!name.empty() && name != "StreamingDetectIntent") {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unknown gRPC Method Specified [%s] <%s@%s>", name.c_str(), GetId(), sm_Suffix);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Create gRPC Method [%s] <%s@%s>", name.c_str(), GetId(), sm_Suffix);
        return false;
    }
    for (const std::shared_ptr<StubBase>* stub :
         {&m_link->m_v2Stub, &m_link->m_v2beta1Stub, &m_link->m_v3beta1Stub}) {
        if (*stub) {
            m_method = (*stub)->CreateStreamingDetectIntentMethod();
            break;
        }
    }
    if (!m_method) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Create gRPC Method [%s] <%s@%s>",
                name.empty() ? "StreamingDetectIntent" : name.c_str(), GetId(), sm_Suffix);
        return false;
    }
    return true;
}

void Channel::ReleaseMethod() {
    if (!m_method)
        return;
    // A method with operations in flight lives on through them; it must no longer reach
    // this channel for anything but what it finishes now.
    if (m_method->IsContextActive())
        m_method->Cancel();
    m_method.reset();
}

}  // namespace Zeph
