#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#include "platform/DirectoryReader.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

namespace fs = std::filesystem;
using platform::DirectoryReader;
using Type = DirectoryReader::EntryType;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

std::map<std::string, Type> ReadAll(const fs::path& dir, bool followLink = true) {
    std::map<std::string, Type> entries;
    DirectoryReader reader;
    if (!reader.Open(dir, followLink)) {
        ADD_FAILURE() << dir << ": " << reader.ErrorText();
        return entries;
    }
    DirectoryReader::Entry entry;
    while (reader.Next(entry)) {
        entries[entry.name] = entry.type;
    }
    EXPECT_EQ(reader.ErrorNumber(), 0);
    return entries;
}

TEST(DirectoryReaderTest, TypesEveryKindOfEntryAndLeavesOutDotEntries) {
    TempDir dir;
    WriteFile(dir / "file.txt", "x");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "file.txt", dir / "to-file");
    fs::create_directory_symlink(dir.path(), dir / "to-self");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);

    const auto entries = ReadAll(dir.path());
    EXPECT_EQ(entries, (std::map<std::string, Type>{{"file.txt", Type::kFile},
                                                   {"sub", Type::kDirectory},
                                                   {"to-file", Type::kSymlinkToFile},
                                                   {"to-self", Type::kSymlinkToDirectory},
                                                   {"dangling", Type::kBrokenSymlink},
                                                   {"pipe", Type::kOther}}));
}

TEST(DirectoryReaderTest, StatsAnEntryRelativeToTheOpenDirectory) {
    TempDir dir;
    WriteFile(dir / "five.bin", "12345");
    fs::create_symlink(dir / "five.bin", dir / "link");
    DirectoryReader reader;
    ASSERT_TRUE(reader.Open(dir.path()));
    const auto st = reader.StatEntry("five.bin");
    EXPECT_TRUE(st.exists && st.isRegular);
    EXPECT_EQ(st.size, 5u);
    EXPECT_GT(st.times.lastWrite, 0);
    EXPECT_TRUE(reader.StatEntry("link").isSymlink) << "links are not followed unless asked";
    EXPECT_TRUE(reader.StatEntry("link", true).isRegular);
    EXPECT_FALSE(reader.StatEntry("nothing").exists);
}

TEST(DirectoryReaderTest, RefusesALinkInPlaceOfAFolderWhenNotToFollowIt) {
    TempDir dir;
    fs::create_directory(dir / "real");
    WriteFile(dir / "real" / "a", "a");
    fs::create_directory_symlink(dir / "real", dir / "link");
    DirectoryReader reader;
    EXPECT_FALSE(reader.Open(dir / "link", false));
    EXPECT_TRUE(reader.ErrorNumber() == ELOOP || reader.ErrorNumber() == ENOTDIR)
        << reader.ErrorText();
    EXPECT_EQ(ReadAll(dir / "link", true).size(), 1u) << "a dropped link is followed";
    EXPECT_FALSE(reader.Open(dir / "real" / "a")) << "a file is not a directory";
    EXPECT_EQ(reader.ErrorNumber(), ENOTDIR);
}

TEST(DirectoryReaderTest, AnUnreadableFolderFailsToOpenWithThePermissionError) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    fs::create_directory(dir / "locked");
    WriteFile(dir / "locked" / "inside", "x");
    ::chmod((dir / "locked").c_str(), 0700);  // root's, not readable by the child
    const fs::path locked = dir / "locked";
    int rc = zorp::test::RunUnprivileged([&] {
        DirectoryReader reader;
        if (reader.Open(locked)) {
            return 1;
        }
        return reader.ErrorNumber() == EACCES ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace
