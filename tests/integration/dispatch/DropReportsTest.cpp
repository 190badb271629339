#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "DispatcherFixture.h"
#include "core/Logging.h"

// What the page hears at the end of a drop: every file that was not sent is named as failed
// (or is a kind of entry that is skipped by rule and logged), each batch names its own
// failures and finished files only, and a file that changes while it goes up arrives with
// its new content.

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::Out;

class DropReportsTest : public DispatcherFixture {
protected:
    void TearDown() override {
        COptions::GetInstance().m_speedLimitKiB = 0;
        DispatcherFixture::TearDown();
    }

    std::set<std::string> FailedNamesOfNextReport(uint32_t timeoutMs = 30000) {
        auto failed = RunUntilPageGets(Out::kUploadsFailed, timeoutMs);
        EXPECT_TRUE(failed) << testing::PrintToString(received);
        if (!failed) {
            return {};
        }
        const std::vector<std::string> names = NamesOf(*failed);
        return {names.begin(), names.end()};
    }

    size_t UploadInits() { return server.RequestHeaderLines("uploadInit").size(); }
    size_t ChunkCount() { return server.RequestHeaderLines("upload").size(); }
};

// Names that are not UTF-8, folders the server would split at a backslash, links that lead
// out of the dropped folder and (when the test is not root) unreadable folders are not sent
// and are named as failed; FIFOs and links to folders are skipped by rule, named in the log
// only. Everything else of the folder goes up, a link to a file inside it too.
TEST_F(DropReportsTest, AWalkNamesEveryEntryItDoesNotSend) {
    logging::ScopedLogCapture log;
    const fs::path drop = local / "Drop";
    WriteFile(drop / "ok.txt", "ok");
    WriteFile(drop / "bad\xff.txt", "not utf-8");
    WriteFile(drop / "a\\b" / "in.txt", "would land in a/b");
    WriteFile(local / "secret.key", "private");
    fs::create_symlink(local / "secret.key", drop / "outside.lnk");
    fs::create_symlink(drop / "ok.txt", drop / "inside.lnk");
    fs::create_directory_symlink(local / "Drop" / "a\\b", drop / "folder.lnk");
    ASSERT_EQ(mkfifo((drop / "pipe").c_str(), 0600), 0);
    std::set<std::string> expected{"bad\xEF\xBF\xBD.txt", "a\\b", "outside.lnk"};
    if (geteuid() != 0) {
        WriteFile(drop / "locked" / "hidden.txt", "hidden");
        fs::permissions(drop / "locked", fs::perms::none);
        expected.insert("locked");
    }

    RequestUpload({drop});
    EXPECT_EQ(FailedNamesOfNextReport(), expected);
    std::error_code ignored;  // given back so that the temporary folder can go
    fs::permissions(drop / "locked", fs::perms::owner_all, fs::perm_options::replace, ignored);

    const Tree tree = ServerTree(server, targetId);
    EXPECT_EQ(tree, (Tree{{"Drop/", ""}, {"Drop/ok.txt", "ok"}, {"Drop/inside.lnk", "ok"}}));
    EXPECT_TRUE(log.Contains("a symbolic link to a file outside the dropped folder"));
    EXPECT_TRUE(log.Contains("symbolic link to a folder"));
    EXPECT_TRUE(log.Contains("not a regular file"));
}

// A dropped folder whose own name holds a backslash is refused as a whole.
TEST_F(DropReportsTest, ADroppedFolderTheServerWouldSplitIsRefused) {
    WriteFile(local / "x\\y" / "f.txt", "f");
    RequestUpload({local / "x\\y"});
    EXPECT_EQ(FailedNamesOfNextReport(), (std::set<std::string>{"x\\y"}));
    EXPECT_EQ(ServerTree(server, targetId), Tree{});
}

