#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "DispatcherFixture.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "support/ProcessStateTestAccess.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::In;
using LinkProtocol::Out;

class RequestDispatcherTest : public DispatcherFixture {
protected:
    // A folder tree with files at three levels, an empty folder and a file beside it.
    void MakeTree() {
        WriteFile(local / "Trip" / "a.txt", "alpha");
        WriteFile(local / "Trip" / "photos" / "p1.jpg", TestBytes(300000, 1));
        WriteFile(local / "Trip" / "photos" / "deep" / "p2.jpg", TestBytes(70000, 2));
        fs::create_directories(local / "Trip" / "empty");
        WriteFile(local / "loose.bin", TestBytes(140000, 3));
    }

    int UploadInits() { return static_cast<int>(server.RequestHeaderLines("uploadInit").size()); }
};

TEST_F(RequestDispatcherTest, ADropLandsAsTheSameTreeAndADropAgainUploadsNothing) {
    MakeTree();
    RequestUpload({local / "Trip", local / "loose.bin"});
    auto finished = RunUntilPageGets(Out::kUploadsFinished);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    // Named: the upload that ended as the last of the files remaining.
    const std::vector<std::string> names = NamesOf(*finished);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE((std::set<std::string>{"a.txt", "p1.jpg", "p2.jpg", "loose.bin"}).count(names[0]))
        << names[0];
    EXPECT_GE(CountReceived(Out::kUploadNames), 1) << "the page heard that uploads started";

    std::map<std::string, std::string> expected = LocalTree(local / "Trip", "Trip/");
    expected["Trip/"] = "";
    expected["loose.bin"] = ReadFile(local / "loose.bin");
    EXPECT_EQ(ServerTree(server, targetId), expected);
    EXPECT_FALSE(dispatcher().IsBatchBusy());
    EXPECT_EQ(dispatcher().GetNowCalcCount(), 0);
    EXPECT_EQ(WorkState(), RequestDispatcher::kWsIdle);
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kNone);
    EXPECT_EQ(drop.mode, IDispatcherView::kIdleMode);

    // The same drop again: everything is there, nothing is sent. The batch began after the
    // one before had ended, and the page hears that it ended (simple 11).
    const int inits = UploadInits();
    received.clear();
    RequestUpload({local / "Trip", local / "loose.bin"});
    ASSERT_TRUE(RunUntilPageGets(Out::kBatchInterrupted)) << testing::PrintToString(received);
    EXPECT_EQ(CountReceived(Out::kNothingToUpload), 0);
    EXPECT_EQ(UploadInits(), inits);
    EXPECT_EQ(CountReceived(Out::kUploadsFinished), 0);
    EXPECT_EQ(CountReceived(Out::kUploadsFailed), 0);
    EXPECT_FALSE(dispatcher().IsBatchBusy());
}

// A batch that finds everything on the server while earlier uploads still run: begun in work
// state 2 or less (the uploads started from a restore, say), it is told as "nothing to upload"
// (simple 9) at once; begun beside other work (above 2), nothing is told for it. The earlier
// uploads end with their own report either way.
TEST_F(RequestDispatcherTest, AnEmptyBatchWhileEarlierUploadsRunSendsNineOnlyFromStateTwo) {
    WriteFile(local / "there.txt", "there");
    RequestUpload({local / "there.txt"});
    ASSERT_TRUE(RunUntilPageGets(Out::kUploadsFinished)) << testing::PrintToString(received);

    const std::string data = TestBytes(30 * kChunk, 8);
    WriteFile(local / "slow.bin", data);
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "50"}, {"count", "1000"}}));
    RequestUpload({local / "slow.bin"});
    ASSERT_TRUE(loop.RunUntil([&] { return manager.queue.GetRunningCount() == 1; }, 10000));
    ASSERT_EQ(WorkState(), RequestDispatcher::kWsTransferring) << "began after a batch ended";
    received.clear();
    RequestUpload({local / "there.txt"});
    ASSERT_TRUE(loop.RunUntil([&] { return dispatcher().IsBatchBusy(); }, 5000));
    ASSERT_TRUE(loop.RunUntil([&] { return !dispatcher().IsBatchBusy(); }, 10000));
    RunAndCollect(100);
    EXPECT_EQ(CountReceived(Out::kNothingToUpload), 0) << testing::PrintToString(received);
    EXPECT_EQ(CountReceived(Out::kBatchInterrupted), 0) << testing::PrintToString(received);

    ProcessStateTestAccess::SetWorkState(WorkState::kWsUploading);
    RequestUpload({local / "there.txt"});
    ASSERT_TRUE(RunUntilPageGets(Out::kNothingToUpload)) << testing::PrintToString(received);
    EXPECT_EQ(manager.queue.GetRunningCount(), 1) << "the earlier upload still runs";
    EXPECT_EQ(CountReceived(Out::kUploadsFinished), 0);
    server.ClearFaults();
    auto finished = RunUntilPageGets(Out::kUploadsFinished, 60000);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*finished), std::vector<std::string>{"slow.bin"});
    EXPECT_EQ(ServerTree(server, targetId)["slow.bin"], data);
}

