#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "autobackup/BackupExitTime.h"
#include "integration/autobackup/BackupFixture.h"
#include "autobackup/BackupHandOver.h"
#include "autobackup/CheckDirChangeMgr.h"
#include "autobackup/CheckDirChangeThreadMgr.h"
#include "cloud/CloudApi.h"
#include "integration/cloud/CloudFixture.h"
#include "support/ScopedTimeScale.h"
#include "support/TempDir.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;
using namespace zorp::test;

namespace {

// The dispatcher's part in the start-up check: each job's report makes the checker hand its
// list over; the end and the upload requests are recorded.
class CheckWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        ids.push_back(message.id);
        if (message.id == WM_BACKUP_WORK && checker) {
            const int* type = message.W<int>();
            EXPECT_TRUE(type && *type == kBackupCheckListReady);
            checker->HandleQueue();
        }
        return 0;
    }
    size_t Count(uint32_t id) const {
        return static_cast<size_t>(std::count(ids.begin(), ids.end(), id));
    }
    CheckDirChangeMgr* checker = nullptr;
    std::vector<uint32_t> ids;
};

class BackupCheckTest : public CloudFixture {
protected:
    void SetUp() override {
        CloudFixture::SetUp();
        FileBackupMgr::GetInstance().reset();
        BackupExitTime::GetInstance().Reset();
        fs::create_directories(docs);
        fs::create_directories(single);
        window = target.Attach(&loop);
        target.checker = &checker;
        checker.SetNotifyWindow(window);
        ASSERT_TRUE(checker.Start());
        ASSERT_TRUE(pool.Start());
    }
    void TearDown() override {
        checker.Shutdown(5000);
        pool.Stop();
        SetBackupFolders({});
        FileBackupMgr::GetInstance().reset();
    }

    // Every pending upload request of the backup file list: cloud folder -> files.
    std::map<int64_t, std::set<fs::path>> Requests() const {
        std::map<int64_t, std::set<fs::path>> requests;
        for (const auto& [key, paths] : FileBackupMgr::GetInstance().getPendingRequests()) {
            requests[key.pid].insert(paths.begin(), paths.end());
        }
        return requests;
    }
    // The cloud id of a folder path below the root, made if needed.
    int64_t CloudFolder(const std::string& path) {
        CRequestContext context;
        return CreateFolder(context, path);
    }

    TempDir home{"zorp-check"};
    fs::path docs = home.path() / "Documents";
    fs::path single = home.path() / "Single";
    CheckWindow target;
    platform::WindowHandle window = platform::kNoWindow;
    CheckDirChangeMgr checker;
    CheckDirChangeThreadMgr pool;
};

TEST_F(BackupCheckTest, WhatWasWrittenWhileDownIsQueuedWhatWasOnlyReadIsNotAndTheEndAlwaysComes) {
    WriteFile(docs / "read-only.txt", "old");
    WriteFile(docs / "sub" / "older.txt", "old");
    WriteFile(single / "only.txt", "old, and the only entry of its folder");
    const int64_t lastExit = NextSecond();

    { std::ifstream(docs / "read-only.txt").get(); }  // read, not written
    WriteFile(docs / "sub" / "changed.txt", "written after the exit");
    WriteFile(docs / "desktop.ini", "[.ShellClassInfo]");
    WriteFile(docs / "new folder" / "inside.txt", "a folder made after the exit");
    WriteFile(docs / "new folder" / "~$lock.docx", "lock file");
    SetBackupFolders({docs, single});

    checker.QueueCheck(pool, {docs, single}, lastExit);
    ASSERT_TRUE(loop.RunUntil([&] { return target.Count(WM_CHECK_DIR_EXIT) == 1; }, 20000));
    EXPECT_EQ(target.Count(WM_C2L_UPLD_REQ), 1u);
    EXPECT_EQ(checker.GetPendingCount(), 0);

    // Each file under the cloud folder of its local folder (relative to the backup folder's
    // parent); the new folder went over with its files, the lock file left out.
    const int64_t sub = CloudFolder("Documents/sub");
    const int64_t created = CloudFolder("Documents/new folder");
    EXPECT_EQ(Requests(), (std::map<int64_t, std::set<fs::path>>{
                              {sub, {docs / "sub" / "changed.txt"}},
                              {created, {docs / "new folder" / "inside.txt"}}}));
    EXPECT_FALSE(BackupExitTime::GetInstance().IsCheckPending());
    EXPECT_EQ(BackupExitTime::GetInstance().Limit(lastExit + 100), lastExit);  // work queued
}

