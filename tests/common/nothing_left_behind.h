// Ends a test the way libuv's tests end: by checking that nothing it started is left
// behind. It knows the threads of the process; the test registers what else it can count
// (live channels, events still queued, timers, and later streams and methods).
//
//   ZephTest::NothingLeftBehind leftovers;            // first thing in the test
//   leftovers.Watch("channels", [&] { return server.LiveChannels(); });
//   ...                                               // the test, closing what it opened
//   EXPECT_TRUE(leftovers.Check());                   // last thing
//
// Threads: our own threads inherit the process's name; gRPC names its threads, which live
// as long as the process once gRPC is in use, so only threads under the process's name
// count. A thread that was joined may take a moment to leave /proc: Check() waits for
// threads (boundedly) before it reports them; counters are read once.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ZephTest {

// The name (comm) of every thread of this process.
inline std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return names;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Threads running under the process's own name (the main thread's), the main thread
// included.
inline size_t OwnThreadCount() {
    std::ifstream comm("/proc/self/comm");
    std::string own;
    std::getline(comm, own);
    size_t count = 0;
    for (const std::string& name : ThreadNames())
        count += name == own;
    return count;
}

class NothingLeftBehind {
public:
    // A thread started and joined first: ThreadSanitizer starts a helper thread of its own
    // with the process's first thread, which must not count as left behind.
    NothingLeftBehind() : m_threads((std::thread([] {}).join(), OwnThreadCount())) {}

    // `live` must read 0 at Check().
    void Watch(std::string what, std::function<size_t()> live) {
        m_counters.emplace_back(std::move(what), std::move(live));
    }

    ::testing::AssertionResult Check() const {
        std::string failures;
        for (const auto& counter : m_counters) {
            size_t live = counter.second();
            if (live != 0)
                failures += " " + std::to_string(live) + " " + counter.first + ";";
        }
        // Generous: a joined thread leaves /proc at once; this only covers a thread that
        // is still on its way out after its last signal.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        size_t threads = OwnThreadCount();
        while (threads > m_threads && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            threads = OwnThreadCount();
        }
        if (threads > m_threads)
            failures += " " + std::to_string(threads - m_threads) + " threads;";
        if (failures.empty())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "left behind:" << failures;
    }

private:
    size_t m_threads;
    std::vector<std::pair<std::string, std::function<size_t()>>> m_counters;
};

}  // namespace ZephTest
