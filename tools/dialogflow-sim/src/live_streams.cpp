#include "live_streams.h"

#include <vector>

namespace DialogflowSim {

uint64_t LiveStreams::Add(EndFunction end) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t ticket = next_ticket_++;
    open_.emplace(ticket, std::move(end));
    return ticket;
}

void LiveStreams::Remove(uint64_t ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(ticket);
    if (open_.empty()) {
        none_open_.notify_all();
    }
}

bool LiveStreams::WaitUntilNoneOpen(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return none_open_.wait_until(lock, deadline, [this] { return open_.empty(); });
}

void LiveStreams::EndAll(bool cancel) {
    // Copied first, so that no end function runs under this lock: it takes its stream's.
    std::vector<EndFunction> ends;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [ticket, end] : open_) {
            ends.push_back(end);
        }
    }
    for (const auto& end : ends) {
        end(cancel);
    }
}

}  // namespace DialogflowSim
