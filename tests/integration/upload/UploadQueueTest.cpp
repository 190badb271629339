#include <json/reader.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QueueFixture.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkEncoder.h"
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "support/LinkTestPage.h"

namespace zorp::test {
namespace {

using Clock = std::chrono::steady_clock;

class UploadQueueTest : public QueueFixture {
protected:
    UploadQueue& Queue() { return window->queue; }

    std::vector<UpldWaitingFile> MakeRecords(int count, size_t size, const std::string& stem) {
        std::vector<UpldWaitingFile> records;
        for (int i = 0; i < count; ++i) {
            records.push_back(MakeRecord(stem + std::to_string(i) + ".bin", size + i));
        }
        return records;
    }

    size_t AllDoneCount() { return recorder.Count(WM_UPLD_ALL_DONE); }

    // Runs the loop until the server holds at least one chunk of the entry's file.
    bool WaitServerHoldsAChunk(int32_t taskIndex) {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < deadline) {
            loop.RunFor(50);
            const UpldTaskInfo* info = Queue().FindTask(taskIndex);
            if (info && info->fid > 0 &&
                ServerFile(info->fid)["breakPoint"].asInt64() >= static_cast<int64_t>(kChunk)) {
                return true;
            }
        }
        return false;
    }

    // Runs the loop until every running entry has its cloud id and the server holds at least
    // one chunk of it.
    bool WaitRunningHaveAChunk(std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            loop.RunFor(50);
            bool all = Queue().GetRunningCount() > 0;
            for (const auto& entry : Queue().GetTaskList()) {
                // The server holds the chunk before its reply is read; the task's own count
                // moves only when the reply arrives.
                if (entry->running &&
                    (entry->fid <= 0 || entry->breakPoint < static_cast<int64_t>(kChunk) ||
                     ServerFile(entry->fid)["breakPoint"].asInt64() <
                         static_cast<int64_t>(kChunk))) {
                    all = false;
                }
            }
            if (all) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(UploadQueueTest, TenWaitingFilesListFiveRunThreeAndEachEndPullsTheNextIn) {
    SlowUploads(150);
    Offer(MakeRecords(10, 2 * kChunk, "ten"));
    Queue().upldNewFiles();

    ASSERT_EQ(Queue().GetTaskList().size(), 5u);
    EXPECT_EQ(Queue().GetWaitingList().size(), 5u);
    EXPECT_EQ(Queue().GetRunningCount(), 3);
    EXPECT_EQ(window->rows.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Entry(i)->running, i < 3) << i;
        EXPECT_EQ(static_cast<bool>(Entry(i)->task), i < 3) << i;
    }
    EXPECT_EQ(window->lastCounts.left, 10);

    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));
    EXPECT_EQ(window->ends, 10);
    EXPECT_EQ(window->endsWithoutRefill, 0);
    EXPECT_EQ(window->maxRunning, 3);
    EXPECT_EQ(window->maxRows, 5u);
    EXPECT_TRUE(Queue().GetTaskList().empty());
    EXPECT_TRUE(Queue().GetWaitingList().empty());
    EXPECT_FALSE(Queue().HasFailedItems());
    EXPECT_TRUE(window->rows.empty());
    EXPECT_EQ(Queue().GetRunningCount(), 0);
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 0);
    EXPECT_GT(recorder.Count(WM_TX_REFRESH), 0u);

    // With nothing left running the queue stops: new files wait for the dispatcher's resume.
    EXPECT_TRUE(Queue().IsStopped());
    Offer({MakeRecord("later.bin", 1000)});
    Queue().upldNewFiles();
    EXPECT_EQ(Queue().GetRunningCount(), 0);
    ASSERT_EQ(Queue().GetTaskList().size(), 1u);
    Queue().resume();
    Queue().upldNewFiles();
    EXPECT_EQ(Queue().GetRunningCount(), 1);
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 1; }));
    loop.RunFor(100);
    EXPECT_EQ(AllDoneCount(), 2u);  // one report per emptied list

    // Named: the upload that ended as the last one counted remaining, once for the ten and
    // once for the file that came later.
    const auto names = Queue().takeFinishedNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names.back(), "later.bin");
    EXPECT_EQ(server.State()["files"].asInt64(), 11);
    ASSERT_EQ(window->fids.size(), 11u);
    for (const auto& [name, fid] : window->fids) {
        const Json::Value file = ServerFile(fid);
        EXPECT_EQ(file["status"].asInt(), 1) << name;
        EXPECT_EQ(file["name"].asString(), name);
    }
    const auto history = Query(DBWrapper::kLogDb, "SELECT name, type FROM log where userid=1");
    ASSERT_EQ(history.size(), 11u);
    for (const auto& row : history) {
        EXPECT_EQ(row[1], "0") << row[0];
    }
}

