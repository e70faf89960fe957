// Throughput and latency of one SoftEventProcessor, and the cost of timer work with
// many timers queued. Each figure that depends on the machine is also reported as a
// ratio to a baseline measured earlier in the same run.
#include <apr_general.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <ostedpf/OstEdpfSoftEventProcessor.h>
#include <ostedpf/OstEdpfTimer.h>

using namespace OstEdpf;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Baselines, filled by the first benchmark of each family (they run in order).
double g_eventsPerSecondOneThread = 0;
double g_idleMedianNs = 0;
double g_timerStartStopNs1000 = 0;
double g_timerAdvanceNs1000 = 0;

class CountingEvent : public AsyncEvent {
public:
    explicit CountingEvent(std::atomic<int64_t>* processed) : m_processed(processed) {}
    void Process() override { m_processed->fetch_add(1, std::memory_order_release); }

private:
    std::atomic<int64_t>* m_processed;
};

void PostCounting(SoftEventProcessor& processor, std::atomic<int64_t>* processed) {
    AsyncEvent* event = new CountingEvent(processed);
    event->Ref();
    processor.PostEvent(event);
}

// Events per second through one processor, posted by state.range(0) threads at once.
void BM_EventsPerSecond(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    constexpr int kPerThread = 50000;
    SoftEventProcessor processor;
    processor.Start();
    std::atomic<int64_t> processed{0};
    int64_t expected = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto begin = SteadyClock::now();
        std::vector<std::thread> posters;
        for (int t = 0; t < threads; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < kPerThread; ++i)
                    PostCounting(processor, &processed);
            });
        }
        for (auto& poster : posters)
            poster.join();
        expected += static_cast<int64_t>(threads) * kPerThread;
        while (processed.load(std::memory_order_acquire) < expected)
            std::this_thread::yield();
        seconds += std::chrono::duration<double>(SteadyClock::now() - begin).count();
    }
    processor.Shutdown(true);
    const double rate = static_cast<double>(expected) / seconds;
    state.counters["events_per_s"] = rate;
    if (threads == 1)
        g_eventsPerSecondOneThread = rate;
    if (g_eventsPerSecondOneThread > 0)
        state.counters["vs_1_thread"] = rate / g_eventsPerSecondOneThread;
}
BENCHMARK(BM_EventsPerSecond)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

class StampedEvent : public AsyncEvent {
public:
    StampedEvent(std::vector<int64_t>* samples, std::atomic<bool>* done)
        : m_posted(SteadyClock::now()), m_samples(samples), m_done(done) {}
    void Process() override {
        m_samples->push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - m_posted)
                .count());
        if (m_done)
            m_done->store(true, std::memory_order_release);
    }

private:
    SteadyClock::time_point m_posted;
    std::vector<int64_t>* m_samples;
    std::atomic<bool>* m_done;
};

