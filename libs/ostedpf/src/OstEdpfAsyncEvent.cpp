#include <ostedpf/OstEdpfAsyncEvent.h>

#include <ostedpf/OstEdpfTimer.h>

namespace OstEdpf {

void AsyncEvent::Unref() {
    uint32_t count = m_refCount.load(std::memory_order_relaxed);
    // An event nobody referenced is not ours to delete.
    while (count != 0) {
        if (m_refCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
            if (count == 1)
                delete this;
            return;
        }
    }
}

void AsyncEventProcessor::ProcessEvent(AsyncEvent* event) {
    event->Process();
    event->Unref();
}

AsyncEventTimerProcessor::AsyncEventTimerProcessor() : m_timerQueue(new TimerQueue()) {}

AsyncEventTimerProcessor::~AsyncEventTimerProcessor() {
    delete m_timerQueue;
}

bool AsyncEventTimerProcessor::ProcessStartTimer(Timer* timer) {
    return m_timerQueue->AddTimer(timer);
}

bool AsyncEventTimerProcessor::ProcessStopTimer(Timer* timer) {
    return m_timerQueue->RemoveTimer(timer);
}

}  // namespace OstEdpf
