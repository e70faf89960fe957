#include "OsrZephStubSessionV2.h"

#include <ostrin/apt_log.h>

#include "OsrZephChannel.h"
#include "OsrZephLog.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStubV2.h"
#include "OsrZephTask.h"

namespace Zeph {
namespace APIV2 {

SessionStub::SessionStub(Channel* channel, std::shared_ptr<grpc::Channel> grpcChannel)
    : StubBase(channel), m_grpcChannel(std::move(grpcChannel)) {}

bool SessionStub::CreateGrpcStub() {
    m_stub.reset();
    if (m_grpcChannel)
        m_stub = google::cloud::dialogflow::v2::Sessions::NewStub(m_grpcChannel);
    if (!m_stub) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Create gRPC Sessions Stub <%s@%s>", m_channel ? m_channel->GetId() : "",
                Channel::sm_Suffix);
        return false;
    }
    return true;
}

std::shared_ptr<MethodBase> SessionStub::CreateStreamingDetectIntentMethod() {
    auto* host = dynamic_cast<StreamHost*>(m_channel);
    Engine* engine = m_channel ? m_channel->GetEngine() : nullptr;
    if (!host || !engine || !engine->GetGrpcTask())
        return nullptr;
    return CreateStreamingDetectIntentMethod(
        host, engine->GetGrpcTask()->GetCompletionQueue(), engine->GetEventProcessor(),
        engine->GetSettings().m_streaming.m_streamCreationTimeout);
}

std::shared_ptr<MethodBase> SessionStub::CreateStreamingDetectIntentMethod(
    StreamHost* host, grpc::CompletionQueue* queue, OstEdpf::AsyncEventTimerProcessor* processor,
    long streamCreationTimeout) {
    if (!m_stub)
        return nullptr;
    return std::make_shared<StreamingDetectIntentMethod>(m_channel, host, m_stub.get(), queue,
                                                         processor, streamCreationTimeout);
}

}  // namespace APIV2
}  // namespace Zeph