// A walk hands its files on in batches of about a hundred; the batch must not end (and the
// dropped roots must not go) before the walk's last batch.
TEST_F(RequestDispatcherTest, AWalkOfManyBatchesEndsTheBatchOnlyAfterItsLastBatch) {
    TravelDirMgr::GetInstance().SetBatchPauseMs(0);
    for (int i = 0; i < 250; ++i) {
        WriteFile(local / "Many" / ("f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
    }
    RequestUpload({local / "Many"});
    auto finished = RunUntilPageGets(Out::kUploadsFinished, 60000);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*finished).size(), 1u) << "the last one remaining";
    EXPECT_EQ(CountReceived(Out::kUploadsFinished), 1);
    auto tree = ServerTree(server, targetId);
    EXPECT_EQ(tree.size(), 251u);
    EXPECT_EQ(tree["Many/f249.txt"], "file 249");
    TravelDirMgr::GetInstance().SetBatchPauseMs(FixedDelays::Ms(FixedDelay::kWalkBatchPause));
}

TEST_F(RequestDispatcherTest, ASixthFileWaitsUntilOneOfFiveHashJobsEnds) {
    for (int i = 0; i < 8; ++i) {
        WriteFile(local / ("h" + std::to_string(i)), TestBytes(1000 + i, 10 + i));
    }
    ComputeShaMgr::GetInstance().Pause();
    std::vector<fs::path> paths;
    for (int i = 0; i < 8; ++i) {
        paths.push_back(local / ("h" + std::to_string(i)));
    }
    RequestUpload(paths);
    ASSERT_TRUE(loop.RunUntil([&] { return dispatcher().GetNowCalcCount() == 5; }, 5000));
    loop.RunFor(100);
    EXPECT_EQ(dispatcher().GetNowCalcCount(), 5);
    EXPECT_EQ(FileBackupMgr::GetInstance().getSubFileCount(), 3u);
    ComputeShaMgr::GetInstance().Resume();
    auto finished = RunUntilPageGets(Out::kUploadsFinished);
    ASSERT_TRUE(finished);
    EXPECT_EQ(NamesOf(*finished).size(), 1u) << "the last one remaining";
}

// A request that comes while a batch is walked waits for the batch to end, then runs.
TEST_F(RequestDispatcherTest, ARequestDuringABatchWaitsForItsEnd) {
    WriteFile(local / "First" / "one.txt", "one");
    WriteFile(local / "second.txt", "two");
    TravelDirMgr::GetInstance().Pause();
    RequestUpload({local / "First"});
    ASSERT_TRUE(loop.RunUntil([&] { return dispatcher().IsBatchBusy(); }, 5000));
    RequestUpload({local / "second.txt"});
    RunAndCollect(300);
    EXPECT_TRUE(FileBackupMgr::GetInstance().hasPendingRequests()) << "waits behind the batch";
    TravelDirMgr::GetInstance().Resume();
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            auto tree = ServerTree(server, targetId);
            return tree.count("First/one.txt") && tree.count("second.txt") &&
                   !dispatcher().IsBatchBusy();
        },
        30000));
    EXPECT_FALSE(FileBackupMgr::GetInstance().hasPendingRequests());
}

// Paths that do not exist, and things that are neither files nor folders, are not sent; the
// page hears their names as failed uploads, also when the rest of the request went up.
TEST_F(RequestDispatcherTest, MissingPathsAndSpecialFilesAreReportedAsFailed) {
    const fs::path fifo = local / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RequestUpload({local / "gone.txt", fifo});
    auto failed = RunUntilPageGets(Out::kUploadsFailed);
    ASSERT_TRUE(failed) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*failed), (std::vector<std::string>{"gone.txt", "pipe"}));
    EXPECT_FALSE(dispatcher().IsBatchBusy());

    // A good file first and a missing one last: the good one still goes up (the batch does not
    // end at the missing last path), and the missing one is reported.
    WriteFile(local / "good.txt", "good");
    received.clear();
    RequestUpload({local / "good.txt", local / "missing.txt"});
    failed = RunUntilPageGets(Out::kUploadsFailed);
    ASSERT_TRUE(failed) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*failed), (std::vector<std::string>{"missing.txt"}));
    EXPECT_EQ(ServerTree(server, targetId)["good.txt"], "good");
}

