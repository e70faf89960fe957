// When the stream engine replaces the call of a recognition by a new one: a retry after a
// transient refusal, and the room a call has under the service's audio cap.
//
// The service refuses a stream it cannot take just then with UNAVAILABLE (or
// RESOURCE_EXHAUSTED); the caller's answer must not be lost to that. A call that ends so
// before the service has answered anything is started again by the stream engine, with the
// same first request and every byte of audio sent so far (kept while nothing has been
// answered), after a capped exponential back-off with full jitter, within a budget of
// attempts and of time since the first refusal. Any other status (UNAUTHENTICATED,
// PERMISSION_DENIED, INVALID_ARGUMENT, NOT_FOUND, OUT_OF_RANGE, ...) ends the recognition
// as before.
//
// gRPC's own retry policy (the channel's service config) is not used: with the gRPC 1.51 we
// build with, a retried stream lost one to three 80 ms audio blocks written while gRPC
// switched attempts in about half the runs, and gRPC tells the client nothing of its
// attempts. The engine's own retry replays what it kept, so it loses nothing, and logs and
// counts every attempt.
//
// Threads: pure functions, any thread.
#pragma once

#include <grpcpp/support/status_code_enum.h>

#include <cstdint>

#include "OsrZephSettings.h"

namespace Zeph {

// UNAVAILABLE and RESOURCE_EXHAUSTED: the service may take the same stream a moment later.
bool IsTransientRefusal(grpc::StatusCode code);

// The wait in ms before retry number `retry` (1 for the first) of a call refused with
// `code` before any answer, `elapsed` ms after the first refusal of the turn; `draw` in
// [0, 1) picks the wait below its bound (the back-off, doubled per retry up to the maximum).
// -1: no retry (a final status, the attempts spent, or the budget: no retry starts later
// than "stream-retry-budget" ms after the first refusal).
long RetryDelay(const StreamingRecogSettings& settings, grpc::StatusCode code, int retry,
                long elapsed, double draw);

// How much audio, in ms, a call still awaiting its first answer keeps for a retry; beyond
// it the call is no longer retried (the service would have answered long before).
constexpr long kRetryBufferMs = 10000;

// The ms after a call started at which the engine acts before the service's cap: a call
// that has carried nothing is replaced, speech is ended. `cap` is the flavour's, `replayed`
// the audio ms a retried call carried at once. Never less than half the cap, so that a
// margin set too wide does not turn into a stream replaced every moment.
long AudioCapRoom(long cap, long margin, long replayed);

}  // namespace Zeph
