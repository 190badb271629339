// What the program does after the write queue gave a job up on a failing disk: the savers of
// unfinished transfers write their rows again once the disk is sound, and the log names the
// disk's error.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "download/FileDownloadMgr.h"
#include "download/UnfinishedDownloadsSaver.h"
#include "support/FailingSqliteVfs.h"
#include "support/ScopedXdgHome.h"
#include "support/TestDatabases.h"
#include "upload/UnfinishedUploadsSaver.h"

namespace fs = std::filesystem;
using zorp::test::FailingSqliteVfs;
using zorp::test::Rows;
using zorp::test::ScopedXdgHome;

namespace {

constexpr auto Query = zorp::test::QueryRows;

class GivenUpWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(4));
        queue.SetRetryPauseMs(1);
        ASSERT_TRUE(queue.Start());
    }
    void TearDown() override {
        queue.Stop();
        FileDownloadMgr::GetInstance().clearAll();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }
    fs::path Txlog() const { return home.userDataDir() / DBWrapper::kTxlogDb; }

    ScopedXdgHome home;
    CWriteDbMgr queue{1, 2};
};

}  // namespace

TEST_F(GivenUpWriteTest, DownloadsSavedWhileTheDiskWasFullAreSavedAgainWhenItRecovers) {
    FileDownloadMgr::DownloadRequest request;
    request.size = 4096;
    request.url = "http://download.localhost/x?fid=5";
    request.path = "/home/u/Downloads/report.pdf";
    FileDownloadMgr::GetInstance().addDownloads({{request.path, request}});
    UnfinishedDownloadsSaver saver(&queue);
    {
        FailingSqliteVfs vfs(home.root());
        vfs.Arm(FailingSqliteVfs::Operation::kWrite, 1, SQLITE_FULL, /*sticky=*/true);
        EXPECT_TRUE(saver.Save(nullptr, false));
        ASSERT_TRUE(queue.Flush(20000));
        EXPECT_EQ(queue.GetDroppedJobCount(), 1u);
    }
    EXPECT_EQ(Query(Txlog(), "SELECT count(*) FROM dl_undo;"), (Rows{{"0"}}));

    // Nothing changed in the downloads, but the stored rows are not theirs.
    EXPECT_TRUE(saver.Save(nullptr, false));
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(Query(Txlog(), "SELECT path, userid FROM dl_undo;"),
              (Rows{{"/home/u/Downloads/report.pdf", "4"}}));
    // Written now: the next unchanged save has nothing to do.
    EXPECT_FALSE(saver.Save(nullptr, false));
    EXPECT_EQ(saver.GetWriteCount(), 2);
}

TEST_F(GivenUpWriteTest, UploadsSavedWhileTheDiskWasFullAreSavedAgainWhenItRecovers) {
    {
        DBWrapper db(Txlog());
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeSQL("INSERT INTO drag_dir VALUES(NULL,'/data/left',12,0,4);"));
    }
    UnfinishedUploadsSaver saver(&queue);
    saver.ReadCarriedDragDirs(Txlog());
    ASSERT_TRUE(saver.HasCarriedDragDirs());
    {
        FailingSqliteVfs vfs(home.root());
        vfs.Arm(FailingSqliteVfs::Operation::kWrite, 1, SQLITE_FULL, /*sticky=*/true);
        EXPECT_TRUE(saver.Save(nullptr, false));
        ASSERT_TRUE(queue.Flush(20000));
        EXPECT_EQ(queue.GetDroppedJobCount(), 1u);
    }
    // The old rows are all there: the replacement was one transaction.
    EXPECT_EQ(Query(Txlog(), "SELECT path FROM drag_dir;"), (Rows{{"/data/left"}}));
    EXPECT_EQ(Query(Txlog(), "SELECT count(*) FROM last_tx_status;"), (Rows{{"0"}}));

    EXPECT_TRUE(saver.Save(nullptr, false));
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(Query(Txlog(), "SELECT path, pid FROM drag_dir;"), (Rows{{"/data/left", "12"}}));
    EXPECT_EQ(Query(Txlog(), "SELECT count(*) FROM last_tx_status WHERE userid=4;"), (Rows{{"1"}}));
    EXPECT_FALSE(saver.Save(nullptr, false));
}

TEST_F(GivenUpWriteTest, AGivenUpBatchIsLoggedWithTheDiskErrorNotTheRollbacks) {
    logging::ScopedLogCapture log;
    {
        FailingSqliteVfs vfs(home.root());
        vfs.Arm(FailingSqliteVfs::Operation::kWrite, 1, SQLITE_FULL, /*sticky=*/true);
        queue.AddLog("a.txt", "/data", 1, 1);
        ASSERT_TRUE(queue.Flush(20000));
    }
    EXPECT_EQ(queue.GetDroppedJobCount(), 1u);
    EXPECT_TRUE(log.Contains("logging failed: INSERT INTO log"));
    EXPECT_TRUE(log.Contains("database or disk is full"));
    EXPECT_FALSE(log.Contains("no transaction is active"));

    // The tables of a first start, on a disk that fails: the reason is in the log too.
    ScopedXdgHome fresh;
    logging::ScopedLogCapture startLog;
    {
        FailingSqliteVfs vfs(fresh.root());
        vfs.Arm(FailingSqliteVfs::Operation::kWrite, 1, SQLITE_IOERR_WRITE, /*sticky=*/true);
        EXPECT_FALSE(COptions::GetInstance().Load());
    }
    EXPECT_TRUE(startLog.Contains("COptions::CreateDatabases"));
    EXPECT_TRUE(startLog.Contains("disk I/O error"));
    EXPECT_FALSE(startLog.Contains("no transaction is active"));
}

TEST_F(GivenUpWriteTest, ADatabaseThatCannotOpenForAMomentGetsTheRetryPausesToo) {
    // Something that is not a database file where the history database belongs: every open
    // fails until it is cleared away, a moment later.
    const fs::path logDb = home.userDataDir() / DBWrapper::kLogDb;
    const fs::path aside = logDb.string() + ".aside";
    fs::rename(logDb, aside);
    fs::create_directories(logDb);
    queue.SetRetryPauseMs(100);
    queue.AddLog("late.txt", "/data", 3, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::remove_all(logDb);
    fs::rename(aside, logDb);
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(queue.GetDroppedJobCount(), 0u) << "the batch was given up before the pauses ran out";
    EXPECT_EQ(Query(logDb, "SELECT name FROM log;"), (Rows{{"late.txt"}}));
}
