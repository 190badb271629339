#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "UploadFixture.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "support/ScopedTimeScale.h"
#include "upload/CEasyUploader.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class EasyUploaderTest : public UploadFixture {};

TEST_F(EasyUploaderTest, ChunkBoundaries) {
    struct Case {
        size_t size;
        std::vector<int64_t> breakPoints;
    };
    const Case cases[] = {{kChunk, {0}}, {kChunk + 1, {0, static_cast<int64_t>(kChunk)}}};
    uint32_t seed = 1;
    for (const auto& c : cases) {
        ASSERT_TRUE(server.ClearFaults());
        const std::string data = TestBytes(c.size, seed++);
        const CUploadParam param = MakeFile("f" + std::to_string(c.size) + ".bin", data);
        auto end = UploadFile(param);
        ASSERT_TRUE(end) << c.size;
        EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
        EXPECT_EQ(ChunkBreakPoints(), c.breakPoints) << c.size;

        // The end record carries fid and break point; the file id went to the window before
        // the first chunk, the status when the task started.
        const int64_t fid = end->end.fid;
        EXPECT_GT(fid, 0);
        EXPECT_FALSE(end->end.isErrorCode);
        EXPECT_EQ(end->end.breakPoint, static_cast<int64_t>(c.size));
        ASSERT_EQ(taskWindow.infos[param.taskIndex].size(), 1u);
        EXPECT_EQ(taskWindow.infos[param.taskIndex][0].fid, fid);
        ASSERT_EQ(taskWindow.statuses[param.taskIndex].size(), 1u);
        EXPECT_EQ(taskWindow.statuses[param.taskIndex][0].state, TSE_TRANSFERRING);

        EXPECT_EQ(ServerFile(fid)["status"].asInt(), 1);
        EXPECT_EQ(ServerFile(fid)["hash"].asString(), ContentHash(data));
        EXPECT_EQ(Download(fid), data);
    }
}

TEST_F(EasyUploaderTest, ResumesFromStoredFidAndBreakPoint) {
    const std::string data = TestBytes(5 * kChunk + 100, 7);
    const CUploadParam fresh = MakeFile("resume.bin", data);
    // An earlier run got two chunks through.
    CRequestContext context;
    auto init = context.performRequest(RequestKind::kUploadInit,
                                       RequestParams()
                                           .Add("pid", 0)
                                           .AddText("name", "resume.bin")
                                           .Add("size", static_cast<int64_t>(data.size())));
    const int64_t fid = init.File()["id"].asInt64();
    for (int64_t at = 0; at < 2 * static_cast<int64_t>(kChunk); at += kChunk) {
        ASSERT_TRUE(context
                        .performUpload(ChunkParams(fid, at, fresh.hash, data.size()), "resume.bin",
                                       data.data() + at, kChunk)
                        .Succeeded());
    }
    ASSERT_TRUE(server.ClearFaults());

    // Saved rows come back with break point 1: the server is asked for the real one.
    CUploadParam param = fresh;
    param.fid = fid;
    param.breakPoint = 1;
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(RequestCount("uploadInit"), 0u);
    EXPECT_EQ(RequestCount("getFile"), 1u);
    const std::vector<int64_t> rest = {2 * kChunk, 3 * kChunk, 4 * kChunk, 5 * kChunk};
    EXPECT_EQ(ChunkBreakPoints(), rest);
    EXPECT_EQ(Download(fid), data);
}

TEST_F(EasyUploaderTest, SecondCopyOfStoredContentCompletesWithoutItsData) {
    const std::string data = TestBytes(3 * kChunk + 5, 11);
    auto first = UploadFile(MakeFile("original.bin", data));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status.state, TSE_COMPLETED);
    ASSERT_TRUE(server.ClearFaults());

    const CUploadParam copy = MakeFile("copy.bin", data);
    auto end = UploadFile(copy);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_SERVER_COMPLETED);
    EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(140));
    EXPECT_TRUE(ChunkBreakPoints().empty()) << "no byte of the copy is sent";
    EXPECT_NE(end->end.fid, first->end.fid);
    EXPECT_EQ(Download(end->end.fid), data);
}

