// The Dialogflow ES v2 session stub of a channel: the generated Sessions stub on the
// channel's gRPC channel, and the factory of its streaming methods.
//
// Threads: the engine's event processor thread (created, used and destroyed there).
#pragma once

#include <google/cloud/dialogflow/v2/session.grpc.pb.h>

#include "OsrZephStubSession.h"
#include "OsrZephStubV2.h"

namespace Zeph {
namespace APIV2 {

class SessionStub : public TypedSessionStub<google::cloud::dialogflow::v2::Sessions,
                                            StreamingDetectIntentMethod> {
public:
    using TypedSessionStub::TypedSessionStub;
};

}  // namespace APIV2
}  // namespace Zeph
