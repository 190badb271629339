#include <atomic>

#include "WalkFixture.h"
#include "core/Logging.h"
#include "upload/CompareFileMgr.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"

namespace fs = std::filesystem;

namespace zorp::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class CompareFileTest : public WalkFixture {
protected:
    void SetUp() override {
        WalkFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
        compare.SetNotifyWindow(window);
        compare.SetClock([this] { return now.load(); });
        ASSERT_TRUE(compare.Start());
        ASSERT_TRUE(compare.WaitForStarted(5000));
    }
    void TearDown() override {
        EXPECT_TRUE(compare.Shutdown(10000));
        CWriteDbMgr::GetInstance().WriteAllBatches();
        CWriteDbMgr::GetInstance().Flush(20000);
        CWriteDbMgr::GetInstance().Stop();
        WalkFixture::TearDown();
    }

    // A local file below the dropped folder `local`/Drop, queued as hashed.
    fs::path Queue(const std::string& relative, const std::string& content) {
        const fs::path path = local / relative;
        WriteFile(path, content);
        QueuePath(path);
        return path;
    }
    void QueuePath(const fs::path& path, bool hashed = true) {
        list.addDroppedRoot(local / "Drop");
        auto useful = list.getUsefulPath(path);
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        list.addShaFile(CmpWaitingFile{path, useful.usefulPath, useful.prefix,
                                       hashed ? Hash(path) : std::string(),
                                       ec ? 0 : static_cast<int64_t>(size)});
        list.addFileCount(1);
    }
    // Wakes the comparison and waits for the end of its pass.
    bool Pass() {
        const size_t before = uploadWindow.Count(WM_CMP_LOOP_OVER);
        compare.SignalWork();
        return loop.RunUntil([&] { return uploadWindow.Count(WM_CMP_LOOP_OVER) > before; }, 20000);
    }
    Rows History() {
        CWriteDbMgr::GetInstance().WriteAllBatches();
        EXPECT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
        DBWrapper db(home.userDataDir() / DBWrapper::kLogDb);
        if (!db.open() || !db.query("SELECT name, path, size, type FROM log ORDER BY id;")) {
            ADD_FAILURE() << db.errorText();
            return {};
        }
        return db.rows();
    }
    size_t Requests(const char* action) { return server.RequestHeaderLines(action).size(); }

    std::atomic<uint64_t> now{1000000};
    CompareFileMgr compare;
};

TEST_F(CompareFileTest, FilesAlreadyOnTheServerAreNotSentAndRecordedAsCompletedByTheServer) {
    Put("Drop/a.txt", "alpha");
    Put("Drop/sub/b.txt", "bravo");
    Put("Drop/sub/deep/c.txt", "charlie");
    Queue("Drop/a.txt", "alpha");
    Queue("Drop/sub/b.txt", "bravo");
    const fs::path c = Queue("Drop/sub/deep/c.txt", "charlie");

    ASSERT_TRUE(Pass());
    EXPECT_EQ(uploadWindow.Count(WM_CMP_UPLOAD), 0u);
    EXPECT_EQ(list.getUploadListSize(), 0u);
    EXPECT_EQ(list.getRemainingCount(), 0);
    EXPECT_EQ(list.getToCompareCount(), 0);
    EXPECT_EQ(History(), (Rows{{"a.txt", (local / "Drop").string(), "5", "1"},
                              {"b.txt", (local / "Drop" / "sub").string(), "5", "1"},
                              {"c.txt", c.parent_path().string(), "7", "1"}}));
}

TEST_F(CompareFileTest, AChangedFileIsSentWithTheServerFileIdAndANewOneWithNone) {
    const int64_t oldId = Put("Drop/sub/b.txt", "old content");
    const fs::path b = Queue("Drop/sub/b.txt", "new content");
    const fs::path fresh = Queue("Drop/sub/fresh.txt", "fresh");

    ASSERT_TRUE(Pass());
    EXPECT_EQ(uploadWindow.Count(WM_CMP_UPLOAD), 2u);
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 2u);
    const int64_t sub = FolderId("Drop/sub");
    EXPECT_EQ(records[0].path, b);
    EXPECT_EQ(records[0].fid, oldId);
    EXPECT_EQ(records[0].pid, sub);
    EXPECT_EQ(records[0].hash, Hash(b));
    EXPECT_EQ(records[0].batchTarget, targetId);
    EXPECT_EQ(records[1].path, fresh);
    EXPECT_EQ(records[1].fid, 0);
    EXPECT_EQ(records[1].pid, sub);
    EXPECT_EQ(list.getToCompareCount(), 0);
    EXPECT_EQ(list.getRemainingCount(), 2) << "still to be uploaded";
    EXPECT_TRUE(History().empty());
}

