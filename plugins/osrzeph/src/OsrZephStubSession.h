// The session stub of an API flavour, written once: the flavour's generated Sessions stub on
// the channel's shared gRPC channel, and the factory of the flavour's streaming methods.
// A flavour names its generated service and its method class:
//
//   class SessionStub : public TypedSessionStub<v2beta1::Sessions, StreamingDetectIntentMethod>
//
// Threads: the engine's event processor thread (created, used and destroyed there).
#pragma once

#include <grpcpp/channel.h>

#include <memory>

#include <ostrin/apt_log.h>

#include "OsrZephChannel.h"
#include "OsrZephLog.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStub.h"
#include "OsrZephTask.h"

namespace Zeph {

template <class Sessions, class Method>
class TypedSessionStub : public StubBase {
public:
    // `grpcChannel` is the channel's shared gRPC channel.
    TypedSessionStub(Channel* channel, std::shared_ptr<grpc::Channel> grpcChannel)
        : StubBase(channel), m_grpcChannel(std::move(grpcChannel)) {}

    // Creates the generated stub on the gRPC channel (replacing any previous one).
    bool CreateGrpcStub() override {
        m_stub.reset();
        if (m_grpcChannel)
            m_stub = Sessions::NewStub(m_grpcChannel);
        if (!m_stub) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Create gRPC Sessions Stub <%s@%s>",
                    m_channel ? m_channel->GetId() : "", Channel::sm_Suffix);
            return false;
        }
        return true;
    }

    // A method for the channel's next recognition, on the engine's completion queue and
    // event processor. The channel serves the method as its StreamHost. Null without a
    // generated stub, a gRPC task or a host.
    std::shared_ptr<MethodBase> CreateStreamingDetectIntentMethod() override {
        auto* host = dynamic_cast<StreamHost*>(m_channel);
        Engine* engine = m_channel ? m_channel->GetEngine() : nullptr;
        if (!host || !engine || !engine->GetGrpcTask())
            return nullptr;
        return CreateStreamingDetectIntentMethod(
            host, engine->GetGrpcTask()->GetCompletionQueue(), engine->GetEventProcessor(),
            engine->GetSettings().m_streaming.m_streamCreationTimeout);
    }

    // The same for any `host`: completions go through `queue` and are processed on
    // `processor`; `streamCreationTimeout` is the engine's setting (ms, 0 = none).
    std::shared_ptr<MethodBase> CreateStreamingDetectIntentMethod(
        StreamHost* host, grpc::CompletionQueue* queue,
        OstEdpf::AsyncEventTimerProcessor* processor, long streamCreationTimeout) {
        if (!m_stub)
            return nullptr;
        return std::make_shared<Method>(m_channel, host, m_stub.get(), queue, processor,
                                        streamCreationTimeout);
    }

private:
    std::shared_ptr<grpc::Channel> m_grpcChannel;
    std::unique_ptr<typename Sessions::Stub> m_stub;
};

}  // namespace Zeph
