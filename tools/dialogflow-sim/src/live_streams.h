// The streams still open, so that shutdown can end them with a status of its own, the one
// the client then sees and the record keeps, rather than have gRPC cut them; and the gate
// that holds streams back until a number of them are open at once. Any thread may call any
// method; the end functions run on the thread that calls EndAll(), the gate's waiters on the
// thread whose Add() opens it, outside the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

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
    // From now on AwaitGate() holds its callers back until `count` streams are open at
    // once; the gate then stays open. 0 (the default) means no gate. Call before any Add().
    void SetGate(size_t count);
    // True when the gate is open (or there is none); otherwise keeps `go` and runs it when
    // the gate opens, and returns false.
    bool AwaitGate(std::function<void()> go);

private:
    std::mutex mutex_;
    std::condition_variable none_open_;
    std::map<uint64_t, EndFunction> open_;        // mutex_
    uint64_t next_ticket_ = 1;                    // mutex_
    size_t gate_ = 0;                             // mutex_; 0 once open
    std::vector<std::function<void()>> waiting_;  // mutex_
};

}  // namespace DialogflowSim
