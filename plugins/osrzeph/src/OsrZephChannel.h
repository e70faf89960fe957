// One MRCP recognizer channel, and the events that carry the server's calls for it to the
// engine's event processor.
#pragma once

#include <cstdio>

#include <ostedpf/OstEdpfAsyncEvent.h>
#include <ostedpf/OstEdpfTimer.h>
#include <ostrin/mrcp_engine.h>

#include "OsrZephEngine.h"

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

// Created by Engine::CreateChannel and deleted through Engine::DestroyChannel, on the event
// processor thread behind every event posted for it.
//
// Threads:
// - Server thread: construction, SetHostChannel, the method table (SignalEvent only).
// - Media thread: Write.
// - Event processor thread: ProcessEvent and everything it runs, Dump, destruction. All
//   channel state belongs to this thread and has no lock.
// The destructor may run after the server has released the channel's pool: it must not
// touch the host channel record or anything allocated from its pool.
class Channel : public OstEdpf::TimerHandler {
public:
    explicit Channel(Engine* engine);
    ~Channel() override;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The tables handed to the server at creation.
    static const mrcp_engine_channel_method_vtable_t* GetMethodVtable();
    static const mpf_audio_stream_vtable_t* GetAudioStreamVtable();

    void SetHostChannel(mrcp_engine_channel_t* hostChannel) { m_hostChannel = hostChannel; }
    mrcp_engine_channel_t* GetHostChannel() const { return m_hostChannel; }
    Engine* GetEngine() const { return m_engine; }
    // The server's channel id.
    const char* GetId() const;

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

    void OnTimeoutElapsed(OstEdpf::Timer* timer) override;

    // One line of the channel dump: the channel id.
    void Dump(FILE* out) const;

    const CredentialsProfile& GetCredentials() const { return m_credentials; }

private:
    // The engine's default profile, or the one of the "gapp-credentials-file" attribute.
    bool DetermineProfile();
    void AnswerUnposted(TaskMsgType type, mrcp_message_t* message);

    Engine* m_engine;
    mrcp_engine_channel_t* m_hostChannel = nullptr;
    CredentialsProfile m_credentials;
};

}  // namespace Zeph
