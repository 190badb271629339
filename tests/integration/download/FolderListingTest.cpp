// Folder downloads: the server actions worker lists the cloud folders the page named, pass
// after pass, into the file download manager, and no request of another kind displaces it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DownloadFixture.h"
#include "cloud/MiscToolMgr.h"
#include "download/FileDownloadMgr.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

class FolderListingTest : public DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        FileDownloadMgr::GetInstance().clearAll();
        misc.SetNotifyWindow(notifyWindow);
        misc.SetFolderListingStore(&FileDownloadMgr::GetInstance());
        ASSERT_TRUE(misc.Start());
    }
    void TearDown() override {
        EXPECT_TRUE(misc.Shutdown(15000));
        FileDownloadMgr::GetInstance().clearAll();
        DownloadFixture::TearDown();
    }

    bool WaitListed() {
        return loop.RunUntil([&] { return !misc.IsListingFolders(); }, 30000);
    }

    MiscToolMgr misc;
};

TEST_F(FolderListingTest, AThreeLevelTreeIsListedInThreePasses) {
    CRequestContext context;
    const int64_t a = CreateFolder(context, "Tree");
    const int64_t b = CreateFolder(context, "Tree/Sub");
    const int64_t c = CreateFolder(context, "Tree/Sub/Deep");
    ASSERT_GT(CreateFolder(context, "Tree/Empty"), 0);
    const Json::Value top = server.Plant("top.txt", 10, a);
    ASSERT_TRUE(server.Plant("mid.txt", 20, b).isObject());
    const Json::Value low = server.Plant("low.txt", 30, c);
    ASSERT_TRUE(server.Plant("Top.txt", 11, a).isObject()) << "letter case makes another file";
    // Names no upload could make, planted: the client refuses them.
    ASSERT_TRUE(server.Plant("..", 5, a).isObject());
    ASSERT_TRUE(server.Plant("x/y", 5, b).isObject());

    FileDownloadMgr& store = FileDownloadMgr::GetInstance();
    store.addBatchFolders({{local.path(), {{a, "Tree", 0}}}});
    misc.requestFolderListing();
    ASSERT_TRUE(WaitListed());
    EXPECT_EQ(misc.GetListingPassCount(), 3);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_C2L_DNLD_REQ) == 4; }, 10000))
        << "each pass with files, and the end: " << recorder.Count(WM_C2L_DNLD_REQ);

    const FileDownloadMgr::DownloadMap downloads = store.takeDownloads();
    std::vector<fs::path> paths;
    for (const auto& [path, request] : downloads) {
        paths.push_back(path.lexically_relative(local.path()));
    }
    EXPECT_EQ(paths, (std::vector<fs::path>{"Tree/Sub/Deep/low.txt", "Tree/Sub/mid.txt",
                                            "Tree/Top.txt", "Tree/top.txt"}));
    const auto& lowRequest = downloads.at(local / "Tree/Sub/Deep/low.txt");
    EXPECT_EQ(lowRequest.url, server.DownloadUrl(low["id"].asInt64()));
    EXPECT_EQ(lowRequest.hash, low["hash"].asString()) << "the listing's hash checks the file";
    EXPECT_EQ(lowRequest.size, 30);
    EXPECT_EQ(downloads.at(local / "Tree/top.txt").hash, top["hash"].asString());
    EXPECT_TRUE(fs::is_directory(local / "Tree" / "Empty")) << "an empty folder arrives too";
    EXPECT_FALSE(fs::exists(local / "Tree" / "Sub" / "x"));
    std::vector<std::string> refused = store.takeRefusedNames();
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(refused, (std::vector<std::string>{"..", "x/y"}));
}

TEST_F(FolderListingTest, ANetworkCheckAskedMeanwhileDisplacesNoListing) {
    CRequestContext context;
    const int64_t folder = CreateFolder(context, "Docs");
    ASSERT_TRUE(server.Plant("a.txt", 10, folder).isObject());
    // The worker is busy with a slow check while both requests arrive.
    ASSERT_TRUE(server.SetFault("root", "delay", {{"ms", "300"}}));
    misc.requestNetworkCheck();
    ASSERT_TRUE(WaitFor([&] { return misc.GetNetworkCheckCount() == 1; }));
    FileDownloadMgr::GetInstance().addBatchFolders({{local.path(), {{folder, "Docs", 0}}}});
    misc.requestFolderListing();
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 2; }, 10000));
    ASSERT_TRUE(WaitListed());
    EXPECT_EQ(misc.GetListingPassCount(), 1);
    EXPECT_EQ(FileDownloadMgr::GetInstance().pendingDownloadCount(), 1u);

    // Offline the listing waits; online it is served.
    FileDownloadMgr::GetInstance().takeDownloads();
    misc.SetPaused(true);
    FileDownloadMgr::GetInstance().addBatchFolders({{local / "again", {{folder, "Docs", 0}}}});
    misc.requestFolderListing();
    loop.RunFor(200);
    EXPECT_EQ(misc.GetListingPassCount(), 1);
    EXPECT_TRUE(misc.IsListingFolders()) << "asked for, not dropped";
    misc.SetPaused(false);
    ASSERT_TRUE(WaitListed());
    EXPECT_EQ(misc.GetListingPassCount(), 2);
    EXPECT_EQ(FileDownloadMgr::GetInstance().pendingDownloadCount(), 1u);
}

}  // namespace
}  // namespace zorp::test
