// The transfer manager's download queue with real tasks on the real pool against zorp-cloud:
// how many it lists and runs, pauses, deletions, failures and retries, and the unfinished
// downloads it stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DownloadFixture.h"
#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "download/DownloadQueue.h"
#include "download/FileDownloadMgr.h"
#include "download/UnfinishedDownloadsSaver.h"
#include "support/ProcessStateTestAccess.h"
#include "support/TestDatabases.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

// The transfer manager without Qt: owns the download queue and hands it the tasks' messages.
class DownloadQueueWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        queue.HandleMessage(message);
        return 0;
    }
    DownloadQueue queue;
};

class DownloadQueueTest : public DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        FileDownloadMgr::GetInstance().clearAll();
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
        window.queue.SetWindow(window.Attach());
    }
    void TearDown() override {
        window.queue.quitDlTasks();
        DownloadFixture::TearDown();
        CWriteDbMgr::GetInstance().WriteAllBatches();
        CWriteDbMgr::GetInstance().Flush(10000);
        CWriteDbMgr::GetInstance().Stop();
        FileDownloadMgr::GetInstance().clearAll();
    }

    DownloadQueue& queue() { return window.queue; }

    // Requests for `count` planted files named f0.bin, f1.bin, ... into the local folder.
    std::vector<CloudFile> Request(int count, int64_t size, bool withHash = false) {
        std::vector<CloudFile> files;
        FileDownloadMgr::DownloadMap requests;
        for (int i = 0; i < count; ++i) {
            files.push_back(Plant("f" + std::to_string(i) + ".bin", size, 20 + i));
            FileDownloadMgr::DownloadRequest request;
            request.size = size;
            request.url = server.DownloadUrl(files.back().fid);
            request.path = local / ("f" + std::to_string(i) + ".bin");
            request.fid = files.back().fid;
            request.hash = withHash ? files.back().hash : std::string();
            requests.emplace(request.path, request);
        }
        FileDownloadMgr::GetInstance().addDownloads(requests);
        return files;
    }

    // Entries whose run is on the pool, asked of the tasks themselves.
    int RunsInProgress() {
        return static_cast<int>(std::count_if(
            queue().GetTaskList().begin(), queue().GetTaskList().end(), [](const auto& entry) {
                if (!entry->task) {
                    return false;
                }
                const int32_t state = entry->task->GetState();
                return state == TSE_TRANSFERRING || state == TSE_PAUSING;
            }));
    }

    DownloadQueueWindow window;
};

TEST_F(DownloadQueueTest, SevenRequestsListFiveRunThreeAndPauseAllHoldsThem) {
    const int64_t size = 400000;
    const std::vector<CloudFile> files = Request(7, size);
    ASSERT_TRUE(server.SetFault("download", "stall",
                                {{"ms", "30000"}, {"bytes", "1000"}, {"count", "20"}}));
    EXPECT_EQ(queue().dnldNewFiles(), 7);
    EXPECT_EQ(queue().GetTaskList().size(), 5u);
    EXPECT_EQ(queue().GetWaitingList().size(), 2u);
    EXPECT_EQ(queue().GetRunningCount(), 3);
    EXPECT_EQ(RunsInProgress(), 3);
    EXPECT_EQ(queue().GetDownloadCount(), 7);

    // Pause all, once the three runs hold their first bytes: they end paused and stay listed;
    // nothing else starts.
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(queue().GetTaskList().begin(), queue().GetTaskList().begin() + 3,
                           [](const auto& entry) { return entry->task->GetPosition() == 1000; });
    }));
    queue().OnButtonDlPause();
    ASSERT_TRUE(loop.RunUntil([&] { return queue().GetRunningCount() == 0; }, 30000));
    loop.RunFor(100);
    EXPECT_EQ(queue().GetTaskList().size(), 5u);
    EXPECT_EQ(RunsInProgress(), 0);
    EXPECT_EQ(recorder.Count(WM_DNLD_ALL_DONE), 0u);
    EXPECT_EQ(queue().GetTaskList()[0]->lastStatus.state, TSE_PAUSED);

    // Deleting a paused entry lowers nothing twice: the count stays the runs in progress, and
    // its cache folder goes.
    const int32_t first = queue().GetTaskList()[0]->taskId;
    const CDownloadParam firstParam = queue().GetTaskList()[0]->task->GetParam();
    EXPECT_EQ(CacheSize(firstParam), 1000);
    queue().deleteDnldItem(first);
    EXPECT_EQ(queue().GetRunningCount(), 0);
    EXPECT_EQ(queue().GetTaskList().size(), 5u) << "a waiting request took the place";
    EXPECT_FALSE(fs::exists(CacheFile(firstParam).parent_path()));

    // Start all: everything left arrives, and the empty list says so.
    ASSERT_TRUE(server.ClearFaults());
    queue().OnButtonDlStart();
    EXPECT_EQ(queue().GetRunningCount(), 3) << "runs whose end has not arrived";
    EXPECT_LE(RunsInProgress(), 3);
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_DNLD_ALL_DONE) > 0; }, 60000));
    EXPECT_TRUE(queue().GetTaskList().empty());
    EXPECT_FALSE(queue().HasFailedItems());
    for (int i = 1; i < 7; ++i) {
        EXPECT_EQ(ReadFile(local / ("f" + std::to_string(i) + ".bin")), files[i].content) << i;
    }
    EXPECT_FALSE(fs::exists(local / "f0.bin"));
    std::vector<std::string> finished = queue().takeFinishedNames();
    EXPECT_EQ(finished.size(), 6u);
    // The paused runs went on from their cache files.
    std::vector<int64_t> points = BreakPoints();
    EXPECT_EQ(std::count(points.begin(), points.end(), 1000), 2);
}

