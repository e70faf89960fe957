// The event processor's thread, queue, shutdown and timer loop.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ostedpf_test_support.h"

using namespace OstEdpf;
using OstEdpfTest::FakeClock;
using OstEdpfTest::Post;
using OstEdpfTest::RunOn;

namespace {

// Counts its own deletions so tests can tell released from leaked.
class CountedEvent : public AsyncEvent {
public:
    CountedEvent(std::atomic<int>* processed, std::atomic<int>* deleted)
        : m_processed(processed), m_deleted(deleted) {}
    ~CountedEvent() override { ++*m_deleted; }
    void Process() override { ++*m_processed; }

private:
    std::atomic<int>* m_processed;
    std::atomic<int>* m_deleted;
};

class RecordingObserver : public SoftEventProcessor::Observer {
public:
    RecordingObserver(std::vector<std::string>* calls, std::string name, bool startResult = true)
        : m_calls(calls), m_name(std::move(name)), m_startResult(startResult) {}
    bool OnStart(SoftEventProcessor*) override {
        m_calls->push_back("start " + m_name);
        return m_startResult;
    }
    void OnShutdown(SoftEventProcessor*) override { m_calls->push_back("shutdown " + m_name); }

private:
    std::vector<std::string>* m_calls;
    std::string m_name;
    bool m_startResult;
};

// Signals a promise on each timeout; counts them.
class CountingHandler : public TimerHandler {
public:
    std::atomic<int> elapsed{0};
    void OnTimeoutElapsed(Timer*) override { ++elapsed; }
};

TEST(SoftEventProcessorTest, EventsFromManyThreadsAreAllProcessedInPerThreadOrder) {
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<int> lastSeen(kThreads, -1);
    std::atomic<bool> inOrder{true};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Only the processor's thread touches lastSeen.
                Post(processor, [&, t, i] {
                    if (lastSeen[t] != i - 1)
                        inOrder = false;
                    lastSeen[t] = i;
                });
            }
        });
    }
    for (auto& poster : posters)
        poster.join();
    ASSERT_TRUE(processor.Shutdown(true));
    EXPECT_TRUE(inOrder);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(lastSeen[t], kPerThread - 1);
    EXPECT_FALSE(processor.Shutdown(true));  // no thread any more
}

TEST(SoftEventProcessorTest, EventsBehindTheExitEventAreReleasedUnprocessed) {
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());
    std::promise<void> release;
    std::shared_future<void> released(release.get_future());
    std::promise<void> blocking;
    Post(processor, [&] {
        blocking.set_value();
        released.wait();
    });
    blocking.get_future().wait();

    std::atomic<int> processed{0}, deleted{0};
    auto postCounted = [&] {
        AsyncEvent* event = new CountedEvent(&processed, &deleted);
        event->Ref();
        processor.PostEvent(event);
    };
    postCounted();
    ASSERT_TRUE(processor.Shutdown(false));  // returns at once
    postCounted();
    postCounted();
    release.set_value();
    processor.WaitForShutdown();
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(deleted, 3);
    EXPECT_FALSE(processor.IsRunning());

    // Posting to a processor that is gone releases the event instead of losing it.
    AsyncEvent* late = new CountedEvent(&processed, &deleted);
    late->Ref();
    EXPECT_FALSE(processor.PostEvent(late));
    EXPECT_EQ(deleted, 4);
}

TEST(SoftEventProcessorTest, ObserversRunInOrderAndAFailedStartEndsTheThread) {
    std::vector<std::string> calls;
    {
        RecordingObserver first(&calls, "first"), second(&calls, "second");
        SoftEventProcessor processor;
        processor.AddObserver(&first);
        processor.AddObserver(&second);
        ASSERT_TRUE(processor.Start());
        EXPECT_FALSE(processor.Start());
        RunOn(processor, [] {});
        EXPECT_TRUE(processor.Shutdown(true));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"start first", "start second", "shutdown first",
                                               "shutdown second"}));

    calls.clear();
    RecordingObserver refusing(&calls, "refusing", false), never(&calls, "never");
    SoftEventProcessor processor;
    processor.AddObserver(&refusing);
    processor.AddObserver(&never);
    ASSERT_TRUE(processor.Start());
    std::atomic<int> processed{0}, deleted{0};
    AsyncEvent* event = new CountedEvent(&processed, &deleted);
    event->Ref();
    processor.PostEvent(event);
    // The thread has ended on its own; shutdown still joins and cleans up.
    EXPECT_TRUE(processor.Shutdown(true));
    EXPECT_EQ(calls, (std::vector<std::string>{"start refusing"}));
    EXPECT_EQ(processed, 0);
    EXPECT_EQ(deleted, 1);
}

TEST(SoftEventProcessorTest, DestructorShutsDownARunningProcessor) {
    std::atomic<int> processed{0}, deleted{0};
    {
        SoftEventProcessor processor;
        ASSERT_TRUE(processor.Start());
        AsyncEvent* event = new CountedEvent(&processed, &deleted);
        event->Ref();
        processor.PostEvent(event);
    }
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(deleted, 1);
}

