#include <curl/curl.h>

#include <filesystem>
#include <set>
#include <thread>

#include "CloudFixture.h"
#include "platform/ChildProcess.h"

namespace zorp::test {
namespace {

class CloudActionsTest : public CloudFixture {
protected:
    ServerReply Init(CRequestContext& context, const std::string& name, int64_t size,
                     int64_t pid = 0, int64_t fid = 0) {
        RequestParams params;
        if (fid != 0) {
            params.Add("fid", fid);
        }
        params.Add("pid", pid).AddText("name", name).Add("size", size);
        return context.performRequest(RequestKind::kUploadInit, params);
    }

    Json::Value Listing(CRequestContext& context, int64_t pid) {
        auto reply = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", pid));
        EXPECT_TRUE(reply.Succeeded()) << reply.text;
        return reply.Data();
    }

    static std::string PostChunkAlone(int64_t fid, int64_t breakPoint, const std::string& data,
                                      size_t size, const std::string& hash, bool fieldFirst,
                                      bool fieldAfter);

    CRequestContext context;
};

TEST_F(CloudActionsTest, CreatePathMakesEveryMissingLevelAndReturnsTheDeepest) {
    auto reply = context.performRequest(
        RequestKind::kCreatePath, RequestParams().AddText("path", "top\\mid/leaf").Add("pid", 0));
    ASSERT_TRUE(reply.Succeeded()) << reply.text;
    EXPECT_EQ(reply.File()["name"].asString(), "leaf");
    EXPECT_EQ(reply.File()["type"].asInt(), 2);
    const int64_t leaf = reply.File()["id"].asInt64();

    // Again with a shared prefix: nothing is created twice.
    EXPECT_EQ(CreateFolder(context, "top/mid/leaf"), leaf);
    const int64_t other = CreateFolder(context, "top/other");
    ASSERT_GT(other, 0);

    Json::Value root = Listing(context, 0);
    EXPECT_EQ(root["root"]["id"].asInt64(), 1);
    ASSERT_EQ(root["files"].size(), 1u);
    const int64_t top = root["files"][0]["id"].asInt64();
    EXPECT_EQ(root["files"][0]["status"].asInt(), 1);
    Json::Value below = Listing(context, top);
    std::set<std::string> names;
    for (const auto& entry : below["files"]) {
        names.insert(entry["name"].asString());
        EXPECT_EQ(entry["pid"].asInt64(), top);
    }
    EXPECT_EQ(names, (std::set<std::string>{"mid", "other"}));
    EXPECT_FALSE(below.isMember("root")) << "data.root comes only with the root listing";

    // A path relative to a given folder.
    EXPECT_GT(CreateFolder(context, "deeper", leaf), 0);
}

TEST_F(CloudActionsTest, NamesTravelUtf8EscapedAndComeBackExact) {
    const std::string name = "my folder ü 中文 +&=%";
    const int64_t id = CreateFolder(context, name);
    ASSERT_GT(id, 0);
    Json::Value root = Listing(context, 0);
    ASSERT_EQ(root["files"].size(), 1u);
    EXPECT_EQ(root["files"][0]["name"].asString(), name);

    const std::string file = "it's a file ü.txt";
    ASSERT_TRUE(Upload(context, file, "hello", id).Succeeded());
    auto byName = context.performRequest(
        RequestKind::kGetFile, RequestParams().Add("fid", Listing(context, id)["files"][0]["id"].asInt64()));
    EXPECT_EQ(byName.File()["name"].asString(), file);
}

TEST_F(CloudActionsTest, UploadCompletesAndDownloadsByteForByte) {
    const std::string data = TestBytes(3 * kChunk + 17, 7);
    ServerReply last = Upload(context, "big.bin", data);
    ASSERT_TRUE(last.Succeeded()) << last.text;
    EXPECT_EQ(last.File()["status"].asInt(), 1);
    EXPECT_EQ(last.File()["hash"].asString(), ContentHash(data));
    EXPECT_EQ(last.File()["breakPoint"].asInt64(), static_cast<int64_t>(data.size()));
    const int64_t fid = last.File()["id"].asInt64();
    EXPECT_EQ(Download(fid), data);

    Json::Value listed = Listing(context, 0)["files"][0];
    EXPECT_EQ(listed["status"].asInt(), 1);
    EXPECT_EQ(listed["size"].asInt64(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(listed["hash"].asString(), ContentHash(data));

    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["status"].asInt(), 1);
}

TEST_F(CloudActionsTest, ResumeContinuesAtTheServersBreakPointOnly) {
    const std::string data = TestBytes(4 * kChunk, 11);
    const std::string hash = ContentHash(data);
    auto init = Init(context, "resume.bin", data.size());
    ASSERT_TRUE(init.Succeeded()) << init.text;
    const int64_t fid = init.File()["id"].asInt64();
    for (int64_t at = 0; at < 2 * static_cast<int64_t>(kChunk); at += kChunk) {
        ASSERT_TRUE(context.performUpload(ChunkParams(fid, at, hash, data.size()), "resume.bin",
                                          data.data() + at, kChunk)
                        .Succeeded());
    }
    // A later run: the server reports what it holds; status 0 means not complete.
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), 2 * static_cast<int64_t>(kChunk));
    EXPECT_EQ(info.File()["status"].asInt(), 0);
    auto again = Init(context, "resume.bin", data.size());
    EXPECT_EQ(again.File()["id"].asInt64(), fid) << "same name, same size: the same upload";
    EXPECT_EQ(again.File()["breakPoint"].asInt64(), 2 * static_cast<int64_t>(kChunk));

