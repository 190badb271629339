#include <curl/curl.h>

#include <thread>

#include "CloudFixture.h"
#include "platform/TcpConnection.h"

namespace zorp::test {
namespace {

// What the server received of the last request of `action`, without the lines libcurl adds
// by itself (request line, Host:, Cookie:, Content-Length:, the multipart Content-Type, and
// the option-made User-Agent and Range): what is left is the header list the client set.
struct Received {
    std::vector<std::string> custom;
    std::vector<std::string> all;
};

Received LastRequest(CloudServer& server, const std::string& action, bool optionAgent) {
    auto requests = server.RequestHeaderLines(action);
    Received received;
    if (requests.empty()) {
        return received;
    }
    received.all = requests.back();
    for (size_t i = 1; i < received.all.size(); ++i) {
        const std::string& line = received.all[i];
        const bool libcurls = line.rfind("Host: ", 0) == 0 || line.rfind("Cookie: ", 0) == 0 ||
                              line.rfind("Content-Length: ", 0) == 0 ||
                              line.rfind("Content-Type: multipart/form-data", 0) == 0 ||
                              line.rfind("Range: ", 0) == 0 ||
                              (optionAgent && line == "User-Agent: quorva");
        if (!libcurls) {
            received.custom.push_back(line);
        }
    }
    return received;
}

bool HasLine(const Received& received, const std::string& line) {
    return std::find(received.all.begin(), received.all.end(), line) != received.all.end();
}

const std::vector<std::string> kFormSet = {
    "Connection: keep-alive",
    "Accept: */*",
    "Content-Type: application/x-www-form-urlencoded;charset=UTF-8",
    "Accept-Encoding: UTF-8,gzip,deflate,sdch",
    "Accept-Language: zh-CN,zh",
    "Accept-Charset: UTF-8",
    "User-Agent: chrome quorva"};

class RequestHeadersTest : public CloudFixture {};

TEST_F(RequestHeadersTest, FormActionsSendTheFormSetAndTheSessionFirstInTheBody) {
    CRequestContext context;
    const int64_t folder = CreateFolder(context, "a");
    ASSERT_GT(folder, 0);
    Received create = LastRequest(server, "createPath", false);
    EXPECT_EQ(create.custom, kFormSet);
    EXPECT_EQ(create.all.front(), "POST /qcd/filebackup/createPathAction.json? HTTP/1.1")
        << "POST parameters go in the body; the address stays as the table has it";
    EXPECT_TRUE(HasLine(create, "Cookie: QSESSIONID=s3ss10n;cookieUserAccount=tester;"));

    auto plain = context.performRequest(RequestKind::kCreatePathPlainAgent,
                                        RequestParams().AddText("path", "b").Add("pid", 0));
    ASSERT_TRUE(plain.Succeeded());
    std::vector<std::string> plainSet = kFormSet;
    plainSet.back() = "User-Agent: quorva";
    EXPECT_EQ(LastRequest(server, "createPath", false).custom, plainSet);

    for (auto [kind, action] : {std::pair{RequestKind::kLockFile, "lockFile"},
                                std::pair{RequestKind::kUnlockFile, "unlockFile"},
                                std::pair{RequestKind::kDeleteFile, "deleteFile"}}) {
        context.performRequest(kind, RequestParams().Add("fid", folder).AddRaw(
                                         "&lockType=1&appName=quorvaClient&lockKey=k"));
        EXPECT_EQ(LastRequest(server, action, false).custom, kFormSet) << action;
    }
}

TEST_F(RequestHeadersTest, ListingCarriesTheWebHostLineWithoutAColon) {
    CRequestContext context;
    auto reply = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    ASSERT_TRUE(reply.Succeeded()) << reply.text;
    Received listing = LastRequest(server, "getSubFiles", false);
    EXPECT_EQ(listing.custom,
              (std::vector<std::string>{"Host " + server.WebHost(), "Connection: keep-alive",
                                        "Accept: */*", "X-Requested-With: XMLHttpRequest",
                                        "User-Agent: chrome quorva",
                                        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                                        "Accept-Encoding: gzip,deflate,sdch",
                                        "Accept-Language: zh-CN,zh", "Accept-Charset: GBK,utf-8"}));
    EXPECT_EQ(listing.all.front(),
              "GET /qcd/filebackup/getSubFilesAction.json?qSessionId=s3ss10n&pid=0 HTTP/1.1");
}

TEST_F(RequestHeadersTest, UploadRequestsSendTheirSetsAndTheOptionAgent) {
    CRequestContext context;
    const std::string data = TestBytes(1000, 1);
    ASSERT_TRUE(Upload(context, "x.bin", data).Succeeded());
    Received init = LastRequest(server, "uploadInit", true);
    EXPECT_EQ(init.custom, (std::vector<std::string>{
                               "Connection: keep-alive", "Accept: */*",
                               "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                               "Accept-Encoding: utf-8,gzip,deflate,sdch",
                               "Accept-Language: zh-CN,zh", "Accept-Charset: utf-8"}));
    EXPECT_TRUE(HasLine(init, "User-Agent: quorva"));

    Received chunk = LastRequest(server, "upload", false);
    EXPECT_EQ(chunk.custom,
              (std::vector<std::string>{"Accept: */*", "Connection: keep-alive",
                                        "User-Agent: quorva",
                                        "Accept-Encoding: utf-8,gzip,deflate,sdch",
                                        "Accept-Language: zh-CN,zh", "Accept-Charset: utf-8"}));
    EXPECT_EQ(chunk.all.front(), "POST /qcd/filebackup/breakPointUploadAction.json?qSessionId=" +
                                     std::string(kSession) + "&fid=" +
                                     std::to_string(server.State()["files"].asInt64() + 2) +
                                     "&breakPoint=0&hash=" + ContentHash(data) +
                                     "&size=1000 HTTP/1.1")
        << "ids 1 and 2 are the two roots";

    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", 3));
    ASSERT_TRUE(info.Succeeded()) << info.text;
    Received getFile = LastRequest(server, "getFile", true);
    EXPECT_EQ(getFile.custom.back(), "Accept-Charset: GBK,utf-8");
    EXPECT_EQ(getFile.custom.size(), 6u);
}

TEST_F(RequestHeadersTest, DownloadSendsTheDownloadHostLineAndTheProbeSendsNoList) {
    CRequestContext context;
    ASSERT_TRUE(Upload(context, "d.bin", TestBytes(5000, 2)).Succeeded());
    ServerReply outcome;
    EXPECT_EQ(Download(3, 0, &outcome).size(), 5000u);
    Received download = LastRequest(server, "download", true);
    const std::string port = std::to_string(server.Port());
    EXPECT_EQ(download.custom,
              (std::vector<std::string>{"Host download.localhost:" + port,
                                        "Connection: keep-alive", "Accept: */*",
                                        "User-Agent: chrome quorva",
                                        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                                        "Accept-Encoding: utf-8,gzip,deflate,sdch",
                                        "Accept-Language: zh-CN,zh", "Accept-Charset: GBK,utf-8"}));
    EXPECT_TRUE(HasLine(download, "Host: download.localhost:" + port))
        << "libcurl resolves *.localhost to loopback and names the host itself";

    auto probe = context.performRequest(RequestKind::kDownloadProbe, RequestParams(""),
                                        server.DownloadUrl(3));
    EXPECT_EQ(probe.httpCode, 206);
    Received head = LastRequest(server, "download", true);
    EXPECT_EQ(head.all.front().substr(0, 5), "HEAD ");
    EXPECT_EQ(head.custom, std::vector<std::string>{"Accept: */*"}) << "libcurl's default only";
    EXPECT_TRUE(HasLine(head, "Range: bytes=0-0"));
}

TEST_F(RequestHeadersTest, NetworkCheckSendsNoCookieAndNoList) {
    CRequestContext context;
    context.SetNotifyWindow(notifyWindow);
    ASSERT_EQ(CloudApi::CheckNetwork(context), CURLE_OK);
    Received root = LastRequest(server, "root", false);
    ASSERT_FALSE(root.all.empty());
    EXPECT_EQ(root.all.front(), "GET / HTTP/1.1");
    for (const auto& line : root.all) {
        EXPECT_NE(line.rfind("Cookie", 0), 0u) << line;
    }
    EXPECT_EQ(root.custom, (std::vector<std::string>{"Accept: */*", "Accept-Encoding: gzip"}))
        << "libcurl's own lines only";
}

// The server must take a header line without any colon ("Host web.x") in its stride.
TEST_F(RequestHeadersTest, ServerAcceptsHeaderLinesWithoutAColon) {
    CURL* curl = curl_easy_init();
    ASSERT_NE(curl, nullptr);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    const std::string request = "GET / HTTP/1.1\r\nHost: web.x\r\nHost web.x\r\nOdd\r\n\r\n";
    size_t sent = 0;
    ASSERT_EQ(curl_easy_send(curl, request.data(), request.size(), &sent), CURLE_OK);
    ASSERT_EQ(sent, request.size());
    std::string reply;
    ASSERT_TRUE(WaitFor([&] {
        char buffer[1024];
        size_t got = 0;
        if (curl_easy_recv(curl, buffer, sizeof(buffer), &got) == CURLE_OK) {
            reply.append(buffer, got);
        }
        return reply.find("\"status\":0") != std::string::npos;
    }, std::chrono::seconds(3))) << reply;
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    curl_easy_cleanup(curl);
}

// The server keeps header lines from its receive buffer: lines that arrive in two pieces, and
// a request that starts in the buffer right after the one before, are kept whole.
TEST_F(RequestHeadersTest, HeaderLinesArrivingInPiecesOrBehindAnotherRequestAreKeptWhole) {
    auto connection =
        platform::TcpConnection::ConnectLoopback(static_cast<uint16_t>(server.Port()));
    ASSERT_TRUE(connection);
    const std::string target =
        "GET /qcd/filebackup/getSubFilesAction.json?pid=0&qSessionId=" + std::string(kSession) +
        " HTTP/1.1\r\n";
    ASSERT_TRUE(connection->SendAll(target + "Host: web.x\r\nX-First: o"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(connection->SendAll("ne\r\nX-Second: two\r\n\r\n" + target +
                                    "Host: web.x\r\nX-Third: three\r\n\r\n"));
    std::string replies;
    ASSERT_TRUE(WaitFor(
        [&] {
            char buffer[4096];
            auto got = connection->Receive(buffer, sizeof(buffer));
            if (got.status == platform::TcpConnection::ReceiveResult::kData) {
                replies.append(buffer, got.bytes);
            }
            size_t first = replies.find("HTTP/1.1 200");
            return first != std::string::npos &&
                   replies.find("HTTP/1.1 200", first + 1) != std::string::npos;
        },
        std::chrono::seconds(5)))
        << replies;
    auto requests = server.RequestHeaderLines("getSubFiles");
    ASSERT_EQ(requests.size(), 2u);
    const std::string line = target.substr(0, target.size() - 2);
    EXPECT_EQ(requests[0],
              (std::vector<std::string>{line, "Host: web.x", "X-First: one", "X-Second: two"}));
    EXPECT_EQ(requests[1], (std::vector<std::string>{line, "Host: web.x", "X-Third: three"}));
}

}  // namespace
}  // namespace zorp::test
