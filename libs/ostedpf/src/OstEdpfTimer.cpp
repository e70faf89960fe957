#include <ostedpf/OstEdpfTimer.h>

#include <chrono>

namespace OstEdpf {

apr_time_t MonotonicNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Timer::Timer(TimerHandler* handler, int64_t timeout, Type type, LifeTime lifetime)
    : m_handler(handler), m_timeout(timeout), m_type(type), m_lifetime(lifetime) {}

bool Timer::Start(AsyncEventTimerProcessor* processor) {
    // Exchange: of two racing starts only one posts.
    if (!processor || m_started.exchange(true))
        return false;
    m_processor.store(processor, std::memory_order_release);
    AsyncEvent* event = new StartTimerEvent(this);
    event->Ref();
    if (processor->PostEvent(event))
        return true;
    // Refused (and released): no queue will ever hold or delete this timer.
    m_processor.store(nullptr, std::memory_order_release);
    m_started.store(false);
    return false;
}

bool Timer::Stop() {
    AsyncEventTimerProcessor* processor = GetProcessor();
    if (!processor || m_stopping.exchange(true))
        return false;
    AsyncEvent* event = new StopTimerEvent(this);
    event->Ref();
    return processor->PostEvent(event);
}

void StartTimerEvent::Process() {
    m_timer->GetProcessor()->ProcessStartTimer(m_timer);
}

void StopTimerEvent::Process() {
    m_timer->GetProcessor()->ProcessStopTimer(m_timer);
}

TimerQueue::TimerQueue() : m_clock(&MonotonicNow) {}

TimerQueue::~TimerQueue() {
    for (auto& item : m_timers) {
        if (item.second->m_lifetime == Timer::LIFETIME_QUEUE) {
            delete item.second;
        } else {
            item.second->m_queued = false;
            item.second->m_expiry = 0;
        }
    }
}

bool TimerQueue::AddTimer(Timer* timer) {
    // A negative timeout would make a periodic timer fire forever within one advance.
    if (!timer || timer->m_timeout <= 0 || !timer->m_handler)
        return false;
    if (timer->m_queued)
        Unlink(timer);
    // Measured from the last advance, not from now: the loop advances often enough that
    // the difference stays within one pass.
    timer->m_expiry = timer->m_timeout + m_elapsed;
    Insert(timer);
    timer->m_handler->OnTimerStarted(timer);
    return true;
}

void TimerQueue::Insert(Timer* timer) {
    if (m_timers.empty())
        m_lastAdvance = m_clock();
    // Behind every timer of the same expiry, so equal timeouts fire in start order.
    timer->m_position =
        m_timers.emplace_hint(m_timers.upper_bound(timer->m_expiry), timer->m_expiry, timer);
    timer->m_queued = true;
}

void TimerQueue::Unlink(Timer* timer) {
    m_timers.erase(timer->m_position);
    timer->m_queued = false;
    timer->m_expiry = 0;
}

bool TimerQueue::RemoveTimer(Timer* timer) {
    if (!timer)
        return false;
    if (timer->m_queued)
        Unlink(timer);
    timer->m_started.store(false);
    timer->m_stopping.store(false);
    if (timer->m_handler)
        timer->m_handler->OnTimerStopped(timer);
    if (timer->m_lifetime == Timer::LIFETIME_QUEUE)
        delete timer;
    if (m_timers.empty())
        m_elapsed = 0;
    return true;
}

int64_t TimerQueue::GetTimeout() const {
    if (m_timers.empty())
        return 0;
    return m_timers.begin()->first - m_elapsed;
}

void TimerQueue::Rebase() {
    // Subtracting the same amount from every key (floored at 0) keeps the order, so the
    // nodes go back in the same sequence at the end of the new map.
    std::multimap<int64_t, Timer*> rebased;
    while (!m_timers.empty()) {
        auto node = m_timers.extract(m_timers.begin());
        int64_t expiry = node.key() - m_elapsed;
        if (expiry < 0)
            expiry = 0;
        node.key() = expiry;
        node.mapped()->m_expiry = expiry;
        node.mapped()->m_position = rebased.insert(rebased.end(), std::move(node));
    }
    m_timers.swap(rebased);
    m_elapsed = 0;
}

bool TimerQueue::Advance() {
    if (m_timers.empty())
        return true;
    apr_time_t now = m_clock();
    // A clock that stepped back: wait until it passes the last advance again.
    if (now < m_lastAdvance)
        return false;
    // Whole milliseconds only; the remainder stays for the next advance, or advances more
    // often than once a millisecond (a busy loop) would never move the counter.
    int64_t ms = (now - m_lastAdvance) / 1000;
    m_elapsed += ms;
    m_lastAdvance += ms * 1000;
    if (m_elapsed > sm_rebaseThreshold)
        Rebase();

    while (!m_timers.empty() && m_timers.begin()->first <= m_elapsed) {
        Timer* timer = m_timers.begin()->second;
        Unlink(timer);
        if (timer->m_stopping.load())
            continue;  // its stop event finishes it
        if (timer->m_type == Timer::PERIODIC) {
            if (timer->m_handler)
                timer->m_handler->OnTimeoutElapsed(timer);
            timer->m_expiry = timer->m_timeout + m_elapsed;
            Insert(timer);
        } else {
            timer->m_started.store(false);
            // The handler may delete the timer here.
            if (timer->m_handler)
                timer->m_handler->OnTimeoutElapsed(timer);
        }
    }
    if (m_timers.empty())
        m_elapsed = 0;
    return true;
}

}  // namespace OstEdpf
