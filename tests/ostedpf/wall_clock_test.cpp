// Steps of the wall clock. This program defines apr_time_now itself, so that APR's wall
// clock (and only it) can be stepped: timers must go on measuring elapsed time, while log
// timestamps and file ages follow the wall clock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "../common/test_audio.h"
#include "ostedpf_test_support.h"

#include <ostedpf/OstEdpfFileManager.h>

using namespace OstEdpf;
using OstEdpfTest::CollectingLogDevice;
using OstEdpfTest::ManualTimerProcessor;

namespace {
// Added to the real wall clock by the apr_time_now below.
std::atomic<apr_time_t> g_wallStep{0};
}  // namespace

extern "C" apr_time_t apr_time_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<apr_time_t>(now.tv_sec) * APR_USEC_PER_SEC + now.tv_nsec / 1000 +
           g_wallStep.load();
}

namespace {

class WallClockTest : public ::testing::Test {
protected:
    void TearDown() override { g_wallStep.store(0); }
};

class CountingHandler : public TimerHandler {
public:
    int elapsed = 0;
    void OnTimeoutElapsed(Timer*) override { ++elapsed; }
};

TEST_F(WallClockTest, TimersGoOnWhenTheWallClockStepsBack) {
    ManualTimerProcessor processor;  // the timer queue keeps its default clock
    CountingHandler handler;
    auto* periodic = new Timer(&handler, 1, Timer::PERIODIC);
    ASSERT_TRUE(periodic->Start(&processor));
    processor.Pump();
    ASSERT_EQ(processor.GetTimerQueue().GetSize(), 1u);

    g_wallStep.store(-apr_time_from_sec(3600));  // an hour back, as NTP or an operator might
    // Elapsed time is real time here: keep advancing until the timer has fired twice.
    for (int i = 0; i < 5000 && handler.elapsed < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(processor.GetTimerQueue().Advance());
    }
    EXPECT_GE(handler.elapsed, 2);

    periodic->Stop();
    processor.Pump();
    EXPECT_TRUE(processor.GetTimerQueue().IsEmpty());
}

TEST_F(WallClockTest, TimersDoNotFireEarlyWhenTheWallClockStepsForward) {
    ManualTimerProcessor processor;
    CountingHandler handler;
    auto* oneShot = new Timer(&handler, 10 * 60 * 1000);  // ten minutes
    ASSERT_TRUE(oneShot->Start(&processor));
    processor.Pump();
    g_wallStep.store(apr_time_from_sec(3600));
    EXPECT_TRUE(processor.GetTimerQueue().Advance());
    EXPECT_EQ(handler.elapsed, 0);
    oneShot->Stop();
    processor.Pump();
    EXPECT_TRUE(processor.GetTimerQueue().IsEmpty());
}

TEST_F(WallClockTest, LogTimestampsAndFileAgesFollowTheWallClock) {
    std::string dir = ZephTest::MakeTempDir("ostedpf-wall");
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/utt-1.wav";
    std::ofstream(path) << "data";

    CollectingLogDevice::Shared shared;
    Logger* logger = Logger::CreateInstance();
    ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("TEST", &shared)));
    ASSERT_TRUE(logger->Start());
    LogFacility facility("UTTM", LOG_LEVEL_DEBUG);

    // Two hours ahead: the one-hour age of the file has run out by the wall clock.
    g_wallStep.store(apr_time_from_sec(2 * 3600));
    ManualTimerProcessor processor;
    {
        FileManager manager(&facility);
        manager.SetDirectory(dir);
        manager.SetFilePrefix("utt-");
        manager.SetFileExtension(".wav");
        manager.SetMaxFileAge(60);
        manager.SetTimerProcessor(&processor);
        ASSERT_TRUE(manager.LoadFileEntries());
        EXPECT_EQ(manager.GetFileCount(), 0u);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // A year back (and more): the timestamp shows the stepped wall clock's year.
    g_wallStep.store(-apr_time_from_sec(400LL * 24 * 3600));
    logger->Log(LOG_LEVEL_INFO, __FILE__, __LINE__, "stepped");
    Logger::DestroyInstance();
    g_wallStep.store(0);

    apr_time_exp_t expected;
    apr_time_exp_lt(&expected, apr_time_now() - apr_time_from_sec(400LL * 24 * 3600));
    std::string year = std::to_string(expected.tm_year + 1900);
    bool found = false;
    for (const LogRecord& record : shared.records) {
        if (record.message == "stepped") {
            found = true;
            // Within a day of the same moment, so the year matches but near New Year.
            bool nearNewYear = (expected.tm_mon == 0 && expected.tm_mday == 1) ||
                               (expected.tm_mon == 11 && expected.tm_mday == 31);
            if (!nearNewYear) {
                EXPECT_EQ(record.timestamp.substr(0, 4), year) << record.timestamp;
            }
        }
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(shared.Contains("Remove file utt-1.wav [max file age]"));
    ZephTest::RunCommand("rm -rf '" + dir + "'");
}

}  // namespace
