// The page's upload request end to end: zorp run as a black box on its own link port and its
// own user folders, the page played over the link, zorp-cloud with faults as the server.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "UploadE2EFixture.h"
#include "ZorpProcess.h"
#include "cloud/CRequestContext.h"
#include "cloud/CloudFileEntry.h"
#include "core/DBWrapper.h"
#include "core/FixedDelays.h"
#include "core/Options.h"
#include "link/LinkProtocol.h"
#include "support/CloudServer.h"
#include "support/CloudTree.h"
#include "support/ContentHash.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using LinkProtocol::In;
using LinkProtocol::Out;

class UploadE2ETest : public UploadE2EFixture {};

TEST_F(UploadE2ETest, ADropLandsAsTheSameTreeAndAgainUploadsNothing) {
    const int64_t target = CreateFolder("Target");
    ASSERT_GT(target, 0);
    WriteFile(local / "Album" / "cover.jpg", TestBytes(1 << 20, 1));
    WriteFile(local / "Album" / "tracks" / "01.ogg", TestBytes(700000, 2));
    WriteFile(local / "Album" / "tracks" / "bonus" / "02.ogg", TestBytes(5000, 3));
    WriteFile(local / "Album" / "tracks" / "note's \"quoted\".txt", "odd name");
    fs::create_directories(local / "Album" / "empty");
    WriteFile(local / "single.txt", "one file on its own");

    auto zorp = StartZorp();
    RequestUpload(*zorp, {local / "Album", local / "single.txt"}, target);
    auto finished =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(60));
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    ASSERT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    EXPECT_EQ(NamesOf(*finished).size(), 1u) << "the file that ended as the last one remaining";
    std::map<std::string, std::string> expected = LocalTree(local / "Album", "Album/");
    expected["single.txt"] = "one file on its own";
    EXPECT_EQ(ServerTree(server, target), expected);

    // Dropped again: nothing is sent, and the page hears that the batch, begun after the one
    // before had ended, ended (simple 11).
    const int inits = RequestCount("uploadInit");
    const int chunks = RequestCount("upload");
    seen.clear();
    RequestUpload(*zorp, {local / "Album", local / "single.txt"}, target);
    auto nothing = WaitForPage(
        *zorp,
        {Out::kUploadsFinished, Out::kUploadsFailed, Out::kNothingToUpload, Out::kBatchInterrupted},
        std::chrono::seconds(60));
    ASSERT_TRUE(nothing) << testing::PrintToString(seen);
    EXPECT_EQ(LinkTestPage::TypeOf(*nothing), Out::kBatchInterrupted) << *nothing;
    EXPECT_EQ(RequestCount("uploadInit"), inits);
    EXPECT_EQ(RequestCount("upload"), chunks);
    EndZorp(zorp);
}

TEST_F(UploadE2ETest, ATransferFailureIsRetriedThreeTimesThenReportedWithFiveNames) {
    const int64_t target = CreateFolder("Target");
    std::vector<fs::path> files;
    for (int i = 0; i < 7; ++i) {
        files.push_back(local / ("f" + std::to_string(i) + ".bin"));
        WriteFile(files.back(), TestBytes(3000 + i, 20 + i));
    }
    ASSERT_TRUE(server.SetFault("upload", "status", {{"status", "102012"}, {"count", "1000"}}));
    auto zorp = StartZorp();
    const auto start = Clock::now();
    RequestUpload(*zorp, files, target);
    // A round ends with its seventh refused chunk; the next one begins with its first upload
    // init. The gap is measured from before the last look that did not see the round's end
    // to after the first look that saw the next round, so it is never shorter than the real one.
    std::vector<Clock::duration> gaps;
    for (int round = 1; round <= 3; ++round) {
        auto endedAfter = Clock::now();
        ASSERT_TRUE(WaitFor(
            [&] {
                const auto at = Clock::now();
                if (RequestCount("upload") >= 7 * round) {
                    return true;
                }
                endedAfter = at;
                return false;
            },
            std::chrono::seconds(30)))
            << "round " << round << ": " << zorp->Stderr();
        ASSERT_TRUE(WaitFor([&] { return RequestCount("uploadInit") > 7 * round; },
                            std::chrono::seconds(30)))
            << "retry " << round << ": " << zorp->Stderr();
        gaps.push_back(Clock::now() - endedAfter);
    }
    auto failed =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(90));
    ASSERT_TRUE(failed) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*failed), Out::kUploadsFailed);
    EXPECT_EQ(NamesOf(*failed).size(), 5u);
    // Once, then after one, two and three retry steps (5, 10 and 15 seconds at full length;
    // the window timers may fire a little early).
    const auto step = zorp->Delay(FixedDelay::kRetryStep);
    EXPECT_GE(Clock::now() - start, 6 * step * 9 / 10);
    for (int retry = 1; retry <= 3; ++retry) {
        EXPECT_GE(gaps[retry - 1], retry * step * 9 / 10) << "retry " << retry;
    }
    EXPECT_EQ(RequestCount("uploadInit"), 7 * 4);
    EndZorp(zorp);
}