TEST_F(EasyUploaderTest, ServerCompletingBeforeTheLastChunkEndsAsServerCompleted) {
    const std::string data = TestBytes(4 * kChunk, 12);
    const CUploadParam param = MakeFile("late.bin", data);
    // Registered before the content was stored elsewhere, then resumed.
    CRequestContext context;
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams().Add("pid", 0).AddText("name", "late.bin").Add("size", param.fileSize));
    const int64_t fid = init.File()["id"].asInt64();
    ASSERT_TRUE(context
                    .performUpload(ChunkParams(fid, 0, param.hash, data.size()), "late.bin",
                                   data.data(), kChunk)
                    .Succeeded());
    ASSERT_EQ(Upload(context, "elsewhere.bin", data).File()["status"].asInt(), 1);
    ASSERT_TRUE(server.ClearFaults());

    CUploadParam resumed = param;
    resumed.fid = fid;
    resumed.breakPoint = kChunk;
    auto end = UploadFile(resumed);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_SERVER_COMPLETED);
    EXPECT_EQ(ChunkBreakPoints(), std::vector<int64_t>{static_cast<int64_t>(kChunk)});
    EXPECT_EQ(Download(fid), data);
}

TEST_F(EasyUploaderTest, PauseEndsPausedAndStartResumes) {
    const std::string data = TestBytes(12 * kChunk, 13);
    const CUploadParam param = MakeFile("pause.bin", data);
    COptions::GetInstance().m_speedLimitKiB = 512;  // about four chunks a second
    auto task = StartTask(param);
    ASSERT_TRUE(loop.RunUntil([&] { return ChunkBreakPoints().size() >= 2; }, 10000));
    EXPECT_EQ(task->Pause(), TSE_PAUSING);
    auto end = WaitEnd(param.taskIndex);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_PAUSED);
    EXPECT_EQ(task->GetState(), TSE_PAUSED);
    const int64_t reached = task->GetParam().breakPoint;
    EXPECT_GT(reached, 0);
    EXPECT_LT(reached, param.fileSize);
    EXPECT_EQ(reached % static_cast<int64_t>(kChunk), 0) << "only whole accepted chunks count";
    // A chunk whose body was out when the pause cut its reply off may have been taken: the
    // next start asks the server.
    const int64_t held = ServerFile(end->end.fid)["breakPoint"].asInt64();
    EXPECT_GE(held, reached);
    EXPECT_LE(held, reached + static_cast<int64_t>(kChunk));
    EXPECT_EQ(task->Pause(), TSE_PAUSED) << "pausing a paused task changes nothing";

    COptions::GetInstance().m_speedLimitKiB = 0;
    taskWindow.ends.clear();
    task->SetParam(task->GetParam());
    ASSERT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskIndex);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(Download(end->end.fid), data);
}

TEST_F(EasyUploaderTest, StopEndsDestroyedEvenWhenTheTransferThenFails) {
    const CUploadParam param = MakeFile("stop.bin", TestBytes(6 * kChunk, 14));
    // The registration is held by the server, then refused: the transfer fails after the stop.
    ASSERT_TRUE(server.SetFault("uploadInit", "delay", {{"ms", "1500"}}));
    ASSERT_TRUE(server.SetFault("uploadInit", "status", {{"status", "102012"}}));
    logging::ScopedLogCapture log;
    auto task = StartTask(param);
    ASSERT_TRUE(loop.RunUntil([&] { return RequestCount("uploadInit") == 1; }, 10000));
    EXPECT_EQ(task->Stop(), TSE_DESTROYING);
    EXPECT_EQ(task->Stop(), TSE_DESTROYING) << "a second stop changes nothing";
    ASSERT_TRUE(WaitState(task, TSE_DESTROYED, 10000)) << task->GetState();
    EXPECT_TRUE(log.Contains("PostUpload, explicitly change state from"));
    EXPECT_EQ(task->QueryDestroyed(), static_cast<uint32_t>(TSE_DESTROYED));
    EXPECT_EQ(task->Start(), 2);
    // A stopped task posts no end; give a late one the chance to show up.
    loop.RunFor(300);
    EXPECT_TRUE(taskWindow.ends[param.taskIndex].empty());
    EXPECT_TRUE(ChunkBreakPoints().empty());
}

