#include "OsrZephStreamRetry.h"

#include <grpcpp/security/credentials.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include <ostrin/apt_log.h>

#include "OsrZephLog.h"

namespace Zeph {

namespace {

// Seconds as a protobuf Duration in JSON: "0.25s".
std::string Seconds(long ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%ld.%03lds", ms / 1000, ms % 1000);
    return text;
}

// Call credentials that add no metadata and report each time gRPC asks for it: once per
// attempt of the call. Not blocking, so gRPC asks inline.
class AttemptWatch : public grpc::MetadataCredentialsPlugin {
public:
    explicit AttemptWatch(std::shared_ptr<StreamAttempts> attempts)
        : m_attempts(std::move(attempts)) {}

    bool IsBlocking() const override { return false; }
    const char* GetType() const override { return "zeph-attempt-watch"; }
    grpc::Status GetMetadata(grpc::string_ref /*serviceUrl*/, grpc::string_ref /*methodName*/,
                             const grpc::AuthContext& /*channelAuthContext*/,
                             std::multimap<grpc::string, grpc::string>* /*metadata*/) override {
        m_attempts->OnAttempt(++m_attempt);
        return grpc::Status::OK;
    }

private:
    std::shared_ptr<StreamAttempts> m_attempts;
    // gRPC runs the attempts of a call one after the other.
    std::atomic<int> m_attempt{0};
};

}  // namespace

std::string ComposeRetryServiceConfig(const StreamingRecogSettings& settings) {
    if (settings.m_retryAttempts < 2)
        return std::string();
    std::string names;
    for (const char* service :
         {"google.cloud.dialogflow.v2.Sessions", "google.cloud.dialogflow.v2beta1.Sessions",
          "google.cloud.dialogflow.cx.v3beta1.Sessions"}) {
        names += std::string(names.empty() ? "" : ",") + "{\"service\":\"" + service +
                 "\",\"method\":\"StreamingDetectIntent\"}";
    }
    long maxBackoff = std::max(settings.m_retryMaxBackoff, settings.m_retryBackoff);
    // Throttling: once about one call in ten fails, a service that is down gets no retries
    // on top of the calls.
    return "{\"methodConfig\":[{\"name\":[" + names +
           "],\"retryPolicy\":{\"maxAttempts\":" + std::to_string(settings.m_retryAttempts) +
           ",\"initialBackoff\":\"" + Seconds(settings.m_retryBackoff) + "\",\"maxBackoff\":\"" +
           Seconds(maxBackoff) +
           "\",\"backoffMultiplier\":2,\"retryableStatusCodes\":[\"UNAVAILABLE\","
           "\"RESOURCE_EXHAUSTED\"]}}],\"retryThrottling\":{\"maxTokens\":10,\"tokenRatio\":0.1}}";
}

void StreamAttempts::Watch(grpc::ClientContext& context) {
    context.set_credentials(grpc::MetadataCredentialsFromPlugin(
        std::unique_ptr<grpc::MetadataCredentialsPlugin>(new AttemptWatch(shared_from_this()))));
}

void StreamAttempts::OnAttempt(int attempt) {
    if (attempt < 2)
        return;
    ++m_retries;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Retry gRPC Stream Refused at Start: attempt [%d] <%s@%s>", attempt, m_logId.c_str(),
            "zeph");
}

}  // namespace Zeph