    // A chunk at another break point is refused with the real one.
    auto wrong = context.performUpload(ChunkParams(fid, kChunk, hash, data.size()), "resume.bin",
                                       data.data() + kChunk, kChunk);
    EXPECT_EQ(wrong.Status(), 102005);
    EXPECT_EQ(wrong.File()["breakPoint"].asInt64(), 2 * static_cast<int64_t>(kChunk));

    ServerReply last = Upload(context, "resume.bin", data);
    ASSERT_TRUE(last.Succeeded()) << last.text;
    EXPECT_EQ(last.File()["status"].asInt(), 1);
    EXPECT_EQ(Download(fid), data);
    EXPECT_EQ(server.RequestHeaderLines("upload").size(), 2u + 1u + 2u)
        << "two chunks, the refused one, then only the two missing chunks";
}

TEST_F(CloudActionsTest, ResumeAfterTheServerWasKilledMidUpload) {
    const std::string data = TestBytes(5 * kChunk + 3, 12);
    const std::string hash = ContentHash(data);
    auto init = Init(context, "crash.bin", data.size());
    const int64_t fid = init.File()["id"].asInt64();
    for (int64_t at = 0; at < 3 * static_cast<int64_t>(kChunk); at += kChunk) {
        ASSERT_TRUE(context.performUpload(ChunkParams(fid, at, hash, data.size()), "crash.bin",
                                          data.data() + at, kChunk)
                        .Succeeded());
    }
    server.Stop(true);  // SIGKILL: no chance to tidy up
    ASSERT_TRUE(server.Restart()) << server.Error();

    ServerReply last = Upload(context, "crash.bin", data);
    ASSERT_TRUE(last.Succeeded()) << last.text;
    EXPECT_EQ(last.File()["status"].asInt(), 1)
        << "the hash of the first chunks is rebuilt from the partial file";
    EXPECT_EQ(Download(fid), data);
}

TEST_F(CloudActionsTest, KillingTheServerDuringAChunkLosesOnlyThatChunk) {
    const std::string data = TestBytes(3 * kChunk, 13);
    const std::string hash = ContentHash(data);
    const int64_t fid = Init(context, "inflight.bin", data.size()).File()["id"].asInt64();
    ASSERT_TRUE(context.performUpload(ChunkParams(fid, 0, hash, data.size()), "inflight.bin",
                                      data.data(), kChunk)
                    .Succeeded());
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "20000"}}));
    ServerReply inFlight;
    std::thread sender([&] {
        CRequestContext other;
        inFlight = other.performUpload(ChunkParams(fid, kChunk, hash, data.size()), "inflight.bin",
                                       data.data() + kChunk, kChunk);
    });
    ASSERT_TRUE(WaitFor([&] { return server.RequestHeaderLines("upload").size() == 2; }));
    server.Stop(true);
    sender.join();
    EXPECT_NE(inFlight.result, CURLE_OK) << inFlight.text;
    ASSERT_TRUE(server.Restart()) << server.Error();

    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), static_cast<int64_t>(kChunk));
    ASSERT_TRUE(Upload(context, "inflight.bin", data).Succeeded());
    EXPECT_EQ(Download(fid), data);
}

