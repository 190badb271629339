// What the page and the server see of uploads, end to end: zorp run as a black box, the page
// played over the link, zorp-cloud answering as a real server might (with members left out,
// with a proxy's page instead of its reply, with the reply that completes a file late).
#include <json/reader.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "UploadE2EFixture.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

constexpr size_t kChunk = 131072;

class UploadProtocolE2ETest : public UploadE2EFixture {
protected:
    static Json::Value Parse(const std::string& message) {
        Json::Value root;
        std::istringstream in(message);
        Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr);
        return root;
    }

    int CountSeen(Out type) const {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [&](const auto& message) {
            return LinkTestPage::TypeOf(message) == type;
        }));
    }

    // Drops the files and waits for the page to hear the uploads end (3 or 5).
    std::optional<std::string> UploadAndWait(ZorpProcess& zorp, const std::vector<fs::path>& paths,
                                             int64_t target) {
        RequestUpload(zorp, paths, target);
        return WaitForPage(zorp, {Out::kUploadsFinished, Out::kUploadsFailed},
                           std::chrono::seconds(60));
    }

    // The ends of a batch the page may hear.
    const std::set<Out> kBatchEnds = {Out::kUploadsFinished, Out::kUploadsFailed,
                                      Out::kNothingToUpload, Out::kBatchInterrupted,
                                      Out::kAllEnded};
};

// Files that are all on the server already, dropped after a start: the batch ends with simple
// 11 (the work state at its start was above 2), and nothing is sent.
TEST_F(UploadProtocolE2ETest, TheAllPresentDropAfterStartUpEndsWithEleven) {
    const int64_t target = CreateFolder("Target");
    WriteFile(local / "Set" / "one.bin", TestBytes(200000, 1));
    WriteFile(local / "Set" / "two.txt", "two");
    WriteFile(local / "alone.txt", "alone");
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {local / "Set", local / "alone.txt"}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen);
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    EndZorp(zorp);

    const int inits = RequestCount("uploadInit");
    const int chunks = RequestCount("upload");
    seen.clear();
    zorp = StartZorp();
    RequestUpload(*zorp, {local / "Set", local / "alone.txt"}, target);
    auto end = WaitForPage(*zorp, kBatchEnds, std::chrono::seconds(60));
    ASSERT_TRUE(end) << testing::PrintToString(seen);
    EXPECT_EQ(LinkTestPage::TypeOf(*end), Out::kBatchInterrupted) << *end;
    EXPECT_EQ(RequestCount("uploadInit"), inits);
    EXPECT_EQ(RequestCount("upload"), chunks);
    EndZorp(zorp);
}

// An empty batch with another request queued behind it: the next one starts and nothing is
// reported for the first; the page hears the end of the second.
TEST_F(UploadProtocolE2ETest, AnEmptyBatchFollowedByAQueuedRequestReportsNothingForTheFirst) {
    const int64_t present = CreateFolder("Present");
    const int64_t fresh = CreateFolder("Fresh");
    ASSERT_LT(present, fresh) << "the requests are taken by folder id";
    for (int i = 0; i < 20; ++i) {
        WriteFile(local / "Old" / ("o" + std::to_string(i)), TestBytes(100000, 10 + i));
    }
    WriteFile(local / "new.bin", TestBytes(300000, 40));
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {local / "Old"}, present);
    ASSERT_TRUE(finished) << testing::PrintToString(seen);
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished);

    seen.clear();
    // One message with both: the first request is still walked and compared when the second
    // is stored.
    Json::Value both = Parse(LinkTestPage::UploadRequest({local / "Old"}, present));
    both["files"].append(
        Parse(LinkTestPage::UploadRequest({local / "new.bin"}, fresh))["files"][0]);
    ASSERT_TRUE(zorp->Page().SendRequest(both));
    auto end = WaitForPage(*zorp, kBatchEnds, std::chrono::seconds(60));
    ASSERT_TRUE(end) << testing::PrintToString(seen);
    EXPECT_EQ(LinkTestPage::TypeOf(*end), Out::kUploadsFinished) << testing::PrintToString(seen);
    EXPECT_EQ(NamesOf(*end), std::vector<std::string>{"new.bin"});
    EXPECT_EQ(ServerTree(server, fresh).count("new.bin"), 1u);
    EndZorp(zorp);
    EXPECT_EQ(CountSeen(Out::kNothingToUpload), 0) << testing::PrintToString(seen);
    EXPECT_EQ(CountSeen(Out::kBatchInterrupted), 0) << testing::PrintToString(seen);
}

// The uploads' end names the file that ended as the last one remaining, not every file.
TEST_F(UploadProtocolE2ETest, TheFinishedNamesAreTheLastFileRemaining) {
    const int64_t target = CreateFolder("Target");
    std::set<std::string> names;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "n" + std::to_string(i) + ".txt";
        WriteFile(local / "Many" / name, "file " + std::to_string(i));
        names.insert(name);
    }
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {local / "Many"}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen);
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    const std::vector<std::string> reported = NamesOf(*finished);
    ASSERT_EQ(reported.size(), 1u) << *finished;
    EXPECT_TRUE(names.count(reported[0])) << reported[0];
    EXPECT_EQ(ServerTree(server, target).size(), names.size() + 1);  // the folder too
    EndZorp(zorp);
}

