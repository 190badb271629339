// The local edit manager over real downloads from zorp-cloud on the local-edit pool. The test
// stands in for the helper's hashes (it hashes the copies itself, when it chooses, so that a
// save can come in the middle of a hash) and for the upload queue's ends.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadStatus.h"
#include "download/LocalEditDnldMgr.h"
#include "integration/download/DownloadFixture.h"
#include "localedit/DirFileChangeMgr.h"
#include "localedit/LocalEditMgr.h"
#include "support/ContentHash.h"
#include "support/ScopedTimeScale.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using Status = LocalEditMgr::EditStatus;

// The drop window as the manager sees it: the ends of its downloads go back to it, and the
// notices of new versions are counted.
class EditWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_LOCALEDIT_DNLD_END && manager && message.W<DownloadEndInfo>() &&
            message.L<DownloadStatus>()) {
            ++ends;
            manager->dnldFinished(message.W<DownloadEndInfo>()->taskId,
                                  message.L<DownloadStatus>()->state);
        }
        if (message.id == WM_LOCALEDIT_FILE_CHANGE && manager &&
            message.W<std::vector<fs::path>>()) {
            manager->updateFileChange(*message.W<std::vector<fs::path>>());
        }
        if (message.id == WM_LOCALEDIT_SHA) {
            ++uploadNotices;
        }
        return 0;
    }
    LocalEditMgr* manager = nullptr;
    int ends = 0;
    int uploadNotices = 0;
};

class LocalEditMgrTest : public DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        LocalEditDnldMgr::GetInstance().Init();
        ASSERT_TRUE(LocalEditDnldMgr::GetInstance().Start());
        ASSERT_TRUE(writeQueue.Start());
        workDir = COptions::GetInstance().GetWorkDir();
        manager = MakeManager();
        manager->Init(TxlogDb());
    }
    void TearDown() override {
        manager.reset();
        LocalEditDnldMgr::GetInstance().Stop();
        writeQueue.Stop();
        DownloadFixture::TearDown();
    }

    fs::path TxlogDb() const { return COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb); }

    std::unique_ptr<LocalEditMgr> MakeManager() {
        LocalEditMgr::Workers workers;
        workers.hash = [this](const std::vector<fs::path>& paths) {
            hashQueue.insert(hashQueue.end(), paths.begin(), paths.end());
        };
        workers.unlock = [this](int64_t fid, const std::string&) { unlocks.push_back(fid); };
        workers.unansweredUnlocks = [] { return std::vector<int64_t>{}; };
        workers.startWatcher = [this] { ++watcherStarts; };
        workers.stopWatcher = [] {};
        workers.open = [this](const fs::path& path) { opened.push_back(path); };
        auto made = std::make_unique<LocalEditMgr>(workDir, workers, &writeQueue);
        editWindow.manager = made.get();
        made->SetNotifyWindow(editWindowHandle);
        return made;
    }

    // The page's edit of a planted file, downloaded and opened; its path in the edit folder.
    fs::path Open(const CloudFile& file, const std::string& name) {
        const size_t before = opened.size();
        manager->queueEditRequests({{"{\"t\":1}\n", 0, static_cast<int64_t>(file.content.size()),
                                     0, file.fid, name, file.hash}});
        manager->dnldFileForEdit();
        loop.RunUntil([&] { return opened.size() > before; }, 60000);
        return opened.size() > before ? opened.back() : fs::path();
    }

    int32_t StatusOf(const fs::path& path) {
        auto file = manager->GetEditedFile(path);
        return file ? file->status : -1;
    }

    // The helper's work: the oldest queued copy is hashed and handed back.
    void FinishHash() {
        ASSERT_FALSE(hashQueue.empty());
        const fs::path copy = hashQueue.front();
        hashQueue.erase(hashQueue.begin());
        const std::string content = ReadFile(copy);
        manager->updateFileHash(copy, ContentHash(content),
                                static_cast<int64_t>(content.size()));
    }

    void Save(const fs::path& path, const std::string& content) {
        WriteFile(path, content);
        manager->updateFileChange({path});
    }

    // A version offered to the upload queue: its record, as the queue takes it.
    UpldWaitingFile TakeUpload() {
        loop.RunPending();
        auto records = manager->takeWaitingUploads(5);
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? UpldWaitingFile{} : records.front();
    }
    void EndUpload(const UpldWaitingFile& record, bool done) {
        if (done) {
            fs::remove(record.path);  // the upload removes the copy it sent
        }
        EXPECT_TRUE(manager->uploadEnded(record.fid, record.path.parent_path(),
                                         record.path.filename().string(), done));
    }

    CWriteDbMgr writeQueue;
    fs::path workDir;
    EditWindow editWindow;
    platform::WindowHandle editWindowHandle = editWindow.Attach(&loop);
    std::unique_ptr<LocalEditMgr> manager;
    std::vector<fs::path> hashQueue;
    std::vector<int64_t> unlocks;
    std::vector<fs::path> opened;
    int watcherStarts = 0;
};