TEST_F(EasyUploaderTest, StopDuringAChunkEndsDestroyed) {
    const CUploadParam param = MakeFile("stop-chunk.bin", TestBytes(6 * kChunk, 24));
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "3000"}}));
    auto task = StartTask(param);
    ASSERT_TRUE(loop.RunUntil([&] { return RequestCount("upload") == 1; }, 10000));
    EXPECT_EQ(task->Stop(), TSE_DESTROYING);
    ASSERT_TRUE(WaitState(task, TSE_DESTROYED, 10000)) << task->GetState();
    EXPECT_EQ(task->GetParam().breakPoint, 0)
        << "the chunk in flight was abandoned, not waited for";
}

TEST_F(EasyUploaderTest, DroppedConnectionResumesFromTheServersBreakPoint) {
    const std::string data = TestBytes(8 * kChunk + 17, 15);
    const CUploadParam param = MakeFile("drop.bin", data);
    COptions::GetInstance().m_speedLimitKiB = 1024;
    auto task = StartTask(param);
    // A chunk after the first loses its connection half way through its body. The fault is
    // armed once the second chunk has begun: the first is then accepted and cannot take it.
    ASSERT_TRUE(loop.RunUntil([&] { return ChunkBreakPoints().size() >= 2; }, 10000));
    ASSERT_TRUE(server.SetFault("upload", "drop", {{"bytes", "65536"}}));
    auto end = WaitEnd(param.taskIndex);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(RequestCount("getFile"), 1u) << "the retry asked the server where it stands";
    // Every chunk starts where the previous accepted one ended; the dropped one is sent again
    // from the same break point.
    const std::vector<int64_t> sent = ChunkBreakPoints();
    ASSERT_EQ(sent.size(), 10u);
    int repeats = 0;
    for (size_t i = 1; i < sent.size(); ++i) {
        if (sent[i] == sent[i - 1]) {
            ++repeats;
            EXPECT_GT(sent[i], 0);
        } else {
            EXPECT_EQ(sent[i], sent[i - 1] + static_cast<int64_t>(kChunk));
        }
    }
    EXPECT_EQ(repeats, 1);
    EXPECT_EQ(Download(end->end.fid), data);
}

TEST_F(EasyUploaderTest, TransportFailuresAreRetriedUpToTheOptionsCount) {
    COptions::GetInstance().m_retryCount = 2;
    const CUploadParam param = MakeFile("flaky.bin", TestBytes(2 * kChunk, 25));
    ASSERT_TRUE(server.SetFault("upload", "drop", {{"bytes", "1000"}, {"count", "10"}}));
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_FALSE(end->status.text.empty()) << "libcurl's text of the last failure";
    // Two retries, each asking the server where it stands. (libcurl itself sends a request
    // again, once, when a kept-alive connection dies under it.)
    EXPECT_EQ(RequestCount("getFile"), 2u);
    const auto points = ChunkBreakPoints();
    EXPECT_GE(points.size(), 3u);
    EXPECT_LE(points.size(), 6u);
    EXPECT_EQ(std::count(points.begin(), points.end(), 0), static_cast<long>(points.size()));
    EXPECT_FALSE(end->end.isErrorCode);
    EXPECT_EQ(end->end.fid, taskWindow.infos[param.taskIndex].at(0).fid);
}

TEST_F(EasyUploaderTest, StalledServerIsAbandonedAfter15SecondsAndRetried) {
    // The stall limit shortened to libcurl's least, a second.
    ScopedTimeScale shortDelays(0.05);
    const std::string data = TestBytes(2 * kChunk, 16);
    const CUploadParam param = MakeFile("stall.bin", data);
    ASSERT_TRUE(server.SetFault("upload", "stall", {{"ms", "40000"}}));
    const auto start = Clock::now();
    auto end = UploadFile(param);
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_GE(seconds, FixedDelays::Seconds(FixedDelay::kChunkStall) - 0.5)
        << "a quiet server is given the stall limit (15 s at full length)";
    EXPECT_EQ(RequestCount("getFile"), 1u) << "given up and retried, not waited out (40 s)";
    EXPECT_EQ(Download(end->end.fid), data);
}

