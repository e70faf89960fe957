// Shared pieces of the framework tests: APR set-up, a controllable clock, a processor
// pumped by the test thread and a log device that keeps what it gets.
#pragma once

#include <apr_general.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <ostedpf/OstEdpfLogger.h>
#include <ostedpf/OstEdpfSoftEventProcessor.h>
#include <ostedpf/OstEdpfTimer.h>

namespace OstEdpfTest {

class AprEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(apr_initialize(), APR_SUCCESS); }
    void TearDown() override { apr_terminate(); }
};

inline ::testing::Environment* const sm_aprEnvironment =
    ::testing::AddGlobalTestEnvironment(new AprEnvironment());

// "Now" under the test's control, readable from any thread.
class FakeClock {
public:
    explicit FakeClock(apr_time_t start = apr_time_from_sec(1000000)) : m_now(start) {}
    void Install(OstEdpf::TimerQueue& queue) {
        queue.SetClock([this] { return m_now.load(); });
    }
    void AdvanceMs(int64_t ms) { m_now.fetch_add(ms * 1000); }
    void Set(apr_time_t now) { m_now.store(now); }
    apr_time_t Now() const { return m_now.load(); }

private:
    std::atomic<apr_time_t> m_now;
};

// Runs posted events when the test says so, on the test's thread.
class ManualTimerProcessor : public OstEdpf::AsyncEventTimerProcessor {
public:
    ~ManualTimerProcessor() override {
        for (OstEdpf::AsyncEvent* event : m_events)
            event->Unref();
    }
    bool PostEvent(OstEdpf::AsyncEvent* event) override {
        m_events.push_back(event);
        return true;
    }
    // Processes events until none is left; returns how many ran.
    size_t Pump() {
        size_t count = 0;
        while (!m_events.empty()) {
            OstEdpf::AsyncEvent* event = m_events.front();
            m_events.pop_front();
            ProcessEvent(event);
            ++count;
        }
        return count;
    }
    size_t Pending() const { return m_events.size(); }

private:
    std::deque<OstEdpf::AsyncEvent*> m_events;
};

// Runs a function as an event.
class CallEvent : public OstEdpf::AsyncEvent {
public:
    explicit CallEvent(std::function<void()> call) : m_call(std::move(call)) {}
    void Process() override { m_call(); }

private:
    std::function<void()> m_call;
};

inline bool Post(OstEdpf::AsyncEventProcessor& processor, std::function<void()> call) {
    OstEdpf::AsyncEvent* event = new CallEvent(std::move(call));
    event->Ref();
    return processor.PostEvent(event);
}

// Runs `call` on the processor's thread and waits for it.
inline void RunOn(OstEdpf::AsyncEventProcessor& processor, std::function<void()> call) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Post(processor, [&] {
        call();
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return finished; });
}

// Keeps every record; the list is read after the logger has shut down, or under Lock().
class CollectingLogDevice : public OstEdpf::LogDevice {
public:
    struct Shared {
        std::mutex mutex;
        std::vector<OstEdpf::LogRecord> records;
        std::vector<std::string> calls;  // "open <name>", "close <name>"
        bool Contains(const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& record : records) {
                if (record.message == message)
                    return true;
            }
            return false;
        }
    };

    CollectingLogDevice(const std::string& name, Shared* shared, bool result = true)
        : LogDevice(name), m_shared(shared), m_result(result) {}
    ~CollectingLogDevice() override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->calls.push_back("delete " + m_facility.GetName());
    }
    bool Open() override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->calls.push_back("open " + m_facility.GetName());
        return true;
    }
    bool Close() override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->calls.push_back("close " + m_facility.GetName());
        return true;
    }
    bool ProcessLogRecord(const OstEdpf::LogRecord& record) override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->records.push_back(record);
        return m_result;
    }

private:
    Shared* m_shared;
    bool m_result;
};

}  // namespace OstEdpfTest
