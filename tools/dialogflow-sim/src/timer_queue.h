// One thread that runs delayed work (scripted delays) so that no gRPC thread ever sleeps.
// Schedule() may be called from any thread; the actions run on the timer thread, in
// deadline order. Actions still queued at destruction are dropped without running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace DialogflowSim {

class TimerQueue {
public:
    TimerQueue();
    ~TimerQueue();
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    void Schedule(int delay_ms, std::function<void()> action);

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due_;  // mutex_
    bool stopping_ = false;                                                            // mutex_
    std::thread thread_;
};

}  // namespace DialogflowSim
