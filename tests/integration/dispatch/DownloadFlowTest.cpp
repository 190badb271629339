// The road of a download request through the dispatcher: the page's type 7 and type 11, the
// folder listing, the download queue and pool, the report to the page, offline and online, and
// what the closing order stores.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DispatcherFixture.h"
#include "download/DownloadCache.h"
#include "support/CloudTree.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::In;
using LinkProtocol::Out;

class DownloadFlowTest : public DispatcherFixture {
protected:
    void RequestBatch(const fs::path& target, const std::vector<LinkProtocol::BatchItem>& items) {
        ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeBatchDownloads({{target.string(), items}})));
    }

    int64_t Cached(const std::string& name, int64_t fid) const {
        const fs::path file =
            DownloadCache(DownloadCache::FolderFor(COptions::GetInstance().GetWorkDir(), name,
                                                   server.DownloadUrl(fid)),
                          name)
                .File();
        std::error_code error;
        const auto size = fs::file_size(file, error);
        return error ? -1 : static_cast<int64_t>(size);
    }
};

TEST_F(DownloadFlowTest, AFolderTreeAndAFileArriveAndThePageHearsTheStartAndTheEnd) {
    CRequestContext context;
    const int64_t holiday = CreateFolder(context, "Holiday");
    const int64_t photos = CreateFolder(context, "Holiday/photos");
    ASSERT_GT(CreateFolder(context, "Holiday/photos/raw"), 0);
    ASSERT_GT(CreateFolder(context, "Holiday/empty"), 0);
    ASSERT_TRUE(server.Plant("beach.jpg", 700000, photos, "random", 2).isObject());
    ASSERT_TRUE(server.Plant("list.txt", 1200, holiday, "random", 3).isObject());
    const Json::Value readme = server.Plant("readme.txt", 40, 0, "random", 4);

    const fs::path second = local / "second";
    fs::create_directories(second);
    RequestBatch(second, {{holiday, "Holiday", 0, 0, 0},
                          {readme["id"].asInt64(), "readme.txt", LinkProtocol::kFileItem, 0, 40}});
    auto finished = RunUntilPageGets(Out::kDownloadsFinished, 60000);
    ASSERT_TRUE(finished) << "received " << received.size() << " messages";
    EXPECT_GE(CountReceived(Out::kDownloadNames), 1) << "the start was told";
    std::vector<std::string> names = NamesOf(*finished);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"beach.jpg", "list.txt", "readme.txt"}));
    EXPECT_EQ(CountReceived(Out::kDownloadsFailed), 0);

    Tree expected = ServerTree(server, holiday, "Holiday/");
    expected["Holiday/"] = "";
    expected["readme.txt"] = ServerTree(server, 0).at("readme.txt");
    Tree got = LocalTree(second, "");
    got.erase("");
    EXPECT_EQ(got, expected);
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kNone);
    EXPECT_FALSE(dispatcher().HasDownloadBatch());
    // History rows of type 2, one per file.
    CWriteDbMgr::GetInstance().WriteAllBatches();
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(10000));
    EXPECT_EQ(QueryRows(COptions::GetInstance().GetDatabasePath(DBWrapper::kLogDb),
                        "SELECT COUNT(*) FROM log WHERE type=2;"),
              (Rows{{"3"}}));
}

TEST_F(DownloadFlowTest, HostileNamesAreReportedAsFailedAndNothingLeavesTheTarget) {
    const Json::Value good = server.Plant("good.txt", 10, 0, "random", 5);
    const fs::path target = local / "target";
    fs::create_directories(target);
    RequestBatch(target, {{good["id"].asInt64(), "good.txt", LinkProtocol::kFileItem, 0, 10},
                          {good["id"].asInt64(), "../outside.txt", LinkProtocol::kFileItem, 0, 10},
                          {good["id"].asInt64(), "..", 0, 0, 0}});
    auto failed = RunUntilPageGets(Out::kDownloadsFailed, 60000);
    ASSERT_TRUE(failed);
    std::vector<std::string> names = NamesOf(*failed);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"..", "../outside.txt"}));
    EXPECT_EQ(ReadFile(target / "good.txt").size(), 10u);
    EXPECT_FALSE(fs::exists(local / "outside.txt"));
    EXPECT_EQ(dispatcher().GetDnldRetryCount(), 0) << "a refusal is not retried";
}

TEST_F(DownloadFlowTest, FailuresAreRetriedThreeTimesThenReportedWithAtMostFiveNames) {
    std::vector<LinkProtocol::DownloadObject> files;
    for (int i = 0; i < 6; ++i) {
        const Json::Value file = server.Plant("f" + std::to_string(i), 100, 0, "random", 10 + i);
        files.push_back({100, server.DownloadUrl(file["id"].asInt64()),
                         (local / ("f" + std::to_string(i))).string()});
    }
    ASSERT_TRUE(server.SetFault("download", "http", {{"code", "500"}, {"count", "1000"}}));
    ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeDownloads(files)));
    auto failed = RunUntilPageGets(Out::kDownloadsFailed, 60000);
    ASSERT_TRUE(failed);
    EXPECT_EQ(NamesOf(*failed).size(), 5u);
    // Each of the six was tried four times: once and three retries.
    EXPECT_EQ(server.RequestTexts("download").size(), 24u);
    EXPECT_EQ(CountReceived(Out::kDownloadsFinished), 0);
}

