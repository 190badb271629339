#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/WriteBehindFile.h"
#include "support/ScopedTmpfs.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using platform::WriteBehindFile;
using zorp::test::ReadFile;
using zorp::test::ScopedTmpfs;
using zorp::test::TempDir;

namespace {

constexpr size_t kPiece = 131072;
constexpr int64_t kWindow = WriteBehindFile::kWindow;

std::string Bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// Writes `bytes` from `from` on in pieces, each followed by the disk work, as an upload does.
void WriteInPieces(WriteBehindFile& file, const std::string& bytes, size_t from) {
    for (size_t at = from; at < bytes.size(); at += kPiece) {
        const size_t take = std::min(kPiece, bytes.size() - at);
        ASSERT_TRUE(file.Write(static_cast<int64_t>(at), bytes.data() + at, take)) << at;
        file.SendBehind();
    }
}

// How many of the pages of [from, from + length) are in memory.
size_t ResidentPages(const fs::path& path, int64_t from, int64_t length) {
    const long page = sysconf(_SC_PAGESIZE);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        return SIZE_MAX;
    }
    void* map =
        mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fileno(file), from);
    std::fclose(file);
    if (map == MAP_FAILED) {
        return SIZE_MAX;
    }
    std::vector<unsigned char> resident(static_cast<size_t>((length + page - 1) / page));
    size_t count = SIZE_MAX;
    if (mincore(map, static_cast<size_t>(length), resident.data()) == 0) {
        count = 0;
        for (unsigned char r : resident) {
            count += r & 1;
        }
    }
    munmap(map, static_cast<size_t>(length));
    return count;
}

bool OnMemoryFileSystem(const fs::path& path) {
    struct statfs info {};
    return statfs(path.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

}  // namespace

TEST(WriteBehindFileTest, ALongStreamReadsBackWholeAndLeavesMemoryAWindowBehindTheWriter) {
    TempDir dir;
    const fs::path path = dir / "stream.part";
    // Pieces that do not divide the window, and a tail that ends inside one.
    const std::string bytes = Bytes(5 * kWindow + 3 * kPiece + 1234, 1);
    {
        WriteBehindFile file;
        ASSERT_TRUE(file.Open(path, 0));
        WriteInPieces(file, bytes, 0);
        if (OnMemoryFileSystem(dir.path())) {
            std::cout
                << "the test folder is on tmpfs, whose pages are the file: residency not checked\n";
        } else {
            EXPECT_EQ(ResidentPages(path, 0, 4 * kWindow), 0u)
                << "windows a window behind the writer are on the disk and out of memory";
        }
    }
    EXPECT_EQ(ReadFile(path), bytes);
}

TEST(WriteBehindFileTest, OpeningAgainCutsAfterTheKeptBytesAndWritesOverWhatFollowed) {
    TempDir dir;
    const fs::path path = dir / "resumed.part";
    const std::string first = Bytes(3 * kWindow, 2);
    {
        WriteBehindFile file;
        ASSERT_TRUE(file.Open(path, 0));
        WriteInPieces(file, first, 0);
    }
    // Kept: a break point inside the second window; the rest comes with other content, as
    // after a chunk that was cut, then sent again.
    const size_t keep = kWindow + 5 * kPiece;
    std::string second = first.substr(0, keep) + Bytes(2 * kWindow + 777, 3);
    WriteBehindFile file;
    ASSERT_TRUE(file.Open(path, static_cast<int64_t>(keep)));
    EXPECT_EQ(fs::file_size(path), keep);
    WriteInPieces(file, second, keep);
    EXPECT_EQ(ReadFile(path), second);
    // Writing over stored bytes behind the writer (a restarted chunk) stays exact as well.
    const std::string patch = Bytes(kPiece, 4);
    ASSERT_TRUE(file.Write(kWindow, patch.data(), patch.size()));
    file.SendBehind();
    second.replace(kWindow, patch.size(), patch);
    EXPECT_EQ(ReadFile(path), second);
}

TEST(WriteBehindFileTest, AFullDiskFailsTheWriteWithItsErrorAndAMissingFolderFailsTheOpen) {
    WriteBehindFile missing;
    EXPECT_FALSE(missing.Open("/nonexistent-zorp-folder/a.part", 0));
    EXPECT_EQ(missing.LastError(), ENOENT);
    EXPECT_FALSE(missing.Write(0, "x", 1));

    TempDir dir;
    ScopedTmpfs disk(dir / "small", 2 << 20);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Error();
    }
    WriteBehindFile file;
    ASSERT_TRUE(file.Open(disk.Path() / "full.part", 0));
    const std::string bytes = Bytes(kPiece, 5);
    bool failed = false;
    for (int64_t at = 0; at < 4 * (2 << 20) && !failed; at += static_cast<int64_t>(kPiece)) {
        failed = !file.Write(at, bytes.data(), bytes.size());
        file.SendBehind();
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(file.LastError(), ENOSPC);
}
