// An event processor with a thread of its own, a FIFO event queue and a timer queue.
#pragma once

#include <apr_pools.h>
#include <apr_thread_cond.h>
#include <apr_thread_mutex.h>
#include <apr_thread_proc.h>

#include <atomic>
#include <deque>
#include <vector>

#include <ostedpf/OstEdpfAsyncEvent.h>

namespace OstEdpf {

// Every event and every timer callback runs on the processor's thread, one at a time, so
// the objects it serves need no locks of their own.
//
// Threads:
// - AddObserver(), Start(): the owner, before the thread runs.
// - PostEvent(): any thread from Start() on. Other threads must be done posting before
//   the owner calls WaitForShutdown() or Shutdown(true) returns: its clean-up destroys the
//   mutex. An event is either processed or refused, never accepted and dropped: posts
//   from the moment Shutdown() queues the exit event (and posts before Start()) release
//   the event and return FALSE, so the poster can answer for it.
// - Shutdown(), WaitForShutdown(): the owner, never the processor's own thread when
//   waiting.
// - OnStart(), OnShutdown(), ProcessShutdown(), HasQueuedEvents() and all timer work: the
//   processor's thread.
class SoftEventProcessor : public AsyncEventTimerProcessor {
public:
    // Hooks around the processor's thread, called on that thread in order of addition.
    class Observer {
    public:
        virtual ~Observer() = default;
        // FALSE ends the thread before it handles any event.
        virtual bool OnStart(SoftEventProcessor* /*processor*/) { return true; }
        virtual void OnShutdown(SoftEventProcessor* /*processor*/) {}
    };

    SoftEventProcessor();
    // Shuts down and joins a thread that is still running.
    ~SoftEventProcessor() override;

    // Not owned; must outlive the processor's thread.
    void AddObserver(Observer* observer) { m_observers.push_back(observer); }

    virtual bool Start();
    // Queues the exit event; from then on posts are refused. Every event queued before it
    // is processed.
    virtual bool Shutdown(bool wait);
    virtual void WaitForShutdown();

    // TRUE once the event is queued. Without a running queue (before Start(), after
    // shutdown) the event is released and FALSE returned.
    bool PostEvent(AsyncEvent* event) override;
    bool HasQueuedEvents() override;

    // Run by the exit event: leaves the loop after the current event.
    virtual void ProcessShutdown();

    bool IsRunning() const { return m_running.load(); }

protected:
    virtual bool OnStart();
    virtual void OnShutdown();

private:
    static void* APR_THREAD_FUNC ThreadMain(apr_thread_t* thread, void* data);
    void Run();
    void Cleanup();

    apr_pool_t* m_pool = nullptr;
    apr_thread_t* m_thread = nullptr;
    apr_thread_cond_t* m_cond = nullptr;
    apr_thread_mutex_t* m_mutex = nullptr;
    // libstdc++ grows a deque of pointers in 512-byte blocks: 64 events per block.
    std::deque<AsyncEvent*> m_queue;
    bool m_waiting = false;  // guarded by m_mutex
    bool m_closing = false;  // guarded by m_mutex: the exit event is queued
    std::atomic<bool> m_running{false};
    std::vector<Observer*> m_observers;
};

// Ends the loop of its processor; queued by Shutdown() only.
class ExitEvent : public AsyncEvent {
public:
    explicit ExitEvent(SoftEventProcessor* processor) : m_processor(processor) {}
    void Process() override { m_processor->ProcessShutdown(); }

private:
    SoftEventProcessor* m_processor;
};

}  // namespace OstEdpf
