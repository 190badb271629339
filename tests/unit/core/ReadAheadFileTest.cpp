#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/ReadAheadFile.h"
#include "platform/SequentialFile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(ReadAheadFileTest, DeliversEveryBlockInOrderWithAShortLastOne) {
    zorp::test::TempDir dir;
    std::string content(10 * 1000 + 7, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31 % 253);
    }
    zorp::test::WriteFile(dir / "f", content);
    platform::SequentialFile file;
    ASSERT_TRUE(file.Open(dir / "f"));
    ReadAheadFile ahead(1000, 3);
    ASSERT_TRUE(ahead.Start(file, static_cast<int64_t>(content.size())));
    std::string back;
    size_t size = 0;
    while (const auto* block = ahead.Next(&size)) {
        back.append(reinterpret_cast<const char*>(block->data()), size);
    }
    EXPECT_FALSE(ahead.Failed());
    EXPECT_EQ(back, content);
}

TEST(ReadAheadFileTest, AFileThatShrinksWhileReadFailsInsteadOfDeliveringShortData) {
    zorp::test::TempDir dir;
    zorp::test::WriteFile(dir / "f", std::string(50000, 'x'));
    platform::SequentialFile file;
    ASSERT_TRUE(file.Open(dir / "f"));
    fs::resize_file(dir / "f", 12000);
    ReadAheadFile ahead(4096, 2);
    ASSERT_TRUE(ahead.Start(file, 50000));
    size_t size = 0, total = 0;
    while (ahead.Next(&size)) {
        EXPECT_EQ(size, 4096u);
        total += size;
    }
    EXPECT_TRUE(ahead.Failed());
    EXPECT_LE(total, 12000u);
}

TEST(ReadAheadFileTest, StoppingEarlyEndsTheReader) {
    zorp::test::TempDir dir;
    zorp::test::WriteFile(dir / "f", std::string(1 << 20, 'y'));
    platform::SequentialFile file;
    ASSERT_TRUE(file.Open(dir / "f"));
    ReadAheadFile ahead(4096, 2);
    ASSERT_TRUE(ahead.Start(file, 1 << 20));
    size_t size = 0;
    ASSERT_TRUE(ahead.Next(&size));
    ahead.Stop();  // the reader waits for a free block; it must not hang here
    SUCCEED();
}
