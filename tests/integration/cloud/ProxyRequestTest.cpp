// Every server action through a real proxy, as the page's proxy setting makes zorp send them:
// an HTTP proxy (tinyproxy) and a SOCKS5 server (microsocks) on loopback ports of the test's
// own. What went through is read from each proxy's own log; with SOCKS5 the log shows that the
// proxy was handed the host names (socks5h), not addresses resolved here. A server behind the
// proxy that cannot be reached is a network error, as it is without one.
#include <gtest/gtest.h>

#include "CloudFixture.h"
#include "support/ProxyServer.h"

namespace zorp::test {
namespace {

using Kind = ProxyServer::Kind;

class ProxyRequestTest : public CloudFixture, public testing::WithParamInterface<Kind> {
protected:
    void SetUp() override {
        std::string missing;
        if (!ProxyServer::Available(GetParam(), &missing)) {
            GTEST_SKIP() << missing;
        }
        CloudFixture::SetUp();
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        COptions::GetInstance().SetProxy(proxy.ProxyText());
    }
    void TearDown() override { COptions::GetInstance().SetProxy(""); }

    std::string Web() const { return "web.localhost:" + std::to_string(server.Port()); }
    std::string Download() const { return "download.localhost:" + std::to_string(server.Port()); }

    ProxyServer proxy{GetParam()};
};

TEST_P(ProxyRequestTest, EveryServerActionGoesThroughTheProxyWhichLogsIt) {
    const COptions& options = COptions::GetInstance();
    if (GetParam() == Kind::kSocks5) {
        EXPECT_EQ(options.GetProxy(), "socks5h://127.0.0.1:" + std::to_string(proxy.Port()));
    }
    CRequestContext context;
    context.SetNotifyWindow(notifyWindow);

    const CreatePathResult folder = CloudApi::CreatePath(context, "through proxy", 0, 0);
    ASSERT_TRUE(folder.ok) << folder.reply.text << proxy.Log();
    const std::string data = TestBytes(200000, 7);
    CloudApi::UploadInitRequest init;
    init.pid = folder.folder.id;
    init.name = "sent.bin";
    init.size = static_cast<int64_t>(data.size());
    const UploadFileResult started = CloudApi::UploadInit(context, init);
    ASSERT_TRUE(started.ok) << started.reply.text;
    ASSERT_TRUE(started.file.id.has_value());
    const int64_t fid = *started.file.id;
    CloudApi::ChunkRequest chunk;
    chunk.fid = fid;
    chunk.hash = ContentHash(data);
    chunk.size = static_cast<int64_t>(data.size());
    const UploadFileResult sent =
        CloudApi::UploadChunk(context, chunk, "sent.bin", data.data(), data.size());
    ASSERT_TRUE(sent.ok) << sent.reply.text;
    EXPECT_TRUE(sent.file.IsComplete());
    const SubFilesResult listing = CloudApi::GetSubFiles(context, folder.folder.id, 0);
    ASSERT_TRUE(listing.ok) << listing.reply.text;
    ASSERT_EQ(listing.files.size(), 1u);
    EXPECT_EQ(listing.files[0].name, "sent.bin");
    EXPECT_TRUE(CloudApi::GetFile(context, fid, 0).ok);
    EXPECT_TRUE(CloudApi::LockFile(context, fid, "key-1").ok);
    EXPECT_TRUE(CloudApi::UnlockFile(context, fid, "key-1").ok);

    std::string body;
    CloudApi::Hooks download;
    download.body = [&](const char* bytes, size_t size) {
        body.append(bytes, size);
        return true;
    };
    const ServerReply fetched = CloudApi::Download(context, CloudApi::DownloadUrl(fid), 0, download);
    EXPECT_EQ(fetched.result, CURLE_OK);
    EXPECT_EQ(fetched.httpCode, 200);
    EXPECT_TRUE(body == data) << "the download brought " << body.size() << " bytes";
    std::string lengthLine;
    CloudApi::Hooks probe;
    probe.header = [&](std::string_view line) {
        if (line.rfind("Content-Range", 0) == 0 || line.rfind("content-range", 0) == 0) {
            lengthLine = std::string(line);
        }
    };
    EXPECT_EQ(CloudApi::ProbeDownload(context, CloudApi::DownloadUrl(fid), probe).result, CURLE_OK);
    EXPECT_NE(lengthLine.find("/200000"), std::string::npos) << lengthLine;

    EXPECT_EQ(CloudApi::CheckNetwork(context), CURLE_OK);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 2000));
    EXPECT_TRUE(CloudApi::DeleteFile(context, fid).ok);
    EXPECT_EQ(recorder.Count(WM_NETWORK_ERROR), 0u);

