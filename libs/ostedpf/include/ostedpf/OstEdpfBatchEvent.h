// An event that carries many hand-offs to a processor for the cost of one post.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <ostedpf/OstEdpfAsyncEvent.h>

namespace OstEdpf {

// Producers append items (AppendAll); Post() queues the event on its processor unless it is queued
// already, so a burst of hand-offs wakes the processor once. Process() takes every item
// appended so far and hands each to Handle() in the order of appending, then destroys it
// before the next is handled. Hence:
// - the items of one producer keep their order;
// - an item appended before another event is posted to the same processor is handled
//   before that event when the poster calls Post() first;
// - an item appended while Process() runs waits for the next Post().
// The event is used again and again: its item storage is kept from one batch to the next,
// so a steady flow of hand-offs allocates nothing.
//
// Lifetime: reference counted like every event. The owner keeps one reference for as long
// as it appends; each post holds another until the processor has run or released it.
// Items never handled (the processor refused the post, or the event is destroyed with items
// waiting) are destroyed unhandled, so an item's destructor must release what it carries.
//
// Threads: AppendAll() and Post() from any thread; WaitUntilHandled() from any
// thread but the processor's; Process() and Handle() on the processor's thread.
template <typename Item>
class BatchEvent : public AsyncEvent {
public:
    // Moves every item of `items` in, in order, and leaves `items` empty (its storage kept).
    void AppendAll(std::vector<Item>& items) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (Item& item : items)
                m_items.push_back(std::move(item));
            m_appended += items.size();
        }
        items.clear();
    }

    // Queues the event when items wait and it is not queued yet. FALSE when the processor
    // refuses it (it is shutting down): the waiting items are then destroyed unhandled.
    bool Post(AsyncEventProcessor* processor) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queued || m_items.empty())
                return true;
            m_queued = true;
        }
        Ref();
        if (processor && processor->PostEvent(this))
            return true;
        if (!processor)
            Unref();
        std::vector<Item> refused;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queued = false;
            refused.swap(m_items);
            m_handled.store(m_appended);
        }
        m_handledChanged.notify_all();
        return false;
    }

    // Waits until every item appended so far has been handled (or dropped), at most
    // `timeout`. FALSE on the time-out.
    bool WaitUntilHandled(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const uint64_t target = m_appended;
        ++m_waiters;
        bool handled =
            m_handledChanged.wait_for(lock, timeout, [&] { return m_handled.load() >= target; });
        --m_waiters;
        return handled;
    }

    void Process() override {
        HandleWaiting();
        NotifyHandled();
    }

protected:
    // Processor thread: handles every item appended so far, in order.
    void HandleWaiting() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_handling.swap(m_items);
            m_queued = false;
            m_takenForHandling = m_appended;
        }
        for (Item& waiting : m_handling) {
            Item item(std::move(waiting));
            Handle(item);
        }
        m_handling.clear();
    }

    // Processor thread: wakes WaitUntilHandled() for what HandleWaiting() has handled.
    void NotifyHandled() {
        m_handled.store(m_takenForHandling);
        // Nobody waits (the usual case): the lock is not taken at all.
        if (m_waiters.load() == 0)
            return;
        // Taken between the update and the notification, so a waiter cannot check the old
        // count and then miss the notification.
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_handledChanged.notify_all();
    }

    // Processor thread: one item, in order.
    virtual void Handle(Item& item) = 0;

private:
    std::mutex m_mutex;
    std::vector<Item> m_items;  // guarded by m_mutex
    bool m_queued = false;      // guarded by m_mutex: a post is in the processor's queue
    uint64_t m_appended = 0;    // guarded by m_mutex: items appended since construction
    // Of those, handled or dropped: written under m_mutex or by the processor's thread
    // (NotifyHandled). Sequentially consistent with m_waiters: a notifier that sees no
    // waiter is seen by any later waiter.
    std::atomic<uint64_t> m_handled{0};
    std::atomic<int> m_waiters{0};    // written under m_mutex
    uint64_t m_takenForHandling = 0;  // the processor's thread: m_appended at the last take
    std::condition_variable m_handledChanged;
    std::vector<Item> m_handling;  // the processor's thread only
};

}  // namespace OstEdpf