// A cloud folder id the server does not know: the dropped folder cannot be made and the file
// is refused; both are reported at once (a retry cannot mend an unknown folder... for the
// file; the folder is tried again), and nothing hangs.
TEST_F(RequestDispatcherTest, AnUnknownTargetFolderIsReportedAndNothingHangs) {
    WriteFile(local / "Folder" / "in.txt", "in");
    WriteFile(local / "file.txt", "file");
    RequestUpload({local / "Folder", local / "file.txt"}, 987654);
    auto failed = RunUntilPageGets(Out::kUploadsFailed, 30000);
    ASSERT_TRUE(failed) << testing::PrintToString(received);
    const std::vector<std::string> names = NamesOf(*failed);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"Folder", "file.txt"}));
    EXPECT_FALSE(dispatcher().IsBatchBusy());
    EXPECT_EQ(dispatcher().GetRetryCount(), 0);
    EXPECT_EQ(WorkState(), RequestDispatcher::kWsIdle);
}

// Failed transfers are retried after 1, 2 and 3 retry steps; the fourth failure is reported
// with Out::kUploadsFailed naming at most five files.
TEST_F(RequestDispatcherTest, FailuresAreRetriedThreeTimesThenFiveNamesAreReported) {
    logging::ScopedLogCapture log;
    std::vector<fs::path> paths;
    for (int i = 0; i < 7; ++i) {
        paths.push_back(local / ("r" + std::to_string(i) + ".bin"));
        WriteFile(paths.back(), TestBytes(2000 + i, 30 + i));
    }
    ASSERT_TRUE(server.SetFault("upload", "status", {{"status", "102012"}, {"count", "1000"}}));
    RequestUpload(paths);
    auto failed = RunUntilPageGets(Out::kUploadsFailed, 60000);
    ASSERT_TRUE(failed) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*failed).size(), 5u);
    EXPECT_EQ(CountReceived(Out::kUploadsFinished), 0);
    // Every file went up four times: once, and three retries.
    EXPECT_EQ(UploadInits(), 7 * 4);
    EXPECT_EQ(dispatcher().GetRetryCount(), 0);
    EXPECT_EQ(WorkState(), RequestDispatcher::kWsIdle);
    EXPECT_TRUE(log.Contains("retry 1 in 100 ms"));
    EXPECT_TRUE(log.Contains("retry 2 in 200 ms"));
    EXPECT_TRUE(log.Contains("retry 3 in 300 ms"));
    EXPECT_FALSE(log.Contains("retry 4"));
    EXPECT_EQ(manager.queue.GetFailedList().size(), 7u) << "the failures stay listed";
}

// The server goes away mid-upload: the process goes offline, checks the network, and comes
// back only after three good checks; then the upload finishes.
TEST_F(RequestDispatcherTest, ServerGoneGoesOfflineAndThreeGoodChecksBringItBack) {
    const std::string data = TestBytes(40 * kChunk, 5);
    WriteFile(local / "big.bin", data);
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "20"}, {"count", "1000"}}));
    RequestUpload({local / "big.bin"});
    ASSERT_TRUE(loop.RunUntil([&] { return dispatcher().HasUploadBatch() &&
                                           manager.queue.GetRunningCount() == 1; },
                              10000));
    ASSERT_TRUE(
        loop.RunUntil([&] { return server.RequestHeaderLines("upload").size() >= 2; }, 10000))
        << "chunks arrive";
    server.Stop(true);
    ASSERT_TRUE(loop.RunUntil([&] { return WorkState() == RequestDispatcher::kWsOffline; }, 20000));
    EXPECT_EQ(drop.texts.back(), "Offline");
    EXPECT_TRUE(RunUntilPageGets(Out::kAllEnded, 5000))
        << "going offline ends the transfers for the page";
    // Checks keep failing while the server is away: still offline.
    const int checksBefore = MiscToolMgr::GetInstance().GetNetworkCheckCount();
    // The next check starts only once the failure of the one before was handled.
    loop.RunUntil(
        [&] { return MiscToolMgr::GetInstance().GetNetworkCheckCount() > checksBefore + 1; }, 5000);
    EXPECT_GT(MiscToolMgr::GetInstance().GetNetworkCheckCount(), checksBefore);
    EXPECT_EQ(WorkState(), RequestDispatcher::kWsOffline);

    ASSERT_TRUE(server.Restart()) << server.Error();
    server.ClearFaults();
    const int checksAtRestart = MiscToolMgr::GetInstance().GetNetworkCheckCount();
    ASSERT_TRUE(loop.RunUntil([&] { return WorkState() != RequestDispatcher::kWsOffline; }, 20000));
    EXPECT_GE(MiscToolMgr::GetInstance().GetNetworkCheckCount() - checksAtRestart, 3);
    EXPECT_EQ(dispatcher().GetNetworkOkCount(), 0) << "counted anew for the next recovery";
    auto finished = RunUntilPageGets(Out::kUploadsFinished, 60000);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*finished), (std::vector<std::string>{"big.bin"}));
    EXPECT_EQ(ServerTree(server, targetId)["big.bin"], data);

    // Offline again by the page: one good check alone does not bring it back.
    page.SendRequest(In::kGoOffline);
    ASSERT_TRUE(loop.RunUntil([&] { return WorkState() == RequestDispatcher::kWsOffline; }, 5000));
    platform::PostMessage(dropWindow, WM_NETWORK_OK);
    loop.RunFor(50);
    EXPECT_EQ(WorkState(), RequestDispatcher::kWsOffline);
}

