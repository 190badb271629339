#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "upload/CalcShaResult.h"
#include "upload/ComputeShaHandler.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;
using zorp::test::ScopedXdgHome;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Fresh databases for user 7, the backup file list emptied.
class FileBackupPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(7));
        list.reset();
    }
    void TearDown() override {
        list.reset();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }

    fs::path Txlog() const { return home.userDataDir() / DBWrapper::kTxlogDb; }

    void Execute(const std::string& sql) {
        DBWrapper db(Txlog());
        ASSERT_TRUE(db.open()) << db.errorText();
        ASSERT_TRUE(db.executeSQL(sql)) << db.errorText() << ": " << sql;
        db.close();
    }
    Rows Query(const std::string& sql) {
        DBWrapper db(Txlog());
        if (!db.open() || !db.query(sql)) {
            ADD_FAILURE() << db.errorText();
            return {};
        }
        return db.rows();
    }

    // An undo row for a file as the upload queue writes it, its times shifted by `age` s.
    void AddUndoRow(const fs::path& file, int64_t fid, int64_t pid, int64_t size, int type,
                    int64_t mtimeShift = 0, int userId = 7, const char* sha = "'s'") {
        const auto times = CommonUtils::GetFileTimes(file);
        Execute("INSERT INTO undo_files VALUES(NULL, " + std::to_string(size) + ",500," + sha +
                "," + std::to_string(fid) + "," + std::to_string(pid) + ",'" +
                DBWrapper::EscapeText(file.parent_path().string()) + "','" +
                DBWrapper::EscapeText(file.filename().string()) + "'," +
                std::to_string(times.creation) + "," + std::to_string(times.lastWrite + mtimeShift) +
                "," + std::to_string(type) + ",8," + std::to_string(userId) + ");");
    }

    static std::string HashOf(const fs::path& path) {
        std::string hash;
        int64_t size = 0;
        ComputeShaHandler::GenerateQuorvaFileHash(path, hash, size, nullptr);
        return hash;
    }

    ScopedXdgHome home;
    TempDir files;
    FileBackupMgr& list = FileBackupMgr::GetInstance();
};