TEST_F(BackupCheckTest, WithNoBackupFolderTheCheckIsOverAtOnce) {
    checker.QueueCheck(pool, {}, 0);
    ASSERT_TRUE(loop.RunUntil([&] { return target.Count(WM_CHECK_DIR_EXIT) == 1; }, 5000));
    EXPECT_TRUE(Requests().empty());
}

TEST_F(BackupCheckTest, UntilTheCheckIsOverTheExitTimeStaysThePreviousOne) {
    // Nothing finished: the next start must look at everything since the last clean exit.
    BackupExitTime& exitTime = BackupExitTime::GetInstance();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_TRUE(exitTime.IsCheckPending());
    EXPECT_LE(exitTime.Limit(now), COptions::GetInstance().GetLastExitTime());
    exitTime.SetCheckPending(false);
    EXPECT_EQ(exitTime.Limit(now), now);
}

TEST_F(BackupCheckTest, APathWhoseCloudFolderCannotBeMadeIsKeptAndHandedOverLater) {
    ScopedTimeScale scale(0.05);
    SetBackupFolders({docs});
    WriteFile(docs / "a" / "one.txt", "1");
    WriteFile(docs / "b" / "two.txt", "2");
    ASSERT_TRUE(server.SetFault("createPath", "http", {{"status", "503"}, {"count", "1"}}));

    CRequestContext context;
    BackupHandOver first(context, CloudApi::CreatePathMode::kTimed);
    const int64_t since = static_cast<int64_t>(std::time(nullptr)) - 5;
    const BackupHandOver::Result result =
        first.HandOver({docs / "a" / "one.txt", docs / "b" / "two.txt"}, since);
    ASSERT_EQ(result.queued, 1u);
    ASSERT_EQ(result.unresolved.size(), 1u);

    // The monitor keeps it, holds the exit time before it, and tries again at its next quiet
    // period; the server actions worker's hand-over then queues it.
    AutoBackupMonitorMgr monitor;
    HandOverWindow handOvers;
    monitor.SetNotifyWindow(handOvers.Attach(&loop));
    BackupExitTime::GetInstance().SetCheckPending(false);
    monitor.KeepForRetry(result.unresolved, since);
    EXPECT_EQ(monitor.OldestUnhandedChange(), since);
    EXPECT_LE(BackupExitTime::GetInstance().Limit(since + 100), since);
    ASSERT_TRUE(monitor.start());
    bool queued = false;
    ASSERT_TRUE(loop.RunUntil([&] {
        // WM_GET_FILE_PID arrived: what the server actions worker would do now.
        if (!handOvers.others.empty() && !queued) {
            CRequestContext worker;
            queued = monitor.HandOverOutgoing(worker);
        }
        return queued;
    }, 10000));
    EXPECT_EQ(Requests().size(), 2u);
    std::set<fs::path> all;
    for (const auto& [pid, files] : Requests()) {
        all.insert(files.begin(), files.end());
    }
    EXPECT_EQ(all, (std::set<fs::path>{docs / "a" / "one.txt", docs / "b" / "two.txt"}));
    EXPECT_FALSE(monitor.OldestUnhandedChange().has_value());
}

TEST_F(BackupCheckTest, RelativePathsStartAtTheBackupFolderAndPathsOutsideHaveNone) {
    const std::vector<COptions::BackupRecord> records{{"/home/u/Documents", -1},
                                                       {"/home/u/Documents/Work", -1}};
    EXPECT_EQ(BackupHandOver::RelativePath(records, "/home/u/Documents"), "Documents");
    EXPECT_EQ(BackupHandOver::RelativePath(records, "/home/u/Documents/a/b"), "Documents/a/b");
    EXPECT_EQ(BackupHandOver::RelativePath(records, "/home/u/Documents/Work/x"), "Work/x");
    EXPECT_EQ(BackupHandOver::RelativePath(records, "/home/u/DocumentsOld"), std::nullopt);
    EXPECT_EQ(BackupHandOver::RelativePath(records, "/home/u"), std::nullopt);
}

}  // namespace
