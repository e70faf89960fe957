// The Dialogflow ES v2 streaming detect-intent method: the ES layer of the streaming engine
// over the generated google.cloud.dialogflow.v2 classes.
//
// Threads: the engine's event processor thread (see StreamingMethod).
#pragma once

#include <google/cloud/dialogflow/v2/session.grpc.pb.h>

#include "OsrZephStreamEs.h"

namespace Zeph {
namespace APIV2 {

// The generated classes of the v2 API, for EsStreamingMethod.
struct Api {
    using Stub = google::cloud::dialogflow::v2::Sessions::Stub;
    using Request = google::cloud::dialogflow::v2::StreamingDetectIntentRequest;
    using Response = google::cloud::dialogflow::v2::StreamingDetectIntentResponse;
    using QueryResult = google::cloud::dialogflow::v2::QueryResult;
    // An exact enum value name of SpeechModelVariant.
    static bool ParseModelVariant(const std::string& name, int* value);
    static const char* const kSessionLogLine;
};

class StreamingDetectIntentMethod : public EsStreamingMethod<Api> {
public:
    using EsStreamingMethod<Api>::EsStreamingMethod;
};

}  // namespace APIV2
}  // namespace Zeph
