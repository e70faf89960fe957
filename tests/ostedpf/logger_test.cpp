// The logger: level names, record formatting, devices on the logger's thread.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "ostedpf_test_support.h"

using namespace OstEdpf;
using OstEdpfTest::CollectingLogDevice;

namespace {

// 'd' stands for any digit; everything else must match as it stands.
bool MatchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                  : text[i] == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

TEST(LogLevelTest, NamesAndTranslation) {
    const char* names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                           "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    const char* formatted[] = {"EMERG  ", "ALERT  ", "CRITIC ", "ERROR  ",
                               "WARN   ", "NOTICE ", "INFO   ", "DEBUG  "};
    for (int i = 0; i < 8; ++i) {
        LogLevel level = static_cast<LogLevel>(i);
        EXPECT_STREQ(GetLogLevelName(level), names[i]);
        EXPECT_STREQ(GetLogLevelFormattedName(level), formatted[i]);
        LogLevel parsed = LOG_LEVEL_EMERGENCY;
        EXPECT_TRUE(TranslateLogLevel(names[i], parsed));
        EXPECT_EQ(parsed, level);
    }
    LogLevel untouched = LOG_LEVEL_NOTICE;
    EXPECT_FALSE(TranslateLogLevel("debug", untouched));  // case matters
    EXPECT_FALSE(TranslateLogLevel("WARN", untouched));
    EXPECT_FALSE(TranslateLogLevel(nullptr, untouched));
    EXPECT_EQ(untouched, LOG_LEVEL_NOTICE);
    EXPECT_STREQ(GetLogLevelName(static_cast<LogLevel>(8)), "");
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        logger = Logger::CreateInstance();
        ASSERT_NE(logger, nullptr);
    }
    void TearDown() override {
        Logger::DestroyInstance();
        EXPECT_EQ(Logger::GetInstance(), nullptr);
    }
    Logger* logger = nullptr;
    CollectingLogDevice::Shared shared;
};

TEST_F(LoggerTest, RecordsAreFormattedFilteredAndDeliveredToEveryDevice) {
    ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("B", &shared)));
    ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("A", &shared, false)));
    CollectingLogDevice::Shared rejected;
    auto* duplicate = new CollectingLogDevice("A", &rejected);
    EXPECT_FALSE(logger->AddLogDevice(duplicate));
    delete duplicate;
    ASSERT_TRUE(logger->Start());
    EXPECT_FALSE(logger->Start());
    auto* late = new CollectingLogDevice("C", &rejected);
    EXPECT_FALSE(logger->AddLogDevice(late));  // devices are fixed while running
    delete late;

    LogFacility facility("UTTM");
    EXPECT_EQ(facility.GetLevel(), LOG_LEVEL_INFO);
    logger->FacilityLog(facility, 0, LOG_LEVEL_DEBUG, 0, "f.cpp", 1, "dropped %d", 1);
    logger->FacilityLog(facility, 0, LOG_LEVEL_NOTICE, 0, "f.cpp", 42, "Remove file %s [%s]",
                        "a.wav", "timed out");
    std::string longText(3000, 'x');
    logger->Log(LOG_LEVEL_ERROR, "g.cpp", 7, "%s", longText.c_str());
    logger->Log(LOG_LEVEL_DEBUG, "g.cpp", 8, "below the global level");
    ASSERT_TRUE(logger->Shutdown());
    EXPECT_FALSE(logger->Shutdown());

    // Devices are opened, fed and closed in name order, then deleted.
    std::vector<std::string> expectedCalls = {"open A",   "open B",  "close A",
                                              "delete A", "close B", "delete B"};
    EXPECT_EQ(shared.calls, expectedCalls);
    // Even though device A reports failure, B gets every record: two records each.
    ASSERT_EQ(shared.records.size(), 4u);
    const LogRecord& record = shared.records[0];
    EXPECT_EQ(record.message, "Remove file a.wav [timed out]");
    EXPECT_EQ(record.facility, "UTTM");
    EXPECT_EQ(record.level, LOG_LEVEL_NOTICE);
    EXPECT_EQ(record.file, "f.cpp");
    EXPECT_EQ(record.line, 42);
    EXPECT_TRUE(MatchesShape(record.timestamp, "dddd-dd-dd dd:dd:dd.dddddd")) << record.timestamp;
    EXPECT_EQ(shared.records[2].facility, "GLOBAL");
    EXPECT_EQ(shared.records[2].message, std::string(1023, 'x'));
}

