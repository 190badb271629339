// The page's proxy setting end to end: the page hands zorp the text of a real proxy running on
// a loopback port of the test's own (tinyproxy for HTTP, microsocks for SOCKS5), and every
// request of an upload goes through it, as the proxy's own log shows. A proxy that goes away
// in the middle of an upload takes zorp offline like a lost network; the network checks, also
// through the proxy, bring it back once the proxy is there again.
//
// Downloads through the proxy are covered request by request (CloudApi::Download and the
// probe, tests/integration/cloud/ProxyRequestTest.cpp); the page's download request end to end
// through each proxy belongs beside the upload test here.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ZorpProcess.h"
#include "cloud/CRequestContext.h"
#include "cloud/CloudApi.h"
#include "link/LinkProtocol.h"
#include "support/CloudServer.h"
#include "support/CloudTree.h"
#include "support/ContentHash.h"
#include "support/ProxyServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = ProxyServer::Kind;
using LinkProtocol::In;
using LinkProtocol::Out;

class ProxyE2ETest : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        std::string missing;
        if (!ProxyServer::Available(GetParam(), &missing)) {
            GTEST_SKIP() << missing;
        }
        ASSERT_TRUE(server.Start()) << server.Error();
        server.UseForOptions();  // the test's own requests go to the server directly
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        for (const char* dir : {"data", "cache", "config/zorp", "runtime"}) {
            fs::create_directories(home / dir);
        }
        fs::permissions(home / "runtime", fs::perms::owner_all);
        WriteFile(home / "config" / "zorp" / "appConfig",
                  "{\"host\": \"" + server.WebHost() + "\"}\n");
        // With the verbose lines, which tell each network check's result.
        WriteFile(home / "config" / "zorp" / "log.properties", R"({"enable": 1})");
    }

    // A zorp with the test's user folders, whose page hands over the proxy.
    std::unique_ptr<ZorpProcess> StartZorp() {
        auto zorp = std::make_unique<ZorpProcess>();
        for (const auto& [name, dir] : {std::pair{"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"},
                                        {"XDG_CONFIG_HOME", "config"}, {"XDG_RUNTIME_DIR", "runtime"}}) {
            zorp->SetEnv(name, (home / dir).string());
        }
        zorp->SetEnv("HOME", home.string());
        zorp->SetPageProxy(proxy.ProxyText());
        if (!zorp->Start(output)) {
            ADD_FAILURE() << "zorp did not start";
            return zorp;
        }
        EXPECT_TRUE(zorp->ConnectPage()) << zorp->Stderr();
        return zorp;
    }

    // The next message of one of the types; every message read on the way is kept.
    std::optional<std::string> WaitForPage(ZorpProcess& zorp, std::set<Out> types,
                                           std::chrono::seconds timeout) {
        return zorp.Page().WaitForAny(
            types, static_cast<uint32_t>(std::chrono::milliseconds(timeout).count()), &seen);
    }

    std::string LatestLog() {
        for (const auto& entry : fs::directory_iterator(output)) {
            if (entry.path().filename().string().rfind("mg_log_", 0) == 0) {
                return ReadFile(entry.path());
            }
        }
        return {};
    }

    int64_t CreateFolder(const std::string& name) {
        CRequestContext context;
        const CreatePathResult made = CloudApi::CreatePath(context, name, 0, 0);
        return made.ok ? made.folder.id : -2;
    }

    int RequestCount(const std::string& action) {
        return static_cast<int>(server.RequestTexts(action).size());
    }

    static void EndZorp(ZorpProcess& zorp) {
        zorp.Page().SendRequest(In::kQuit);
        auto exit = zorp.Wait(std::chrono::seconds(30));
        ASSERT_TRUE(exit) << "quit in time";
        EXPECT_EQ(exit->code, 0);
    }

    std::string Web() const { return "web.localhost:" + std::to_string(server.Port()); }

    CloudServer server;
    ProxyServer proxy{GetParam()};
    TempDir m_dir{"zorp-proxy-e2e"};
    fs::path home = m_dir / "home";
    fs::path local = m_dir / "local";
    fs::path output = m_dir / "run";
    std::vector<std::string> seen;
};

