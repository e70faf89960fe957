// The file manager over real files in a fresh folder, with its timers on a processor
// pumped by the test and a controllable clock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../common/test_audio.h"
#include "ostedpf_test_support.h"

#include <ostedpf/OstEdpfFileManager.h>

using namespace OstEdpf;
using OstEdpfTest::CollectingLogDevice;
using OstEdpfTest::FakeClock;
using OstEdpfTest::ManualTimerProcessor;

namespace {

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

apr_time_t ChangeTime(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return 0;
    return apr_time_from_sec(info.st_ctim.tv_sec) + info.st_ctim.tv_nsec / 1000;
}

class FileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ZephTest::MakeTempDir("ostedpf-fm");
        ASSERT_FALSE(dir.empty());
        Logger* logger = Logger::CreateInstance();
        ASSERT_TRUE(logger->AddLogDevice(new CollectingLogDevice("TEST", &shared)));
        ASSERT_TRUE(logger->Start());
        clock.Install(processor.GetTimerQueue());
        manager.SetDirectory(dir);
        manager.SetFilePrefix("utt-");
        manager.SetFileExtension(".wav");
        manager.SetTimerProcessor(&processor);
    }
    void TearDown() override {
        Logger::DestroyInstance();
        ZephTest::RunCommand("rm -rf '" + dir + "'");
    }

    // Writes a file whose change time is later than that of the previous one.
    std::string Write(const std::string& name, const std::string& content = "data") {
        std::string path = dir + "/" + name;
        std::ofstream(path) << content;
        while (ChangeTime(path) <= lastChange) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            chmod(path.c_str(), 0644);  // updates the change time
        }
        lastChange = ChangeTime(path);
        return path;
    }
    // Flushes the logger and tells whether a record with that message went through.
    bool Logged(const std::string& message) {
        Logger::GetInstance()->Shutdown();
        return shared.Contains(message);
    }
    void Elapse(int64_t ms) {
        clock.AdvanceMs(ms);
        processor.GetTimerQueue().Advance();
    }

    std::string dir;
    apr_time_t lastChange = 0;
    CollectingLogDevice::Shared shared;
    LogFacility facility{"UTTM", LOG_LEVEL_DEBUG};
    FakeClock clock;
    ManualTimerProcessor processor;  // outlives the manager: its stops run after
    FileManager manager{&facility};
};

TEST_F(FileManagerTest, CountLimitAtLoadRemovesTheOldestAndLeavesOtherFilesAlone) {
    std::string oldest = Write("utt-1.wav");
    std::string middle = Write("utt-2.wav");
    std::string other = Write("rec-3.wav");
    std::string newest = Write("utt-4.wav");
    std::string wrongExtension = Write("utt-5.json");
    manager.SetMaxFileCount(2);
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_FALSE(Exists(oldest));
    EXPECT_TRUE(Exists(middle));
    EXPECT_TRUE(Exists(newest));
    EXPECT_TRUE(Exists(other));
    EXPECT_TRUE(Exists(wrongExtension));
    EXPECT_EQ(manager.GetFileNames(), (std::multiset<std::string>{"utt-2.wav", "utt-4.wav"}));
    EXPECT_EQ(manager.GetTimerCount(), 0u);  // no age limit

    // Adding beyond the limit drops the oldest again.
    std::string added = Write("utt-6.wav");
    manager.AddFileEntry("utt-6.wav", ChangeTime(added));
    EXPECT_FALSE(Exists(middle));
    EXPECT_TRUE(Logged("Remove file utt-1.wav [max file count]"));
    EXPECT_TRUE(shared.Contains("Remove file utt-2.wav [max file count]"));
    EXPECT_TRUE(shared.Contains("Found file utt-4.wav"));
    EXPECT_FALSE(shared.Contains("Found file rec-3.wav"));
}