TEST_F(DownloadFlowTest, OfflinePausesTheDownloadsAndOnlineGoesOnFromTheirCaches) {
    const Json::Value file = server.Plant("big.bin", 900000, 0, "random", 6);
    const int64_t fid = file["id"].asInt64();
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "30000"}, {"bytes", "300000"}}));
    ASSERT_TRUE(page.SendRequest(
        LinkProtocol::EncodeDownloads({{900000, server.DownloadUrl(fid), (local / "big.bin").string()}})));
    ASSERT_TRUE(loop.RunUntil([&] { return Cached("big.bin", fid) == 300000; }, 30000));
    EXPECT_TRUE(ProcessState::GetInstance().DownloadsActive());

    ASSERT_TRUE(page.SendRequest(In::kGoOffline));
    ASSERT_TRUE(loop.RunUntil(
        [&] { return manager.dnldQueue.GetRunningCount() == 0 && WorkState() == WorkState::kWsOffline; },
        30000));
    EXPECT_EQ(manager.dnldQueue.GetTaskList().size(), 1u) << "paused, still listed";

    server.ClearFaults();
    // Online again, with the page's cookies (the session among them).
    ASSERT_TRUE(page.SendRequest(
        LinkProtocol::EncodeCookies(In::kGoOnline, {{"web.localhost", "QSESSIONID", kSession, "/"}})));
    auto finished = RunUntilPageGets(Out::kDownloadsFinished, 60000);
    ASSERT_TRUE(finished);
    EXPECT_EQ(NamesOf(*finished), std::vector<std::string>{"big.bin"});
    const auto requests = server.RequestTexts("download");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].line.find("&breakPoint=300000"), std::string::npos) << requests[0].line;
    EXPECT_EQ(ReadFile(local / "big.bin").size(), 900000u);
}

// The drop window's menu: pause all, then start all, through the dispatcher, which moves the
// transfer state (downloads, paused, downloads again) and the window's look.
TEST_F(DownloadFlowTest, TheMenusPauseAndStartMoveTheTransferStateAndTheDownloadGoesOn) {
    const Json::Value file = server.Plant("menu.bin", 900000, 0, "random", 7);
    const int64_t fid = file["id"].asInt64();
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "30000"}, {"bytes", "300000"}}));
    ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeDownloads(
        {{900000, server.DownloadUrl(fid), (local / "menu.bin").string()}})));
    ASSERT_TRUE(loop.RunUntil([&] { return Cached("menu.bin", fid) == 300000; }, 30000));
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kDownloads);

    dispatcher().OnMenuPause();
    ASSERT_TRUE(loop.RunUntil([&] { return manager.dnldQueue.GetRunningCount() == 0; }, 30000));
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kPaused);

    server.ClearFaults();
    drop.mode = IDispatcherView::kIdleMode;
    dispatcher().OnMenuStart();
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kDownloads);
    EXPECT_EQ(drop.mode, IDispatcherView::kDownloadMode);
    EXPECT_EQ(drop.iconAlternations, 0);  // only one direction runs
    ASSERT_TRUE(RunUntilPageGets(Out::kDownloadsFinished, 60000));
    EXPECT_EQ(ReadFile(local / "menu.bin").size(), 900000u);
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kNone);
}

TEST_F(DownloadFlowTest, TheClosingOrderStoresEveryUnfinishedDownload) {
    std::vector<LinkProtocol::DownloadObject> files;
    for (int i = 0; i < 4; ++i) {
        const Json::Value file = server.Plant("c" + std::to_string(i), 500000, 0, "random", 30 + i);
        files.push_back({500000, server.DownloadUrl(file["id"].asInt64()),
                         (local / ("c" + std::to_string(i))).string()});
    }
    ASSERT_TRUE(server.SetFault("download", "stall",
                                {{"ms", "30000"}, {"bytes", "4096"}, {"count", "10"}}));
    ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeDownloads(files)));
    ASSERT_TRUE(loop.RunUntil([&] { return manager.dnldQueue.GetRunningCount() == 3; }, 30000));
    // Kept while they run (a kill would find them), and once more, whole, at the close.
    const fs::path txlog = COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb);
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            CWriteDbMgr::GetInstance().WriteAllBatches();
            return QueryRows(txlog, "SELECT COUNT(*) FROM dl_undo;") == Rows{{"4"}};
        },
        10000));
    dispatcher().OnClose();
    CWriteDbMgr::GetInstance().WriteAllBatches();
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(10000));
    Rows rows = QueryRows(txlog, "SELECT path, size FROM dl_undo ORDER BY path;");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{(local / "c0").string(), "500000"}));
    EXPECT_TRUE(manager.dnldQueue.GetTaskList().empty()) << "every task was let go";
    EXPECT_FALSE(CDnldThreadMgr::GetInstance().IsStarted()) << "the pool was joined";
}

}  // namespace
}  // namespace zorp::test
