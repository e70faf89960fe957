// The Dialogflow CX v3beta1 session stub of a channel: the generated CX Sessions stub on the
// channel's gRPC channel, and the factory of its streaming methods.
//
// Threads: the engine's event processor thread (created, used and destroyed there).
#pragma once

#include <google/cloud/dialogflow/cx/v3beta1/session.grpc.pb.h>

#include "OsrZephStubSession.h"
#include "OsrZephStubV3beta1.h"

namespace Zeph {
namespace APIV3BETA1 {

class SessionStub : public TypedSessionStub<google::cloud::dialogflow::cx::v3beta1::Sessions,
                                            StreamingDetectIntentMethod> {
public:
    using TypedSessionStub::TypedSessionStub;
};

}  // namespace APIV3BETA1
}  // namespace Zeph