TEST_F(LocalEditMgrTest, TwoEditsDownloadOneAfterTheOtherEachIntoItsOwnFolder) {
    const CloudFile a = Plant("a.txt", 300000, 1);
    const CloudFile b = Plant("b.txt", 200000, 2);
    manager->queueEditRequests({{"1\n", 0, 300000, 0, a.fid, "a.txt", a.hash},
                                {"2\n", 0, 200000, 0, b.fid, "b.txt", b.hash}});
    manager->dnldFileForEdit();
    EXPECT_EQ(manager->GetRunning(), 1);
    int mostRunning = 0;
    loop.RunUntil([&] {
        mostRunning = std::max(mostRunning, manager->GetRunning());
        return opened.size() == 2;
    }, 60000);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(mostRunning, 1);
    EXPECT_EQ(opened[0].filename(), "a.txt");
    EXPECT_EQ(opened[1].filename(), "b.txt");
    EXPECT_NE(opened[0].parent_path(), opened[1].parent_path());
    EXPECT_EQ(opened[0].parent_path().parent_path(), workDir / "edit");
    EXPECT_EQ(ReadFile(opened[0]), a.content);
    EXPECT_EQ(ReadFile(opened[1]), b.content);
    EXPECT_EQ(StatusOf(opened[0]), Status::kOpened);
    EXPECT_GE(watcherStarts, 1);
}

TEST_F(LocalEditMgrTest, AFailedDownloadDropsTheEditAndOpensNothing) {
    manager->queueEditRequests({{"1\n", 0, 10, 0, 987654, "gone.txt", ""}});
    manager->dnldFileForEdit();
    loop.RunUntil([&] { return editWindow.ends == 1; }, 60000);
    EXPECT_EQ(editWindow.ends, 1);
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(manager->EditedPaths().empty());
    EXPECT_TRUE(fs::is_empty(workDir / "edit"));
}

TEST_F(LocalEditMgrTest, ASaveWithTheSameContentUploadsNothing) {
    const CloudFile file = Plant("same.txt", 5000);
    const fs::path path = Open(file, "same.txt");
    ASSERT_FALSE(path.empty());
    Save(path, file.content);
    ASSERT_EQ(hashQueue.size(), 1u);
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kInStep);
    EXPECT_FALSE(manager->HasWaitingUploads());
    loop.RunPending();
    EXPECT_EQ(editWindow.uploadNotices, 0);
}

TEST_F(LocalEditMgrTest, SavesDuringAHashFoldIntoOneMoreRoundAndOneUpload) {
    const CloudFile file = Plant("fold.txt", 5000);
    const fs::path path = Open(file, "fold.txt");
    ASSERT_FALSE(path.empty());
    Save(path, "first");
    Save(path, "second");
    Save(path, "third");
    EXPECT_EQ(hashQueue.size(), 1u);
    EXPECT_EQ(StatusOf(path), Status::kHashingSaved);
    FinishHash();
    // The saves after the copy are hashed once more, from a fresh copy.
    ASSERT_EQ(hashQueue.size(), 1u);
    EXPECT_EQ(StatusOf(path), Status::kHashing);
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kWaitingUpload);
    const UpldWaitingFile record = TakeUpload();
    EXPECT_EQ(editWindow.uploadNotices, 1);
    EXPECT_EQ(record.fid, file.fid);
    EXPECT_TRUE(record.lockFlag);
    EXPECT_EQ(ReadFile(record.path), "third");
    EXPECT_EQ(record.hash, ContentHash("third"));
    EXPECT_EQ(record.size, 5);
    EXPECT_EQ(StatusOf(path), Status::kUploading);
    EndUpload(record, true);
    EXPECT_EQ(StatusOf(path), Status::kInStep);
    EXPECT_EQ(unlocks, std::vector<int64_t>{file.fid});
}