TEST_F(FileBackupPersistenceTest, EveryStoredUploadIsQueuedHashedAgainOrLoggedAsDropped) {
    const fs::path untouched = files / "untouched's.txt";  // a quote in the name
    const fs::path touched = files / "touched.txt";
    const fs::path gone = files / "gone.txt";
    const fs::path twice = files / "twice.txt";
    const fs::path noHash = files / "no-hash.txt";
    WriteFile(untouched, "12345");
    WriteFile(touched, "new content");
    WriteFile(gone, "x");
    WriteFile(twice, "sent to two folders");
    WriteFile(noHash, "1");
    AddUndoRow(untouched, 31, 3, 5, 1);
    AddUndoRow(touched, 32, 3, 3, 0, -100);
    AddUndoRow(gone, 33, 3, 1, 0);
    AddUndoRow(twice, 34, 10, 19, 0, -5);
    AddUndoRow(twice, 35, 11, 19, 0, -5);
    AddUndoRow(noHash, 36, 3, 1, 0, 0, 7, "NULL");  // a NULL value must not shift the columns
    AddUndoRow(untouched, 99, 3, 5, 0, 0, 8);       // another user's
    Execute("INSERT INTO last_tx_status VALUES(NULL, 7, 5);INSERT INTO last_tx_status VALUES(NULL, 7, 4);");
    fs::remove(gone);

    logging::ScopedLogCapture capture;
    auto summary = list.restoreUndoFiles();
    EXPECT_TRUE(summary.read);
    EXPECT_EQ(summary.queued, 2);
    EXPECT_EQ(summary.rehash, 3);
    EXPECT_EQ(summary.dropped, 1);
    EXPECT_TRUE(capture.Contains("dropped, the file is gone: " + gone.string()));
    EXPECT_EQ(COptions::GetInstance().m_lastTxStatus.load(), 4) << "the last row counts";

    auto queued = list.takeUploadList();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].path, untouched);
    EXPECT_EQ(queued[0].fid, 31);
    EXPECT_EQ(queued[0].pid, 3);
    EXPECT_EQ(queued[0].share, 1);
    EXPECT_EQ(queued[0].hash, "s");
    EXPECT_EQ(queued[0].size, 5);
    EXPECT_EQ(queued[0].breakPoint, 1) << "the upload asks the server for its break point";
    EXPECT_EQ(queued[1].path, noHash);
    EXPECT_EQ(queued[1].hash, "");
    EXPECT_EQ(queued[1].fid, 36);

    // Each changed upload comes back once its file is hashed again.
    auto toHash = list.takeSubFiles(10);
    ASSERT_EQ(toHash, (std::vector<fs::path>{touched, twice, twice}));
    for (const auto& path : toHash) {
        EXPECT_TRUE(list.addChangedFileHash(CalcShaResult{path, HashOf(path),
                                                          static_cast<int64_t>(fs::file_size(path))}));
    }
    EXPECT_FALSE(list.addChangedFileHash(CalcShaResult{twice, "h", 1})) << "both taken already";
    auto rehashed = list.takeUploadList();
    ASSERT_EQ(rehashed.size(), 3u);
    EXPECT_EQ(rehashed[0].fid, 32);
    EXPECT_EQ(rehashed[0].hash, HashOf(touched));
    EXPECT_EQ(rehashed[0].size, 11);
    EXPECT_EQ(rehashed[0].breakPoint, 0) << "new content starts over";
    EXPECT_EQ(rehashed[1].pid + rehashed[2].pid, 21) << "one record per target folder";

    // Read, not deleted: the run's first snapshot replaces them.
    EXPECT_EQ(Query("SELECT COUNT(*) FROM undo_files WHERE userid=7;"), (Rows{{"6"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM undo_files WHERE userid=8;"), (Rows{{"1"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM last_tx_status;"), (Rows{{"2"}}));
}

// A kill -9 right after the start-up restore, before the write queue had written the run's
// first snapshot, found the unfinished uploads and dropped folders deleted and lost them: the
// restore deleted the rows it read at once. Now the next start reads the same rows again, and
// the snapshot is what replaces them.
TEST_F(FileBackupPersistenceTest, KilledBetweenTheRestoreAndTheFirstSnapshotLosesNoUpload) {
    const fs::path file = files / "big.bin";
    WriteFile(file, "half sent");
    fs::create_directories(files / "Dropped");
    AddUndoRow(file, 51, 3, 9, 0);
    Execute("INSERT INTO drag_dir VALUES(NULL,'" + DBWrapper::EscapeText((files / "Dropped").string()) +
            "',5,0,7);INSERT INTO last_tx_status VALUES(NULL, 7, 4);");
    ASSERT_EQ(list.restoreUndoFiles().queued, 1);
    list.takeUploadList();
    ASSERT_TRUE(list.restoreDragDirs());

    // The process dies here; the next one starts from what is stored.
    list.reset();
    COptions::GetInstance().m_lastTxStatus = 0;
    ASSERT_EQ(list.restoreUndoFiles().queued, 1);
    EXPECT_EQ(COptions::GetInstance().m_lastTxStatus.load(), 4);
    const auto again = list.takeUploadList();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].fid, 51);
    ASSERT_TRUE(list.restoreDragDirs());
    EXPECT_EQ((list.getPendingRequests()[FileBackupMgr::RequestKey{5, 0}]),
              (std::vector<fs::path>{files / "Dropped"}));

    // The snapshot of the new run is what replaces them, in one transaction.
    CWriteDbMgr queue;
    ASSERT_TRUE(queue.Start());
    queue.ReplaceUnfinishedUploads({}, {}, 5);
    ASSERT_TRUE(queue.Flush(20000));
    queue.Stop();
    EXPECT_EQ(Query("SELECT COUNT(*) FROM undo_files WHERE userid=7;"), (Rows{{"0"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM drag_dir WHERE userid=7;"), (Rows{{"0"}}));
    EXPECT_EQ(Query("SELECT txstatus FROM last_tx_status WHERE userid=7;"), (Rows{{"5"}}));
}

TEST_F(FileBackupPersistenceTest, AChangedFileThatVanishesBeforeItsHashIsDroppedAndLogged) {
    const fs::path file = files / "brief.txt";
    WriteFile(file, "abc");
    AddUndoRow(file, 40, 3, 3, 0, -60);
    ASSERT_EQ(list.restoreUndoFiles().rehash, 1);
    fs::remove(file);
    logging::ScopedLogCapture capture;
    EXPECT_TRUE(list.addChangedFileHash(CalcShaResult{file, "", 0}));
    EXPECT_EQ(list.getUploadListSize(), 0u);
    EXPECT_EQ(list.getChangedFileCount(), 0u);
    EXPECT_TRUE(capture.Contains("dropped, the file could not be read"));
}

TEST_F(FileBackupPersistenceTest, ADatabaseThatCannotBeReadRestoresAndDeletesNothing) {
    TempDir other;
    WriteFile(other / "txlog", std::string(4096, 'x'));
    auto summary = list.restoreUndoFiles(other / "txlog");
    EXPECT_FALSE(summary.read);
    EXPECT_EQ(list.getUploadListSize(), 0u);
    EXPECT_EQ(zorp::test::ReadFile(other / "txlog"), std::string(4096, 'x'));
}

TEST_F(FileBackupPersistenceTest, SavedDroppedFoldersComeBackAsOneRequestPerTarget) {
    fs::create_directories(files / "A");
    fs::create_directories(files / "B");
    fs::create_directories(files / "D");
    WriteFile(files / "file.txt", "not a folder");
    list.addWorkRequest({5, 0}, {files / "A", files / "file.txt", files / "missing"});
    list.addWorkRequest({6, 1}, {files / "D"});
    list.takeNextRequest();  // {5, 0} is being walked, {6, 1} still waits
    list.addWorkRequest({5, 0}, {files / "B", files / "A"});

    CWriteDbMgr queue;
    ASSERT_TRUE(queue.Start());
    list.saveDragDirs(queue);
    queue.WriteAllBatches();
    ASSERT_TRUE(queue.Flush(20000));
    queue.Stop();
    EXPECT_EQ(Query("SELECT path, pid, share FROM drag_dir WHERE userid=7 ORDER BY id;"),
              (Rows{{(files / "B").string(), "5", "0"},
                    {(files / "A").string(), "5", "0"},
                    {(files / "A").string(), "5", "0"},
                    {(files / "D").string(), "6", "1"}}));

    list.reset();
    ASSERT_TRUE(list.restoreDragDirs());
    auto pending = list.getPendingRequests();
    EXPECT_EQ((pending[FileBackupMgr::RequestKey{5, 0}]), (std::vector<fs::path>{files / "B", files / "A"}))
        << "the same path stored twice is listed once";
    EXPECT_EQ((pending[FileBackupMgr::RequestKey{6, 1}]), (std::vector<fs::path>{files / "D"}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM drag_dir;"), (Rows{{"4"}})) << "kept for the snapshot";
}

TEST_F(FileBackupPersistenceTest, DroppedFoldersWaitWhileRestoredUploadsAreQueued) {
    Execute("INSERT INTO drag_dir VALUES(NULL,'/some/folder',5,0,7);");
    list.addUploadRecord(UpldWaitingFile{"/f", 1, 2, 3, 1, "h", 1, 0, false});
    EXPECT_FALSE(list.restoreDragDirs());
    EXPECT_FALSE(list.hasPendingRequests());
    EXPECT_EQ(Query("SELECT COUNT(*) FROM drag_dir;"), (Rows{{"1"}})) << "left for a later start";
    list.takeUploadList();
    EXPECT_TRUE(list.restoreDragDirs());
    EXPECT_TRUE(list.hasPendingRequests());
}

}  // namespace
