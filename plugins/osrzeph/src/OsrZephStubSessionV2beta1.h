// The Dialogflow ES v2beta1 session stub of a channel: the generated v2beta1 Sessions stub on
// the channel's gRPC channel, and the factory of its streaming methods.
//
// Threads: the engine's event processor thread (created, used and destroyed there).
#pragma once

#include <google/cloud/dialogflow/v2beta1/session.grpc.pb.h>

#include "OsrZephStubSession.h"
#include "OsrZephStubV2beta1.h"

namespace Zeph {
namespace APIV2BETA1 {

class SessionStub : public TypedSessionStub<google::cloud::dialogflow::v2beta1::Sessions,
                                            StreamingDetectIntentMethod> {
public:
    using TypedSessionStub::TypedSessionStub;
};

}  // namespace APIV2BETA1
}  // namespace Zeph
