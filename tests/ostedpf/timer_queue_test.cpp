// Timer queue rules on a processor pumped by the test and a controllable clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostedpf_test_support.h"

using namespace OstEdpf;
using OstEdpfTest::FakeClock;
using OstEdpfTest::ManualTimerProcessor;

namespace {

// Records every callback as "<event> <name>".
class RecordingHandler : public TimerHandler {
public:
    std::vector<std::string> log;
    std::vector<Timer*> elapsedTimers;
    std::map<Timer*, std::string> names;

    Timer* Make(const std::string& name, int64_t timeout, Timer::Type type = Timer::ONE_SHOT,
                Timer::LifeTime lifetime = Timer::LIFETIME_QUEUE) {
        auto* timer = new Timer(this, timeout, type, lifetime);
        names[timer] = name;
        return timer;
    }
    void OnTimerStarted(Timer* timer) override { log.push_back("started " + names[timer]); }
    void OnTimerStopped(Timer* timer) override { log.push_back("stopped " + names[timer]); }
    void OnTimeoutElapsed(Timer* timer) override {
        log.push_back("elapsed " + names[timer]);
        elapsedTimers.push_back(timer);
    }
};

class TimerQueueTest : public ::testing::Test {
protected:
    void SetUp() override { clock.Install(processor.GetTimerQueue()); }
    TimerQueue& queue() { return processor.GetTimerQueue(); }
    // Moves the clock and advances the queue as the loop would.
    void Elapse(int64_t ms) {
        clock.AdvanceMs(ms);
        queue().Advance();
    }