// For every file the page hears "created" (14) before "complete" (16), content the server
// holds already (an instant upload) included.
TEST_F(UploadProtocolE2ETest, CreatedAlwaysComesBeforeCompleteForAFile) {
    const int64_t target = CreateFolder("Target");
    const std::string known = TestBytes(300000, 50);
    WriteFile(local / "original.bin", known);
    for (int i = 0; i < 12; ++i) {
        WriteFile(local / "Drop" / ("copy" + std::to_string(i) + ".bin"), known);
        WriteFile(local / "Drop" / ("own" + std::to_string(i) + ".bin"), TestBytes(150000, 60 + i));
    }
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {local / "original.bin"}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen);
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished);
    const int chunksBefore = RequestCount("upload");

    seen.clear();
    finished = UploadAndWait(*zorp, {local / "Drop"}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen);
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    // The copies went without a chunk: 12 files of two chunks each were sent, no more.
    EXPECT_EQ(RequestCount("upload") - chunksBefore, 12 * 2);

    std::map<int64_t, std::vector<Out>> news;  // per fid, in the order the page heard it
    for (const auto& message : seen) {
        const auto type = LinkTestPage::TypeOf(message);
        if (type != Out::kUploadCreated && type != Out::kUploadComplete) {
            continue;
        }
        const Json::Value root = Parse(message);
        for (const auto& entry : root["files"]) {
            news[entry["fid"].asInt64()].push_back(*type);
        }
    }
    EXPECT_EQ(news.size(), 24u);
    for (const auto& [fid, types] : news) {
        EXPECT_EQ(types, (std::vector<Out>{Out::kUploadCreated, Out::kUploadComplete}))
            << "file " << fid;
    }
    EndZorp(zorp);
}

// A chunk answered by an HTML page (a proxy in the way) is a failed chunk: retried from the
// server's break point, and the file completes; the process does not go offline for it.
TEST_F(UploadProtocolE2ETest, AChunkAnsweredByAnHtmlPageIsRetriedAndTheFileCompletes) {
    const int64_t target = CreateFolder("Target");
    const fs::path file = local / "behind-a-proxy.bin";
    WriteFile(file, TestBytes(4 * kChunk + 7, 70));
    ASSERT_TRUE(server.SetFault("upload", "html", {{"count", "2"}}));
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {file}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    EXPECT_EQ(CountSeen(Out::kAllEnded), 0) << "not offline: " << testing::PrintToString(seen);
    const auto entries = Children(target);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].IsComplete());
    EXPECT_TRUE(SameBytes(entries[0].id, file));
    EXPECT_EQ(RequestCount("upload"), 5 + 2) << "the two refused chunks went again";
    EndZorp(zorp);
}

// A server whose chunk replies carry "status" 1 without "size" (the member the described
// server need not send) completes the upload.
TEST_F(UploadProtocolE2ETest, AServerThatLeavesTheSizeOutOfChunkRepliesCompletesTheUpload) {
    const int64_t target = CreateFolder("Target");
    WriteFile(local / "a.bin", TestBytes(3 * kChunk, 80));
    WriteFile(local / "b.bin", TestBytes(kChunk / 2, 81));
    ASSERT_TRUE(server.SetFault("upload", "omit", {{"field", "size"}, {"count", "1000"}}));
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {local / "a.bin", local / "b.bin"}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    EXPECT_EQ(CountSeen(Out::kUploadComplete) > 0, true);
    EXPECT_EQ(ServerTree(server, target),
              (std::map<std::string, std::string>{{"a.bin", ReadFile(local / "a.bin")},
                                                  {"b.bin", ReadFile(local / "b.bin")}}));
    EndZorp(zorp);
}

// The page quits while the reply to a file's last chunk is on its way: the file is stored as
// unfinished. Changed before the next start, it is hashed again there, and the page asks for it
// once more: still one upload of it, which sends the new content, and one stored row, start
// after start.
TEST_F(UploadProtocolE2ETest, AQuitBeforeTheLastChunksReplyLeavesOneTaskAndOneStoredRowPerFile) {
    const int64_t target = CreateFolder("Target");
    const fs::path file = local / "report.bin";
    WriteFile(file, TestBytes(3 * kChunk, 90));
    // The verbose lines tell when a batch has ended.
    WriteFile(home / "config" / "zorp" / "log.properties", R"({"enable": 1})");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(server.ClearFaults());
        // The reply that completes the file is held back until the page has left.
        ASSERT_TRUE(server.SetFault("upload", "late", {{"ms", "60000"}, {"complete", "1"}}));
        seen.clear();
        auto zorp = StartZorp();
        RequestUpload(*zorp, {file}, target);
        ASSERT_TRUE(WaitFor(
            [&] {
                const auto entries = Children(target);
                return entries.size() == 1 && entries[0].IsComplete() &&
                       SameBytes(entries[0].id, file);
            },
            std::chrono::seconds(60)))
            << zorp->Stderr();
        // The request has been compared too: nothing of it is still under way but the upload.
        ASSERT_TRUE(
            WaitFor([&] { return LatestLog().find("CDndUiDlg - batch of") != std::string::npos; },
                    std::chrono::seconds(30)));
        EndZorp(zorp);
        EXPECT_EQ(RequestCount("uploadInit"), 1) << "one upload of the file";
        EXPECT_EQ(CountSeen(Out::kUploadsFailed), 0) << testing::PrintToString(seen);
        EXPECT_EQ(UnfinishedUploadRows("report.bin"), 1);
        // Touched before the next start: hashed again there, and its new content goes up.
        WriteFile(file, TestBytes(3 * kChunk, 91 + round));
    }
    ASSERT_TRUE(server.ClearFaults());
    seen.clear();
    auto zorp = StartZorp();
    auto finished = UploadAndWait(*zorp, {file}, target);
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    const auto entries = Children(target);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(SameBytes(entries[0].id, file));
    EndZorp(zorp);
    EXPECT_EQ(UnfinishedUploadRows("report.bin"), 0);
}

}  // namespace
}  // namespace zorp::test