TEST_F(UploadQueueTest, UserPausedTaskStaysHeldAndIsNotRestartedByTheQueue) {
    SlowUploads(150);
    Offer(MakeRecords(4, 8 * kChunk, "hold"));
    Queue().upldNewFiles();
    ASSERT_EQ(Queue().GetRunningCount(), 3);
    const int32_t held = Entry(0)->taskIndex;
    ASSERT_TRUE(WaitServerHoldsAChunk(held));

    Queue().pauseOrStartItem(held, false);
    EXPECT_TRUE(Queue().FindTask(held)->held);
    // Its pause ends it; the fourth file takes its place; the other three finish.
    ASSERT_TRUE(RunUntil([&] { return window->ends == 4; }));
    const UpldTaskInfo* info = Queue().FindTask(held);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->state, TSE_PAUSED);
    EXPECT_TRUE(info->held);
    EXPECT_FALSE(info->running);
    EXPECT_EQ(Queue().GetTaskList().size(), 1u);
    EXPECT_FALSE(Queue().HasFailedItems()) << "a paused upload is no failure to retry";
    EXPECT_EQ(Queue().GetRunningCount(), 0);
    EXPECT_EQ(AllDoneCount(), 0u);

    // Nothing the queue does by itself starts it again.
    Queue().resume();
    Queue().upldNewFiles();
    Queue().restartFailedItems();
    Queue().AutoStartTxUp();
    loop.RunFor(300);
    EXPECT_EQ(info->task->GetState(), TSE_PAUSED);
    EXPECT_EQ(Queue().GetRunningCount(), 0);

    // Its row button does, and it goes on from where the server stands.
    const int64_t fid = info->fid;
    const int64_t serverBreakPoint = ServerFile(fid)["breakPoint"].asInt64();
    EXPECT_GT(serverBreakPoint, 0);
    EXPECT_LT(serverBreakPoint, info->fileSize);
    ASSERT_TRUE(server.ClearFaults());
    Queue().pauseOrStartItem(held, false);
    EXPECT_EQ(Queue().GetRunningCount(), 1);
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));
    const auto chunks = ChunkRequests();
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front(), std::make_pair(fid, serverBreakPoint));
    EXPECT_EQ(ServerFile(fid)["status"].asInt(), 1);
    EXPECT_EQ(server.RequestHeaderLines("uploadInit").size(), 0u)
        << "resumed, not registered again";
}

// The Retry of one finished row: only that failure leaves the failed list, its file is listed
// again and, nothing else running, the uploads start again by themselves.
TEST_F(UploadQueueTest, RetryOfOneFailedRowUploadsThatFileAgain) {
    ASSERT_TRUE(server.SetFault("uploadInit", "status", {{"status", "102012"}, {"count", "2"}}));
    Offer({MakeRecord("first.bin", 2 * kChunk), MakeRecord("second.bin", 2 * kChunk)});
    Queue().upldNewFiles();
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));
    ASSERT_EQ(Queue().GetFailedList().size(), 2u);
    ASSERT_EQ(window->finished.size(), 2u);
    for (const auto& [taskIndex, retryable] : window->finished) {
        EXPECT_TRUE(retryable) << taskIndex;
    }
    EXPECT_TRUE(Queue().IsStopped());
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 0);

    const UpldFailedFile retried = Queue().GetFailedList()[0];
    ASSERT_TRUE(server.ClearFaults());
    ASSERT_TRUE(Queue().retryFailedItem(retried.taskIndex));
    EXPECT_EQ(Queue().GetFailedList().size(), 1u) << "the other failure stays";
    EXPECT_NE(Queue().GetFailedList()[0].path, retried.path);
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 1);
    EXPECT_EQ(Queue().GetRunningCount(), 1) << "the user's retry starts at once";
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 1; }));

    const auto history = Query(DBWrapper::kLogDb, "SELECT name FROM log where userid=1");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0][0], retried.path.filename().string());
    EXPECT_EQ(Queue().GetFailedList().size(), 1u);
    EXPECT_FALSE(Queue().retryFailedItem(retried.taskIndex)) << "nothing left to retry";
    EXPECT_EQ(window->finished.size(), 3u);
}

