// One-shot and periodic millisecond timers and the queue that runs them.
#pragma once

#include <apr_time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>

#include <ostedpf/OstEdpfAsyncEvent.h>

namespace OstEdpf {

class Timer;

// Microseconds on a monotonic clock: the timers' default clock. Elapsed time must not
// follow steps of the wall clock (NTP, an operator), which would freeze or hurry every
// timer; log timestamps and file ages stay on the wall clock (apr_time_now).
apr_time_t MonotonicNow();

// Callbacks run on the thread of the timer's processor.
class TimerHandler {
public:
    virtual ~TimerHandler() = default;
    virtual void OnTimerStarted(Timer* /*timer*/) {}
    virtual void OnTimerStopped(Timer* /*timer*/) {}
    // A one-shot timer is out of the queue and no longer started here: the handler may
    // delete it, Stop() it (deleted then when its lifetime is 0) or Start() it again.
    virtual void OnTimeoutElapsed(Timer* timer) = 0;
};

// Threads: Start() and Stop() from any thread (they post events); everything else is
// done by the queue on the processor's thread. The processor pointer is atomic: Start()
// writes it on one thread while Stop() or the queue reads it on another.
class Timer {
public:
    enum Type { ONE_SHOT = 0, PERIODIC = 1 };
    // 0: the queue deletes the timer once it has been stopped; otherwise the owner does.
    enum LifeTime { LIFETIME_QUEUE = 0, LIFETIME_OWNER = 1 };

    Timer(TimerHandler* handler, int64_t timeout, Type type = ONE_SHOT,
          LifeTime lifetime = LIFETIME_QUEUE);
    virtual ~Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // FALSE without a processor or when already started. FALSE also when the processor
    // refuses the start event (it is not running): the timer is then not started, has no
    // processor and stays the caller's to delete, whatever its lifetime.
    bool Start(AsyncEventTimerProcessor* processor);
    // FALSE without a processor or when a stop is already pending.
    bool Stop();

    TimerHandler* GetHandler() const { return m_handler; }
    // Forgets the handler so that a stop still in flight never calls back into an object
    // that is gone. Processor thread only.
    void DetachHandler() { m_handler = nullptr; }
    int64_t GetTimeout() const { return m_timeout; }
    Type GetType() const { return m_type; }
    int64_t GetExpiry() const { return m_expiry; }
    AsyncEventTimerProcessor* GetProcessor() const {
        return m_processor.load(std::memory_order_acquire);
    }
    bool IsStarted() const { return m_started.load(); }
    bool IsStopping() const { return m_stopping.load(); }
    LifeTime GetLifeTime() const { return m_lifetime; }

private:
    friend class TimerQueue;

    TimerHandler* m_handler;
    int64_t m_timeout;
    Type m_type;
    int64_t m_expiry = 0;  // on the queue's clock; 0 while in no queue
    std::atomic<AsyncEventTimerProcessor*> m_processor{nullptr};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopping{false};
    LifeTime m_lifetime;
    // Membership is kept apart from the expiry, which rebasing may bring down to 0.
    bool m_queued = false;
    std::multimap<int64_t, Timer*>::iterator m_position;  // valid while m_queued
};

// Timers sorted by expiry; among equal expiries, in the order they were added.
//
// Threads: processor thread only (no lock).
class TimerQueue {
public:
    using Clock = std::function<apr_time_t()>;

    TimerQueue();
    ~TimerQueue();  // deletes the timers still queued
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    // FALSE for a null timer or handler and for a timeout that is not positive.
    bool AddTimer(Timer* timer);
    bool RemoveTimer(Timer* timer);
    // Milliseconds until the first timer is due. Only meaningful when not empty.
    int64_t GetTimeout() const;
    // Fires the timers that are due; FALSE when the clock has stepped back.
    bool Advance();

    bool IsEmpty() const { return m_timers.empty(); }
    size_t GetSize() const { return m_timers.size(); }
    int64_t GetElapsed() const { return m_elapsed; }

    // The source of "now" (microseconds); MonotonicNow by default. Tests install a
    // controllable clock here before the processor's thread starts.
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // Past this many milliseconds the elapsed counter is folded into the expiries.
    static constexpr int64_t sm_rebaseThreshold = 65534;

private:
    void Insert(Timer* timer);
    void Unlink(Timer* timer);
    void Rebase();

    std::multimap<int64_t, Timer*> m_timers;
    int64_t m_elapsed = 0;         // ms since the clock was last rebased
    apr_time_t m_lastAdvance = 0;  // µs
    Clock m_clock;
};

// Posted by Timer::Start/Stop; run the queue work on the timer's processor.
class StartTimerEvent : public AsyncEvent {
public:
    explicit StartTimerEvent(Timer* timer) : m_timer(timer) {}
    void Process() override;

private:
    Timer* m_timer;
};

class StopTimerEvent : public AsyncEvent {
public:
    explicit StopTimerEvent(Timer* timer) : m_timer(timer) {}
    void Process() override;

private:
    Timer* m_timer;
};

}  // namespace OstEdpf
