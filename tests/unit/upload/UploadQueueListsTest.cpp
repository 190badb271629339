#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "platform/PlainMessageLoop.h"
#include "support/ProcessStateTestAccess.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;
using zorp::test::ScopedXdgHome;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

// The queue's lists without transfers: the upload pool is not running, so no task starts.
class UploadQueueListsTest : public testing::Test {
protected:
    void SetUp() override {
        COptions& options = COptions::GetInstance();
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(3));
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        FileBackupMgr::GetInstance().reset();
        CUpldThreadMgr::GetInstance().Stop();
        writeQueue.SetUserDataDir(home.userDataDir());
        ASSERT_TRUE(writeQueue.Start());
        queue.SetWriteQueue(&writeQueue);
    }
    void TearDown() override {
        writeQueue.Stop();
        FileBackupMgr::GetInstance().reset();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }

    void Offer(int count) {
        for (int i = 0; i < count; ++i) {
            UpldWaitingFile record;
            record.path = files.path() / ("f" + std::to_string(i) + ".txt");
            WriteFile(record.path, "content " + std::to_string(i));
            record.fid = 100 + i;
            record.pid = 9;
            record.size = static_cast<int64_t>(fs::file_size(record.path));
            record.counted = true;  // counted in below, as a batch counts its compared files
            FileBackupMgr::GetInstance().addUploadRecord(record);
        }
        FileBackupMgr::GetInstance().addFileCount(count);
    }

    std::vector<std::vector<std::string>> Txlog(const std::string& sql) {
        writeQueue.WriteAllBatches();
        EXPECT_TRUE(writeQueue.Flush(10000));
        DBWrapper db(home.userDataDir() / DBWrapper::kTxlogDb);
        EXPECT_TRUE(db.open());
        EXPECT_TRUE(db.query(sql)) << db.errorText();
        return db.rows();
    }

    ScopedXdgHome home;
    TempDir files;
    platform::PlainMessageLoop loop;
    CWriteDbMgr writeQueue{1, 1};
    UploadQueue queue;
};

TEST_F(UploadQueueListsTest, TasksThatCannotStartStayListedAndAreNotCountedAsRunning) {
    Offer(7);
    queue.upldNewFiles();
    ASSERT_EQ(queue.GetTaskList().size(), 5u);
    EXPECT_EQ(queue.GetWaitingList().size(), 2u);
    EXPECT_EQ(queue.GetRunningCount(), 0);
    EXPECT_FALSE(queue.HasActiveTransfers());
    for (const auto& entry : queue.GetTaskList()) {
        EXPECT_FALSE(entry->running);
        EXPECT_EQ(entry->state, TSE_READY);
    }
    // Their break points and ids are what the records said, and every upload is saved once.
    const auto rows = queue.GetUndoRecords();
    ASSERT_EQ(rows.size(), 7u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].fid, 100 + static_cast<int64_t>(i));
        EXPECT_EQ(rows[i].name, "f" + std::to_string(i) + ".txt");
        EXPECT_GT(rows[i].mtime, 0);
    }

    queue.ClearUpldInfo();
    EXPECT_TRUE(queue.GetTaskList().empty());
    EXPECT_TRUE(queue.GetWaitingList().empty());
    EXPECT_TRUE(queue.GetUndoRecords().empty());
}

TEST_F(UploadQueueListsTest, CancelRemovesListedAndWaitingUploadsByFidAndRefillsTheList) {
    Offer(7);
    queue.upldNewFiles();
    FileBackupMgr::GetInstance().addCancelFids({101, 106, 555}, 0);
    queue.OnUpldCancel();
    ASSERT_EQ(queue.GetTaskList().size(), 5u);
    EXPECT_TRUE(queue.GetWaitingList().empty());
    std::vector<int64_t> fids;
    for (const auto& entry : queue.GetTaskList()) {
        fids.push_back(entry->fid);
    }
    EXPECT_EQ(fids, (std::vector<int64_t>{100, 102, 103, 104, 105}));
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 5);
    EXPECT_EQ(queue.GetUndoRecords().size(), 5u);
}