TEST(SoftEventProcessorTest, TimersFireOnTheRealClock) {
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> order;
    struct Handler : TimerHandler {
        std::function<void(Timer*)> onElapsed;
        void OnTimeoutElapsed(Timer* timer) override { onElapsed(timer); }
    } handler;
    std::map<Timer*, int> ids;
    handler.onElapsed = [&](Timer* timer) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(ids[timer]);
        delete timer;
        cv.notify_one();
    };
    // Started in one pass of the loop: equal timeouts fire in start order.
    RunOn(processor, [&] {
        for (int i = 0; i < 3; ++i) {
            auto* timer = new Timer(&handler, 5);
            ids[timer] = i;
            timer->Start(&processor);
        }
    });
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return order.size() == 3; });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    lock.unlock();
    processor.Shutdown(true);
}

TEST(SoftEventProcessorTest, UnderAFloodOfEventsTimersAdvanceEveryEleventhEvent) {
    FakeClock clock;
    SoftEventProcessor processor;
    clock.Install(processor.GetTimerQueue());
    ASSERT_TRUE(processor.Start());
    // Due at every advance: each flood event moves the clock by a whole period.
    std::vector<int> firedAfter;  // index of the last flood event before each firing
    int lastEvent = -1;
    struct Handler : TimerHandler {
        std::function<void()> onElapsed;
        void OnTimeoutElapsed(Timer*) override { onElapsed(); }
    } handler;
    handler.onElapsed = [&] { firedAfter.push_back(lastEvent); };
    auto* periodic = new Timer(&handler, 1000, Timer::PERIODIC);
    periodic->Start(&processor);
    RunOn(processor, [] {});  // the timer is queued

    // Hold the thread while the flood is queued, so the queue never runs empty and only
    // the advance under load can fire the timer.
    std::promise<void> release;
    std::shared_future<void> released(release.get_future());
    Post(processor, [released] { released.wait(); });
    constexpr int kEvents = 1100;
    for (int i = 0; i < kEvents; ++i) {
        Post(processor, [&, i] {
            lastEvent = i;
            clock.AdvanceMs(1000);
        });
    }
    // Queued behind the flood too: a firing after the queue has run empty is no proof.
    Post(processor, [periodic] { periodic->Stop(); });
    release.set_value();
    processor.Shutdown(true);

    // The count before the first firing depends on when the flood caught the thread.
    ASSERT_GE(firedAfter.size(), 90u);
    for (size_t i = 1; i < firedAfter.size(); ++i)
        EXPECT_EQ(firedAfter[i] - firedAfter[i - 1], 11) << "firing " << i;
}

TEST(SoftEventProcessorTest, TimerStartAndStopFromOtherThreads) {
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());
    CountingHandler handler;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto* timer = new Timer(&handler, 1 + i % 3);
                timer->Start(&processor);
                timer->Stop();  // deleted by the queue once the stop is handled
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    processor.Shutdown(true);
    EXPECT_TRUE(processor.GetTimerQueue().IsEmpty());
}

TEST(SoftEventProcessorTest, ATimerWhoseStartIsRefusedIsNotStartedAndStaysTheCallers) {
    CountingHandler handler;
    SoftEventProcessor processor;  // not started: every post is refused
    auto* timer = new Timer(&handler, 5);
    EXPECT_FALSE(timer->Start(&processor));
    EXPECT_FALSE(timer->IsStarted());
    EXPECT_EQ(timer->GetProcessor(), nullptr);
    EXPECT_FALSE(timer->Stop());  // nothing to stop, nothing posted

    // Once the processor runs, the same timer starts and fires.
    ASSERT_TRUE(processor.Start());
    EXPECT_TRUE(timer->Start(&processor));
    while (handler.elapsed.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RunOn(processor, [timer] { delete timer; });
    processor.Shutdown(true);

    // Refused again after shutdown; the caller deletes it (a leak fails the test).
    auto* late = new Timer(&handler, 5);
    EXPECT_FALSE(late->Start(&processor));
    EXPECT_FALSE(late->IsStarted());
    delete late;
}

TEST(SoftEventProcessorTest, StopFromAnotherThreadWhileTheHandlerRestartsTheTimer) {
    // The handler restarts the one-shot timer on the processor's thread (writing its
    // processor) while the test's thread stops it (reading it).
    struct Restarter : TimerHandler {
        std::atomic<int> fired{0};
        std::atomic<bool> restart{true};
        void OnTimeoutElapsed(Timer* timer) override {
            ++fired;
            if (restart.load())
                timer->Start(timer->GetProcessor());
        }
    } handler;
    auto processor = std::make_unique<SoftEventProcessor>();
    ASSERT_TRUE(processor->Start());
    // Owned here: a restart that lands behind the stop queues it again.
    auto* timer = new Timer(&handler, 1, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
    ASSERT_TRUE(timer->Start(processor.get()));
    while (handler.fired.load() < 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    handler.restart.store(false);
    EXPECT_TRUE(timer->Stop());
    processor->Shutdown(true);
    processor.reset();  // its queue lets go of the timer
    delete timer;
}

}  // namespace
