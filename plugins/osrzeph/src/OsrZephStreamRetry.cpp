#include "OsrZephStreamRetry.h"

#include <algorithm>

namespace Zeph {

bool IsTransientRefusal(grpc::StatusCode code) {
    return code == grpc::StatusCode::UNAVAILABLE || code == grpc::StatusCode::RESOURCE_EXHAUSTED;
}

long RetryDelay(const StreamingRecogSettings& settings, grpc::StatusCode code, int retry,
                long elapsed, double draw) {
    if (!IsTransientRefusal(code) || retry < 1 || retry >= settings.m_retryAttempts)
        return -1;
    long remaining = settings.m_retryBudget - elapsed;
    if (remaining <= 0)
        return -1;
    long maxBackoff = std::max(settings.m_retryMaxBackoff, settings.m_retryBackoff);
    long bound = settings.m_retryBackoff;
    for (int i = 1; i < retry && bound < maxBackoff; ++i)
        bound *= 2;
    bound = std::min(bound, maxBackoff);
    long delay = static_cast<long>(static_cast<double>(bound) * std::clamp(draw, 0.0, 1.0));
    return std::min(delay, remaining);
}

long AudioCapRoom(long cap, long margin, long replayed) {
    return std::max(cap - margin - replayed, cap / 2);
}

}  // namespace Zeph