// The server goes away mid-upload: zorp goes offline (the page hears that transfers ended),
// checks the network until three checks in a row succeed, and then finishes the upload.
TEST_F(UploadE2ETest, TheServerGoingAwayTakesZorpOfflineAndItComesBackToFinish) {
    const int64_t target = CreateFolder("Target");
    const fs::path file = local / "video.mp4";
    WriteFile(file, TestBytes(24 << 20, 4));
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "30"}, {"count", "1000"}}));
    // With the verbose lines, which tell each network check's result.
    WriteFile(home / "config" / "zorp" / "log.properties", R"({"enable": 1})");
    auto zorp = StartZorp();
    RequestUpload(*zorp, {file}, target);
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadCreated}, std::chrono::seconds(30)))
        << testing::PrintToString(seen);
    ASSERT_TRUE(
        WaitFor([&] { return ServerBreakPoint(target) >= (1 << 20); }, std::chrono::seconds(30)))
        << "chunks arrive";
    server.Stop(true);
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kAllEnded}, std::chrono::seconds(60)))
        << "offline: " << testing::PrintToString(seen) << zorp->Stderr();
    // A failed check or two.
    const std::regex failedCheck(R"(CheckNetwork - result [1-9])");
    ASSERT_TRUE(WaitFor([&] { return CountMatches(LatestLog(), failedCheck) >= 2; },
                        std::chrono::seconds(30)))
        << LatestLog();
    ASSERT_TRUE(server.Restart()) << server.Error();
    const auto back = Clock::now();
    auto finished =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(120));
    ASSERT_TRUE(finished) << testing::PrintToString(seen) << zorp->Stderr();
    EXPECT_EQ(LinkTestPage::TypeOf(*finished), Out::kUploadsFinished) << *finished;
    // Three good checks, a network recheck apart (ten seconds at full length; the window
    // timers may fire a little early), before anything moves again.
    EXPECT_GE(Clock::now() - back, 2 * zorp->Delay(FixedDelay::kNetworkRecheck) * 9 / 10);
    auto entries = Children(target);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].IsComplete());
    EXPECT_TRUE(SameBytes(entries[0].id, file));
    EndZorp(zorp);
}

// The page's quit stores the unfinished uploads; the next start finishes them by itself.
TEST_F(UploadE2ETest, ThePagesQuitSavesTheUnfinishedUploadsAndARestartFinishesThem) {
    const int64_t target = CreateFolder("Target");
    for (int i = 0; i < 4; ++i) {
        WriteFile(local / "Docs" / ("d" + std::to_string(i) + ".bin"), TestBytes(3 << 20, 40 + i));
    }
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "20"}, {"count", "1000"}}));
    auto zorp = StartZorp();
    RequestUpload(*zorp, {local / "Docs"}, target);
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadCreated}, std::chrono::seconds(30)))
        << testing::PrintToString(seen);
    // The quit comes while chunks are under way.
    ASSERT_TRUE(WaitFor([&] { return ChunkTargets().size() >= 4; }, std::chrono::seconds(30)));
    EndZorp(zorp);

    seen.clear();
    zorp = StartZorp();
    ASSERT_TRUE(
        WaitFor([&] { return ServerTree(server, target) == LocalTree(local / "Docs", "Docs/"); },
                std::chrono::seconds(60)))
        << testing::PrintToString(seen) << zorp->Stderr();
    // Resumed from the server's break points: every chunk went once, except the ones the quit
    // cut off in flight (at most one per running upload).
    const std::vector<std::string> chunks = ChunkTargets();
    EXPECT_EQ(std::set<std::string>(chunks.begin(), chunks.end()).size(), 4u * 24u);
    EXPECT_LE(chunks.size(), 4u * 24u + 3u);
    EndZorp(zorp);
}

// A page that leaves in the middle of a batch ends zorp the way its quit does; the next
// start picks the batch up again and the tree arrives whole.
TEST_F(UploadE2ETest, APageThatDisconnectsMidBatchLosesNothing) {
    const int64_t target = CreateFolder("Target");
    for (int i = 0; i < 30; ++i) {
        WriteFile(local / "Tree" / ("sub" + std::to_string(i % 3)) / ("t" + std::to_string(i)),
                  TestBytes(200000, 60 + i));
    }
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "50"}, {"count", "1000"}}));
    auto zorp = StartZorp();
    RequestUpload(*zorp, {local / "Tree"}, target);
    ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadCreated}, std::chrono::seconds(30)))
        << testing::PrintToString(seen);
    zorp->Page().Abort();
    auto exit = zorp->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(exit) << "a page gone is a quit";
    EXPECT_EQ(exit->code, 0);
    ASSERT_TRUE(server.ClearFaults());

    zorp = StartZorp();
    ASSERT_TRUE(
        WaitFor([&] { return ServerTree(server, target) == LocalTree(local / "Tree", "Tree/"); },
                std::chrono::seconds(60)))
        << zorp->Stderr();
    EndZorp(zorp);
}