// Latency from PostEvent to Process(): range(0) == 0 on an idle processor (each event
// wakes the thread), 1 with three other threads flooding the same queue.
void BM_PostToProcessLatency(benchmark::State& state) {
    const bool loaded = state.range(0) != 0;
    SoftEventProcessor processor;
    processor.Start();
    std::vector<int64_t> samples;  // processor thread only until shutdown
    samples.reserve(1 << 20);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> background{0};
    std::vector<std::thread> flooders;
    if (loaded) {
        for (int t = 0; t < 3; ++t) {
            flooders.emplace_back([&] {
                while (!stop.load(std::memory_order_relaxed)) {
                    // Bounded backlog so the queue stays short but never empty.
                    for (int i = 0; i < 64; ++i)
                        PostCounting(processor, &background);
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            });
        }
    }
    for (auto _ : state) {
        std::atomic<bool> done{false};
        AsyncEvent* event = new StampedEvent(&samples, &done);
        event->Ref();
        processor.PostEvent(event);
        while (!done.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    stop = true;
    for (auto& flooder : flooders)
        flooder.join();
    processor.Shutdown(true);
    std::sort(samples.begin(), samples.end());
    if (samples.empty())
        return;
    const double median = static_cast<double>(samples[samples.size() / 2]);
    const double p99 = static_cast<double>(samples[samples.size() * 99 / 100]);
    state.counters["p50_ns"] = median;
    state.counters["p99_ns"] = p99;
    state.counters["p99_vs_p50"] = p99 / median;
    if (!loaded)
        g_idleMedianNs = median;
    if (loaded && g_idleMedianNs > 0)
        state.counters["p50_vs_idle"] = median / g_idleMedianNs;
}
BENCHMARK(BM_PostToProcessLatency)->Arg(0)->Arg(1)->UseRealTime()->Iterations(20000);

class NullHandler : public TimerHandler {
public:
    int64_t fired = 0;
    void OnTimeoutElapsed(Timer*) override { ++fired; }
};

// A fake clock for the timer queue, moved by the benchmark only.
struct BenchClock {
    apr_time_t now = apr_time_from_sec(1000);
};

std::vector<Timer*> FillQueue(TimerQueue& queue, NullHandler& handler, int count,
                              Timer::Type type) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int64_t> timeout(1, 60000);
    std::vector<Timer*> timers;
    timers.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto* timer = new Timer(&handler, timeout(random), type, Timer::LIFETIME_OWNER);
        queue.AddTimer(timer);
        timers.push_back(timer);
    }
    return timers;
}

void FreeTimers(TimerQueue& queue, std::vector<Timer*>& timers) {
    for (Timer* timer : timers) {
        queue.RemoveTimer(timer);
        delete timer;
    }
}

// Reports the loop's time per iteration and its ratio to the 1 000-timer baseline.
void ReportPerOp(benchmark::State& state, SteadyClock::time_point begin, double* baseline) {
    const double ns = std::chrono::duration<double, std::nano>(SteadyClock::now() - begin).count() /
                      static_cast<double>(state.iterations());
    state.counters["ns_per_op"] = ns;
    if (state.range(0) == 1000)
        *baseline = ns;
    if (*baseline > 0)
        state.counters["vs_1000_timers"] = ns / *baseline;
}

// One start and one stop of a timer with a random timeout among range(0) queued timers.
void BM_TimerStartStop(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchClock clock;
    TimerQueue queue;
    queue.SetClock([&clock] { return clock.now; });
    NullHandler handler;
    std::vector<Timer*> timers = FillQueue(queue, handler, count, Timer::ONE_SHOT);
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> timeout(1, 60000);
    auto begin = SteadyClock::now();
    for (auto _ : state) {
        Timer timer(&handler, timeout(random), Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
        queue.AddTimer(&timer);
        queue.RemoveTimer(&timer);
    }
    ReportPerOp(state, begin, &g_timerStartStopNs1000);
    FreeTimers(queue, timers);
}
BENCHMARK(BM_TimerStartStop)->Arg(1000)->Arg(100000);

// Advancing the clock by 1 ms with range(0) periodic timers queued (timeouts 1..60000 ms,
// so about range(0)/30000 fire and re-arm per advance).
void BM_TimerAdvance(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchClock clock;
    TimerQueue queue;
    queue.SetClock([&clock] { return clock.now; });
    NullHandler handler;
    std::vector<Timer*> timers = FillQueue(queue, handler, count, Timer::PERIODIC);
    auto begin = SteadyClock::now();
    for (auto _ : state) {
        clock.now += 1000;
        queue.Advance();
    }
    ReportPerOp(state, begin, &g_timerAdvanceNs1000);
    state.counters["fired_per_advance"] =
        static_cast<double>(handler.fired) / static_cast<double>(state.iterations());
    FreeTimers(queue, timers);
}
BENCHMARK(BM_TimerAdvance)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
    apr_initialize();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    apr_terminate();
    return 0;
}
