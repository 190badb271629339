// Downloads end to end: zorp run as a black box, the page played by the real zorp-page (its
// download and batch-download commands) or by the test's own link page, zorp-cloud as the
// server; killed and quit in the middle, and started again.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZorpProcess.h"
#include "cloud/CRequestContext.h"
#include "core/DBWrapper.h"
#include "download/DownloadCache.h"
#include "link/LinkDecoder.h"
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "platform/ChildProcess.h"
#include "support/CloudServer.h"
#include "support/CloudTree.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::In;
using LinkProtocol::Out;

class DownloadE2ETest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        server.UseForOptions();  // the test's own listings and addresses
        for (const char* dir : {"data", "cache", "config/zorp", "runtime"}) {
            fs::create_directories(home / dir);
        }
        fs::permissions(home / "runtime", fs::perms::owner_all);
        WriteFile(home / "config" / "zorp" / "appConfig",
                  "{\"host\": \"" + server.WebHost() + "\"}\n");
        fs::create_directories(local);
    }

    // A zorp with the test's user folders (the same for every start, so a restart finds what
    // the last run stored). With `page` the test's link page connects and releases the start.
    std::unique_ptr<ZorpProcess> StartZorp(bool page) {
        auto zorp = std::make_unique<ZorpProcess>();
        zorp->SetEnv("XDG_DATA_HOME", (home / "data").string());
        zorp->SetEnv("XDG_CACHE_HOME", (home / "cache").string());
        zorp->SetEnv("XDG_CONFIG_HOME", (home / "config").string());
        zorp->SetEnv("XDG_RUNTIME_DIR", (home / "runtime").string());
        zorp->SetEnv("HOME", home.string());
        EXPECT_TRUE(zorp->Start(m_dir / ("run" + std::to_string(++m_runs))));
        if (page) {
            EXPECT_TRUE(zorp->ConnectPage()) << zorp->Stderr();
        }
        return zorp;
    }

    // zorp-page's command against the copy, waiting for the end of the downloads; its output
    // lines, and its exit code in `code`.
    std::vector<std::string> RunPage(ZorpProcess& zorp, std::vector<std::string> command,
                                     int* code) {
        std::vector<std::string> argv = {std::string(ZORP_BIN_DIR) + "/zorp-page", "--port",
                                         std::to_string(zorp.LinkPort()), "--connect-timeout",
                                         "30", "--wait-for", "4", "--wait-for", "6", "--timeout",
                                         "120"};
        argv.insert(argv.end(), command.begin(), command.end());
        platform::ChildProcess page;
        EXPECT_TRUE(page.Start(argv));
        std::vector<std::string> lines;
        while (auto line = page.ReadLine(150000)) {
            lines.push_back(*line);
        }
        *code = page.Wait(30000).value_or(-1);
        return lines;
    }

    std::optional<std::string> WaitForPage(ZorpProcess& zorp, Out type) {
        return zorp.Page().WaitFor(type, 120000);
    }

    // What zorp's stored tables say, read from a copy (the test takes no part in the locking
    // of a running zorp's files).
    Rows StoredRows(const char* db, const std::string& sql) {
        return StoredRowsOf(home, m_dir.path(), db, sql);
    }

    // The cache file zorp keeps for a download, below the work folder it stored.
    int64_t CachedBytes(const std::string& name, const std::string& url) {
        const Rows work = StoredRows(DBWrapper::kConfigDb,
                                     "SELECT value FROM userconfig WHERE kind='folders' and "
                                     "name='work_dir';");
        if (work.empty() || work[0].empty()) {
            return -1;
        }
        const fs::path file =
            DownloadCache(DownloadCache::FolderFor(work[0][0], name, url), name).File();
        std::error_code ec;
        const auto size = fs::file_size(file, ec);
        return ec ? -1 : static_cast<int64_t>(size);
    }

    std::vector<int64_t> BreakPoints() { return server.DownloadBreakPoints(); }

    int64_t CreateFolder(const std::string& path) {
        CRequestContext context;
        ServerReply reply = context.performRequest(
            RequestKind::kCreatePath, RequestParams().AddText("path", path).Add("pid", 0));
        return reply.Succeeded() ? reply.File()["id"].asInt64() : -2;
    }

    CloudServer server;
    TempDir m_dir{"zorp-e2e-dl"};
    fs::path home = m_dir / "home";
    fs::path local = m_dir / "local";
    int m_runs = 0;
};