// Posts one chunk with libcurl's own multipart body on a connection of its own, closed after
// the reply; optional fields before and after the file part. The reply text, or "curl failed".
std::string CloudActionsTest::PostChunkAlone(int64_t fid, int64_t breakPoint,
                                             const std::string& data, size_t size,
                                             const std::string& hash, bool fieldFirst,
                                             bool fieldAfter) {
    CURL* curl = curl_easy_init();
    curl_mime* mime = curl_mime_init(curl);
    auto field = [&](const char* name, const std::string& value) {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, name);
        curl_mime_data(part, value.data(), value.size());
    };
    if (fieldFirst) {
        field("note", std::string(5000, 'n'));
    }
    curl_mimepart* file = curl_mime_addpart(mime);
    curl_mime_name(file, "file");
    curl_mime_filename(file, "parts.bin");
    curl_mime_data(file, data.data() + breakPoint, size);
    if (fieldAfter) {
        field("trailer", std::string(3000, 't'));
    }
    const std::string url = COptions::GetInstance().GetUrls().breakPointUpload +
                            "fid=" + std::to_string(fid) +
                            "&breakPoint=" + std::to_string(breakPoint) + "&hash=" + hash +
                            "&size=" + std::to_string(data.size());
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(curl, CURLOPT_COOKIE, (std::string("QSESSIONID=") + kSession).c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* bytes, size_t one, size_t n, void* out) {
            static_cast<std::string*>(out)->append(bytes, one * n);
            return one * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    const CURLcode result = curl_easy_perform(curl);
    curl_mime_free(mime);
    curl_easy_cleanup(curl);
    return result == CURLE_OK ? reply : std::string("curl failed");
}

// A chunk body with other fields before and after its file part: only the file part is
// content, though the content is stored while the body arrives.
TEST_F(CloudActionsTest, OnlyTheFilePartOfAChunkBodyIsStored) {
    const std::string data = TestBytes(kChunk + 300, 17);
    const std::string hash = ContentHash(data);
    const int64_t fid = Init(context, "parts.bin", data.size()).File()["id"].asInt64();
    EXPECT_NE(PostChunkAlone(fid, 0, data, kChunk, hash, false, true).find("\"breakPoint\":131072"),
              std::string::npos);
    EXPECT_NE(PostChunkAlone(fid, kChunk, data, 300, hash, true, true).find("\"status\":1"),
              std::string::npos);
    EXPECT_EQ(Download(fid), data);
}

// A chunk is hashed by its connection's thread after the reply: the next chunk, on another
// connection, can arrive while that hash runs, and the last must wait for every one before.
TEST_F(CloudActionsTest, ChunksEachOnAConnectionOfTheirOwnCompleteWithTheRightHash) {
    const std::string data = TestBytes(40 * kChunk + 5, 23);
    const std::string hash = ContentHash(data);
    const int64_t fid = Init(context, "alone.bin", data.size()).File()["id"].asInt64();
    std::string reply;
    for (size_t at = 0; at < data.size(); at += kChunk) {
        reply = PostChunkAlone(fid, static_cast<int64_t>(at), data,
                               std::min(kChunk, data.size() - at), hash, false, false);
        ASSERT_NE(reply.find("\"description\":\"OK\""), std::string::npos) << at << ": " << reply;
    }
    EXPECT_NE(reply.find("\"status\":1"), std::string::npos) << reply;
    EXPECT_EQ(Download(fid), data);
}

TEST_F(CloudActionsTest, StoredContentCompletesAtOnceWithoutItsData) {
    const std::string data = TestBytes(3 * kChunk, 21);
    ASSERT_TRUE(Upload(context, "first.bin", data).Succeeded());
    const size_t chunksBefore = server.RequestHeaderLines("upload").size();

    auto init = Init(context, "copy.bin", data.size());
    ASSERT_EQ(init.File()["status"].asInt(), 0) << "init does not know the hash yet";
    const int64_t fid = init.File()["id"].asInt64();
    auto first = context.performUpload(ChunkParams(fid, 0, ContentHash(data), data.size()),
                                       "copy.bin", data.data(), kChunk);
    ASSERT_TRUE(first.Succeeded()) << first.text;
    EXPECT_EQ(first.File()["status"].asInt(), 1) << "instant upload";
    EXPECT_EQ(server.RequestHeaderLines("upload").size(), chunksBefore + 1);
    EXPECT_EQ(Download(fid), data);
    EXPECT_EQ(server.State()["files"].asInt64(), 2);
}

