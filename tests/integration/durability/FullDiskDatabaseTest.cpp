// The databases on a file system that fills up (a small tmpfs under the user data folder): a
// write that finds no room fails whole and is logged, the files stay sound, what was stored
// before stays, and once there is room the unfinished downloads are stored again by themselves.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "download/FileDownloadMgr.h"
#include "download/UnfinishedDownloadsSaver.h"
#include "support/ScopedTmpfs.h"
#include "support/ScopedXdgHome.h"
#include "support/TestDatabases.h"

namespace fs = std::filesystem;
using zorp::test::Rows;

namespace {

constexpr auto Query = zorp::test::QueryRows;

// Requests for `count` downloads with long names, so that their rows need far more room than
// a full disk has.
FileDownloadMgr::DownloadMap Requests(int count, const std::string& tag) {
    FileDownloadMgr::DownloadMap requests;
    for (int i = 0; i < count; ++i) {
        FileDownloadMgr::DownloadRequest request;
        request.size = 1000 + i;
        request.url = "http://download.localhost/qcd/fileshare/downloadFileAction.json?fid=" +
                      std::to_string(i) + "&tag=" + tag;
        request.path = "/home/u/Downloads/" + tag + "/" + std::string(120, 'n') + std::to_string(i);
        requests.emplace(request.path, request);
    }
    return requests;
}

void ExpectSound(const fs::path& folder) {
    for (const char* name : {DBWrapper::kConfigDb, DBWrapper::kTxlogDb, DBWrapper::kLogDb}) {
        EXPECT_EQ(Query(folder / name, "PRAGMA integrity_check;"), (Rows{{"ok"}})) << name;
    }
}

}  // namespace

TEST(FullDiskDatabaseTest, AWriteWithoutRoomFailsWholeAndTheDownloadsAreStoredOnceThereIsRoom) {
    zorp::test::ScopedXdgHome home;
    zorp::test::ScopedTmpfs disk(home.userDataDir() / "zor", 4 << 20);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "no small file system to fill: " << disk.Error();
    }
    ASSERT_TRUE(zorp::test::LoadOptionsForUser(6));
    const fs::path userData = home.userDataDir();
    const fs::path txlog = userData / DBWrapper::kTxlogDb;
    FileDownloadMgr& downloads = FileDownloadMgr::GetInstance();
    downloads.clearAll();
    {
        CWriteDbMgr queue(1, 2);
        queue.SetRetryPauseMs(1);
        ASSERT_TRUE(queue.Start());
        UnfinishedDownloadsSaver saver(&queue);

        downloads.addDownloads(Requests(3, "before"));
        EXPECT_TRUE(saver.Save(nullptr, false));
        queue.AddLog("before.txt", "/data", 1, 1);
        ASSERT_TRUE(queue.Flush(20000));
        EXPECT_EQ(Query(txlog, "SELECT count(*) FROM dl_undo;"), (Rows{{"3"}}));

        EXPECT_GT(disk.Fill(), 0u);
        logging::ScopedLogCapture log;
        downloads.addDownloads(Requests(3000, "during"));
        EXPECT_TRUE(saver.Save(nullptr, false));
        ASSERT_TRUE(queue.Flush(60000));
        EXPECT_GE(queue.GetDroppedJobCount(), 1u);
        EXPECT_TRUE(log.Contains("database or disk is full")) << "the failure is logged";
        // The stored downloads are the ones of before, whole: the replacement was one
        // transaction.
        EXPECT_EQ(Query(txlog, "SELECT count(*), min(size), max(size) FROM dl_undo;"),
                  (Rows{{"3", "1000", "1002"}}));
        // (A database without an open connection cannot even be read now: in write-ahead-log
        // mode a reader must create the shared-memory file, and there is no room for it.)


        // Room again: nothing in the downloads changed, but the next save stores them.
        disk.Unfill();
        EXPECT_TRUE(saver.Save(nullptr, false));
        queue.AddLog("after.txt", "/data", 2, 1);
        ASSERT_TRUE(queue.Flush(60000));
        EXPECT_EQ(Query(txlog, "SELECT count(*) FROM dl_undo;"), (Rows{{"3003"}}));
        EXPECT_EQ(Query(userData / DBWrapper::kLogDb, "SELECT name FROM log ORDER BY id;"),
                  (Rows{{"before.txt"}, {"after.txt"}}));
        ExpectSound(userData);
        EXPECT_TRUE(COptions::GetInstance().SaveSetting("auto_backup_speed", "4"));
        queue.Stop();
    }
    ExpectSound(userData);
    downloads.clearAll();
    COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
}
