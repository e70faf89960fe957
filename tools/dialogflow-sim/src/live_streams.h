// The streams still open, so that shutdown can end them with a status of its own, the one
// the client then sees and the record keeps, rather than have gRPC cut them. Any thread may
// call any method; the end functions run on the thread that calls EndAll(), outside the
// lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace DialogflowSim {

class LiveStreams {
public:
    // Ends the stream for shutdown; with cancel true, cancels its call (when its end cannot
    // go out).
    using EndFunction = std::function<void(bool cancel)>;

    // A stream opens. Returns the ticket that Remove() takes.
    uint64_t Add(EndFunction end);
    // The stream is done: gRPC has called its OnDone.
    void Remove(uint64_t ticket);
    // Waits until no stream is open or the deadline passes; true when none is open.
    bool WaitUntilNoneOpen(std::chrono::steady_clock::time_point deadline);
    // Calls the end function of every stream open now.
    void EndAll(bool cancel);

private:
    std::mutex mutex_;
    std::condition_variable none_open_;
    std::map<uint64_t, EndFunction> open_;  // mutex_
    uint64_t next_ticket_ = 1;              // mutex_
};

}  // namespace DialogflowSim
