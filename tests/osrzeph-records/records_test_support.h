// What the utterance and record tests share: a fresh folder, the framework's logger with a
// device that keeps every record, a processor for the folder's timers pumped by the test on
// a controllable clock, and an APR pool standing in for a channel's.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <apr_pools.h>
#include <gtest/gtest.h>
#include <ostedpf/OstEdpfLogger.h>

#include "../common/test_audio.h"
#include "../ostedpf/ostedpf_test_support.h"

namespace ZephRecordsTest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Names of the entries of a folder ("." and ".." left out).
inline std::multiset<std::string> ListDir(const std::string& dir) {
    std::multiset<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    closedir(d);
    return names;
}

// Open file descriptors of this process.
inline size_t OpenFdCount() {
    return ListDir("/proc/self/fd").size();
}

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = ZephTest::MakeTempDir("zeph-records");
        ASSERT_FALSE(m_root.empty());
        m_dir = m_root + "/files";
        ASSERT_EQ(mkdir(m_dir.c_str(), 0700), 0);
        ASSERT_EQ(apr_pool_create(&m_pool, nullptr), APR_SUCCESS);
        OstEdpf::Logger* logger = OstEdpf::Logger::CreateInstance();
        ASSERT_TRUE(logger->AddLogDevice(new OstEdpfTest::CollectingLogDevice("TEST", &m_log)));
        ASSERT_TRUE(logger->Start());
        m_clock.Install(m_processor.GetTimerQueue());
        m_fdsAtStart = OpenFdCount();
    }

    // The fixture's managers, destroyed before the end-of-test checks.
    virtual void DestroyManagers() {}

    void TearDown() override {
        DestroyManagers();
        // The stops of the managers' timers; then nothing may be left behind.
        m_processor.Pump();
        EXPECT_EQ(m_processor.Pending(), 0u);
        EXPECT_TRUE(m_processor.GetTimerQueue().IsEmpty());
        EXPECT_EQ(OpenFdCount(), m_fdsAtStart);
        OstEdpf::Logger::DestroyInstance();
        apr_pool_destroy(m_pool);
        ZephTest::RunCommand("rm -rf '" + m_root + "'");
    }

    // Flushes the logger and tells whether a record with exactly that message went through.
    bool Logged(const std::string& message) {
        OstEdpf::Logger::GetInstance()->Shutdown();
        return m_log.Contains(message);
    }

    // Queues the timers started so far, lets `ms` pass and runs what is due.
    void Elapse(int64_t ms) {
        m_processor.Pump();
        m_clock.AdvanceMs(ms);
        m_processor.GetTimerQueue().Advance();
        m_processor.Pump();
    }

    size_t m_fdsAtStart = 0;
    std::string m_root;
    std::string m_dir;  // the managers' folder, inside m_root
    apr_pool_t* m_pool = nullptr;
    OstEdpfTest::CollectingLogDevice::Shared m_log;
    OstEdpfTest::FakeClock m_clock;
    // Outlives the managers: the stops of their timers run after them.
    OstEdpfTest::ManualTimerProcessor m_processor;
};

}  // namespace ZephRecordsTest