TEST_F(CloudActionsTest, ContentNotMatchingItsHashIsRefusedAndStartsOver) {
    const std::string data = TestBytes(2 * kChunk + 5, 31);
    const std::string claimed = ContentHash(TestBytes(2 * kChunk + 5, 32));
    ServerReply last = Upload(context, "liar.bin", data, 0, claimed);
    EXPECT_EQ(last.Status(), 102006);
    EXPECT_EQ(last.File()["status"].asInt(), 0);
    EXPECT_EQ(last.File()["breakPoint"].asInt64(), 0);
    ServerReply outcome;
    Download(last.File()["id"].asInt64(), 0, &outcome);
    EXPECT_EQ(outcome.httpCode, 404) << "refused content never becomes visible";

    // The same file with its true hash then goes through.
    ServerReply honest = Upload(context, "liar.bin", data);
    ASSERT_TRUE(honest.Succeeded()) << honest.text;
    EXPECT_EQ(Download(honest.File()["id"].asInt64()), data);
}

TEST_F(CloudActionsTest, ReplacingAFileKeepsServingTheOldContentUntilTheNewIsComplete) {
    const std::string v1 = TestBytes(kChunk + 10, 41);
    const std::string v2 = TestBytes(2 * kChunk + 20, 42);
    const int64_t fid = Upload(context, "doc.txt", v1).File()["id"].asInt64();
    auto init = Init(context, "doc.txt", v2.size(), 0, fid);
    ASSERT_TRUE(init.Succeeded()) << init.text;
    EXPECT_EQ(init.File()["id"].asInt64(), fid);
    ASSERT_TRUE(context.performUpload(ChunkParams(fid, 0, ContentHash(v2), v2.size()), "doc.txt",
                                      v2.data(), kChunk)
                    .Succeeded());
    EXPECT_EQ(Download(fid), v1);
    ASSERT_TRUE(Upload(context, "doc.txt", v2).Succeeded());
    EXPECT_EQ(Download(fid), v2);
    EXPECT_FALSE(std::filesystem::exists(server.DataDir() / "objects" /
                                         ContentHash(v1).substr(0, 2) / ContentHash(v1)))
        << "content nothing holds any more is removed";
}

TEST_F(CloudActionsTest, DownloadResumesAndAnswersTheSizeProbe) {
    const std::string data = TestBytes(300000, 51);
    const int64_t fid = Upload(context, "d.bin", data).File()["id"].asInt64();
    EXPECT_EQ(Download(fid, 123456), data.substr(123456));

    std::string headers;
    CRequestContext::Hooks hooks;
    hooks.header = [&](std::string_view line) { headers.append(line); };
    auto probe = context.performRequest(RequestKind::kDownloadProbe, RequestParams(""),
                                        server.DownloadUrl(fid), hooks);
    EXPECT_EQ(probe.result, CURLE_OK);
    EXPECT_EQ(probe.httpCode, 206);
    EXPECT_NE(headers.find("Content-Range: bytes 0-0/300000\r\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Content-Length: 1\r\n"), std::string::npos) << headers;

    ServerReply outcome;
    Download(fid, 300001, &outcome);
    EXPECT_EQ(outcome.httpCode, 416);
    Download(fid, 300000, &outcome);
    EXPECT_EQ(outcome.httpCode, 200) << "nothing left is an empty body, not an error";

    const int64_t empty = Upload(context, "empty.txt", "").File()["id"].asInt64();
    headers.clear();
    probe = context.performRequest(RequestKind::kDownloadProbe, RequestParams(""),
                                   server.DownloadUrl(empty), hooks);
    EXPECT_EQ(probe.httpCode, 200);
    EXPECT_NE(headers.find("Content-Length: 0\r\n"), std::string::npos) << headers;
    Download(987654, 0, &outcome);
    EXPECT_EQ(outcome.httpCode, 404);
}

TEST_F(CloudActionsTest, DeleteRemovesTheTreeAndItsContent) {
    const int64_t folder = CreateFolder(context, "gone/inner");
    const std::string data = TestBytes(1000, 61);
    const int64_t fid = Upload(context, "f.bin", data, folder).File()["id"].asInt64();
    const int64_t top = Listing(context, 0)["files"][0]["id"].asInt64();
    auto reply = context.performRequest(RequestKind::kDeleteFile, RequestParams().Add("fid", top));
    ASSERT_TRUE(reply.Succeeded()) << reply.text;
    EXPECT_EQ(Listing(context, 0)["files"].size(), 0u);
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.Status(), 102003);
    EXPECT_TRUE(std::filesystem::is_empty(server.DataDir() / "objects" / ContentHash(data).substr(0, 2)));
    EXPECT_EQ(context.performRequest(RequestKind::kDeleteFile, RequestParams().Add("fid", 1)).Status(),
              102001)
        << "the root stays";
}