TEST_F(LocalEditMgrTest, ASaveDuringAnUploadLeadsToExactlyOneMoreUpload) {
    const CloudFile file = Plant("during.txt", 5000);
    const fs::path path = Open(file, "during.txt");
    ASSERT_FALSE(path.empty());
    Save(path, "version 1");
    FinishHash();
    const UpldWaitingFile first = TakeUpload();

    Save(path, "version 2");
    EXPECT_EQ(StatusOf(path), Status::kHashingUpld);
    Save(path, "version 3");
    EXPECT_EQ(StatusOf(path), Status::kHashingUpldSaved);
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kHashingUpld);
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kUploadingNewer);
    // The version on its way is not touched by the newer one.
    EXPECT_EQ(ReadFile(first.path), "version 1");
    EXPECT_FALSE(manager->HasWaitingUploads());

    EndUpload(first, true);
    EXPECT_EQ(StatusOf(path), Status::kWaitingUpload);
    const UpldWaitingFile second = TakeUpload();
    EXPECT_EQ(ReadFile(second.path), "version 3");
    EXPECT_EQ(second.hash, ContentHash("version 3"));
    EndUpload(second, true);
    EXPECT_EQ(StatusOf(path), Status::kInStep);
    EXPECT_FALSE(manager->HasWaitingUploads());
    EXPECT_EQ(unlocks.size(), 2u);
    EXPECT_EQ(editWindow.uploadNotices, 2);
}

TEST_F(LocalEditMgrTest, ASaveDuringAnUploadThatKeepsItsContentAddsNoUpload) {
    const CloudFile file = Plant("keep.txt", 5000);
    const fs::path path = Open(file, "keep.txt");
    ASSERT_FALSE(path.empty());
    Save(path, "kept");
    FinishHash();
    const UpldWaitingFile record = TakeUpload();
    Save(path, "kept");
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kUploading);
    EndUpload(record, true);
    EXPECT_EQ(StatusOf(path), Status::kInStep);
    EXPECT_FALSE(manager->HasWaitingUploads());
}

TEST_F(LocalEditMgrTest, AFailedUploadIsSentAgainAtTheNextSaveEvenWithoutAChange) {
    const CloudFile file = Plant("retry.txt", 5000);
    const fs::path path = Open(file, "retry.txt");
    ASSERT_FALSE(path.empty());
    Save(path, "changed");
    FinishHash();
    const UpldWaitingFile record = TakeUpload();
    EndUpload(record, false);
    EXPECT_EQ(StatusOf(path), Status::kUploadFailed);
    EXPECT_EQ(unlocks.size(), 1u);
    Save(path, "changed");
    FinishHash();
    EXPECT_EQ(StatusOf(path), Status::kWaitingUpload);
    EXPECT_EQ(ReadFile(TakeUpload().path), "changed");
}

TEST_F(LocalEditMgrTest, HashesDroppedWhileOfflineAreMadeAgain) {
    const CloudFile file = Plant("offline.txt", 5000);
    const fs::path path = Open(file, "offline.txt");
    ASSERT_FALSE(path.empty());
    Save(path, "saved offline");
    Save(path, "and again");
    hashQueue.clear();  // the helper dropped its queue
    manager->rehashDropped();
    ASSERT_EQ(hashQueue.size(), 1u);
    EXPECT_EQ(StatusOf(path), Status::kHashing);
    FinishHash();
    EXPECT_EQ(ReadFile(TakeUpload().path), "and again");
    manager->rehashDropped();
    EXPECT_TRUE(hashQueue.empty()) << "nothing awaited, nothing hashed";
}

