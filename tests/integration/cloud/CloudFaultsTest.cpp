#include <chrono>
#include <thread>

#include "CloudFixture.h"

namespace zorp::test {
namespace {

class CloudFaultsTest : public CloudFixture {
protected:
    ServerReply ListRoot() {
        return context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    }
    CRequestContext context;
};

TEST_F(CloudFaultsTest, StatusAndHttpFaultsHitTheNextRequestsOfTheirActionOnly) {
    ASSERT_TRUE(server.SetFault("getSubFiles", "status", {{"status", "5"}, {"count", "2"}}));
    ASSERT_TRUE(server.SetFault("createPath", "http", {{"code", "503"}}));
    for (int i = 0; i < 2; ++i) {
        auto reply = ListRoot();
        EXPECT_EQ(reply.result, CURLE_OK);
        EXPECT_EQ(reply.Status(), 5);
        EXPECT_FALSE(reply.Succeeded());
    }
    EXPECT_TRUE(ListRoot().Succeeded()) << "the fault's count is used up";

    auto create = context.performRequest(RequestKind::kCreatePath,
                                         RequestParams().AddText("path", "x").Add("pid", 0));
    EXPECT_EQ(create.result, CURLE_OK);
    EXPECT_EQ(create.httpCode, 503);
    EXPECT_FALSE(create.Succeeded());
    EXPECT_GT(CreateFolder(context, "x"), 0);
}

TEST_F(CloudFaultsTest, MalformedReplyDoesNotParse) {
    ASSERT_TRUE(server.SetFault("getSubFiles", "malformed"));
    auto reply = ListRoot();
    EXPECT_EQ(reply.result, CURLE_OK);
    EXPECT_FALSE(reply.parsed) << reply.text;
    EXPECT_FALSE(reply.Succeeded());
    EXPECT_TRUE(ListRoot().parsed);
}

TEST_F(CloudFaultsTest, WrongBreakPointIsReportedOnce) {
    const std::string data = TestBytes(2 * kChunk, 3);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "w.bin").Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    ASSERT_TRUE(server.SetFault("getFile", "breakpoint", {{"breakPoint", "4096"}}));
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), 4096);
    // The chunk at the reported point is refused with the true one.
    auto chunk = context.performUpload(ChunkParams(fid, 4096, ContentHash(data), data.size()),
                                       "w.bin", data.data() + 4096, kChunk);
    EXPECT_EQ(chunk.Status(), 102005);
    EXPECT_EQ(chunk.File()["breakPoint"].asInt64(), 0);
    info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), 0);
}

TEST_F(CloudFaultsTest, DroppedChunkLeavesTheBreakPointWhereItWas) {
    const std::string data = TestBytes(3 * kChunk, 4);
    const std::string hash = ContentHash(data);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "drop.bin").Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    ASSERT_TRUE(context.performUpload(ChunkParams(fid, 0, hash, data.size()), "drop.bin",
                                      data.data(), kChunk)
                    .Succeeded());
    ASSERT_TRUE(server.SetFault("upload", "drop", {{"bytes", "65536"}}));
    auto dropped = context.performUpload(ChunkParams(fid, kChunk, hash, data.size()), "drop.bin",
                                         data.data() + kChunk, kChunk);
    EXPECT_NE(dropped.result, CURLE_OK);
    EXPECT_FALSE(dropped.parsed);
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), static_cast<int64_t>(kChunk));

    ServerReply last = Upload(context, "drop.bin", data);
    ASSERT_TRUE(last.Succeeded()) << last.text;
    EXPECT_EQ(Download(fid), data);
}

// A chunk's content is stored while its body arrives: what a cut chunk left past the break
// point must not survive into the file, however the retry is cut into chunks.
TEST_F(CloudFaultsTest, WhatACutChunkStoredIsWrittenOverByItsRetryInSmallerChunks) {
    const std::string data = TestBytes(2 * kChunk + 7, 6);
    const std::string other = TestBytes(kChunk, 7);
    const std::string hash = ContentHash(data);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "cut.bin").Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    ASSERT_TRUE(server.SetFault("upload", "drop", {{"bytes", "120000"}}));
    auto dropped = context.performUpload(ChunkParams(fid, 0, hash, data.size()), "cut.bin",
                                         other.data(), kChunk);
    EXPECT_NE(dropped.result, CURLE_OK);
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), 0);

    ServerReply reply;
    for (size_t at = 0; at < data.size(); at += 50000) {
        const size_t size = std::min<size_t>(50000, data.size() - at);
        reply = context.performUpload(ChunkParams(fid, static_cast<int64_t>(at), hash, data.size()),
                                      "cut.bin", data.data() + at, size);
        ASSERT_TRUE(reply.Succeeded()) << at << ": " << reply.text;
    }
    EXPECT_EQ(reply.File()["status"].asInt(), 1);
    EXPECT_EQ(Download(fid), data);
}

TEST_F(CloudFaultsTest, DroppedDownloadAndReplyEndMidBody) {
    const std::string data = TestBytes(500000, 5);
    const int64_t fid = Upload(context, "d.bin", data).File()["id"].asInt64();
    ASSERT_TRUE(server.SetFault("download", "drop", {{"bytes", "100000"}}));
    ServerReply outcome;
    const std::string part = Download(fid, 0, &outcome);
    EXPECT_EQ(outcome.result, CURLE_PARTIAL_FILE);
    EXPECT_EQ(part, data.substr(0, 100000));
    EXPECT_EQ(Download(fid, static_cast<int64_t>(part.size())), data.substr(100000))
        << "the rest comes with the break point";

    ASSERT_TRUE(server.SetFault("getSubFiles", "drop", {{"bytes", "10"}}));
    auto reply = ListRoot();
    EXPECT_EQ(reply.result, CURLE_PARTIAL_FILE);
    EXPECT_FALSE(reply.Succeeded());
}

