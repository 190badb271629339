#include "CloudFixture.h"

namespace zorp::test {
namespace {

class RequestContextTest : public CloudFixture {};

TEST_F(RequestContextTest, NetworkCheckPostsOkThenErrorWhenTheServerIsGone) {
    CRequestContext context;
    context.SetNotifyWindow(notifyWindow);
    EXPECT_EQ(CloudApi::CheckNetwork(context), CURLE_OK);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 2000));

    server.Stop();
    EXPECT_EQ(CloudApi::CheckNetwork(context), CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 1; }, 2000));
    EXPECT_EQ(recorder.Count(WM_NETWORK_OK), 1u);
}

TEST_F(RequestContextTest, UnreachableServerPostsNetworkErrorToTheOptionsWindow) {
    COptions::GetInstance().m_hDndWnd = notifyWindow;
    server.Stop();
    CRequestContext context;
    auto reply = context.performRequest(RequestKind::kCreatePath,
                                        RequestParams().AddText("path", "a").Add("pid", 0));
    EXPECT_EQ(reply.result, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(reply.Succeeded());
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 1; }, 2000));
    COptions::GetInstance().m_hDndWnd = platform::kNoWindow;
}

TEST_F(RequestContextTest, KeptHandleSendsAWholeUploadOverOneConnection) {
    CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
    const std::string data = TestBytes(20 * kChunk, 9);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "k.bin").Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    long connects = 0;
    for (size_t at = 0; at < data.size(); at += kChunk) {
        CURL* handle = context.Prepare(
            RequestKind::kUploadChunk,
            ChunkParams(fid, static_cast<int64_t>(at), ContentHash(data), data.size()));
        context.AttachChunk("k.bin", data.data() + at, kChunk);
        ServerReply reply = context.Finish(context.Perform());
        ASSERT_TRUE(reply.Succeeded()) << reply.text;
        long made = 0;
        curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &made);
        connects += made;
    }
    EXPECT_EQ(connects, 0) << "the init's connection carried every chunk";
    EXPECT_EQ(Download(fid), data);
}

// A chunk refused before the server read its body: the refusal must reach the client (a
// socket closed with unread input resets the connection and can swallow the reply) and the
// connection must stay fit for the next chunk.
TEST_F(RequestContextTest, RefusedChunksAreAnsweredAndKeepTheConnection) {
    CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
    const std::string data = TestBytes(2 * kChunk, 14);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "r.bin").Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    long connects = 0;
    for (int i = 0; i < 30; ++i) {
        CURL* handle = context.Prepare(
            RequestKind::kUploadChunk, ChunkParams(fid, kChunk, ContentHash(data), data.size()));
        context.AttachChunk("r.bin", data.data() + kChunk, kChunk);
        ServerReply reply = context.Finish(context.Perform());
        ASSERT_EQ(reply.result, CURLE_OK) << "attempt " << i;
        ASSERT_EQ(reply.Status(), 102005) << reply.text;
        long made = 0;
        curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &made);
        connects += made;
    }
    EXPECT_EQ(connects, 0);
}

TEST_F(RequestContextTest, HooksSeeHeadersBodyAndProgressAndCanStopTheTransfer) {
    CRequestContext setup;
    const std::string data = TestBytes(1 << 20, 10);
    const int64_t fid = Upload(setup, "h.bin", data).File()["id"].asInt64();

    CRequestContext context;
    std::vector<std::string> headers;
    size_t received = 0;
    int progressCalls = 0;
    CRequestContext::Hooks hooks;
    hooks.header = [&](std::string_view line) { headers.emplace_back(line); };
    hooks.body = [&](const char*, size_t size) {
        received += size;
        return received < 300000;  // refuse past this point
    };
    hooks.progress = [&](int64_t, int64_t, int64_t, int64_t) {
        ++progressCalls;
        return true;
    };
    auto reply = context.performRequest(RequestKind::kDownload, RequestParams(""),
                                        server.DownloadUrl(fid), hooks);
    EXPECT_EQ(reply.result, CURLE_WRITE_ERROR);
    EXPECT_EQ(reply.httpCode, 200);
    EXPECT_FALSE(headers.empty());
    EXPECT_EQ(headers.front().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_GT(progressCalls, 0);

    hooks.body = nullptr;
    hooks.progress = [](int64_t, int64_t, int64_t, int64_t) { return false; };
    reply = context.performRequest(RequestKind::kDownload, RequestParams(""), server.DownloadUrl(fid),
                                   hooks);
    EXPECT_EQ(reply.result, CURLE_ABORTED_BY_CALLBACK);
}

TEST_F(RequestContextTest, SessionAndCookieStringsComeFromTheOptionsAtEachRequest) {
    CRequestContext context;
    ASSERT_TRUE(context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0))
                    .Succeeded());
    COptions& options = COptions::GetInstance();
    options.ClearCookies();
    options.AddCookie("QSESSIONID", "other");
    options.RebuildCookieStrings();
    auto reply = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    EXPECT_EQ(reply.Status(), 102002) << "the new session reached the server";
    auto lines = server.RequestHeaderLines("getSubFiles").back();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Cookie: QSESSIONID=other;"), lines.end());
}

TEST_F(RequestContextTest, RequestsGoThroughTheProxyWhenOneIsSet) {
    COptions& options = COptions::GetInstance();
    options.SetProxy("http://127.0.0.1:1");  // nothing listens there
    CRequestContext context;
    context.SetNotifyWindow(notifyWindow);
    auto reply = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    options.SetProxy("");
    EXPECT_EQ(reply.result, CURLE_COULDNT_CONNECT) << "the server itself is up";
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 1; }, 2000));
    EXPECT_TRUE(context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0))
                    .Succeeded());
}

}  // namespace
}  // namespace zorp::test
