#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "support/ProcessStateTestAccess.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "upload/FileBackupMgr.h"
#include "upload/UnfinishedUploadsSaver.h"

namespace fs = std::filesystem;
using zorp::test::ScopedXdgHome;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// What the saver stores is what the start-up restore reads back: the round trip is the point.
class UnfinishedUploadsSaverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(9));
        ProcessStateTestAccess::SetTxState(TxState::kUploads);
        list.reset();
        ASSERT_TRUE(queue.Start());
    }
    void TearDown() override {
        queue.Stop();
        list.reset();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }

    Rows Query(const std::string& sql) {
        DBWrapper db(home.userDataDir() / DBWrapper::kTxlogDb);
        if (!db.open() || !db.query(sql)) {
            ADD_FAILURE() << db.errorText();
            return {};
        }
        return db.rows();
    }

    static UpldWaitingFile Record(const fs::path& path, int64_t fid, int64_t size) {
        UpldWaitingFile record;
        record.path = path;
        record.pid = 77;
        record.fid = fid;
        record.size = size;
        record.hash = "hash-of-" + path.filename().string();
        record.share = 1;
        return record;
    }

    ScopedXdgHome home;
    TempDir files{"saver"};
    CWriteDbMgr queue;
    FileBackupMgr& list = FileBackupMgr::GetInstance();
};

}  // namespace

TEST_F(UnfinishedUploadsSaverTest, WhatIsSavedIsWhatTheNextStartResumes) {
    WriteFile(files / "kept.bin", "kept");
    WriteFile(files / "touched.bin", "before");
    WriteFile(files / "Folder" / "inside.txt", "in");
    list.addUploadRecord(Record(files / "kept.bin", 11, 4));
    list.addUploadRecord(Record(files / "touched.bin", 12, 6));
    list.addWorkRequest({77, 1}, {files / "Folder", files / "gone"});
    ASSERT_TRUE(list.takeNextRequest());  // the request being walked

    UnfinishedUploadsSaver saver(&queue);
    EXPECT_TRUE(saver.Save(nullptr, false));
    EXPECT_FALSE(saver.Save(nullptr, false)) << "nothing changed, nothing written";
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query("SELECT name, fid, pid, type FROM undo_files ORDER BY id;"),
              (Rows{{"kept.bin", "11", "77", "1"}, {"touched.bin", "12", "77", "1"}}));
    EXPECT_EQ(Query("SELECT path, pid, share FROM drag_dir;"),
              (Rows{{(files / "Folder").string(), "77", "1"}}))
        << "paths that are gone are not kept";
    EXPECT_EQ(Query("SELECT txstatus FROM last_tx_status WHERE userid=9;"), (Rows{{"1"}}));

    // The touched file changed after the saver first saw it: the next start hashes it again.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WriteFile(files / "touched.bin", "after!");
    fs::last_write_time(files / "touched.bin",
                        fs::last_write_time(files / "touched.bin") + std::chrono::seconds(5));
    EXPECT_FALSE(saver.Save(nullptr, false)) << "times are those first seen";
    list.reset();
    const FileBackupMgr::RestoreSummary summary = list.restoreUndoFiles();
    EXPECT_EQ(summary.queued, 1);
    EXPECT_EQ(summary.rehash, 1);
    EXPECT_EQ(list.getUploadList().front().fid, 11);
    EXPECT_EQ(list.getUploadList().front().breakPoint, 1) << "asks the server where it stands";
    // A restored upload being hashed again is saved so that the start after it hashes it
    // again too, whatever its times.
    EXPECT_TRUE(saver.Save(nullptr, false));
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query("SELECT name, ctime, mtime FROM undo_files WHERE name='touched.bin';"),
              (Rows{{"touched.bin", "0", "0"}}));
}

TEST_F(UnfinishedUploadsSaverTest, DroppedFoldersLeftByTheRestoreStayUntilTaken) {
    queue.AddDragDir(files / "Waiting", 5, 0);
    queue.WriteTxBatch();
    ASSERT_TRUE(queue.Flush(10000));
    UnfinishedUploadsSaver saver(&queue);
    saver.ReadCarriedDragDirs();
    EXPECT_TRUE(saver.HasCarriedDragDirs());
    saver.Save(nullptr, true);
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query("SELECT path, pid FROM drag_dir;"), (Rows{{(files / "Waiting").string(), "5"}}));
    saver.ClearCarriedDragDirs();
    saver.Save(nullptr, true);
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_TRUE(Query("SELECT path FROM drag_dir;").empty());
}

// One row per file and cloud folder, however many records of it the process holds; and a
// restore followed by a save gives back the rows it read, start after start, also for a file
// that changed and is hashed again each time.
TEST_F(UnfinishedUploadsSaverTest, ARestartNeverDuplicatesTheStoredRows) {
    WriteFile(files / "twice.bin", "twice");
    WriteFile(files / "changed.bin", "changed");
    list.addUploadRecord(Record(files / "twice.bin", 21, 5));
    list.addUploadRecord(Record(files / "twice.bin", 21, 5));
    UpldWaitingFile other = Record(files / "twice.bin", 22, 5);
    other.pid = 78;  // into another folder: another upload
    list.addUploadRecord(other);
    list.addUploadRecord(Record(files / "changed.bin", 23, 7));

    UnfinishedUploadsSaver saver(&queue);
    ASSERT_TRUE(saver.Save(nullptr, true));
    ASSERT_TRUE(queue.Flush(10000));
    const Rows stored = Query("SELECT name, fid, pid FROM undo_files ORDER BY id;");
    EXPECT_EQ(
        stored,
        (Rows{{"twice.bin", "21", "77"}, {"twice.bin", "22", "78"}, {"changed.bin", "23", "77"}}));
    for (int start = 0; start < 3; ++start) {
        // Touched before every start: restored as a file to hash again.
        fs::last_write_time(files / "changed.bin",
                            fs::last_write_time(files / "changed.bin") + std::chrono::seconds(5));
        list.reset();
        const FileBackupMgr::RestoreSummary summary = list.restoreUndoFiles();
        EXPECT_EQ(summary.queued + summary.rehash, 3) << start;
        UnfinishedUploadsSaver next(&queue);
        ASSERT_TRUE(next.Save(nullptr, true));
        ASSERT_TRUE(queue.Flush(10000));
        EXPECT_EQ(Query("SELECT name, fid, pid FROM undo_files ORDER BY id;").size(), 3u) << start;
    }
}