// Requests that arrive offline wait, and start once the page brings the process online.
TEST_F(RequestDispatcherTest, RequestsWhileOfflineWaitForOnline) {
    WriteFile(local / "later.txt", "later");
    page.SendRequest(In::kGoOffline);
    ASSERT_TRUE(loop.RunUntil([&] { return WorkState() == RequestDispatcher::kWsOffline; }, 5000));
    RequestUpload({local / "later.txt"});
    RunAndCollect(300);
    EXPECT_TRUE(FileBackupMgr::GetInstance().hasPendingRequests());
    EXPECT_EQ(ServerTree(server, targetId).count("later.txt"), 0u);
    page.SendRequest(
        LinkProtocol::EncodeCookies(In::kGoOnline, {{"", "QSESSIONID", "s3ss10n", ""}}));
    ASSERT_TRUE(RunUntilPageGets(Out::kUploadsFinished));
    EXPECT_EQ(ServerTree(server, targetId)["later.txt"], "later");
}

// The stored unfinished uploads follow the queue while the process runs: a kill at any
// moment leaves the rows that resume the upload, and an upload that ended leaves none.
TEST_F(RequestDispatcherTest, UnfinishedUploadsAreStoredWhileTheyRunAndGoneWhenDone) {
    const std::string data = TestBytes(60 * kChunk, 6);
    WriteFile(local / "slow.bin", data);
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "60"}, {"count", "1000"}}));
    RequestUpload({local / "slow.bin"});
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            auto rows = UndoRows();
            return rows.size() == 1 && rows[0][0] == "slow.bin" && rows[0][1] != "0";
        },
        10000))
        << "the row, with the file id the server gave, is stored while the upload runs";
    EXPECT_NE(manager.queue.GetRunningCount(), 0);
    server.ClearFaults();
    ASSERT_TRUE(RunUntilPageGets(Out::kUploadsFinished));
    ASSERT_TRUE(loop.RunUntil([&] { return UndoRows().empty(); }, 5000));
}

// The page's quit: the close handling runs once, stores what is unfinished, and ends the loop;
// a second report of the same quit does nothing.
TEST_F(RequestDispatcherTest, ThePagesQuitClosesOnceAndStoresTheUnfinishedUploads) {
    WriteFile(local / "q.bin", TestBytes(20 * kChunk, 7));
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "100"}, {"count", "1000"}}));
    RequestUpload({local / "q.bin"});
    ASSERT_TRUE(loop.RunUntil([&] { return manager.queue.GetRunningCount() == 1; }, 10000));
    page.SendRequest(In::kQuit);
    ASSERT_TRUE(loop.RunUntil([&] { return drop.quitCode == 0; }, 10000));
    EXPECT_TRUE(dispatcher().IsClosing());
    EXPECT_FALSE(drop.visible);
    COptions::GetInstance().m_exitRequest = 17;
    platform::PostMessage(dropWindow, WM_CLIENT_MSG_COME);
    drop.quitCode = -1;
    loop.RunFor(50);
    EXPECT_EQ(drop.quitCode, -1);
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(10000));
    auto rows = UndoRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "q.bin");
    EXPECT_EQ(rows[0][2], std::to_string(targetId));
}

}  // namespace
}  // namespace zorp::test