TEST_F(UploadQueueListsTest, FailedFolderComesBackAsAWorkRequestAndIsSavedAsADroppedFolder) {
    const fs::path folder = files.path() / "Dropped";
    fs::create_directories(folder);
    queue.addFailedFolder(folder, 77, 1);
    EXPECT_TRUE(queue.HasFailedItems());
    EXPECT_EQ(queue.GetFailedNames(5), std::vector<std::string>{"Dropped"});
    EXPECT_TRUE(queue.GetUndoRecords().empty());

    EXPECT_EQ(queue.saveUndoFiles(), 0);
    EXPECT_FALSE(queue.HasFailedItems());
    const auto dragDirs = Txlog("SELECT path, pid, share FROM drag_dir where userid=3");
    ASSERT_EQ(dragDirs.size(), 1u);
    EXPECT_EQ(dragDirs[0], (std::vector<std::string>{folder.string(), "77", "1"}));
    EXPECT_TRUE(Txlog("SELECT id FROM undo_files").empty());

    // A retry walks it again instead of uploading a folder as a file.
    queue.addFailedFolder(folder, 77, 1);
    queue.restartFailedItems();
    EXPECT_FALSE(queue.HasFailedItems());
    EXPECT_TRUE(queue.GetTaskList().empty());
    const auto pending = FileBackupMgr::GetInstance().getPendingRequests();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending.begin()->first, (FileBackupMgr::RequestKey{77, 1}));
    EXPECT_EQ(pending.begin()->second, std::vector<fs::path>{folder});
}

}  // namespace

// A file is one upload: a second record for a file that is listed or waiting goes into that
// upload (with the newer content), whatever made the two records (a restored upload hashed
// again and the page asking for the file once more, say); a failed upload of it is dropped.
TEST_F(UploadQueueListsTest, ARecordForAFileAlreadyQueuedJoinsThatUpload) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    Offer(7);  // five listed, two waiting
    queue.upldNewFiles();
    ASSERT_EQ(queue.GetTaskList().size(), 5u);
    const UpldTaskInfo& listed = *queue.GetTaskList()[1];
    const UpldWaitingFile waiting = queue.GetWaitingList().back();

    // Restored (not counted) records of a listed and of a waiting file, the listed one with
    // new content; and a counted one for the same listed file, as the comparison makes it.
    UpldWaitingFile again;
    again.path = listed.LocalPath();
    again.pid = listed.pid;
    again.hash = "new";
    again.size = 3;
    again.breakPoint = 1;
    list.addUploadRecord(again);
    UpldWaitingFile restored = waiting;
    restored.fid = 0;
    restored.counted = false;
    list.addUploadRecord(restored);
    UpldWaitingFile compared = again;
    compared.counted = true;
    list.addUploadRecord(compared);
    // Another cloud folder is another upload.
    UpldWaitingFile elsewhere = waiting;
    elsewhere.pid = 10;
    list.addUploadRecord(elsewhere);
    list.addFileCount(2);  // the counted one and the one elsewhere, as their batch counted them
    const int remaining = list.getRemainingCount();
    queue.upldNewFiles();

    EXPECT_EQ(queue.GetUploadCount(), 8) << "seven, and the one into another folder";
    EXPECT_EQ(queue.GetTaskList()[1]->hash, "new");
    EXPECT_EQ(queue.GetTaskList()[1]->fileSize, 3);
    EXPECT_EQ(queue.GetTaskList()[1]->breakPoint, 0) << "new content is registered again";
    EXPECT_EQ(queue.GetTaskList()[1]->fid, listed.fid);
    const auto& left = queue.GetWaitingList();
    EXPECT_EQ(std::count_if(left.begin(), left.end(),
                            [&](const UpldWaitingFile& r) { return r.path == waiting.path; }),
              2);
    EXPECT_EQ(left[1].fid, waiting.fid) << "the id the waiting upload knew stays";
    // Both the listed upload (counted when offered) and the comparison's record were counted.
    EXPECT_EQ(list.getRemainingCount(), remaining - 1);
    EXPECT_EQ(queue.GetUndoRecords().size(), 8u);
}