TEST_F(CloudActionsTest, LockKeepsOtherKeysOutUntilUnlocked) {
    const int64_t fid = Upload(context, "edit.doc", "v1").File()["id"].asInt64();
    auto lock = [&](RequestKind kind, const std::string& key) {
        return context.performRequest(
            kind, RequestParams().Add("fid", fid).AddRaw("&lockType=1&appName=quorvaClient").AddText("lockKey", key));
    };
    ASSERT_TRUE(lock(RequestKind::kLockFile, "A").Succeeded());
    EXPECT_TRUE(lock(RequestKind::kLockFile, "A").Succeeded()) << "renewal";
    EXPECT_EQ(lock(RequestKind::kLockFile, "B").Status(), 102007);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("fid", fid).Add("pid", 0).AddText("name", "edit.doc").Add("size", 2).AddRaw(
            "&lockType=1&appName=quorvaClient&lockKey=B"));
    EXPECT_EQ(init.Status(), 102007);
    EXPECT_EQ(context.performRequest(RequestKind::kDeleteFile, RequestParams().Add("fid", fid)).Status(),
              102007);
    EXPECT_EQ(lock(RequestKind::kUnlockFile, "B").Status(), 102007);
    ASSERT_TRUE(lock(RequestKind::kUnlockFile, "A").Succeeded());
    EXPECT_TRUE(lock(RequestKind::kLockFile, "B").Succeeded());
}

class CloudQuotaTest : public CloudFixture {
protected:
    CloudQuotaTest() : CloudFixture(QuotaConfig()) {}
    static CloudServer::Config QuotaConfig() {
        CloudServer::Config config;
        config.quota = 300000;
        return config;
    }
};

TEST_F(CloudQuotaTest, UploadsThatWouldPassTheQuotaAreRefused) {
    CRequestContext context;
    auto init = [&](const std::string& name, int64_t size) {
        return context.performRequest(
            RequestKind::kUploadInit, RequestParams().Add("pid", 0).AddText("name", name).Add("size", size));
    };
    EXPECT_EQ(init("huge.bin", 300001).Status(), 102008);
    ASSERT_TRUE(Upload(context, "a.bin", TestBytes(200000, 1)).Succeeded());
    EXPECT_EQ(init("b.bin", 100001).Status(), 102008);
    EXPECT_TRUE(init("c.bin", 100000).Succeeded()) << "exactly up to the quota";
    EXPECT_EQ(init("d.bin", 1).Status(), 102008) << "an open upload holds its size";
}

