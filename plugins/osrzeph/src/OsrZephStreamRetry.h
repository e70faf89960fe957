// A stream the service refuses at its start is started again, by gRPC itself.
//
// The service ends a stream with UNAVAILABLE (or RESOURCE_EXHAUSTED) when it cannot take it
// just then; the caller's answer must not be lost to that. gRPC's own retry policy (the
// channel's service config) covers exactly this case: it starts the call again, with
// capped exponential back-off and jitter, as long as the service has answered nothing (no
// response headers) and everything written so far is still in the call's retry buffer
// (256 KiB: 8 s of 16 kHz audio), replaying it on the new attempt. The stream engine sees
// one call and never knows; a refusal with any other status (UNAUTHENTICATED,
// PERMISSION_DENIED, INVALID_ARGUMENT, NOT_FOUND, OUT_OF_RANGE, ...) ends the call as before.
//
// gRPC tells the client nothing of its attempts, so each call carries call credentials of
// our own that add nothing: gRPC asks call credentials for their metadata once per attempt,
// which lets StreamAttempts log and count every attempt after the first.
//
// Threads: ComposeRetryServiceConfig on any thread. StreamAttempts is created and read on
// the engine's event processor thread; gRPC reports attempts on its own threads.
#pragma once

#include <grpcpp/client_context.h>

#include <atomic>
#include <memory>
#include <string>

#include "OsrZephSettings.h"

namespace Zeph {

// The service config that retries the Dialogflow StreamingDetectIntent calls of every
// flavour as `settings` ask; empty when they ask for no retry.
std::string ComposeRetryServiceConfig(const StreamingRecogSettings& settings);

// The attempts of the calls of one recognition.
class StreamAttempts : public std::enable_shared_from_this<StreamAttempts> {
public:
    // `logId`: the channel id, for the log line of each retry.
    explicit StreamAttempts(std::string logId) : m_logId(std::move(logId)) {}

    // Event processor thread: counts the attempts of the call of `context`, before it starts.
    void Watch(grpc::ClientContext& context);
    // Attempts made again so far, over every call watched.
    int GetRetries() const { return m_retries.load(); }

    // gRPC's thread: attempt `attempt` (from 1) of a call started.
    void OnAttempt(int attempt);

private:
    const std::string m_logId;
    std::atomic<int> m_retries{0};
};

}  // namespace Zeph
