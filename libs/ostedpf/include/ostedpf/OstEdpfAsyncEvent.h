// Reference-counted events and the abstract processors that run them.
#pragma once

#include <atomic>
#include <cstdint>

namespace OstEdpf {

class Timer;
class TimerQueue;

// An event handed from any thread to a processor. Created with a count of 0, referenced
// once by the poster and released by the processor after Process().
//
// Threads: Ref()/Unref() from any thread; Process() on the processor's thread only.
class AsyncEvent {
public:
    AsyncEvent() = default;
    virtual ~AsyncEvent() = default;
    AsyncEvent(const AsyncEvent&) = delete;
    AsyncEvent& operator=(const AsyncEvent&) = delete;

    virtual void Process() = 0;

    void Ref() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the event when the last reference goes; a count of 0 is left alone.
    void Unref();
    uint32_t GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> m_refCount{0};
};

// Threads: PostEvent() from any thread; ProcessEvent() on the processor's thread.
class AsyncEventProcessor {
public:
    virtual ~AsyncEventProcessor() = default;
    // Takes over the caller's reference.
    virtual bool PostEvent(AsyncEvent* event) = 0;
    // Processes the event, then releases it.
    virtual void ProcessEvent(AsyncEvent* event);
    // Processor thread: whether events wait in its queue. Default: TRUE, as a processor that
    // cannot tell must be assumed busy.
    virtual bool HasQueuedEvents() { return true; }
};

// A processor that also runs millisecond timers. Its timer queue is touched only on the
// processor's thread: timers are started and stopped by events (Timer::Start/Stop).
class AsyncEventTimerProcessor : public AsyncEventProcessor {
public:
    AsyncEventTimerProcessor();
    ~AsyncEventTimerProcessor() override;
    AsyncEventTimerProcessor(const AsyncEventTimerProcessor&) = delete;
    AsyncEventTimerProcessor& operator=(const AsyncEventTimerProcessor&) = delete;

    // Processor thread only.
    virtual bool ProcessStartTimer(Timer* timer);
    virtual bool ProcessStopTimer(Timer* timer);

    // Processor thread only, or before the processor's thread starts (e.g. to install a
    // test clock).
    TimerQueue& GetTimerQueue() { return *m_timerQueue; }

protected:
    TimerQueue* m_timerQueue;
};

}  // namespace OstEdpf