TEST_P(ProxyE2ETest, AnUploadOfAFolderTreeGoesThroughTheProxy) {
    const int64_t target = CreateFolder("Target");
    ASSERT_GT(target, 0);
    WriteFile(local / "Trip" / "photo.jpg", TestBytes(600000, 11));
    WriteFile(local / "Trip" / "notes" / "day one.txt", "sunny");
    WriteFile(local / "list.txt", "passport, charger");
    const int directCreates = RequestCount("createPath");

    auto zorp = StartZorp();
    ASSERT_TRUE(zorp->Page().Send(LinkTestPage::UploadRequest({local / "Trip", local / "list.txt"}, target)));
    auto finished =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(60));
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr() << proxy.Log();
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    const std::string log = proxy.Log();
    if (GetParam() == Kind::kHttp) {
        // Each request zorp sent reached the server through the proxy: as many in its log as
        // the server got (the test's own folder request went directly).
        for (const auto& [action, path] :
             {std::pair{"createPath", "/qcd/filebackup/createPathAction.json"},
              {"getSubFiles", "/qcd/filebackup/getSubFilesAction.json"},
              {"uploadInit", "/qcd/filebackup/breakPointUploadInitAction.json"},
              {"upload", "/qcd/filebackup/breakPointUploadAction.json"}}) {
            const int direct = std::string(action) == "createPath" ? directCreates : 0;
            const int sent = RequestCount(action) - direct;
            EXPECT_GT(sent, 0) << action;
            EXPECT_EQ(proxy.LogCount(" http://" + Web() + path), sent) << action << "\n" << log;
        }
    } else {
        EXPECT_GT(proxy.LogCount("connected to " + Web() + "\n"), 0) << log;
        EXPECT_EQ(proxy.LogCount("connected to 127.0.0.1"), 0) << "resolved by zorp: " << log;
    }
    // The test's own look at the result goes to the server directly.
    Tree expected = LocalTree(local / "Trip", "Trip/");
    expected["list.txt"] = "passport, charger";
    EXPECT_EQ(ServerTree(server, target), expected);
    EndZorp(*zorp);
}

// The proxy goes away mid-upload: zorp goes offline (the page hears that transfers ended),
// its network checks fail against the missing proxy, and once the proxy is back the checks,
// through it, bring zorp online again to finish the upload.
TEST_P(ProxyE2ETest, AProxyGoneMidUploadIsANetworkErrorAndZorpComesBackThroughIt) {
    const int64_t target = CreateFolder("Target");
    const fs::path file = local / "video.mp4";
    WriteFile(file, TestBytes(16 << 20, 5));
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "30"}, {"count", "1000"}}));
    auto zorp = StartZorp();
    ASSERT_TRUE(zorp->Page().Send(LinkTestPage::UploadRequest({file}, target)));
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadCreated}, std::chrono::seconds(30)))
        << testing::PrintToString(seen) << proxy.Log();
    ASSERT_TRUE(WaitFor([&] { return RequestCount("upload") >= 4; }, std::chrono::seconds(30)))
        << "chunks arrive";
    proxy.Kill();
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kAllEnded}, std::chrono::seconds(60)))
        << "offline: " << testing::PrintToString(seen) << zorp->Stderr();
    // Checks that cannot reach the proxy (libcurl's "could not connect", 7).
    const std::regex failedCheck(R"(CheckNetwork - result 7)");
    ASSERT_TRUE(WaitFor([&] { return CountMatches(LatestLog(), failedCheck) >= 2; },
                        std::chrono::seconds(30)))
        << LatestLog();
    const size_t logBefore = proxy.Log().size();
    ASSERT_TRUE(proxy.Restart()) << proxy.Error();
    auto finished =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(120));
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    EXPECT_EQ(ServerTree(server, target), (Tree{{"video.mp4", ReadFile(file)}}));

    // After the restart the checks and the rest of the upload went through the proxy again.
    const std::string after = proxy.Log().substr(logBefore);
    if (GetParam() == Kind::kHttp) {
        EXPECT_NE(after.find("GET http://" + Web() + "/ HTTP/1.1"), std::string::npos) << after;
        EXPECT_NE(after.find(" http://" + Web() + "/qcd/filebackup/breakPointUploadAction.json"),
                  std::string::npos)
            << after;
    } else {
        EXPECT_NE(after.find("connected to " + Web() + "\n"), std::string::npos) << after;
    }
    EndZorp(*zorp);
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxyE2ETest, testing::Values(Kind::kHttp, Kind::kSocks5),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::kHttp ? "Http" : "Socks5";
                         });

}  // namespace
}  // namespace zorp::test