TEST_F(CloudFaultsTest, DelayAndStallEndByThemselves) {
    ASSERT_TRUE(server.SetFault("getSubFiles", "delay", {{"ms", "300"}}));
    EXPECT_TRUE(ListRoot().Succeeded());

    // A stall longer than the client waits: the request times out, the next one is served.
    ASSERT_TRUE(server.SetFault("getSubFiles", "stall", {{"ms", "3000"}}));
    CURL* handle = context.Prepare(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    ASSERT_NE(handle, nullptr);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 500L);
    ServerReply stalled = context.Finish(context.Perform());
    EXPECT_EQ(stalled.result, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(recorder.Count(WM_NETWORK_ERROR), 0u) << "a time-out is no network error";
    EXPECT_TRUE(ListRoot().Succeeded());

    // In the middle of a download body.
    const std::string data = TestBytes(400000, 6);
    const int64_t fid = Upload(context, "s.bin", data).File()["id"].asInt64();
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "400"}, {"bytes", "200000"}}));
    EXPECT_EQ(Download(fid), data);
}

// The faults that change what a reply says: a member left out of the file record, a record
// that claims completion, an HTML page instead of the envelope, a reply held back only when it
// reports the file complete.
TEST_F(CloudFaultsTest, RepliesCanLoseMembersClaimCompletionOrComeAsHtml) {
    const std::string data = TestBytes(2 * kChunk, 7);
    const std::string hash = ContentHash(data);
    auto init = context.performRequest(RequestKind::kUploadInit,
                                       RequestParams()
                                           .Add("pid", 0)
                                           .AddText("name", "r.bin")
                                           .Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    ASSERT_GT(fid, 0);

    ASSERT_TRUE(server.SetFault("getFile", "omit", {{"field", "size"}}));
    auto info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_FALSE(info.File().isMember("size")) << info.text;
    EXPECT_TRUE(info.File().isMember("breakPoint"));
    EXPECT_FALSE(server.SetFault("getFile", "omit")) << "the member to leave out is named";

    ASSERT_TRUE(server.SetFault("getFile", "claimcomplete"));
    info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["status"].asInt(), 1);
    info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["status"].asInt(), 0) << "the server itself holds nothing more";

    // The page replaces the action: the chunk is not taken.
    ASSERT_TRUE(server.SetFault("upload", "html"));
    auto page =
        context.performUpload(ChunkParams(fid, 0, hash, data.size()), "r.bin", data.data(), kChunk);
    EXPECT_EQ(page.result, CURLE_OK);
    EXPECT_EQ(page.httpCode, 200);
    EXPECT_FALSE(page.parsed);
    EXPECT_NE(page.text.find("<html>"), std::string::npos) << page.text;
    info = context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid));
    EXPECT_EQ(info.File()["breakPoint"].asInt64(), 0);
    ASSERT_TRUE(server.SetFault("upload", "html", {{"code", "502"}}));
    page =
        context.performUpload(ChunkParams(fid, 0, hash, data.size()), "r.bin", data.data(), kChunk);
    EXPECT_EQ(page.httpCode, 502);

    // Held back only for the reply that completes the file: the first chunk leaves it armed.
    ASSERT_TRUE(server.SetFault("upload", "late", {{"ms", "10"}, {"complete", "1"}}));
    ASSERT_TRUE(
        context.performUpload(ChunkParams(fid, 0, hash, data.size()), "r.bin", data.data(), kChunk)
            .Succeeded());
    EXPECT_EQ(server.State()["faults"].size(), 1u);
    auto last = context.performUpload(ChunkParams(fid, kChunk, hash, data.size()), "r.bin",
                                      data.data() + kChunk, kChunk);
    ASSERT_TRUE(last.Succeeded()) << last.text;
    EXPECT_EQ(last.File()["status"].asInt(), 1);
    EXPECT_EQ(server.State()["faults"].size(), 0u);
    EXPECT_EQ(Download(fid), data);
}

TEST_F(CloudFaultsTest, FaultsLapseAfterTheirTimeToLive) {
    ASSERT_TRUE(server.SetFault("*", "status", {{"count", "1000"}, {"ttl", "1"}}));
    EXPECT_FALSE(ListRoot().Succeeded()) << "\"*\" hits every action";
    EXPECT_EQ(server.State()["faults"].size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return ListRoot().Succeeded(); }, std::chrono::seconds(5)));
    EXPECT_EQ(server.State()["faults"].size(), 0u);
}

TEST_F(CloudFaultsTest, FaultSwitchRefusesOutOfBoundsValues) {
    EXPECT_FALSE(server.SetFault("upload", "explode"));
    EXPECT_FALSE(server.SetFault("upload", "status", {{"count", "0"}}));
    EXPECT_FALSE(server.SetFault("upload", "status", {{"ttl", "100000"}}));
    EXPECT_FALSE(server.SetFault("upload", "http", {{"code", "200"}}));
    EXPECT_FALSE(server.SetFault("upload", "stall", {{"seconds", "3600"}}));
    EXPECT_FALSE(server.SetFault("", "status"));
    EXPECT_EQ(server.State()["faults"].size(), 0u);
}

}  // namespace
}  // namespace zorp::test