    // One connection per request: nine to the web host, two to the download host, each through
    // the proxy under its name. (tinyproxy logs a form's address without its empty query.)
    const std::string log = proxy.Log();
    if (GetParam() == Kind::kHttp) {
        for (const std::string& request :
             {"POST http://" + Web() + "/qcd/filebackup/createPathAction.json",
              "POST http://" + Web() + "/qcd/filebackup/breakPointUploadInitAction.json",
              "POST http://" + Web() + "/qcd/filebackup/breakPointUploadAction.json",
              "GET http://" + Web() + "/qcd/filebackup/getSubFilesAction.json?",
              "GET http://" + Web() + "/qcd/filebackup/getFileAction.json?",
              "POST http://" + Web() + "/qcd/fileshare/lockFileByAppAction.json",
              "POST http://" + Web() + "/qcd/fileshare/unlockFileByAppAction.json",
              "POST http://" + Web() + "/qcd/filebackup/deleteFileAction.json",
              "GET http://" + Web() + "/ HTTP/1.1",
              "GET http://" + Download() + "/qcd/fileshare/downloadFileAction.json?",
              "HEAD http://" + Download() + "/qcd/fileshare/downloadFileAction.json?"}) {
            EXPECT_EQ(proxy.LogCount("): " + request), 1) << request << "\n" << log;
        }
        EXPECT_EQ(proxy.LogCount("Request (file descriptor"), 11) << log;
    } else {
        EXPECT_EQ(proxy.LogCount("connected to " + Web() + "\n"), 9) << log;
        EXPECT_EQ(proxy.LogCount("connected to " + Download() + "\n"), 2) << log;
        EXPECT_EQ(proxy.LogCount("connected to 127.0.0.1"), 0) << "resolved here: " << log;
    }
}

// Through a proxy, a server that cannot be reached is reported by the proxy (a SOCKS reply, an
// HTTP proxy's own error page), not by the connection: it counts as the network error it is
// without a proxy, the network check included. The server's own error, relayed, does not.
TEST_P(ProxyRequestTest, AServerTheProxyCannotReachIsANetworkErrorItsOwnErrorIsNot) {
    CRequestContext context;
    context.SetNotifyWindow(notifyWindow);
    ASSERT_TRUE(server.SetFault("getSubFiles", "http", {{"code", "500"}}));
    const SubFilesResult refused = CloudApi::GetSubFiles(context, 0, 0);
    EXPECT_EQ(refused.reply.result, CURLE_OK);
    EXPECT_EQ(refused.reply.httpCode, 500);

    server.Stop(true);
    EXPECT_EQ(CloudApi::CheckNetwork(context), CURLE_COULDNT_CONNECT) << proxy.Log();
    EXPECT_EQ(CloudApi::GetSubFiles(context, 0, 0).reply.result, CURLE_COULDNT_CONNECT);
    EXPECT_EQ(CloudApi::CreatePath(context, "a", 0, 0).reply.result, CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 3; }, 2000));
    EXPECT_EQ(recorder.Count(WM_NETWORK_OK), 0u);

    ASSERT_TRUE(server.Restart()) << server.Error();
    EXPECT_EQ(CloudApi::CheckNetwork(context), CURLE_OK);
    EXPECT_TRUE(CloudApi::GetSubFiles(context, 0, 0).ok);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 2000));
    EXPECT_EQ(recorder.Count(WM_NETWORK_ERROR), 3u);
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxyRequestTest, testing::Values(Kind::kHttp, Kind::kSocks5),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::kHttp ? "Http" : "Socks5";
                         });

}  // namespace
}  // namespace zorp::test
