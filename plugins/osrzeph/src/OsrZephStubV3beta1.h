// The Dialogflow CX v3beta1 streaming detect-intent method: the CX layer of the streaming
// engine over the generated google.cloud.dialogflow.cx.v3beta1 classes.
//
// CX differs from ES in the session path (location, agent, environment), the query input
// (its own language code, audio with its config, DTMF as a DTMF input, an event grammar
// triggers an intent), phrase hints without boosts, and a response that holds either a
// recognition result or a detect-intent response with the query result. Everything else is
// the engine's.
//
// Threads: the engine's event processor thread (see StreamingMethod).
#pragma once

#include <google/cloud/dialogflow/cx/v3beta1/session.grpc.pb.h>

#include <string>

#include "OsrZephStream.h"

namespace Zeph {
namespace APIV3BETA1 {

class StreamingDetectIntentMethod : public StreamingMethod {
public:
    using Stub = google::cloud::dialogflow::cx::v3beta1::Sessions::Stub;
    using Request = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentRequest;
    using Response = google::cloud::dialogflow::cx::v3beta1::StreamingDetectIntentResponse;
    using QueryResult = google::cloud::dialogflow::cx::v3beta1::QueryResult;
    using Call = TypedStreamCall<Stub, Request, Response>;

    StreamingDetectIntentMethod(Channel* channel, StreamHost* host, Stub* stub,
                                grpc::CompletionQueue* queue,
                                OstEdpf::AsyncEventTimerProcessor* processor,
                                long streamCreationTimeout);

    // The project and dialog checks, then an agent is required.
    bool Validate() override;

    // The last query result of the recognition, for the result body.
    const QueryResult& GetQueryResult() const { return m_queryResult; }

    // "projects/P/locations/L/agents/A" of the recognition ("global" for an empty location).
    std::string AgentPath() const;

protected:
    std::shared_ptr<StreamCall> NewCall() override;
    void ComposeSessionPath() override;
    bool BuildSpeechRequest() override;
    bool BuildDtmfRequest(const std::string& digits) override;
    bool BuildEventRequest() override;
    void BuildAudioRequest(const char* data, size_t size) override;
    void LogReceivedResponse(bool ok) override;
    void ReadResponse(StreamResponse& response) override;
    void KeepQueryResult(std::string& json) override;
    bool GetQueryText(std::string& text) override;
    bool IsEmptyResult() override;
    RecogResult ComposeRecogResult() override;
    long GetAudioCap() override { return GetHost()->GetStreamingSettings().m_audioCapCx; }

private:
    // A fresh first request with the session path.
    Request& NewRequest();

    Stub* m_stub;
    Call* m_typedCall = nullptr;  // the current call (owned by the engine)
    QueryResult m_queryResult;    // the kept one
};

}  // namespace APIV3BETA1
}  // namespace Zeph