TEST_F(DownloadQueueTest, FailuresGoToTheirListsAndARetryRestartsOnlyTheFirst) {
    const std::vector<CloudFile> files = Request(1, 5000);
    ASSERT_TRUE(server.SetFault("download", "http", {{"code", "404"}}));
    FileDownloadMgr::GetInstance().addRefusedNames({"../evil"});
    EXPECT_EQ(queue().dnldNewFiles(), 2);
    ASSERT_TRUE(loop.RunUntil([&] { return queue().GetTaskList().empty(); }, 30000));
    ASSERT_EQ(queue().GetFailedList().size(), 1u);
    ASSERT_EQ(queue().GetFailedList2().size(), 1u);
    EXPECT_EQ(queue().GetFailedList2()[0].reason, kDlBadName);
    EXPECT_EQ(queue().GetFailedNames(5), (std::vector<std::string>{"f0.bin", "../evil"}));

    queue().restartDlFailedItems();
    ASSERT_TRUE(loop.RunUntil([&] { return queue().GetTaskList().empty(); }, 30000));
    EXPECT_TRUE(queue().GetFailedList().empty());
    EXPECT_EQ(queue().GetFailedList2().size(), 1u) << "a refused name is not tried again";
    EXPECT_EQ(ReadFile(local / "f0.bin"), files[0].content);
}

TEST_F(DownloadQueueTest, TheSnapshotHoldsEveryUnfinishedDownloadAndReadsBack) {
    Request(7, 300000, true);
    ASSERT_TRUE(server.SetFault("download", "stall",
                                {{"ms", "30000"}, {"bytes", "2000"}, {"count", "20"}}));
    queue().dnldNewFiles();
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(queue().GetTaskList().begin(), queue().GetTaskList().begin() + 3,
                           [](const auto& entry) { return entry->task->GetPosition() == 2000; });
    }));
    UnfinishedDownloadsSaver saver;
    ASSERT_TRUE(saver.Save(&queue(), false));
    EXPECT_FALSE(saver.Save(&queue(), false)) << "nothing changed";
    CWriteDbMgr::GetInstance().WriteAllBatches();
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(10000));
    const fs::path txlog = COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb);
    Rows rows = QueryRows(txlog, "SELECT path, position, size, url FROM dl_undo ORDER BY path;");
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0][0], (local / "f0.bin").string());
    EXPECT_EQ(rows[0][1], "2000");
    EXPECT_NE(rows[0][3].find("#hash="), std::string::npos) << "the listing's hash is kept";

    // The next start reads them back, hash and all; the rows stay until the next snapshot.
    window.queue.quitDlTasks();
    FileDownloadMgr& store = FileDownloadMgr::GetInstance();
    store.clearAll();
    EXPECT_EQ(store.loadUnfinished(txlog), 7u);
    FileDownloadMgr::DownloadMap restored = store.takeDownloads();
    ASSERT_EQ(restored.size(), 7u);
    const auto& f0 = restored[local / "f0.bin"];
    EXPECT_EQ(f0.url.rfind(COptions::GetInstance().GetUrls().download, 0), 0u);
    EXPECT_EQ(f0.url.find('#'), std::string::npos) << "the hash is no part of the address";
    EXPECT_FALSE(f0.hash.empty());
    EXPECT_EQ(f0.size, 300000);
    EXPECT_EQ(QueryRows(txlog, "SELECT COUNT(*) FROM dl_undo;"), (Rows{{"7"}}));

    // A snapshot of less replaces them all.
    DownloadQueue empty;
    ASSERT_TRUE(saver.Save(&empty, false));
    CWriteDbMgr::GetInstance().WriteAllBatches();
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(10000));
    EXPECT_EQ(QueryRows(txlog, "SELECT COUNT(*) FROM dl_undo;"), (Rows{{"0"}}));
}

}  // namespace
}  // namespace zorp::test