TEST_F(LoggerTest, ManyThreadsLogWhileTheLoggerShutsDown) {
    ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("A", &shared)));
    ASSERT_TRUE(logger->Start());
    LogFacility facility("RDRM", LOG_LEVEL_DEBUG);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                logger->FacilityLog(facility, 0, LOG_LEVEL_DEBUG, 0, __FILE__, __LINE__,
                                    "thread %d line %d", t, i);
            }
        });
    }
    std::this_thread::yield();
    logger->Shutdown();  // records after this point are dropped, never lost mid-way
    for (auto& thread : threads)
        thread.join();
    std::lock_guard<std::mutex> lock(shared.mutex);
    EXPECT_LE(shared.records.size(), 2000u);
    // Per thread, what got through is in order.
    std::vector<int> next(4, 0);
    for (const auto& record : shared.records) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(record.message.c_str(), "thread %d line %d", &t, &i), 2);
        EXPECT_GE(i, next[t]);
        next[t] = i + 1;
    }
}

TEST_F(LoggerTest, InstanceIsReferenceCountedAndFacilitiesReadItsConfig) {
    EXPECT_EQ(Logger::CreateInstance(), logger);
    Logger::DestroyInstance();
    EXPECT_EQ(Logger::GetInstance(), logger);

    logger->GetFacilityConfig().Create("UT", LOG_LEVEL_WARNING);
    logger->GetFacilityConfig().Create("UTTM", LOG_LEVEL_DEBUG);
    EXPECT_EQ(LogFacility("UTTM").GetLevel(), LOG_LEVEL_DEBUG);
    EXPECT_EQ(LogFacility("UTX").GetLevel(), LOG_LEVEL_WARNING);
    EXPECT_EQ(LogFacility("RDRM").GetLevel(), LOG_LEVEL_INFO);
    EXPECT_EQ(LogFacility("UTTM", LOG_LEVEL_ERROR).GetLevel(), LOG_LEVEL_ERROR);

    // Not started: records are dropped, nothing is queued anywhere.
    logger->Log(LOG_LEVEL_ERROR, __FILE__, __LINE__, "nowhere to go");
}

TEST(LoggerUseTest, TheLastDestroyWhileALogCallIsUnderWayFreesTheLoggerAfterIt) {
    // The arguments of the facility log macro are evaluated inside the call: destroying the
    // logger there is the shortest race with another thread's last DestroyInstance().
    CollectingLogDevice::Shared shared;
    Logger* logger = Logger::CreateInstance();
    ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("A", &shared)));
    ASSERT_TRUE(logger->Start());
    LogFacility facility("RDRM", LOG_LEVEL_DEBUG);
    auto destroy = [] {
        Logger::DestroyInstance();
        return "gone";
    };
    OSTEDPF_FACILITY_LOG(facility, LOG_LEVEL_INFO, "logger %s", destroy());
    EXPECT_EQ(Logger::GetInstance(), nullptr);
    // Shut down at once, devices closed; the record came too late and was dropped.
    std::lock_guard<std::mutex> lock(shared.mutex);
    EXPECT_TRUE(shared.records.empty());
    EXPECT_EQ(shared.calls, (std::vector<std::string>{"open A", "close A", "delete A"}));
}

TEST(LoggerUseTest, ThreadsLogThroughTheMacroWhileTheInstanceComesAndGoes) {
    LogFacility facility("UTTM", LOG_LEVEL_DEBUG);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (!stop.load())
                OSTEDPF_FACILITY_LOG(facility, LOG_LEVEL_DEBUG, "thread %d", t);
        });
    }
    for (int i = 0; i < 2000; ++i) {
        Logger::CreateInstance();
        Logger::DestroyInstance();
    }
    stop.store(true);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Logger::GetInstance(), nullptr);
}

}  // namespace
