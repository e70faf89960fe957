#include "OsrZephChannel.h"

#include <apr_tables.h>

#include "OsrZephLog.h"

namespace Zeph {

namespace {

const char* const kChannelSuffix = Channel::sm_Suffix;

Channel* ChannelOf(mrcp_engine_channel_t* hostChannel) {
    return static_cast<Channel*>(hostChannel->obj);
}

apt_bool_t OnChannelDestroy(mrcp_engine_channel_t* hostChannel) {
    Channel* channel = ChannelOf(hostChannel);
    if (channel) {
        hostChannel->obj = nullptr;
        channel->GetEngine()->DestroyChannel(channel);
    }
    return TRUE;
}

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* hostChannel) {
    return ChannelOf(hostChannel)->SignalEvent(TASK_MSG_OPEN, nullptr);
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

}  // namespace

void ChannelEvent::Process() {
    m_channel->ProcessEvent(*this);
}

void ChannelStartOfInputEvent::Process() {
    m_channel->ProcessStartOfInput(m_mode);
}

void ChannelSpeechInputEvent::Process() {
    m_channel->ProcessSpeechInput(m_chunk, m_last);
}

void ChannelDtmfInputEvent::Process() {
    m_channel->ProcessDtmfInput(m_digits, m_matched);
}

void ChannelDtmfEvent::Process() {
    m_channel->ProcessDtmfDigit(m_digit);
}

const char* const Channel::sm_Suffix = "zeph";

Channel::Channel(Engine* engine) : m_engine(engine) {}

Channel::~Channel() = default;

void Channel::SetHostChannel(mrcp_engine_channel_t* hostChannel) {
    m_hostChannel = hostChannel;
    m_id.assign(hostChannel->id.buf ? hostChannel->id.buf : "");
}

const mrcp_engine_channel_method_vtable_t* Channel::GetMethodVtable() {
    return &kMethodVtable;
}

const mpf_audio_stream_vtable_t* Channel::GetAudioStreamVtable() {
    return &kAudioStreamVtable;
}

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t* message) {
    OstEdpf::SoftEventProcessor* processor = m_engine->GetEventProcessor();
    if (processor) {
        auto* event = new ChannelEvent(this, type, message);
        event->Ref();
        if (processor->PostEvent(event))
            return true;
    }
    AnswerUnposted(type, message);
    return true;
}

void Channel::AnswerUnposted(TaskMsgType type, mrcp_message_t* message) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Engine Not Running: Failed to Signal Event [%d] <%s@%s>", static_cast<int>(type),
            GetId(), kChannelSuffix);
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
        default:
            break;
    }
}

bool Channel::Open() {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open <%s@%s>", GetId(), kChannelSuffix);
    DetermineProfile();
    // The gRPC channel and the session stub of the channel are created here from the
    // profile; without credentials there is nothing to create them with.
    bool status = static_cast<bool>(m_credentials.m_credentials);
    if (!status) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Get Credentials <%s@%s>",
                GetId(), kChannelSuffix);
    } else {
        m_engine->OnOpenChannel(this);
    }
    mrcp_engine_channel_open_respond(m_hostChannel, status ? TRUE : FALSE);
    return status;
}

bool Channel::Close() {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close <%s@%s>", GetId(), kChannelSuffix);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send Close Response <%s@%s>", GetId(),
            kChannelSuffix);
    m_engine->OnCloseChannel(this);
    // The server may destroy the channel as soon as it has this answer: nothing of the
    // channel is touched after it.
    mrcp_engine_channel_close_respond(m_hostChannel);
    return true;
}

bool Channel::ProcessRequest(mrcp_message_t* request) {
    // Recognizer methods are not handled yet: every request is answered 200 COMPLETE.
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    if (!response) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Response <%s@%s>",
                GetId(), kChannelSuffix);
        return false;
    }
    return mrcp_engine_channel_message_send(m_hostChannel, response) == TRUE;
}

bool Channel::Write(const mpf_frame_t* /*frame*/) {
    return true;
}

void Channel::OnTimeoutElapsed(OstEdpf::Timer* /*timer*/) {}

bool Channel::ProcessStartOfInput(mpf_sdi_mode_e /*mode*/) {
    return false;
}

bool Channel::ProcessSpeechInput(DataChunk& chunk, bool /*last*/) {
    chunk.Free();
    return false;
}

bool Channel::ProcessDtmfInput(const std::string& /*digits*/, bool /*matched*/) {
    return false;
}

bool Channel::ProcessDtmfDigit(char /*digit*/) {
    return false;
}

bool Channel::ProcessNoInput() {
    return false;
}

bool Channel::CompleteRecognition(mrcp_recog_completion_cause_e /*cause*/,
                                  const std::string& /*contentType*/, const std::string& /*body*/) {
    return false;
}

bool Channel::ProcessInterimResult(const std::string& /*text*/) {
    return false;
}

bool Channel::ProcessOutputAudioData(const std::string& /*audio*/) {
    return false;
}

bool Channel::ProcessError() {
    return false;
}

bool Channel::ProcessStop() {
    return false;
}

bool Channel::CompleteInput() {
    return false;
}

bool Channel::Recognize(mrcp_message_t* /*request*/, mrcp_message_t* /*response*/) {
    return false;
}

bool Channel::ProcessPendingClose() {
    return false;
}

void Channel::SetWaveformUri(mrcp_message_t* /*message*/) {}

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
            GetId(), kChannelSuffix);
    if (!m_engine->FindCredentials(path, m_credentials)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Credentials [%s] <%s@%s>",
                path.c_str(), GetId(), kChannelSuffix);
        if (!m_engine->CreateCredentials(path, m_credentials))
            m_credentials.m_credentials.reset();
    }
    return true;
}

}  // namespace Zeph
