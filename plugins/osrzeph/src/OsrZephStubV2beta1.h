// The Dialogflow ES v2beta1 streaming detect-intent method: the ES layer of the streaming
// engine over the generated google.cloud.dialogflow.v2beta1 classes. It behaves as the v2
// method; only the messages' package and the session log line differ.
//
// Threads: the engine's event processor thread (see StreamingMethod).
#pragma once

#include <google/cloud/dialogflow/v2beta1/session.grpc.pb.h>

#include "OsrZephStreamEs.h"

namespace Zeph {
namespace APIV2BETA1 {

// The generated classes of the v2beta1 API, for EsStreamingMethod.
struct Api {
    using Stub = google::cloud::dialogflow::v2beta1::Sessions::Stub;
    using Request = google::cloud::dialogflow::v2beta1::StreamingDetectIntentRequest;
    using Response = google::cloud::dialogflow::v2beta1::StreamingDetectIntentResponse;
    using QueryResult = google::cloud::dialogflow::v2beta1::QueryResult;
    // An exact enum value name of SpeechModelVariant.
    static bool ParseModelVariant(const std::string& name, int* value);
    static const char* const kSessionLogLine;
};

class StreamingDetectIntentMethod : public EsStreamingMethod<Api> {
public:
    using EsStreamingMethod<Api>::EsStreamingMethod;
};

}  // namespace APIV2BETA1
}  // namespace Zeph
