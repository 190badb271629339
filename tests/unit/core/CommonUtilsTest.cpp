#include <gtest/gtest.h>
#include <json/value.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

namespace fs = std::filesystem;
using zorp::test::TempDir;
using zorp::test::WriteFile;

TEST(DeleteFolderTreeTest, SymbolicLinksAreRemovedButTheirTargetsAreUntouched) {
    TempDir dir;
    auto outside = dir / "outside";
    WriteFile(outside / "precious.txt", "keep me");
    auto tree = dir / "tree";
    WriteFile(tree / "a" / "file.txt", "x");
    fs::create_directory_symlink(outside, tree / "a" / "link-to-outside");
    fs::create_symlink(outside / "precious.txt", tree / "file-link");
    fs::create_directory_symlink(tree, tree / "a" / "loop");  // a link back to an ancestor

    ASSERT_TRUE(CommonUtils::DeleteFolderTree(tree, true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(zorp::test::ReadFile(outside / "precious.txt"), "keep me");
}

TEST(DeleteFolderTreeTest, KeepsTheFolderItselfWithoutTheRemoveFlagAndIgnoresMissingPaths) {
    TempDir dir;
    WriteFile(dir / "t" / "x" / "y.txt", "1");
    ASSERT_TRUE(CommonUtils::DeleteFolderTree(dir / "t", false));
    EXPECT_TRUE(fs::is_directory(dir / "t"));
    EXPECT_TRUE(fs::is_empty(dir / "t"));
    EXPECT_TRUE(CommonUtils::DeleteFolderTree(dir / "missing", true));
}

TEST(DeleteFolderTreeTest, AnEntryThatCannotBeDeletedStopsItWithADeleteFileLine) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    auto tree = dir / "tree";
    WriteFile(tree / "locked" / "inner.txt", "x");
    WriteFile(tree / "zz-later.txt", "y");
    // Everything must belong to the unprivileged user, except a folder it may not write.
    int rc = zorp::test::RunUnprivileged([&] { return 0; });
    ASSERT_EQ(rc, 0);
    for (auto& entry : fs::recursive_directory_iterator(tree)) {
        ::chown(entry.path().c_str(), 65534, 65534);
    }
    ::chown(tree.c_str(), 65534, 65534);
    ::chmod((tree / "locked").c_str(), 0555);

    rc = zorp::test::RunUnprivileged([&] {
        logging::ScopedLogCapture capture;
        bool ok = CommonUtils::DeleteFolderTree(tree, true);
        return (!ok && capture.Contains("Function [DeleteFile(")) ? 0 : 1;
    });
    ::chmod((tree / "locked").c_str(), 0755);
    EXPECT_EQ(rc, 0) << "the delete must fail at the protected entry and log it";
    EXPECT_TRUE(fs::exists(tree / "locked" / "inner.txt"));
}

TEST(MakeFolderPathTest, CreatesEveryMissingLevelAndFailsWhenALevelIsAFile) {
    TempDir dir;
    auto deep = dir / "a" / "b" / "c" / "d";
    ASSERT_TRUE(CommonUtils::MakeFolderPath(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(CommonUtils::MakeFolderPath(deep)) << "an existing folder is success";

    WriteFile(dir / "file", "not a folder");
    EXPECT_FALSE(CommonUtils::MakeFolderPath(dir / "file" / "sub"));
    EXPECT_FALSE(CommonUtils::MakeFolderPath(""));
}

TEST(FileIconTest, ChoosesByExtensionCaseInsensitivelyAndOnlyOnExactExtensions) {
    EXPECT_EQ(CommonUtils::GetFileIconName("report.doc", true), "cdBig_word.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("report.doc", false), "cdSmall_word.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("report.docx", true), "cdBig_default.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("PHOTO.JPEG", true), "cdBig_img.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("a.tar.7Z", false), "cdSmall_rar.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("noextension", true), "cdBig_default.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("movie.rmvb", true), "cdBig_video.png");
    EXPECT_EQ(CommonUtils::GetFileIconName("sheet.et", true), "cdBig_excel.png");
}

TEST(StringToInt64Test, AcceptsWholeNumbersOnlyAndNamesTheText) {
    EXPECT_EQ(CommonUtils::StringToInt64("1234567890123"), 1234567890123);
    EXPECT_EQ(CommonUtils::StringToInt64("-5"), -5);
    std::string error;
    EXPECT_FALSE(CommonUtils::StringToInt64("12ab", &error));
    EXPECT_EQ(error, "Unable to convert string '12ab' to integer!");
    EXPECT_FALSE(CommonUtils::StringToInt64("", &error));
    EXPECT_FALSE(CommonUtils::StringToInt64("99999999999999999999", &error));
}

TEST(FileTimesTest, MissingFileGivesOneAndZeroAndAFileGivesItsWriteTime) {
    TempDir dir;
    auto missing = CommonUtils::GetFileTimes(dir / "nope");
    EXPECT_EQ(missing.creation, 1);
    EXPECT_EQ(missing.lastWrite, 0);
    EXPECT_EQ(CommonUtils::GetFileDateText(dir / "nope"), "");

    WriteFile(dir / "f", "x");
    auto mtime = fs::file_time_type::clock::to_sys(fs::last_write_time(dir / "f"));
    auto times = CommonUtils::GetFileTimes(dir / "f");
    EXPECT_EQ(times.lastWrite,
              std::chrono::duration_cast<std::chrono::seconds>(mtime.time_since_epoch()).count());
    EXPECT_GT(times.creation, 1);
    EXPECT_EQ(CommonUtils::GetFileDateText(dir / "f").size(), 8u);
}

TEST(TextHelpersTest, SplitPathUtf16RoundTripAndErrorTexts) {
    auto split = CommonUtils::SplitPath("/home/u/docs/report.txt");
    EXPECT_EQ(split.folder, fs::path("/home/u/docs"));
    EXPECT_EQ(split.name, "report.txt");

    std::string text = "名字 é 😀";
    std::u16string wide = CommonUtils::Utf8ToUtf16(text);
    EXPECT_EQ(wide.size(), 7u) << "the emoji takes two UTF-16 units";
    EXPECT_EQ(CommonUtils::Utf16ToUtf8(wide), text);
    EXPECT_EQ(CommonUtils::Utf8ToUtf16("a\xff" "b"), u"a\xfffd" "b");

    EXPECT_EQ(CommonUtils::TransferErrorText(7), "(7)Couldn't connect to server");
    errno = 2;
    EXPECT_EQ(CommonUtils::SystemErrorText("DeleteFile"), "Function [DeleteFile] failed: GetLastError [2]");
    errno = 13;
    EXPECT_EQ(CommonUtils::SystemErrorText("RemoveDirectory", "/x"),
              "Function [RemoveDirectory(/x)] failed: GetLastError [13]");
}

TEST(Utf8Test, TellsWellFormedUtf8FromOtherBytes) {
    EXPECT_TRUE(CommonUtils::IsValidUtf8(""));
    EXPECT_TRUE(CommonUtils::IsValidUtf8("plain name.txt"));
    EXPECT_TRUE(CommonUtils::IsValidUtf8("caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(CommonUtils::IsValidUtf8("latin1 caf\xE9"));
    EXPECT_FALSE(CommonUtils::IsValidUtf8("\xC0\xAF")) << "overlong";
    EXPECT_FALSE(CommonUtils::IsValidUtf8("\xED\xA0\x80")) << "surrogate";
    EXPECT_FALSE(CommonUtils::IsValidUtf8("\xF4\x90\x80\x80")) << "past U+10FFFF";
    EXPECT_FALSE(CommonUtils::IsValidUtf8("\xE2\x82")) << "cut short";
    EXPECT_FALSE(CommonUtils::IsValidUtf8("\x80"));
}

// A 50 MB message once made a 100 MB log: received texts are logged as an excerpt.
TEST(CommonUtilsTest, LogExcerptKeepsTheBeginningAndTheLengthAndNeverCutsACharacter) {
    EXPECT_EQ(CommonUtils::LogExcerpt("short"), "short");
    const std::string big(50 * 1024 * 1024, 'x');
    const std::string excerpt = CommonUtils::LogExcerpt(big);
    EXPECT_LT(excerpt.size(), 4200u);
    EXPECT_NE(excerpt.find("(52428800 bytes)"), std::string::npos);
    // "é" is two bytes; a cut after its first byte moves back before it.
    const std::string text = std::string(4095, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(CommonUtils::LogExcerpt(text).substr(0, 4096), std::string(4095, 'a') + " ");
}

namespace zorp::test {

// A reply nested past the reader's stack limit made the reader throw, and a throw on a worker
// thread ends the process: such text is now only text that does not parse.
TEST(CommonUtilsTest, JsonNestedPastTheLimitIsRefusedWithoutAThrow) {
    Json::Value root;
    std::string errors;
    const std::string deep = "{\"data\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_FALSE(CommonUtils::ParseJson(deep, root, &errors));
    EXPECT_FALSE(errors.empty());
    EXPECT_TRUE(root.isNull());
    const std::string limit =
        std::string(CommonUtils::kMaxJsonDepth - 1, '[') + std::string(CommonUtils::kMaxJsonDepth - 1, ']');
    EXPECT_TRUE(CommonUtils::ParseJson(limit, root));
    EXPECT_TRUE(CommonUtils::ParseJson("{\"status\":0}", root));
    EXPECT_EQ(root["status"].asInt(), 0);
    EXPECT_FALSE(CommonUtils::ParseJson("{\"status\":", root));
}

}  // namespace zorp::test