TEST_F(CompareFileTest, ANameThatDiffersOnlyInCaseIsNew) {
    Put("Drop/Readme.TXT", "same");
    Queue("Drop/readme.txt", "same");
    ASSERT_TRUE(Pass());
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fid, 0);
}

// Regression: an upload of the same content that was interrupted leaves an entry of that name
// and hash whose content is incomplete. Counting it as present left a partial file in the
// cloud and reported success.
TEST_F(CompareFileTest, AnInterruptedUploadOfTheSameContentIsResumedNotCountedAsPresent) {
    const std::string content = TestBytes(2 * kChunk + 100, 4);
    CRequestContext context;
    const int64_t dropId = CreateFolder(context, "Drop", targetId);
    ServerReply init = context.performRequest(
        RequestKind::kUploadInit, RequestParams().Add("pid", dropId).AddText("name", "big.bin")
                                      .Add("size", static_cast<int64_t>(content.size())));
    ASSERT_TRUE(init.Succeeded()) << init.text;
    const int64_t partialId = init.File()["id"].asInt64();
    ServerReply chunk = context.performUpload(
        ChunkParams(partialId, 0, ContentHash(content), content.size()), "big.bin", content.data(), kChunk);
    ASSERT_TRUE(chunk.Succeeded()) << chunk.text;
    auto listed = Children(dropId)["big.bin"];
    ASSERT_EQ(listed.hash, ContentHash(content)) << "the listing shows the announced hash";
    ASSERT_NE(listed.status, 1);

    Queue("Drop/big.bin", content);
    ASSERT_TRUE(Pass());
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fid, partialId);
    EXPECT_EQ(records[0].pid, dropId);
    EXPECT_TRUE(History().empty());
}

TEST_F(CompareFileTest, AMissingSubtreeIsCreatedWithOneRequestForTheDeepestFolder) {
    Queue("Drop/x/y/z/f.txt", "f");
    Queue("Drop/x/y/z/g.txt", "g");
    const size_t created = Requests("createPath");
    ASSERT_TRUE(Pass());
    EXPECT_EQ(Requests("createPath") - created, 1u);
    const int64_t z = FolderId("Drop/x/y/z");
    ASSERT_GT(z, 0);
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].pid, z);
    EXPECT_EQ(records[1].pid, z);
    EXPECT_EQ(records[0].fid + records[1].fid, 0);
}

TEST_F(CompareFileTest, AFolderRefusedTwiceSkipsOnlyItsFilesAndOneRefusalIsRetried) {
    ASSERT_TRUE(server.SetFault("createPath", "status", {{"status", "1"}, {"count", "2"}}));
    logging::ScopedLogCapture capture;
    Queue("Drop/a/one.txt", "1");
    Queue("Drop/top.txt", "t");
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(capture.Contains("checkFile can't createdir for file " + (local / "Drop/a/one.txt").string()));
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].path, local / "Drop/top.txt");
    EXPECT_EQ(list.getRemainingCount(), 1) << "the skipped file left the batch";
    EXPECT_EQ(list.getToCompareCount(), 0);

    ASSERT_TRUE(server.SetFault("createPath", "status", {{"status", "1"}, {"count", "1"}}));
    Queue("Drop/b/two.txt", "2");
    ASSERT_TRUE(Pass());
    records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].pid, FolderId("Drop/b"));
}

TEST_F(CompareFileTest, AFileGoneBeforeItsHashIsSkippedAndAnEmptyFileIsCompared) {
    Put("Drop/empty.txt", "");
    const fs::path gone = local / "Drop" / "gone.txt";
    WriteFile(gone, "x");
    QueuePath(gone, false);
    fs::remove(gone);
    Queue("Drop/empty.txt", "");
    Queue("Drop/other-empty.txt", "");
    logging::ScopedLogCapture capture;
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(capture.Contains("skipped, the file could not be read: " + gone.string()));
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].path, local / "Drop" / "other-empty.txt");
    EXPECT_EQ(list.getRemainingCount(), 1);
    EXPECT_EQ(History().size(), 1u) << "the empty file the server holds";
}