TEST_F(DownloadE2ETest, BatchDownloadBringsATreeBackIdenticalThroughZorpPage) {
    const int64_t holiday = CreateFolder("Holiday");
    const int64_t photos = CreateFolder("Holiday/photos");
    const int64_t raw = CreateFolder("Holiday/photos/raw");
    ASSERT_GT(CreateFolder("Holiday/empty"), 0);
    ASSERT_TRUE(server.Plant("beach.jpg", 3 << 20, photos, "random", 1).isObject());
    ASSERT_TRUE(server.Plant("IMG_0001.raw", 5 << 20, raw, "random", 2).isObject());
    ASSERT_TRUE(server.Plant("list.txt", 300, holiday, "random", 3).isObject());
    const Json::Value readme = server.Plant("readme.txt", 10, 0, "random", 4);

    auto zorp = StartZorp(false);
    int code = -1;
    const std::vector<std::string> lines = RunPage(
        *zorp,
        {"batch-download", "--path", (local / "second").string(), "--folder",
         std::to_string(holiday) + ":Holiday", "--file",
         std::to_string(readme["id"].asInt64()) + ":readme.txt:10"},
        &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::string> names = NamesOf(lines[0]);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"IMG_0001.raw", "beach.jpg", "list.txt",
                                               "readme.txt"}));
    // The page left: zorp quits by itself.
    auto exit = zorp->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);

    Tree expected = ServerTree(server, holiday, "Holiday/");
    expected["Holiday/"] = "";
    expected["readme.txt"] = ServerTree(server, 0).at("readme.txt");
    Tree got = LocalTree(local / "second", "");
    got.erase("");
    EXPECT_EQ(got, expected);
}

