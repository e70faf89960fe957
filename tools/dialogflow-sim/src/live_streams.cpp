#include "live_streams.h"

#include <vector>

namespace DialogflowSim {

uint64_t LiveStreams::Add(EndFunction end) {
    std::vector<std::function<void()>> released;
    uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ticket = next_ticket_++;
        open_.emplace(ticket, std::move(end));
        if (gate_ > 0 && open_.size() >= gate_) {
            gate_ = 0;
            released.swap(waiting_);
        }
    }
    for (const auto& go : released) {
        go();
    }
    return ticket;
}

void LiveStreams::SetGate(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_ = count;
}

bool LiveStreams::AwaitGate(std::function<void()> go) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gate_ == 0) {
        return true;
    }
    waiting_.push_back(std::move(go));
    return false;
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