TEST_F(EasyUploaderTest, NetworkDownFailsTheInitialisationAndTellsTheDispatcher) {
    const CUploadParam param = MakeFile("offline.bin", TestBytes(1000, 17));
    server.Stop();
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(124));
    EXPECT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) >= 1; }, 5000));
    EXPECT_TRUE(taskWindow.infos[param.taskIndex].empty());
}

TEST_F(EasyUploaderTest, NamesUploadExactly) {
    for (const char* name : {"it's here.txt", "two  spaces .txt", "Grüße 文件 ü.txt"}) {
        const std::string data = TestBytes(2000, 18) + name;
        auto end = UploadFile(MakeFile(name, data));
        ASSERT_TRUE(end) << name;
        EXPECT_EQ(end->status.state, TSE_COMPLETED) << name << ": " << end->status.text;
        EXPECT_EQ(ServerFile(end->end.fid)["name"].asString(), name);
        EXPECT_EQ(Download(end->end.fid), data);
    }
}

TEST_F(EasyUploaderTest, HttpErrorsAndRefusedChunksFailWithoutRetry) {
    const std::string data = TestBytes(2 * kChunk, 19);
    {
        ASSERT_TRUE(server.SetFault("upload", "http", {{"code", "503"}}));
        const CUploadParam param = MakeFile("http.bin", data);
        auto end = UploadFile(param);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_NE(end->status.text.find("503"), std::string::npos) << end->status.text;
        EXPECT_EQ(ChunkBreakPoints().size(), 1u);
        EXPECT_FALSE(end->end.isErrorCode);
        EXPECT_EQ(end->end.breakPoint, 0);
    }
    {
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("upload", "status", {{"status", "102008"}}));
        const CUploadParam param = MakeFile("quota.bin", data);
        auto end = UploadFile(param);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_TRUE(end->end.isErrorCode);
        EXPECT_EQ(end->end.fid, 102008);
        EXPECT_EQ(end->end.breakPoint, 102008);
        EXPECT_EQ(ChunkBreakPoints().size(), 1u);
    }
}

// A chunk reply that is no JSON (an envelope cut short, a proxy's error page) is a failed
// chunk: the attempt is retried from the break point the server reports, as often as the
// options allow, and no network error is raised for a server that answers. (Other content for
// each case: content the server holds already would complete at once.)
TEST_F(EasyUploaderTest, ChunkRepliesThatAreNoJsonAreRetriedFromTheServersBreakPoint) {
    std::string data = TestBytes(3 * kChunk, 20);
    const int64_t chunk = static_cast<int64_t>(kChunk);
    {
        // Cut after the server took the first chunk: the retry goes on after it.
        ASSERT_TRUE(server.SetFault("upload", "malformed"));
        auto end = UploadFile(MakeFile("garbled.bin", data));
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
        EXPECT_EQ(RequestCount("getFile"), 1u) << "the retry asks for the break point";
        EXPECT_EQ(ChunkBreakPoints(), (std::vector<int64_t>{0, chunk, 2 * chunk}));
        EXPECT_EQ(Download(end->end.fid), data);
    }
    {
        // A page instead of the server's reply: the chunk did not arrive and goes again.
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("upload", "html", {{"count", "2"}}));
        data = TestBytes(3 * kChunk, 21);
        auto end = UploadFile(MakeFile("proxied.bin", data));
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
        EXPECT_EQ(ChunkBreakPoints(), (std::vector<int64_t>{0, 0, 0, chunk, 2 * chunk}));
        EXPECT_EQ(Download(end->end.fid), data);
    }
    {
        // Pages for ever: failed once the retries are used up.
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("upload", "html", {{"count", "1000"}}));
        data = TestBytes(3 * kChunk, 22);
        auto end = UploadFile(MakeFile("walled.bin", data));
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(123));
        EXPECT_EQ(ChunkBreakPoints().size(), 1u + 5u) << "once, and the options' five retries";
    }
    loop.RunFor(50);
    EXPECT_EQ(recorder.Count(WM_NETWORK_ERROR), 0u);
}