TEST_F(DownloadE2ETest, DownloadOfFilesOfKnownAndUnknownSizeAndAHostileName) {
    const Json::Value a = server.Plant("a.bin", 1 << 20, 0, "random", 5);
    const Json::Value b = server.Plant("b.bin", 777, 0, "random", 6);
    auto zorp = StartZorp(false);
    int code = -1;
    std::vector<std::string> lines = RunPage(
        *zorp,
        {"download", "--url", server.DownloadUrl(a["id"].asInt64()), "--path",
         (local / "a.bin").string(), "--size", std::to_string(1 << 20), "--url",
         server.DownloadUrl(b["id"].asInt64()), "--path", (local / "b.bin").string(), "--size",
         "0"},
        &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(LinkProtocol::OutTypeOf(lines[0]), Out::kDownloadsFinished) << lines[0];
    EXPECT_EQ(ReadFile(local / "a.bin"), ServerTree(server, 0).at("a.bin"));
    EXPECT_EQ(ReadFile(local / "b.bin").size(), 777u);
    ASSERT_TRUE(zorp->Wait(std::chrono::seconds(30)));

    // A name that would leave the target folder is refused and reported as failed.
    zorp = StartZorp(false);
    lines = RunPage(*zorp,
                    {"batch-download", "--path", (local / "t").string(), "--file",
                     std::to_string(a["id"].asInt64()) + ":../escaped.bin:" +
                         std::to_string(1 << 20)},
                    &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(LinkProtocol::OutTypeOf(lines[0]), Out::kDownloadsFailed) << lines[0];
    EXPECT_EQ(NamesOf(lines[0]), std::vector<std::string>{"../escaped.bin"});
    EXPECT_FALSE(fs::exists(local / "escaped.bin"));
    ASSERT_TRUE(zorp->Wait(std::chrono::seconds(30)));
}

// A kill -9 in the middle of a transfer costs no more than the block in flight: the next start
// finds the stored download and asks the server from exactly the cache file's end.
TEST_F(DownloadE2ETest, KilledMidTransferTheNextStartGoesOnFromTheCache) {
    const int64_t size = 24 << 20;
    const Json::Value file = server.Plant("disk.img", size, 0, "random", 7);
    const std::string url = server.DownloadUrl(file["id"].asInt64());
    for (int64_t stallAt : {int64_t{3} << 20, (int64_t{11} << 20) + 12345}) {
        SCOPED_TRACE(stallAt);
        fs::remove(local / "disk.img");
        server.ClearFaults();
        ASSERT_TRUE(server.SetFault("download", "stall",
                                    {{"ms", "60000"}, {"bytes", std::to_string(stallAt)}}));
        auto zorp = StartZorp(true);
        ASSERT_TRUE(zorp->Page().SendRequest(
            LinkProtocol::EncodeDownloads({{size, url, (local / "disk.img").string()}})));
        ASSERT_TRUE(WaitFor([&] { return CachedBytes("disk.img", url) == stallAt; },
                            std::chrono::seconds(60)));
        ASSERT_TRUE(WaitFor([&] {
            return !StoredRows(DBWrapper::kTxlogDb, "SELECT url FROM dl_undo;").empty();
        })) << "stored while it runs";
        zorp->Signal(SIGKILL);
        ASSERT_TRUE(zorp->Wait());
        const int64_t cached = CachedBytes("disk.img", url);
        EXPECT_EQ(cached, stallAt);

        server.ClearFaults();
        zorp = StartZorp(true);
        auto finished = WaitForPage(*zorp, Out::kDownloadsFinished);
        ASSERT_TRUE(finished) << zorp->Stderr();
        EXPECT_EQ(NamesOf(*finished), std::vector<std::string>{"disk.img"});
        const std::vector<int64_t> points = BreakPoints();
        ASSERT_EQ(points.size(), 1u);
        EXPECT_EQ(points[0], cached) << "bytes asked for after the restart: size - cached";
        EXPECT_EQ(ReadFile(local / "disk.img"), ServerTree(server, 0).at("disk.img"));
        zorp->Page().SendRequest(In::kQuit);
        ASSERT_TRUE(zorp->Wait());
        EXPECT_TRUE(StoredRows(DBWrapper::kTxlogDb, "SELECT url FROM dl_undo;").empty());
    }
}

TEST_F(DownloadE2ETest, AQuitStoresTheDownloadsAndTheNextStartResumesThem) {
    const int64_t size = 6 << 20;
    const Json::Value one = server.Plant("one.bin", size, 0, "random", 8);
    const Json::Value two = server.Plant("two.bin", size, 0, "random", 9);
    const std::string oneUrl = server.DownloadUrl(one["id"].asInt64());
    const std::string twoUrl = server.DownloadUrl(two["id"].asInt64());
    ASSERT_TRUE(server.SetFault("download", "stall",
                                {{"ms", "60000"}, {"bytes", "1000000"}, {"count", "2"}}));
    auto zorp = StartZorp(true);
    ASSERT_TRUE(zorp->Page().SendRequest(LinkProtocol::EncodeDownloads(
        {{size, oneUrl, (local / "one.bin").string()}, {size, twoUrl, (local / "two.bin").string()}})));
    ASSERT_TRUE(WaitFor([&] {
        return CachedBytes("one.bin", oneUrl) == 1000000 && CachedBytes("two.bin", twoUrl) == 1000000;
    }, std::chrono::seconds(60)));
    zorp->Page().SendRequest(In::kQuit);
    auto exit = zorp->Wait();
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
    EXPECT_EQ(StoredRows(DBWrapper::kTxlogDb, "SELECT path FROM dl_undo ORDER BY path;"),
              (Rows{{(local / "one.bin").string()}, {(local / "two.bin").string()}}));

    server.ClearFaults();
    zorp = StartZorp(true);
    auto finished = WaitForPage(*zorp, Out::kDownloadsFinished);
    ASSERT_TRUE(finished) << zorp->Stderr();
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{1000000, 1000000}));
    const Tree cloud = ServerTree(server, 0);
    EXPECT_EQ(ReadFile(local / "one.bin"), cloud.at("one.bin"));
    EXPECT_EQ(ReadFile(local / "two.bin"), cloud.at("two.bin"));
    zorp->Page().SendRequest(In::kQuit);
    ASSERT_TRUE(zorp->Wait());
}

}  // namespace
}  // namespace zorp::test