    FakeClock clock;
    ManualTimerProcessor processor;
    RecordingHandler handler;
};

TEST_F(TimerQueueTest, EqualTimeoutsFireInStartOrderAndExactlyOnTime) {
    Timer* a = handler.Make("a", 100);
    Timer* b = handler.Make("b", 100);
    Timer* c = handler.Make("c", 50);
    ASSERT_TRUE(a->Start(&processor));
    ASSERT_TRUE(b->Start(&processor));
    ASSERT_TRUE(c->Start(&processor));
    EXPECT_EQ(processor.Pump(), 3u);
    EXPECT_EQ(queue().GetTimeout(), 50);

    Elapse(49);
    EXPECT_TRUE(handler.elapsedTimers.empty());
    Elapse(1);
    Elapse(50);
    EXPECT_EQ(handler.log, (std::vector<std::string>{"started a", "started b", "started c",
                                                     "elapsed c", "elapsed a", "elapsed b"}));
    EXPECT_TRUE(queue().IsEmpty());
    EXPECT_EQ(queue().GetElapsed(), 0);  // reset once empty
    for (Timer* t : handler.elapsedTimers) {
        EXPECT_FALSE(t->IsStarted());
        delete t;
    }
}

TEST_F(TimerQueueTest, StopBeforeAnExpiredTimerIsHandledSuppressesItsTimeout) {
    Timer* timer = handler.Make("t", 10);
    timer->Start(&processor);
    processor.Pump();
    clock.AdvanceMs(20);  // due, but not advanced yet
    EXPECT_TRUE(timer->Stop());
    EXPECT_FALSE(timer->Stop());  // a stop is already pending
    queue().Advance();
    EXPECT_TRUE(handler.elapsedTimers.empty());
    processor.Pump();  // lifetime 0: deleted by the queue here
    EXPECT_EQ(handler.log, (std::vector<std::string>{"started t", "stopped t"}));
    EXPECT_TRUE(queue().IsEmpty());
}

TEST_F(TimerQueueTest, StartRulesAndRestartOfAnElapsedOneShot) {
    Timer* timer = handler.Make("t", 10, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
    EXPECT_FALSE(timer->Start(nullptr));
    EXPECT_FALSE(timer->Stop());  // never started: no processor
    EXPECT_TRUE(timer->Start(&processor));
    EXPECT_FALSE(timer->Start(&processor));
    processor.Pump();
    Elapse(10);
    ASSERT_EQ(handler.elapsedTimers.size(), 1u);
    EXPECT_FALSE(timer->IsStarted());
    EXPECT_EQ(timer->GetExpiry(), 0);

    EXPECT_TRUE(timer->Start(&processor));  // armed again
    processor.Pump();
    Elapse(10);
    EXPECT_EQ(handler.elapsedTimers.size(), 2u);

    // Owner lifetime: stopping leaves the timer to us.
    timer->Start(&processor);
    processor.Pump();
    timer->Stop();
    processor.Pump();
    EXPECT_FALSE(timer->IsStarted());
    EXPECT_FALSE(timer->IsStopping());
    delete timer;
}

TEST_F(TimerQueueTest, PeriodicTimerReArmsUntilStopped) {
    Timer* timer = handler.Make("p", 30, Timer::PERIODIC);
    timer->Start(&processor);
    processor.Pump();
    for (int i = 0; i < 5; ++i)
        Elapse(30);
    EXPECT_EQ(handler.elapsedTimers.size(), 5u);
    EXPECT_TRUE(timer->IsStarted());
    timer->Stop();
    processor.Pump();
    Elapse(100);
    EXPECT_EQ(handler.elapsedTimers.size(), 5u);
    EXPECT_TRUE(queue().IsEmpty());
}

TEST_F(TimerQueueTest, RejectsTimersThatCouldNeverBeQueuedSafely) {
    EXPECT_FALSE(queue().AddTimer(nullptr));
    EXPECT_FALSE(queue().RemoveTimer(nullptr));
    Timer zero(&handler, 0, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
    Timer negative(&handler, -5, Timer::PERIODIC, Timer::LIFETIME_OWNER);
    Timer orphan(nullptr, 10, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
    EXPECT_FALSE(queue().AddTimer(&zero));
    EXPECT_FALSE(queue().AddTimer(&negative));
    EXPECT_FALSE(queue().AddTimer(&orphan));
    EXPECT_TRUE(queue().IsEmpty());
}

TEST_F(TimerQueueTest, NewTimerCountsFromTheLastAdvance) {
    Timer* anchor = handler.Make("anchor", 1000);
    anchor->Start(&processor);
    processor.Pump();
    Elapse(100);           // elapsed counter 100
    clock.AdvanceMs(400);  // not advanced: the counter stays at 100
    Timer* late = handler.Make("late", 450);
    late->Start(&processor);
    processor.Pump();
    EXPECT_EQ(late->GetExpiry(), 550);
    queue().Advance();  // counter 500
    EXPECT_TRUE(handler.elapsedTimers.empty());
    Elapse(50);  // only 450 ms after the late start, and yet due
    ASSERT_EQ(handler.elapsedTimers.size(), 1u);
    EXPECT_EQ(handler.elapsedTimers[0], late);
    delete late;
    anchor->Stop();
    processor.Pump();
}

TEST_F(TimerQueueTest, ClockSteppingBackSkipsTheAdvanceUntilItCatchesUp) {
    Timer* timer = handler.Make("t", 100);
    timer->Start(&processor);
    processor.Pump();
    Elapse(60);
    clock.AdvanceMs(-5000);
    EXPECT_FALSE(queue().Advance());
    EXPECT_EQ(queue().GetElapsed(), 60);
    clock.AdvanceMs(5000 + 39);  // still 1 ms short of the expiry
    EXPECT_TRUE(queue().Advance());
    EXPECT_TRUE(handler.elapsedTimers.empty());
    Elapse(1);
    ASSERT_EQ(handler.elapsedTimers.size(), 1u);
    delete timer;
}

TEST_F(TimerQueueTest, AdvancesMoreOftenThanEveryMillisecondStillAddUp) {
    Timer* timer = handler.Make("t", 10);
    timer->Start(&processor);
    processor.Pump();
    for (int i = 0; i < 99; ++i) {
        clock.Set(clock.Now() + 100);  // 0.1 ms per advance, as under a flood of events
        queue().Advance();
    }
    EXPECT_TRUE(handler.elapsedTimers.empty());
    clock.Set(clock.Now() + 100);
    queue().Advance();
    ASSERT_EQ(handler.elapsedTimers.size(), 1u);
    delete timer;
}

TEST_F(TimerQueueTest, RebasingKeepsOrderAndDueTimes) {
    Timer* periodic = handler.Make("p", 40000, Timer::PERIODIC);
    Timer* first = handler.Make("first", 70000);
    Timer* second = handler.Make("second", 70000);
    Timer* third = handler.Make("third", 90000);
    for (Timer* t : {periodic, first, second, third})
        t->Start(&processor);
    processor.Pump();

    Elapse(40000);  // periodic fires, re-armed at 80000
    Elapse(25000);  // 65000: not yet over the threshold
    EXPECT_EQ(queue().GetElapsed(), 65000);
    Elapse(1000);  // 66000 > 65534: rebased to 0
    EXPECT_EQ(queue().GetElapsed(), 0);
    EXPECT_EQ(first->GetExpiry(), 4000);
    EXPECT_EQ(queue().GetTimeout(), 4000);
    Elapse(4000);
    Elapse(10000);
    Elapse(10000);
    EXPECT_EQ(handler.log,
              (std::vector<std::string>{"started p", "started first", "started second",
                                        "started third", "elapsed p", "elapsed first",
                                        "elapsed second", "elapsed p", "elapsed third"}));
    delete first;
    delete second;
    delete third;
    periodic->Stop();
    processor.Pump();
}

TEST_F(TimerQueueTest, RemovingEveryTimerResetsTheCounterAndDestructorFreesTheRest) {
    Timer* a = handler.Make("a", 500);
    Timer* b = handler.Make("b", 700);
    a->Start(&processor);
    b->Start(&processor);
    processor.Pump();
    Elapse(200);
    a->Stop();
    processor.Pump();
    EXPECT_EQ(queue().GetElapsed(), 200);
    EXPECT_EQ(queue().GetTimeout(), 500);
    // b stays queued: the queue's destructor frees it (LeakSanitizer checks).
}

}  // namespace