// Failures of an earlier batch are neither named again nor hide this batch's own; a batch
// without failures of its own reports its finished names, each file once.
TEST_F(DropReportsTest, EachBatchReportsItsOwnFailuresAndNamesEachFileOnce) {
    std::vector<fs::path> refused;
    for (int i = 0; i < 6; ++i) {
        refused.push_back(local / ("r\\" + std::to_string(i) + ".txt"));
        WriteFile(refused.back(), "refused " + std::to_string(i));
    }
    RequestUpload(refused);
    EXPECT_EQ(FailedNamesOfNextReport().size(), 5u);
    ASSERT_FALSE(dispatcher().IsBatchBusy());

    WriteFile(local / "good.txt", "good");
    received.clear();
    RequestUpload({local / "good.txt", local / "gone.txt"});
    EXPECT_EQ(FailedNamesOfNextReport(), (std::set<std::string>{"gone.txt"}));

    WriteFile(local / "twice.txt", "twice");
    received.clear();
    RequestUpload({local / "twice.txt", local / "twice.txt"});
    auto finished = RunUntilPageGets(Out::kUploadsFinished);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*finished), std::vector<std::string>{"twice.txt"});
    EXPECT_EQ(CountReceived(Out::kUploadsFailed), 0);
    // The earlier failures stay listed for the user's retry.
    EXPECT_EQ(manager.queue.GetFailedList().size() + manager.queue.GetFailedList2().size(), 6u);
}

// A file rewritten in place while it goes up is hashed again once and sent with its new
// content into the same cloud file; rewritten again during that second upload, it fails at
// once (no automatic retry would send anything else) and is named.
TEST_F(DropReportsTest, AFileChangedDuringItsUploadIsSentWithItsNewContent) {
    COptions::GetInstance().m_speedLimitKiB = 512;
    const size_t size = 8 * 131072;
    const fs::path file = local / "moving.bin";
    WriteFile(file, TestBytes(size, 1));
    RequestUpload({file});
    ASSERT_TRUE(loop.RunUntil([&] { return ChunkCount() >= 1; }, 20000));
    const std::string second = TestBytes(size, 2);
    WriteFile(file, second);
    COptions::GetInstance().m_speedLimitKiB = 0;
    auto finished = RunUntilPageGets(Out::kUploadsFinished, 60000);
    ASSERT_TRUE(finished) << testing::PrintToString(received);
    EXPECT_EQ(NamesOf(*finished), std::vector<std::string>{"moving.bin"});
    const Tree tree = ServerTree(server, targetId);
    ASSERT_EQ(tree.count("moving.bin"), 1u);
    EXPECT_TRUE(tree.at("moving.bin") == second) << "the server holds other bytes";
    EXPECT_EQ(UploadInits(), 2u) << "registered once, and once more for the new content";

    const fs::path other = local / "restless.bin";
    WriteFile(other, TestBytes(size, 3));
    received.clear();
    COptions::GetInstance().m_speedLimitKiB = 512;
    size_t chunksBefore = ChunkCount();
    const size_t initsBefore = UploadInits();
    RequestUpload({other});
    ASSERT_TRUE(loop.RunUntil([&] { return ChunkCount() > chunksBefore; }, 20000));
    WriteFile(other, TestBytes(size, 4));
    ASSERT_TRUE(loop.RunUntil([&] { return UploadInits() == initsBefore + 2; }, 20000));
    chunksBefore = ChunkCount();
    ASSERT_TRUE(loop.RunUntil([&] { return ChunkCount() > chunksBefore; }, 20000));
    WriteFile(other, TestBytes(size, 5));
    COptions::GetInstance().m_speedLimitKiB = 0;
    EXPECT_EQ(FailedNamesOfNextReport(), (std::set<std::string>{"restless.bin"}));
    EXPECT_EQ(UploadInits(), initsBefore + 2) << "no retry after the second change";
    EXPECT_EQ(dispatcher().GetRetryCount(), 0);
}

}  // namespace
}  // namespace zorp::test