TEST_F(FileManagerTest, PurgeExistingDeletesEveryMatchingFileAndIgnoresTheAgeLimit) {
    std::string a = Write("utt-a.wav");
    std::string b = Write("utt-b.wav");
    std::string other = Write("keep.txt");
    manager.SetPurgeExisting(true);
    manager.SetMaxFileAge(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_FALSE(Exists(a));
    EXPECT_FALSE(Exists(b));
    EXPECT_TRUE(Exists(other));
    EXPECT_EQ(manager.GetFileCount(), 0u);
    EXPECT_EQ(processor.Pending(), 0u);
    EXPECT_TRUE(Logged("Remove file utt-a.wav [purge existing]"));
}

TEST_F(FileManagerTest, AddedFileTimesOutAfterItsAge) {
    manager.SetMaxFileAge(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    std::string path = Write("utt-x.wav");
    ASSERT_TRUE(manager.AddFileEntry("utt-x.wav", apr_time_now()));
    processor.Pump();
    Elapse(59999);
    EXPECT_TRUE(Exists(path));
    Elapse(1);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(manager.GetFileCount(), 0u);
    EXPECT_EQ(manager.GetTimerCount(), 0u);
    EXPECT_TRUE(processor.GetTimerQueue().IsEmpty());
    EXPECT_TRUE(Logged("Remove file utt-x.wav [timed out]"));
    EXPECT_TRUE(shared.Contains("Set expiration timer for file utt-x.wav [1 min]"));
}

TEST_F(FileManagerTest, FilesFoundAtLoadGetTheRestOfTheirAge) {
    // The manager's wall clock reads 30 s before the file's age runs out: its timer gets
    // those 30 s, not a fresh minute.
    std::string path = Write("utt-old.wav");
    manager.SetClock([&] { return ChangeTime(path) + apr_time_from_sec(60 - 30); });
    manager.SetMaxFileAge(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_EQ(manager.GetTimerCount(), 1u);
    processor.Pump();
    Elapse(29999);
    EXPECT_TRUE(Exists(path));
    Elapse(1);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(manager.GetFileCount(), 0u);
    EXPECT_TRUE(Logged("Remove file utt-old.wav [timed out]"));
}

TEST_F(FileManagerTest, AFileOlderThanTheMaximumAgeIsRemovedAtLoad) {
    std::string expired = Write("utt-expired.wav");
    std::string young = Write("utt-young.wav");
    // Exactly the age of the older file; the younger one has a moment left.
    apr_time_t now = ChangeTime(expired) + apr_time_from_sec(60);
    ASSERT_LT(now, ChangeTime(young) + apr_time_from_sec(60));
    manager.SetClock([now] { return now; });
    manager.SetMaxFileAge(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_FALSE(Exists(expired));
    EXPECT_TRUE(Exists(young));
    EXPECT_EQ(manager.GetFileNames(), (std::multiset<std::string>{"utt-young.wav"}));
    EXPECT_EQ(manager.GetTimerCount(), 1u);
    processor.Pump();
    EXPECT_TRUE(Logged("Remove file utt-expired.wav [max file age]"));
    EXPECT_FALSE(shared.Contains("Remove file utt-young.wav [max file age]"));
}

TEST_F(FileManagerTest, AnExpirationTimerThatCannotStartIsDroppedAndLogged) {
    SoftEventProcessor stopped;  // never started: refuses every event
    manager.SetTimerProcessor(&stopped);
    manager.SetMaxFileAge(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    std::string path = Write("utt-x.wav");
    ASSERT_TRUE(manager.AddFileEntry("utt-x.wav", ChangeTime(path)));
    EXPECT_EQ(manager.GetFileCount(), 1u);
    EXPECT_EQ(manager.GetTimerCount(), 0u);  // and no timer left behind (leak check)
    EXPECT_TRUE(Logged("Failed to set expiration timer for file utt-x.wav"));
    manager.DestroyFileEntries();
    EXPECT_TRUE(Exists(path));
}

TEST_F(FileManagerTest, EntriesWithEqualTimesAreAllKeptAndExpireOneByOne) {
    manager.SetMaxFileAge(1);
    manager.SetMaxFileCount(3);
    ASSERT_TRUE(manager.LoadFileEntries());
    apr_time_t same = apr_time_now();
    std::vector<std::string> paths;
    for (const char* name : {"utt-a.wav", "utt-b.wav", "utt-c.wav"}) {
        paths.push_back(Write(name));
        manager.AddFileEntry(name, same);
    }
    EXPECT_EQ(manager.GetFileCount(), 3u);
    EXPECT_EQ(manager.GetTimerCount(), 3u);

    // Over the count, the first added of equal times goes first.
    paths.push_back(Write("utt-d.wav"));
    manager.AddFileEntry("utt-d.wav", same);
    EXPECT_FALSE(Exists(paths[0]));
    EXPECT_EQ(manager.GetFileNames(),
              (std::multiset<std::string>{"utt-b.wav", "utt-c.wav", "utt-d.wav"}));

    processor.Pump();
    Elapse(60000);
    for (const auto& path : paths)
        EXPECT_FALSE(Exists(path)) << path;
    EXPECT_EQ(manager.GetFileCount(), 0u);
    EXPECT_EQ(manager.GetTimerCount(), 0u);
}

TEST_F(FileManagerTest, AnEntryOlderThanAllOthersBeyondTheCountIsDroppedAtOnce) {
    manager.SetMaxFileAge(1);
    manager.SetMaxFileCount(1);
    ASSERT_TRUE(manager.LoadFileEntries());
    std::string fresh = Write("utt-new.wav");
    std::string stale = Write("utt-stale.wav");
    manager.AddFileEntry("utt-new.wav", apr_time_now());
    manager.AddFileEntry("utt-stale.wav", apr_time_now() - apr_time_from_sec(10));
    EXPECT_FALSE(Exists(stale));
    EXPECT_TRUE(Exists(fresh));
    EXPECT_EQ(manager.GetTimerCount(), 1u);
    processor.Pump();
}

TEST_F(FileManagerTest, MissingFolderIsCreatedUsableByItsOwner) {
    std::string nested = dir + "/a/b";
    manager.SetDirectory(nested);
    EXPECT_EQ(manager.GetDirectory(), nested + "/");
    ASSERT_TRUE(manager.LoadFileEntries());
    struct stat info;
    ASSERT_EQ(stat(nested.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);  // the default folder mode
    std::ofstream file(nested + "/utt-1.wav");
    EXPECT_TRUE(file.good());
    EXPECT_TRUE(Logged("Create directory " + nested + "/"));
}

TEST_F(FileManagerTest, RemoveAndShred) {
    ASSERT_TRUE(manager.LoadFileEntries());
    std::string path = Write("utt-s.wav", std::string(10000, 'A'));
    std::string link = dir + "/shadow";
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);  // sees the content after unlink
    manager.SetShred(true);
    manager.AddFileEntry("utt-s.wav", apr_time_now());
    EXPECT_FALSE(manager.RemoveFileEntry("utt-unknown.wav"));
    EXPECT_TRUE(manager.RemoveFileEntry("utt-s.wav"));
    EXPECT_FALSE(Exists(path));
    std::ifstream in(link, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::string(10000, '\0'));
}

TEST_F(FileManagerTest, DestroyingTheManagerWithTimersInFlightLeavesFilesAndNoDanglingCalls) {
    std::string dropped = Write("utt-1.wav");
    std::string kept;
    {
        auto local = std::make_unique<FileManager>(&facility);
        local->SetDirectory(dir);
        local->SetFilePrefix("utt-");
        local->SetMaxFileAge(1);
        local->SetMaxFileCount(3);
        local->SetTimerProcessor(&processor);
        ASSERT_TRUE(local->LoadFileEntries());
        kept = Write("utt-3.wav");
        local->AddFileEntry("utt-2.wav", apr_time_now());
        local->AddFileEntry("utt-3.wav", apr_time_now());
        processor.Pump();  // the timers are queued
        // Stopped while the manager lives, handled after it is gone.
        local->RemoveFileEntry("utt-2.wav");
        local->AddFileEntry("utt-4.wav", apr_time_now());  // its start is still pending
        local->AddFileEntry("utt-5.wav", apr_time_now());  // drops utt-1 by the count
    }
    // The stop and start events run after the manager is gone (AddressSanitizer watches).
    processor.Pump();
    Elapse(120000);
    EXPECT_FALSE(Exists(dropped));
    EXPECT_TRUE(Exists(kept));
    EXPECT_TRUE(processor.GetTimerQueue().IsEmpty());
}

}  // namespace
