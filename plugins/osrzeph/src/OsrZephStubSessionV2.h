// The Dialogflow ES v2 session stub of a channel: the generated Sessions stub on the
// channel's gRPC channel, and the factory of its streaming methods.
//
// Threads: the engine's event processor thread (created, used and destroyed there).
#pragma once

#include <grpcpp/channel.h>

#include <memory>

#include <google/cloud/dialogflow/v2/session.grpc.pb.h>

#include "OsrZephStub.h"

namespace Zeph {

class StreamHost;

namespace APIV2 {

class SessionStub : public StubBase {
public:
    // `grpcChannel` is the channel's shared gRPC channel.
    SessionStub(Channel* channel, std::shared_ptr<grpc::Channel> grpcChannel);

    // Creates the generated stub on the gRPC channel (replacing any previous one).
    bool CreateGrpcStub() override;

    // A method for the channel's next recognition, on the engine's completion queue and
    // event processor. The channel serves the method as its StreamHost. Null without a
    // generated stub, a gRPC task or a host.
    std::shared_ptr<MethodBase> CreateStreamingDetectIntentMethod() override;

    // The same for any `host`: completions go through `queue` and are processed on
    // `processor`; `streamCreationTimeout` is the engine's setting (ms, 0 = none).
    std::shared_ptr<MethodBase> CreateStreamingDetectIntentMethod(
        StreamHost* host, grpc::CompletionQueue* queue,
        OstEdpf::AsyncEventTimerProcessor* processor, long streamCreationTimeout);

private:
    std::shared_ptr<grpc::Channel> m_grpcChannel;
    std::unique_ptr<google::cloud::dialogflow::v2::Sessions::Stub> m_stub;
};

}  // namespace APIV2
}  // namespace Zeph