TEST_F(EasyUploaderTest, UnreadableRepliesFailCleanly) {
    const std::string data = TestBytes(3 * kChunk, 20);
    ASSERT_TRUE(server.SetFault("uploadInit", "malformed"));
    auto end = UploadFile(MakeFile("garbled-init.bin", data));
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(124));
    EXPECT_TRUE(ChunkBreakPoints().empty());
}

// "status" 1 makes the file complete; the size and the hash of the reply's record count only
// where the record carries them.
TEST_F(EasyUploaderTest, TheLastChunkCompletesByStatusWhateverMembersTheReplyLeavesOut) {
    uint32_t seed = 24;
    for (const std::string field : {"size", "hash"}) {
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("upload", "omit", {{"field", field}, {"count", "1000"}}));
        const std::string data = TestBytes(2 * kChunk + 9, seed++);
        auto end = UploadFile(MakeFile("no-" + field + ".bin", data));
        ASSERT_TRUE(end) << field;
        EXPECT_EQ(end->status.state, TSE_COMPLETED) << field << ": " << end->status.text;
        EXPECT_EQ(ChunkBreakPoints().size(), 3u) << field;
        EXPECT_EQ(RequestCount("getFile"), 0u) << field << ": nothing to check at the end";
        EXPECT_EQ(Download(end->end.fid), data) << field;
    }
}

// A completion before the last byte went out: trusted when the record carries our hash;
// otherwise the file information is asked once, and only our size and hash there count.
TEST_F(EasyUploaderTest, AnEarlyCompletionWithoutOurHashIsCheckedWithTheFileInformation) {
    const std::string data = TestBytes(4 * kChunk, 26);
    auto first = UploadFile(MakeFile("stored.bin", data));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status.state, TSE_COMPLETED);
    {
        // An instant upload whose reply leaves the hash out: the server holds our content.
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("uploadInit", "omit", {{"field", "hash"}}));
        auto end = UploadFile(MakeFile("copy.bin", data));
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_SERVER_COMPLETED) << end->status.text;
        EXPECT_EQ(RequestCount("getFile"), 1u);
        EXPECT_TRUE(ChunkBreakPoints().empty());
    }
    {
        // Neither reply shows our hash: not taken as done.
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("uploadInit", "omit", {{"field", "hash"}}));
        ASSERT_TRUE(server.SetFault("getFile", "omit", {{"field", "hash"}}));
        auto end = UploadFile(MakeFile("unproven.bin", data));
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(127));
        EXPECT_EQ(RequestCount("getFile"), 1u) << "asked once";
    }
    {
        // A confused server calls new content complete after its first chunk, without a hash:
        // the server holds one chunk, and zorp does not say otherwise.
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("upload", "claimcomplete"));
        ASSERT_TRUE(server.SetFault("upload", "omit", {{"field", "hash"}}));
        const std::string fresh = TestBytes(4 * kChunk, 27);
        const CUploadParam param = MakeFile("claimed.bin", fresh);
        auto end = UploadFile(param);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_EQ(ChunkBreakPoints(), std::vector<int64_t>{0});
        EXPECT_EQ(RequestCount("getFile"), 1u);
        ASSERT_FALSE(taskWindow.infos[param.taskIndex].empty());
        EXPECT_NE(ServerFile(taskWindow.infos[param.taskIndex][0].fid)["status"].asInt(), 1);
    }
}

TEST_F(EasyUploaderTest, BreakPointsOutsideTheFileFailCleanly) {
    const std::string data = TestBytes(2 * kChunk, 21);
    for (const std::string& point : {std::to_string(2 * kChunk + 1), std::string("-5")}) {
        ASSERT_TRUE(server.ClearFaults());
        ASSERT_TRUE(server.SetFault("uploadInit", "breakpoint", {{"breakPoint", point}}));
        auto end = UploadFile(MakeFile("bp" + point + ".bin", data));
        ASSERT_TRUE(end) << point;
        EXPECT_EQ(end->status.state, TSE_FAILED) << point;
        EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(124));
        EXPECT_TRUE(ChunkBreakPoints().empty()) << point;
    }
    // The same from the file information of a resumed task.
    ASSERT_TRUE(server.ClearFaults());
    CUploadParam param = MakeFile("bp-info.bin", data);
    CRequestContext context;
    param.fid = context
                    .performRequest(RequestKind::kUploadInit, RequestParams()
                                                                  .Add("pid", 0)
                                                                  .AddText("name", param.name)
                                                                  .Add("size", param.fileSize))
                    .File()["id"]
                    .asInt64();
    param.breakPoint = 1;
    ASSERT_TRUE(server.SetFault("getFile", "breakpoint", {{"breakPoint", "-1"}}));
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->status.text, CMultiLanguageMgr::GetInstance().LoadString(125));
    EXPECT_TRUE(ChunkBreakPoints().empty());
}