TEST_F(UploadQueueTest, DeletingARunningTaskPausesItFirstAndItLeavesAtItsEnd) {
    std::vector<int64_t> removedOnServer;
    Queue().SetServerFileRemover([&](int64_t fid) { removedOnServer.push_back(fid); });
    SlowUploads(150);
    Offer(MakeRecords(4, 8 * kChunk, "del"));
    Queue().upldNewFiles();
    ASSERT_EQ(Queue().GetRunningCount(), 3);
    const int32_t running = Entry(0)->taskIndex;
    const int32_t idle = Entry(3)->taskIndex;
    ASSERT_TRUE(RunUntil([&] { return Queue().FindTask(running)->fid > 0; }));

    // An entry that never ran goes at once.
    Queue().deleteItem(idle, true);
    EXPECT_EQ(Queue().FindTask(idle), nullptr);
    EXPECT_EQ(window->rows.count(idle), 0u);
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 3);

    // A running one is paused and stays until its end arrives.
    Queue().deleteItem(running, true);
    const UpldTaskInfo* info = Queue().FindTask(running);
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->deleting);
    const int64_t fid = info->fid;
    const int32_t state = info->task->GetState();
    EXPECT_TRUE(state == TSE_PAUSING || state == TSE_PAUSED) << state;
    EXPECT_EQ(window->rows.count(running), 1u);

    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));
    EXPECT_EQ(Queue().FindTask(running), nullptr);
    EXPECT_TRUE(window->rows.empty());
    EXPECT_FALSE(Queue().HasFailedItems());
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 0);
    EXPECT_EQ(Queue().takeFinishedNames().size(), 1u) << "the last one remaining";
    EXPECT_NE(ServerFile(fid)["status"].asInt(), 1) << "the deleted upload was not finished";
    EXPECT_EQ(Query(DBWrapper::kLogDb, "SELECT name FROM log where userid=1").size(), 2u);
    // Only the one whose file the server had created goes from the server, once; the finished
    // ones and the one never started do not.
    EXPECT_EQ(removedOnServer, std::vector<int64_t>{fid});
    Queue().SetServerFileRemover({});
}

// The page connected to the link, whose cancellations (type 9) reach the transfer window.
class UploadQueuePageTest : public UploadQueueTest {
protected:
    void TearDown() override {
        ClientInterfaceMgr::GetInstance().Shutdown(5000);
        UploadQueueTest::TearDown();
    }

    void ConnectPage() {
        auto& link = ClientInterfaceMgr::GetInstance();
        link.SetNotifyWindow(window->GetHandle());
        link.SetListenPort(0);
        ASSERT_EQ(link.start(), 0);
        ASSERT_TRUE(link.WaitForListening(5000));
        ASSERT_TRUE(page.Connect(link.GetListenPort()));
        ASSERT_TRUE(page.SendRequest(LinkProtocol::In::kHello));
        ASSERT_EQ(page.NextMessage(), LinkProtocol::SimpleMsg(LinkProtocol::Out::kHelloReply));
    }

