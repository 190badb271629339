// The cache file of a download: its names, its growth only at the end, and the content hash
// built from the bytes it holds, whether they were written in this run or an earlier one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "download/DownloadCache.h"
#include "download/UnfinishedDownloadsSaver.h"
#include "support/ContentHash.h"
#include "support/TempDir.h"
#include "upload/ComputeShaHandler.h"
#include "upload/QuorvaFileHasher.h"

namespace {

namespace fs = std::filesystem;
using zorp::test::ContentHash;
using zorp::test::TempDir;
using zorp::test::TestBytes;

TEST(DownloadCacheTest, NamesFollowTheUrlHashAndStayWithinAFileName) {
    // hash = hash * 131 + byte (signed), 32-bit, top bit cleared.
    uint32_t expected = 0;
    for (char c : std::string("ab\xE9")) {
        expected = expected * 131u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    }
    EXPECT_EQ(DownloadCache::UrlHash("ab\xE9"), expected & 0x7FFFFFFFu);
    EXPECT_EQ(DownloadCache::UrlHash(""), 0u);
    EXPECT_EQ(DownloadCache::FolderFor("/w", "report.doc", "u"),
              fs::path("/w/dnld/report.doc_" + std::to_string(DownloadCache::UrlHash("u"))));
    EXPECT_EQ(DownloadCache(fs::path("/w/f"), "report.doc").File(), fs::path("/w/f/report.doc_quorva"));

    // A long name is cut, never inside a character.
    const std::string longName = std::string(199, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(DownloadCache::NamePart(longName), std::string(199, 'a'));
    EXPECT_EQ(DownloadCache::NamePart("short"), "short");
}

TEST(DownloadCacheTest, TheHashCoversAnEarlierRunsBytesAndThisRunsBlocks) {
    TempDir dir;
    const std::string content = TestBytes(3 * QuorvaFileHasher::kBlockSize + 12345, 4);
    const size_t firstRun = QuorvaFileHasher::kBlockSize + 999;  // not on a block boundary
    {
        DownloadCache cache(dir / "c", "f.bin");
        ASSERT_TRUE(cache.Prepare());
        EXPECT_EQ(cache.Size(), 0);
        ASSERT_TRUE(cache.Open());
        ASSERT_TRUE(cache.Append(content.data(), firstRun));
        EXPECT_EQ(cache.Size(), static_cast<int64_t>(firstRun));
    }
    // A later run finds the bytes, hashes them once, and appends the rest in odd pieces.
    DownloadCache cache(dir / "c", "f.bin");
    ASSERT_TRUE(cache.Prepare());
    EXPECT_EQ(cache.Size(), static_cast<int64_t>(firstRun));
    cache.SetHashing(true);
    ASSERT_TRUE(cache.HashPrefix());
    ASSERT_TRUE(cache.Open());
    for (size_t at = firstRun; at < content.size(); at += 7000) {
        const size_t piece = std::min<size_t>(7000, content.size() - at);
        ASSERT_TRUE(cache.Append(content.data() + at, piece));
    }
    cache.Close();
    EXPECT_EQ(cache.FinishHash(), ContentHash(content));
    EXPECT_EQ(zorp::test::ReadFile(cache.File()), content);

    // Emptied, it starts over with an empty hash.
    ASSERT_TRUE(cache.Truncate());
    EXPECT_EQ(cache.Size(), 0);
    EXPECT_EQ(fs::file_size(cache.File()), 0u);
    EXPECT_EQ(cache.FinishHash(), "");
    ASSERT_TRUE(cache.Remove());
    EXPECT_FALSE(fs::exists(dir / "c"));
}

TEST(DownloadCacheTest, TheUploadHashAndTheIncrementalHashAgreeForAnyPieces) {
    TempDir dir;
    for (size_t size : {size_t{1}, QuorvaFileHasher::kBlockSize, QuorvaFileHasher::kBlockSize + 1,
                        5 * QuorvaFileHasher::kBlockSize - 3}) {
        SCOPED_TRACE(size);
        const std::string content = TestBytes(size, static_cast<uint32_t>(size));
        QuorvaFileHasher hasher;
        for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 1) {
            hasher.Update(content.data() + at, std::min(piece, size - at));
        }
        const std::string incremental = hasher.Finish();
        EXPECT_EQ(incremental, ContentHash(content));
        zorp::test::WriteFile(dir / "f", content);
        std::string fileHash;
        int64_t fileSize = 0;
        ComputeShaHandler::GenerateQuorvaFileHash(dir / "f", fileHash, fileSize, nullptr);
        EXPECT_EQ(fileHash, incremental);
    }
    QuorvaFileHasher empty;
    EXPECT_EQ(empty.Finish(), "") << "no empty file has a hash";
}

TEST(DownloadCacheTest, AStoredRowCarriesTheHashBehindTheAddress) {
    const std::string url = "http://download.localhost:1/qcd/fileshare/downloadFileAction.json?fid=7";
    std::string back;
    std::string hash;
    UnfinishedDownloadsSaver::ReadRowUrl(UnfinishedDownloadsSaver::RowUrl(url, "abc123"), back, hash);
    EXPECT_EQ(back, url);
    EXPECT_EQ(hash, "abc123");
    EXPECT_EQ(UnfinishedDownloadsSaver::RowUrl(url, ""), url);
    UnfinishedDownloadsSaver::ReadRowUrl(url, back, hash);
    EXPECT_EQ(back, url);
    EXPECT_EQ(hash, "") << "rows of older builds read as they are";
}

}  // namespace