// The real watcher with a queue far too small for a flood of new files beside the edited one:
// whatever it had to drop, the save after the flood reaches the manager and is hashed.
TEST_F(LocalEditMgrTest, ASaveBehindAFloodThatOverflowsTheWatcherIsStillHashed) {
    ScopedTimeScale fast(0.1);
    const CloudFile file = Plant("flood.txt", 5000);
    const fs::path path = Open(file, "flood.txt");
    ASSERT_FALSE(path.empty());
    DirFileChangeMgr watcher(workDir / "edit", DirFileChangeMgr::Limits{4, 0});
    watcher.SetNotifyWindow(editWindowHandle);
    ASSERT_TRUE(watcher.start());
    for (int i = 0; i < 300; ++i) {
        WriteFile(path.parent_path() / ("other" + std::to_string(i) + ".dat"), "x");
    }
    WriteFile(path, "the last save");
    auto lastSaveHashed = [&] {
        return !hashQueue.empty() && ReadFile(hashQueue.back()) == "the last save";
    };
    EXPECT_TRUE(loop.RunUntil(lastSaveHashed, 30000))
        << watcher.GetStats().rescans << " comparisons after a possible loss";
    watcher.Stop();
}

// What a killed run leaves behind is sorted out by the next: a saved version that did not
// reach the server is hashed again (and uploaded when it differs), a lock the run may have
// held is let go, and an edit with nothing pending moves to "ledir" under the day's date.
TEST_F(LocalEditMgrTest, TheNextStartTakesUpWhatAKilledRunLeftPending) {
    const CloudFile saved = Plant("saved.txt", 5000, 1);
    const CloudFile uploaded = Plant("uploaded.txt", 5000, 2);
    const CloudFile untouched = Plant("untouched.txt", 5000, 3);
    const fs::path savedPath = Open(saved, "saved.txt");
    const fs::path uploadedPath = Open(uploaded, "uploaded.txt");
    const fs::path untouchedPath = Open(untouched, "untouched.txt");
    ASSERT_FALSE(untouchedPath.empty());

    Save(uploadedPath, "went up");
    FinishHash();
    EndUpload(TakeUpload(), true);
    Save(savedPath, "not sent yet");  // killed before its hash came back
    writeQueue.WriteAllBatches();
    ASSERT_TRUE(writeQueue.Flush(10000));
    manager.reset();  // the kill: nothing of the manager's closing runs

    hashQueue.clear();
    unlocks.clear();
    manager = MakeManager();
    manager->Init(TxlogDb());
    EXPECT_TRUE(fs::exists(savedPath));
    EXPECT_FALSE(fs::exists(uploadedPath));
    EXPECT_FALSE(fs::exists(untouchedPath));
    std::tm local{};
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &local);
    const std::string day = LocalEditMgr::StampName(local).substr(0, 8);
    EXPECT_EQ(ReadFile(workDir / "ledir" / day / untouchedPath.parent_path().filename() /
                       "untouched.txt"),
              untouched.content);

    manager->resumePending();
    EXPECT_EQ(unlocks, std::vector<int64_t>{uploaded.fid});
    ASSERT_EQ(hashQueue.size(), 1u);
    EXPECT_EQ(ReadFile(hashQueue.front()), "not sent yet");
    FinishHash();
    const UpldWaitingFile record = TakeUpload();
    EXPECT_EQ(record.fid, saved.fid);
    EXPECT_EQ(ReadFile(record.path), "not sent yet");
    EXPECT_GE(watcherStarts, 1);
}

TEST_F(LocalEditMgrTest, ACopyChangedAfterAnOrderlyQuitIsUploadedAtTheNextStart) {
    const CloudFile file = Plant("later.txt", 5000);
    const fs::path path = Open(file, "later.txt");
    ASSERT_FALSE(path.empty());
    manager->quitTasks();
    writeQueue.WriteAllBatches();
    ASSERT_TRUE(writeQueue.Flush(10000));
    WriteFile(path, "saved while zorp was not running");

    manager = MakeManager();
    manager->Init(TxlogDb());
    manager->resumePending();
    ASSERT_EQ(hashQueue.size(), 1u);
    FinishHash();
    EXPECT_EQ(ReadFile(TakeUpload().path), "saved while zorp was not running");
}

}  // namespace
}  // namespace zorp::test