TEST_F(CompareFileTest, ListingsAreCachedForTenSecondsAndForOneTarget) {
    const fs::path file = Queue("n.txt", "n");  // a file dropped by itself goes to the target
    ASSERT_TRUE(Pass());
    ASSERT_EQ(list.takeUploadList().size(), 1u);
    const size_t listings = Requests("getSubFiles");
    Put("n.txt", "n");  // the upload happened meanwhile

    now += 5000;
    QueuePath(file);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(Requests("getSubFiles"), listings) << "within 10 s the listing is not fetched again";
    EXPECT_EQ(list.takeUploadList().size(), 1u) << "so the cached listing still lacks the file";

    now += 10001;
    QueuePath(file);
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(list.takeUploadList().empty()) << "a fresh listing shows the file";

    // Another target in between drops the cache too.
    CRequestContext context;
    const int64_t other = CreateFolder(context, "Other");
    const int64_t first = targetId;
    list.setBatchTarget(other, 0);
    now += 1000;
    QueuePath(file);
    ASSERT_TRUE(Pass());
    auto records = list.takeUploadList();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].pid, other);
    ASSERT_TRUE(Put("m.txt", "m") > 0);  // into the first target, after its listing was cached
    list.setBatchTarget(first, 0);
    now += 1000;
    Queue("m.txt", "m");
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(list.takeUploadList().empty());
}

TEST_F(CompareFileTest, APauseKeepsTheFilesNotYetComparedForTheNextPass) {
    ASSERT_TRUE(server.SetFault("getSubFiles", "delay", {{"ms", "1500"}}));
    Queue("Drop/one.txt", "1");
    Queue("Drop/two.txt", "2");
    Queue("Drop/three.txt", "3");
    compare.SignalWork();
    // The delay is taken when the first listing arrives at the server.
    ASSERT_TRUE(WaitFor([&] { return server.State()["faults"].size() == 0; }));
    compare.SetPaused(true);
    ASSERT_TRUE(WaitFor([&] { return list.getShaFileCount() == 3; }));
    loop.RunFor(100);
    EXPECT_EQ(uploadWindow.Count(WM_CMP_LOOP_OVER), 0u) << "a paused pass does not report its end";
    EXPECT_EQ(list.getUploadListSize(), 0u);

    compare.SetPaused(false);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(list.takeUploadList().size(), 3u);
    EXPECT_EQ(list.getShaFileCount(), 0u);
}

// The whole way of a dropped folder: walked, hashed, compared; after its files reached the
// server a second drop sends nothing.
TEST_F(CompareFileTest, AFolderDroppedAgainAfterItsUploadSendsNothing) {
    const fs::path drop = local / "Drop";
    WriteFile(drop / "a.txt", "a");
    WriteFile(drop / "s" / "b.txt", "bb");
    WriteFile(drop / "s" / "t" / "c.txt", "ccc");
    fs::create_directories(drop / "empty");
    TravelDirMgr walker;
    walker.SetBatchPauseMs(0);
    ASSERT_TRUE(walker.Start());

    auto dropOnce = [&] {
        list.addDroppedRoot(drop);
        const size_t before = uploadWindow.Count(WM_TRAVEL_BATCH);
        EXPECT_TRUE(walker.AddJob(window, drop));
        EXPECT_TRUE(loop.RunUntil([&] { return uploadWindow.Count(WM_TRAVEL_BATCH) > before; }, 10000));
        for (const auto& path : list.takeSubFiles(100)) {
            auto useful = list.getUsefulPath(path);
            list.addShaFile(CmpWaitingFile{path, useful.usefulPath, useful.prefix, Hash(path),
                                           static_cast<int64_t>(fs::file_size(path))});
        }
        EXPECT_TRUE(Pass());
        return list.takeUploadList();
    };

    auto first = dropOnce();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_GT(FolderId("Drop/empty"), 0);
    CRequestContext context;
    for (const auto& record : first) {
        EXPECT_EQ(record.fid, 0);
        ASSERT_TRUE(Upload(context, record.path.filename().string(), ReadFile(record.path), record.pid)
                        .Succeeded());
    }
    now += 20000;
    EXPECT_TRUE(dropOnce().empty());
    EXPECT_EQ(History().size(), 3u);
    EXPECT_EQ(list.getToCompareCount(), 0);
    walker.Stop();
}

}  // namespace
}  // namespace zorp::test