TEST_F(EasyUploaderTest, WrongHashIsNeverReportedAsSuccess) {
    const std::string data = TestBytes(2 * kChunk + 3, 22);
    CUploadParam param = MakeFile("wronghash.bin", data);
    param.hash = ContentHash(TestBytes(2 * kChunk + 3, 23));  // well formed, other content
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_TRUE(end->end.isErrorCode);
    EXPECT_EQ(end->end.fid, 102006);  // the server's hash mismatch
    const auto points = ChunkBreakPoints();
    ASSERT_FALSE(points.empty());
    auto init = ServerFile(taskWindow.infos[param.taskIndex].at(0).fid);
    EXPECT_NE(init["status"].asInt(), 1);
}

// Changes to the local file while it goes up: the upload fails with a clear status text, every
// chunk sent starts at the break point the server holds, and the server never gets a complete
// file of mixed content.
class ChangingFileTest : public UploadFixture {
protected:
    // Starts a slow upload of 16 chunks and runs `change` once two chunks went through.
    TaskWindow::End UploadWhileChanging(const std::string& name,
                                        const std::function<void(const fs::path&)>& change) {
        data = TestBytes(16 * kChunk, 30);
        param = MakeFile(name, data);
        COptions::GetInstance().m_speedLimitKiB = 512;
        auto task = StartTask(param);
        EXPECT_TRUE(loop.RunUntil([&] { return ChunkBreakPoints().size() >= 2; }, 10000));
        change(param.LocalPath());
        auto end = WaitEnd(param.taskIndex);
        EXPECT_TRUE(end);
        return end.value_or(TaskWindow::End{});
    }

    void ExpectConsistentServer(const TaskWindow::End& end) {
        const auto points = ChunkBreakPoints();
        for (size_t i = 0; i < points.size(); ++i) {
            EXPECT_EQ(points[i], static_cast<int64_t>(i * kChunk)) << "chunk " << i;
        }
        EXPECT_LT(points.size(), 16u);
        const Json::Value file = ServerFile(end.end.fid);
        EXPECT_NE(file["status"].asInt(), 1);
        EXPECT_EQ(file["breakPoint"].asInt64(), static_cast<int64_t>(points.size() * kChunk));
    }

    std::string data;
    CUploadParam param;
};

TEST_F(ChangingFileTest, GrowingShrinkingOrVanishingFileFails) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        std::string text;
    };
    const Case cases[] = {
        {"grows.bin",
         [](const fs::path& path) {
             std::ofstream(path, std::ios::binary | std::ios::app) << "more";
         },
         "File changed during upload"},
        {"shrinks.bin", [](const fs::path& path) { fs::resize_file(path, 3 * kChunk + 10); },
         "File changed during upload"},
        {"vanishes.bin", [](const fs::path& path) { fs::remove(path); },
         CMultiLanguageMgr::GetInstance().LoadString(135)},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(server.ClearFaults());
        auto end = UploadWhileChanging(c.name, c.change);
        EXPECT_EQ(end.status.state, TSE_FAILED) << c.name;
        EXPECT_EQ(end.status.text, c.text) << c.name;
        ExpectConsistentServer(end);
    }
}

TEST_F(ChangingFileTest, FileChangedSinceItWasHashedFailsBeforeAnyRequest) {
    data = TestBytes(kChunk, 31);
    param = MakeFile("rehash.bin", data);
    // Rewritten between the hash and the upload.
    WriteFile(param.LocalPath(), data + "x");
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->status.text, "File changed during upload");
    EXPECT_EQ(RequestCount("uploadInit"), 0u);
}

}  // namespace
}  // namespace zorp::test