TEST_F(CloudActionsTest, BadInputGetsAClearStatusAndWritesNothingOutsideTheData) {
    std::set<std::string> entriesBefore;
    for (const auto& entry : std::filesystem::directory_iterator(server.DataDir().parent_path())) {
        entriesBefore.insert(entry.path().filename().string());
    }
    auto create = [&](const std::string& path) {
        return context.performRequest(RequestKind::kCreatePath,
                                      RequestParams().AddText("path", path).Add("pid", 0)).Status();
    };
    EXPECT_EQ(create(".."), 102004);
    EXPECT_EQ(create("a/../../b"), 102004);
    EXPECT_EQ(create("//"), 102004);
    EXPECT_EQ(create(std::string("a\x01")), 102004);
    auto missingPath = context.performRequest(RequestKind::kCreatePath, RequestParams().Add("pid", 0));
    EXPECT_EQ(missingPath.Status(), 102001);
    EXPECT_EQ(missingPath.Description(), "parameter missing or malformed: path");
    EXPECT_EQ(context.performRequest(RequestKind::kCreatePath,
                                     RequestParams().AddText("path", "x").AddRaw("&pid=1e3")).Status(),
              102001);

    auto init = [&](const std::string& name, const std::string& size) {
        return context.performRequest(
            RequestKind::kUploadInit,
            RequestParams().Add("pid", 0).AddText("name", name).AddRaw("&size=" + size)).Status();
    };
    EXPECT_EQ(init("a/b", "10"), 102004);
    EXPECT_EQ(init("..", "10"), 102004);
    EXPECT_EQ(init("..\\..\\etc", "10"), 102004);
    EXPECT_EQ(init("ok", "-5"), 102001);
    EXPECT_EQ(init("ok", "ten"), 102001);
    EXPECT_EQ(init("ok", "99999999999999999999"), 102001);
    EXPECT_EQ(context.performRequest(RequestKind::kUploadInit,
                                     RequestParams().Add("pid", 424242).AddText("name", "x").Add("size", 1))
                  .Status(),
              102003);

    const int64_t fid = Init(context, "ok", 10).File()["id"].asInt64();
    const std::string data = "0123456789";
    auto chunk = [&](const std::string& hash, int64_t breakPoint, int64_t size) {
        return context.performUpload(RequestParams().Add("fid", fid).Add("breakPoint", breakPoint)
                                         .AddText("hash", hash).Add("size", size),
                                     "ok", data.data(), data.size())
            .Status();
    };
    EXPECT_EQ(chunk("../../etc/passwd", 0, 10), 102001);
    EXPECT_EQ(chunk(std::string(64, 'A') + "10", 0, 10), 102001) << "upper-case digits";
    EXPECT_EQ(chunk(ContentHash(data), -1, 10), 102001);
    EXPECT_EQ(chunk(ContentHash(data), 0, 11), 102001) << "the hash ends with another size";
    EXPECT_EQ(context.performUpload(RequestParams().Add("fid", 555).Add("breakPoint", 0)
                                        .AddText("hash", ContentHash(data)).Add("size", 10),
                                    "ok", data.data(), data.size())
                  .Status(),
              102003);
    const std::string big(11, 'x');
    EXPECT_EQ(context.performUpload(ChunkParams(fid, 0, ContentHash(data), 10), "ok", big.data(),
                                    big.size())
                  .Status(),
              102009)
        << "a chunk past the announced size";
    EXPECT_TRUE(chunk(ContentHash(data), 0, 10) == 0) << "the refusals changed nothing";

    std::set<std::string> entriesAfter;
    for (const auto& entry : std::filesystem::directory_iterator(server.DataDir().parent_path())) {
        entriesAfter.insert(entry.path().filename().string());
    }
    EXPECT_EQ(entriesAfter, entriesBefore);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(server.DataDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(entry.is_directory() || name.rfind("metadata.db", 0) == 0 ||
                    entry.path().parent_path().parent_path().filename() == "objects")
            << entry.path();
    }
}

class CloudSessionTest : public CloudFixture {};

TEST_F(CloudSessionTest, AnotherSessionIsRefused) {
    COptions& options = COptions::GetInstance();
    options.ClearCookies();
    options.AddCookie("QSESSIONID", "intruder");
    options.RebuildCookieStrings();
    CRequestContext context;
    auto reply = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    EXPECT_EQ(reply.Status(), 102002);
    ServerReply outcome;
    Download(3, 0, &outcome);
    EXPECT_EQ(outcome.httpCode, 403);
}

}  // namespace
}  // namespace zorp::test

namespace zorp::test {
namespace {

class CloudListingTest : public CloudFixture {};

// "--list" shows the tree a data folder holds, also while the server runs on it: folders
// with a slash, complete files with their size, an interrupted upload with its break point.
TEST_F(CloudListingTest, ListPrintsTheTreeTheDataFolderHolds) {
    CRequestContext context;
    const int64_t folder = CreateFolder(context, "Docs/deep");
    ASSERT_GT(folder, 0);
    ASSERT_TRUE(Upload(context, "a b.txt", TestBytes(1000, 1), folder).Succeeded());
    ServerReply init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "half.bin").Add("size", int64_t{2 * kChunk}));
    const std::string data = TestBytes(2 * kChunk, 2);
    ASSERT_TRUE(context
                    .performUpload(ChunkParams(init.File()["id"].asInt64(), 0, ContentHash(data),
                                               data.size()),
                                   "half.bin", data.data(), kChunk)
                    .Succeeded());

    platform::ChildProcess list;
    ASSERT_TRUE(list.Start({(std::filesystem::path(ZORP_BIN_DIR) / "zorp-cloud").string(), "--data",
                            server.DataDir().string(), "--list"}));
    std::vector<std::string> lines;
    while (auto line = list.ReadLine(5000)) {
        lines.push_back(*line);
    }
    EXPECT_EQ(list.Wait(5000), 0);
    ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "folder                      /Docs/");
    EXPECT_EQ(lines[1], "folder                      /Docs/deep/");
    EXPECT_EQ(lines[2], "file          1000  complete   /Docs/deep/a b.txt");
    EXPECT_EQ(lines[3], "file        262144  uploading  /half.bin   (131072 of 262144 bytes)");
}

}  // namespace
}  // namespace zorp::test
