#include "timer_queue.h"

namespace DialogflowSim {

TimerQueue::TimerQueue() : thread_([this] { Run(); }) {}

TimerQueue::~TimerQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void TimerQueue::Schedule(int delay_ms, std::function<void()> action) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        due_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms),
                     std::move(action));
    }
    wake_.notify_one();
}

void TimerQueue::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = due_.begin();
        if (first->first > std::chrono::steady_clock::now()) {
            wake_.wait_until(lock, first->first);
            continue;
        }
        std::function<void()> action = std::move(first->second);
        due_.erase(first);
        lock.unlock();
        action();
        lock.lock();
    }
}

}  // namespace DialogflowSim
