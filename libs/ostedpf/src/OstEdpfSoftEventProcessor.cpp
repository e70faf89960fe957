#include <ostedpf/OstEdpfSoftEventProcessor.h>

#include <apr_errno.h>

#include <ostedpf/OstEdpfTimer.h>

namespace OstEdpf {

namespace {
// Under a steady stream of events the timers are still advanced this often.
constexpr int kEventsPerAdvance = 10;
}  // namespace

SoftEventProcessor::SoftEventProcessor() = default;

SoftEventProcessor::~SoftEventProcessor() {
    if (m_thread)
        SoftEventProcessor::Shutdown(true);
    Cleanup();
}

bool SoftEventProcessor::Start() {
    if (m_pool)
        return false;
    m_closing = false;
    if (apr_pool_create_ex(&m_pool, nullptr, nullptr, nullptr) != APR_SUCCESS) {
        m_pool = nullptr;
        return false;
    }
    if (apr_thread_mutex_create(&m_mutex, APR_THREAD_MUTEX_DEFAULT, m_pool) != APR_SUCCESS ||
        apr_thread_cond_create(&m_cond, m_pool) != APR_SUCCESS ||
        apr_thread_create(&m_thread, nullptr, &SoftEventProcessor::ThreadMain, this, m_pool) !=
            APR_SUCCESS) {
        m_thread = nullptr;
        Cleanup();
        return false;
    }
    return true;
}

void* APR_THREAD_FUNC SoftEventProcessor::ThreadMain(apr_thread_t* thread, void* data) {
    static_cast<SoftEventProcessor*>(data)->Run();
    apr_thread_exit(thread, APR_SUCCESS);
    return nullptr;
}

bool SoftEventProcessor::PostEvent(AsyncEvent* event) {
    if (!m_mutex) {
        // Nothing would ever run or release it.
        event->Unref();
        return false;
    }
    apr_thread_mutex_lock(m_mutex);
    if (m_closing) {
        // It would only be released unprocessed after the exit event.
        apr_thread_mutex_unlock(m_mutex);
        event->Unref();
        return false;
    }
    m_queue.push_back(event);
    if (m_waiting)
        apr_thread_cond_signal(m_cond);
    apr_thread_mutex_unlock(m_mutex);
    return true;
}

bool SoftEventProcessor::HasQueuedEvents() {
    if (!m_mutex)
        return false;
    apr_thread_mutex_lock(m_mutex);
    bool queued = !m_queue.empty();
    apr_thread_mutex_unlock(m_mutex);
    return queued;
}

bool SoftEventProcessor::Shutdown(bool wait) {
    if (!m_thread)
        return false;
    apr_thread_mutex_lock(m_mutex);
    if (!m_closing) {
        AsyncEvent* event = new ExitEvent(this);
        event->Ref();
        m_queue.push_back(event);
        m_closing = true;
        if (m_waiting)
            apr_thread_cond_signal(m_cond);
    }
    apr_thread_mutex_unlock(m_mutex);
    if (wait)
        WaitForShutdown();
    return true;
}

void SoftEventProcessor::WaitForShutdown() {
    if (m_thread) {
        apr_status_t status;
        apr_thread_join(&status, m_thread);
        m_thread = nullptr;
    }
    Cleanup();
}

void SoftEventProcessor::Cleanup() {
    if (m_pool)
        apr_pool_destroy(m_pool);
    m_pool = nullptr;
    m_thread = nullptr;
    m_cond = nullptr;
    m_mutex = nullptr;
    // Only a thread that ended early (an observer refused to start) leaves events here.
    while (!m_queue.empty()) {
        AsyncEvent* event = m_queue.front();
        m_queue.pop_front();
        event->Unref();
    }
}

void SoftEventProcessor::ProcessShutdown() {
    m_running.store(false);
}

bool SoftEventProcessor::OnStart() {
    for (Observer* observer : m_observers) {
        if (!observer->OnStart(this))
            return false;
    }
    return true;
}

void SoftEventProcessor::OnShutdown() {
    for (Observer* observer : m_observers)
        observer->OnShutdown(this);
}

void SoftEventProcessor::Run() {
    if (!OnStart())
        return;
    m_running.store(true);
    TimerQueue& timers = *m_timerQueue;
    int eventsSinceAdvance = 0;
    while (m_running.load()) {
        ++eventsSinceAdvance;
        apr_thread_mutex_lock(m_mutex);
        if (m_queue.empty()) {
            m_waiting = true;
            apr_status_t status;
            if (!timers.IsEmpty()) {
                // At least 1 ms: APR waits without limit for a negative time-out and
                // returns at once for 0, either of which would stall or spin the loop.
                int64_t timeout = timers.GetTimeout();
                if (timeout < 1)
                    timeout = 1;
                status = apr_thread_cond_timedwait(m_cond, m_mutex, timeout * 1000);
            } else {
                status = apr_thread_cond_wait(m_cond, m_mutex);
            }
            m_waiting = false;
            if (status != APR_SUCCESS && !APR_STATUS_IS_TIMEUP(status)) {
                eventsSinceAdvance = 0;
                apr_thread_mutex_unlock(m_mutex);
                continue;
            }
            if (!timers.IsEmpty()) {
                apr_thread_mutex_unlock(m_mutex);
                timers.Advance();
                apr_thread_mutex_lock(m_mutex);
            }
            eventsSinceAdvance = 1;
            if (m_queue.empty()) {
                eventsSinceAdvance = 0;
                apr_thread_mutex_unlock(m_mutex);
                continue;
            }
        }
        AsyncEvent* event = m_queue.front();
        m_queue.pop_front();
        apr_thread_mutex_unlock(m_mutex);

        ProcessEvent(event);

        if (eventsSinceAdvance > kEventsPerAdvance && !timers.IsEmpty()) {
            eventsSinceAdvance = 0;
            timers.Advance();
        }
    }
    OnShutdown();
}

}  // namespace OstEdpf
