#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/SequentialFile.h"
#include "support/TempDir.h"
#include "upload/ReadAheadReader.h"

namespace fs = std::filesystem;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>(i * 131 % 251);
    }
    return s;
}

// Everything the reader hands out, joined; `last` receives the length that ended it.
std::string ReadAll(ReadAheadReader& reader, int64_t* last, size_t* pieces = nullptr) {
    std::string out;
    for (;;) {
        const auto piece = reader.Next();
        if (piece.length <= 0) {
            *last = piece.length;
            return out;
        }
        out.append(reinterpret_cast<const char*>(piece.data), static_cast<size_t>(piece.length));
        if (pieces) {
            ++*pieces;
        }
    }
}

}  // namespace

TEST(ReadAheadReaderTest, HandsOutTheFileInOrderWithOrWithoutAThreadAndKeepsItsEnd) {
    TempDir dir;
    const std::string content = Pattern(10 * 4096 + 123);
    WriteFile(dir / "f", content);
    for (size_t ahead : {size_t(0), size_t(1), size_t(3)}) {
        for (size_t pieceSize : {size_t(4096), size_t(1000), content.size(), content.size() * 2}) {
            platform::SequentialFile file;
            ASSERT_TRUE(file.Open(dir / "f"));
            ReadAheadReader reader(file, static_cast<int64_t>(content.size()), pieceSize, ahead);
            int64_t last = 99;
            size_t pieces = 0;
            EXPECT_EQ(ReadAll(reader, &last, &pieces), content) << ahead << " " << pieceSize;
            EXPECT_EQ(last, 0);
            EXPECT_EQ(pieces, (content.size() + pieceSize - 1) / pieceSize);
            EXPECT_EQ(reader.Offset(), static_cast<int64_t>(content.size()));
            EXPECT_EQ(reader.Next().length, 0) << "the end stays the end";
        }
    }
}

TEST(ReadAheadReaderTest, AFileShorterThanAskedEndsInAnErrorAfterTheWholePieces) {
    TempDir dir;
    const std::string content = Pattern(5 * 1000 + 10);
    WriteFile(dir / "f", content);
    for (size_t ahead : {size_t(0), size_t(2)}) {
        platform::SequentialFile file;
        ASSERT_TRUE(file.Open(dir / "f"));
        // Asked for more than the file holds: the piece that comes up short is not handed out.
        ReadAheadReader reader(file, 8000, 1000, ahead);
        int64_t last = 0;
        EXPECT_EQ(ReadAll(reader, &last), content.substr(0, 5000)) << ahead;
        EXPECT_EQ(last, -1);
        EXPECT_EQ(reader.LastError(), 0) << "an early end is no system error";
        EXPECT_EQ(reader.Next().length, -1) << "the error stays the answer";
    }
}

TEST(ReadAheadReaderTest, LeftWhileItsThreadWaitsOnAFullRingEndsAtOnce) {
    TempDir dir;
    WriteFile(dir / "f", Pattern(64 * 1024));
    platform::SequentialFile file;
    ASSERT_TRUE(file.Open(dir / "f"));
    const auto start = std::chrono::steady_clock::now();
    {
        ReadAheadReader reader(file, 64 * 1024, 1024, 2);
        ASSERT_GT(reader.Next().length, 0);
        // The thread now fills the ring and waits for a slot that never comes free.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