    // The (fid, pid) pairs of every "upload removed" update the page got.
    std::set<std::pair<int64_t, int64_t>> RemovedReports() {
        std::set<std::pair<int64_t, int64_t>> reports;
        while (auto message = page.WaitFor(LinkProtocol::Out::kUploadRemoved, 1000)) {
            Json::Value root;
            Json::CharReaderBuilder builder;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            std::string errors;
            reader->parse(message->data(), message->data() + message->size(), &root, &errors);
            for (const auto& entry : root["files"]) {
                reports.emplace(entry["fid"].asInt64(), entry["pid"].asInt64());
            }
        }
        return reports;
    }

    LinkTestPage page;
};

TEST_F(UploadQueuePageTest, CancelDeletesTheNamedUploadsAndReportsTheFidsNoTaskHolds) {
    ConnectPage();
    SlowUploads(150);
    CRequestContext context;
    const int64_t pid = CreateFolder(context, "Target");
    ASSERT_GT(pid, 0);
    std::vector<UpldWaitingFile> records;
    for (int i = 0; i < 3; ++i) {
        records.push_back(MakeRecord("cancel" + std::to_string(i) + ".bin", 8 * kChunk, pid));
    }
    Offer(records);
    Queue().upldNewFiles();
    const int32_t target = Entry(1)->taskIndex;
    ASSERT_TRUE(WaitServerHoldsAChunk(target));
    const int64_t fid = Queue().FindTask(target)->fid;

    ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeCancels({{{fid, 4242424}, 1}})));
    ASSERT_TRUE(RunUntil([&] {
        const UpldTaskInfo* info = Queue().FindTask(target);
        return !info || info->deleting;
    }));
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));
    EXPECT_EQ(Queue().FindTask(target), nullptr);
    EXPECT_FALSE(Queue().HasFailedItems());
    EXPECT_EQ(Queue().takeFinishedNames().size(), 1u) << "the last one remaining";
    EXPECT_NE(ServerFile(fid)["status"].asInt(), 1);

    const auto reports = RemovedReports();
    EXPECT_TRUE(reports.count({fid, pid})) << "the deleted upload";
    EXPECT_TRUE(reports.count({4242424, 0})) << "a fid no upload holds";
    EXPECT_EQ(reports.size(), 2u);
}

// The fixture's server is made in the base's constructor; this one gets its quota there.
class QuotaQueueTest : public QueueFixture {
protected:
    QuotaQueueTest() : QueueFixture(QuotaConfig()) {}
    static CloudServer::Config QuotaConfig() {
        CloudServer::Config config = SessionConfig();
        config.quota = 200000;
        return config;
    }
    UploadQueue& Queue() { return window->queue; }
};

TEST_F(QuotaQueueTest, ServerCodesChooseTheFailedListAndAFullDiskRaisesTheCapacityWarning) {
    Offer({MakeRecord("big.bin", 300000), MakeRecord("lost.bin", 1000, 987654),
           MakeRecord("fits.bin", 1000)});
    Queue().upldNewFiles();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_UPLD_ALL_DONE) > 0; }, 30000));

    ASSERT_EQ(Queue().GetFailedList().size(), 1u);
    EXPECT_EQ(Queue().GetFailedList()[0].path.filename(), "big.bin");
    EXPECT_EQ(Queue().GetFailedList()[0].code, 102008);
    ASSERT_EQ(Queue().GetFailedList2().size(), 1u);
    EXPECT_EQ(Queue().GetFailedList2()[0].path.filename(), "lost.bin");
    EXPECT_EQ(Queue().GetFailedList2()[0].code, 102003);
    EXPECT_EQ(window->capacityWarnings, 1);
    EXPECT_EQ(window->lastCounts.failed, 2);
    EXPECT_EQ(Queue().takeFinishedNames(), std::vector<std::string>{"fits.bin"});
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 0);

    // A retry takes the first list only: a missing folder does not come back by retrying.
    Queue().restartFailedItems();
    ASSERT_EQ(Queue().GetTaskList().size(), 1u);
    EXPECT_EQ(Queue().GetTaskList()[0]->name, "big.bin");
    EXPECT_TRUE(Queue().GetFailedList().empty());
    EXPECT_EQ(Queue().GetFailedList2().size(), 1u);
    EXPECT_EQ(FileBackupMgr::GetInstance().getRemainingCount(), 1);
    EXPECT_EQ(Queue().GetRunningCount(), 0) << "stopped until the dispatcher resumes";
    Queue().resume();
    Queue().upldNewFiles();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_UPLD_ALL_DONE) > 1; }, 30000));
    EXPECT_EQ(window->capacityWarnings, 2);
    EXPECT_EQ(Queue().GetFailedList().size(), 1u);
}

