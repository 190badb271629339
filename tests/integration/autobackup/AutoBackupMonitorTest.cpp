#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "integration/autobackup/BackupFixture.h"
#include "support/ScopedTimeScale.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using namespace zorp::test;

namespace {

class AutoBackupMonitorTest : public ::testing::Test {
protected:
    // 10 s quiet is 500 ms, 60 s after a new folder 3 s, the watch retry 250 ms.
    static constexpr double kScale = 0.05;

    void SetUp() override {
        fs::create_directories(docs);
        fs::create_directories(photos);
        window = target.Attach(&loop);
    }
    void TearDown() override { SetBackupFolders({}); }

    void Start(AutoBackupMonitorMgr& monitor, const std::vector<fs::path>& folders) {
        SetBackupFolders(folders);
        target.monitor = &monitor;
        monitor.SetNotifyWindow(window);
        ASSERT_TRUE(monitor.start());
    }
    bool RunUntil(const std::function<bool()>& done, uint32_t ms = 20000) {
        return loop.RunUntil(done, ms);
    }
    // Runs the loop for a while in which nothing should come.
    void RunFor(uint32_t ms) { loop.RunUntil([] { return false; }, ms); }

    ScopedTimeScale scale{kScale};
    TempDir home{"zorp-backup"};
    fs::path docs = home.path() / "Documents";
    fs::path photos = home.path() / "Photos";
    platform::PlainMessageLoop loop;
    HandOverWindow target;
    platform::WindowHandle window = platform::kNoWindow;
};

TEST_F(AutoBackupMonitorTest, FiveSavesAreOneHandOverAndDeletesAndLeftOutNamesProduceNothing) {
    WriteFile(docs / "old.txt", "old");
    AutoBackupMonitorMgr monitor;
    Start(monitor, {docs});

    const fs::path report = docs / "deep" / "er" / "report.txt";
    fs::create_directories(report.parent_path());
    RunFor(4000);  // the new folders' long quiet period passes with them empty
    target.got.clear();
    for (int save = 1; save <= 5; ++save) {
        WriteFile(report, "save " + std::to_string(save));
    }
    WriteFile(docs / "desktop.ini", "[.ShellClassInfo]");
    WriteFile(docs / "DESKTOP.INI", "[.ShellClassInfo]");
    WriteFile(docs / "~$report.docx", "lock");
    WriteFile(docs / "draft.tmp", "temporary");
    WriteFile(docs / "gone.txt", "short-lived");
    fs::remove(docs / "gone.txt");
    fs::remove(docs / "old.txt");

    ASSERT_TRUE(RunUntil([&] { return !target.got.empty(); }));
    RunFor(1500);
    ASSERT_EQ(target.got.size(), 1u);
    EXPECT_EQ(target.got[0], std::vector<fs::path>{report});
    EXPECT_EQ(monitor.GetStats().rescans, 0u);
}

TEST_F(AutoBackupMonitorTest, AFolderCopiedInIsHandedOverOnceAsAFolderWhenTheCopyHasSettled) {
    AutoBackupMonitorMgr monitor;
    Start(monitor, {docs});

    const fs::path album = docs / "album";
    fs::create_directories(album / "raw");
    const auto start = std::chrono::steady_clock::now();
    // The copy takes longer than the short quiet period: each file a few ms apart.
    for (int i = 0; i < 500; ++i) {
        WriteFile(album / (i % 2 ? "raw" : "") / ("img" + std::to_string(i) + ".jpg"),
                  std::string(100, static_cast<char>('a' + i % 26)));
        if (i % 50 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    const auto copied = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntil([&] { return !target.got.empty(); }));
    const auto handedOver = std::chrono::steady_clock::now();
    RunFor(1500);
    ASSERT_EQ(target.got.size(), 1u);
    EXPECT_EQ(target.got[0], std::vector<fs::path>{album});
    // Not before the long quiet period after the copy's end (3 s scaled), less a margin.
    EXPECT_GE(handedOver - copied, std::chrono::milliseconds(2500));
    EXPECT_GT(copied - start, std::chrono::milliseconds(500));
}

TEST_F(AutoBackupMonitorTest, ARenameHandsOverTheNewNameAndNotTheOld) {
    WriteFile(docs / "draft.txt", "text");
    AutoBackupMonitorMgr monitor;
    Start(monitor, {docs});

    WriteFile(docs / "notes.txt", "written, then renamed before the quiet period ended");
    fs::rename(docs / "notes.txt", docs / "notes-final.txt");
    fs::rename(docs / "draft.txt", docs / "final.txt");
    ASSERT_TRUE(RunUntil([&] { return !target.got.empty(); }));
    RunFor(1000);
    ASSERT_EQ(target.got.size(), 1u);
    EXPECT_EQ(std::set<fs::path>(target.got[0].begin(), target.got[0].end()),
              (std::set<fs::path>{docs / "notes-final.txt", docs / "final.txt"}));
}

TEST_F(AutoBackupMonitorTest, FoldersAddedAndRemovedAtRunTimeAreWatchedAndNoLongerWatched) {
    WriteFile(photos / "beach.jpg", "sand");
    AutoBackupMonitorMgr monitor;
    Start(monitor, {docs});

    // The settings window's new selection: Photos in, Documents out.
    SetBackupFolders({photos});
    COptions& options = COptions::GetInstance();
    ASSERT_EQ(options.GetAddedPaths(), std::vector<fs::path>{photos});
    ASSERT_EQ(options.GetRemovedPaths(), std::vector<fs::path>{docs});
    monitor.ChangeWatchedFolders(options.GetAddedPaths(), options.GetRemovedPaths());
    // An added folder goes over whole at once: nothing in it was ever looked at.
    ASSERT_TRUE(RunUntil([&] { return target.CountOf(photos) == 1; }));
    EXPECT_EQ(monitor.GetWatchedFolders(), std::vector<fs::path>{photos});

    WriteFile(docs / "ignored.txt", "no longer backed up");
    WriteFile(photos / "sunset.jpg", "orange");
    ASSERT_TRUE(RunUntil([&] { return target.CountOf(photos / "sunset.jpg") == 1; }));
    RunFor(1000);
    EXPECT_EQ(target.CountOf(docs / "ignored.txt"), 0u);
    EXPECT_EQ(target.All(), (std::set<fs::path>{photos, photos / "sunset.jpg"}));
}

TEST_F(AutoBackupMonitorTest, AnOverflowOfTheQueueStillHandsOverEveryFile) {
    // A small queue and a watcher held while thousands of files appear: the changes cannot
    // all wait, and the kernel's queue may overflow too.
    std::atomic<bool> hold{false};
    AutoBackupMonitorMgr::Limits limits;
    limits.queueLimit = 100;
    limits.beforeRead = [&] {
        while (hold) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    fs::create_directories(docs / "a");
    fs::create_directories(docs / "b");
    // Older than the monitor: the walk must find the files themselves, not new folders.
    NextSecond();
    NextSecond();
    AutoBackupMonitorMgr monitor(limits);
    Start(monitor, {docs});

    hold = true;
    std::set<fs::path> written;
    for (int i = 0; i < 3000; ++i) {
        const fs::path file = docs / (i % 2 ? "a" : "b") / ("f" + std::to_string(i));
        WriteFile(file, std::to_string(i));
        written.insert(file);
    }
    hold = false;
    ASSERT_TRUE(RunUntil([&] { return target.CountCovered(written) == written.size(); }, 30000))
        << target.CountCovered(written) << " of " << written.size();
    EXPECT_GE(monitor.GetStats().rescans, 1u);
    EXPECT_EQ(target.All().count(docs / "a"), 0u);
}

TEST_F(AutoBackupMonitorTest, AFolderThatCannotBeWatchedIsWalkedForItsChanges) {
    // Two watches: the backup folder and one of its three folders; the others are walked.
    fs::create_directories(docs / "a");
    fs::create_directories(docs / "b");
    fs::create_directories(docs / "c");
    NextSecond();
    NextSecond();
    AutoBackupMonitorMgr::Limits limits;
    limits.maxWatches = 2;
    AutoBackupMonitorMgr monitor(limits);
    Start(monitor, {docs});
    ASSERT_GE(monitor.GetStats().watcher.unwatched, 1u);

    const std::set<fs::path> written{docs / "a" / "1.txt", docs / "b" / "2.txt", docs / "c" / "3.txt"};
    for (const fs::path& file : written) {
        WriteFile(file, file.filename().string());
    }
    ASSERT_TRUE(RunUntil([&] { return target.CountCovered(written) == written.size(); }));
    EXPECT_GE(monitor.GetStats().rescans, 1u);
}

TEST_F(AutoBackupMonitorTest, WithoutBackupFoldersNothingStartsAndStoppingDropsWhatWaits) {
    SetBackupFolders({});
    AutoBackupMonitorMgr idle;
    EXPECT_FALSE(idle.start());
    EXPECT_FALSE(idle.IsStarted());

    AutoBackupMonitorMgr monitor;
    Start(monitor, {docs});
    WriteFile(docs / "pending.txt", "not yet quiet");
    ASSERT_TRUE(WaitFor([&] { return monitor.OldestUnhandedChange().has_value(); }));
    monitor.Stop();
    EXPECT_FALSE(monitor.OldestUnhandedChange().has_value());
    RunFor(1000);
    EXPECT_TRUE(target.got.empty());
    // Started again, it watches again.
    ASSERT_TRUE(monitor.start());
    WriteFile(docs / "later.txt", "after the restart");
    ASSERT_TRUE(RunUntil([&] { return target.CountOf(docs / "later.txt") == 1; }));
}

}  // namespace