// Paths that do not exist and files that cannot be read are not sent; the page hears their
// names with the failed uploads; the readable rest arrives.
TEST_F(UploadE2ETest, MissingAndUnreadableFilesAreReportedAndTheRestArrives) {
    const int64_t target = CreateFolder("Target");
    WriteFile(local / "ok.txt", "fine");
    WriteFile(local / "secret.txt", "no one may read this");
    ASSERT_EQ(chmod((local / "secret.txt").c_str(), 0), 0);
    auto zorp = StartZorp(true);
    RequestUpload(*zorp, {local / "ok.txt", local / "secret.txt", local / "nowhere.txt"}, target);
    auto failed =
        WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed}, std::chrono::seconds(30));
    ASSERT_TRUE(failed) << testing::PrintToString(seen);
    EXPECT_EQ(LinkTestPage::TypeOf(*failed), Out::kUploadsFailed);
    const auto names = NamesOf(*failed);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"secret.txt", "nowhere.txt"}));
    EXPECT_EQ(ServerTree(server, target), (std::map<std::string, std::string>{{"ok.txt", "fine"}}));
    EndZorp(zorp);
}

// Kill -9 in the middle of a 200 MiB upload, then a restart: the upload resumes by itself from
// the server's break point and the stored file is byte-identical. Ten times in a row, killed
// at a different moment each time, with different content each time (so the server cannot
// complete it from content it already holds).
TEST_F(UploadE2ETest, KillNineMidUploadThenRestartResumesFromTheBreakPointTenTimes) {
    const int64_t target = CreateFolder("Target");
    const fs::path file = local / "disk.img";
    fs::create_directories(local);
    {
        std::ofstream out(file, std::ios::binary);
        const std::string block = TestBytes(1 << 20, 99);
        for (int i = 0; i < 200; ++i) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            out.put(static_cast<char>(i));  // no two MiB alike
        }
    }
    std::mt19937 random(20261208);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            std::fstream patch(file, std::ios::binary | std::ios::in | std::ios::out);
            const std::string head = "round " + std::to_string(round) + " of the kill test";
            patch.write(head.data(), static_cast<std::streamsize>(head.size()));
        }
        // About 50 MB/s for the first 125 MiB: the kill lands well before the end.
        ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "2"}, {"count", "1000"}}));
        seen.clear();
        auto zorp = StartZorp();
        RequestUpload(*zorp, {file}, target);
        ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadCreated}, std::chrono::seconds(60)))
            << testing::PrintToString(seen) << zorp->Stderr();
        // The kill comes once the stored rows hold the upload, at a different break point of
        // the server each round, between 4 and 40 MiB in.
        const int64_t killAt = static_cast<int64_t>(4 + random() % 37) << 20;
        ASSERT_TRUE(WaitFor(
            [&] {
                return UnfinishedUploadStored("disk.img") && ServerBreakPoint(target) >= killAt;
            },
            std::chrono::seconds(60)))
            << zorp->Stderr();
        zorp->Signal(SIGKILL);
        auto exit = zorp->Wait(std::chrono::seconds(10));
        ASSERT_TRUE(exit);
        ASSERT_TRUE(exit->signalled);
        // A chunk cut off by the kill is dropped by the server, one that had arrived whole is
        // stored: the break point is read once the server has finished with both.
        ASSERT_TRUE(WaitFor([&] { return ServerConnections() == 0; }, std::chrono::seconds(10)))
            << "the server lets go of the killed copy's connections";
        auto entries = Children(target);
        ASSERT_EQ(entries.size(), 1u);
        ASSERT_FALSE(entries[0].IsComplete()) << "killed mid-upload";
        const int64_t breakPoint = entries[0].breakPoint;
        EXPECT_GT(breakPoint, 0);
        // Also forgets the logged requests: the first chunk logged from here on is the first
        // after the restart (the log keeps more requests than the rest of the upload makes).
        ASSERT_TRUE(server.ClearFaults());

        zorp = StartZorp();
        std::vector<std::string> chunks;
        ASSERT_TRUE(
            WaitFor([&] { return !(chunks = ChunkTargets()).empty(); }, std::chrono::seconds(60)))
            << zorp->Stderr();
        // The first chunk after the restart starts where the server stood.
        const std::regex breakPointParameter("[?&]breakPoint=([0-9]+)");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(chunks.front(), match, breakPointParameter))
            << chunks.front();
        EXPECT_EQ(std::stoll(match[1].str()), breakPoint);
        ASSERT_TRUE(WaitFor(
            [&] {
                auto now = Children(target);
                return now.size() == 1 && now[0].IsComplete();
            },
            std::chrono::seconds(120)))
            << zorp->Stderr();
        EXPECT_TRUE(SameBytes(Children(target)[0].id, file));
        // The page quits once zorp has told it the upload ended: a quit while the last reply
        // is on its way stores the upload as unfinished, and the next round would find it.
        ASSERT_TRUE(WaitForPage(*zorp, {Out::kUploadsFinished, Out::kUploadsFailed},
                                std::chrono::seconds(60)))
            << testing::PrintToString(seen) << zorp->Stderr();
        EndZorp(zorp);
    }
}

}  // namespace
}  // namespace zorp::test