TEST_F(UploadQueueTest, QuitSavesEveryUnfinishedUploadAndTheNextStartResumesFromTheServer) {
    SlowUploads(200);
    const auto records = MakeRecords(8, 8 * kChunk, "quit");
    Offer(records);
    Queue().upldNewFiles();
    ASSERT_EQ(Queue().GetRunningCount(), 3);
    ASSERT_TRUE(WaitRunningHaveAChunk());
    // One listed entry held by the user before it ever ran: unfinished all the same.
    Queue().pauseOrStartItem(Entry(4)->taskIndex, true);
    ASSERT_TRUE(Entry(4)->held);

    Queue().quitTasks();
    EXPECT_TRUE(Queue().IsQuitting());
    ASSERT_TRUE(RunUntil([&] { return !Queue().HasActiveTransfers(); }, 30000));
    EXPECT_EQ(window->ends, 0) << "stopped tasks post no end";
    EXPECT_EQ(Queue().saveUndoFiles(), 8);
    Queue().StopAllTasks();

    const auto rows =
        Query(DBWrapper::kTxlogDb,
              "SELECT fid, position, name, size, sha FROM undo_files where userid=1 ORDER BY id");
    ASSERT_EQ(rows.size(), 8u);
    std::set<std::string> names;
    std::set<int64_t> started;
    for (const auto& row : rows) {
        names.insert(row[2]);
        if (std::stoll(row[0]) > 0) {
            started.insert(std::stoll(row[0]));
            EXPECT_GE(std::stoll(row[1]), static_cast<int64_t>(kChunk)) << row[2];
        }
    }
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(started.size(), 3u);

    // The next start: a new window, the rows read back through the backup file list.
    window.reset();
    AttachWindow();
    ASSERT_TRUE(server.ClearFaults());
    std::map<int64_t, int64_t> serverBreakPoints;
    for (const int64_t fid : started) {
        serverBreakPoints[fid] = ServerFile(fid)["breakPoint"].asInt64();
    }
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    list.reset();
    const auto summary = list.restoreUndoFiles(home.userDataDir() / DBWrapper::kTxlogDb);
    EXPECT_TRUE(summary.read);
    EXPECT_EQ(summary.queued, 8);
    EXPECT_EQ(Query(DBWrapper::kTxlogDb, "SELECT id FROM undo_files").size(), 8u)
        << "kept until this run's first snapshot replaces them";
    list.addFileCount(8);
    Queue().upldNewFiles();
    ASSERT_TRUE(RunUntil([&] { return AllDoneCount() > 0; }));

    EXPECT_FALSE(Queue().HasFailedItems());
    EXPECT_EQ(Queue().takeFinishedNames().size(), 1u) << "the last one remaining";
    EXPECT_EQ(server.State()["files"].asInt64(), 8) << "no file registered twice";
    EXPECT_EQ(server.RequestHeaderLines("uploadInit").size(), 5u);
    const auto chunks = ChunkRequests();
    for (const auto& [fid, breakPoint] : serverBreakPoints) {
        const auto first = std::find_if(chunks.begin(), chunks.end(),
                                        [&](const auto& chunk) { return chunk.first == fid; });
        ASSERT_NE(first, chunks.end()) << fid;
        EXPECT_EQ(first->second, breakPoint) << "fid " << fid;
        EXPECT_EQ(ServerFile(fid)["status"].asInt(), 1);
    }
    for (const auto& [name, fid] : window->fids) {
        EXPECT_EQ(ServerFile(fid)["status"].asInt(), 1) << name;
    }
}

}  // namespace
}  // namespace zorp::test
