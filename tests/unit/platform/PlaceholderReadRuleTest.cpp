#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "platform/PasteTargetFinder.h"
#include "platform/PlaceholderReadRule.h"
#include "support/TempDir.h"

using platform::PasteTargetFinder;
using platform::PlaceholderReadRule;

namespace {
const std::string kText = "0123456789abcdef0123456789ABCDEF";  // 32 bytes
auto Found() { return [] { return true; }; }
auto NotFound() { return [] { return false; }; }
}  // namespace

TEST(PlaceholderReadRuleTest, OnlyTheFirstReadWithATargetIsThePasteAndLaterPastesGetNothing) {
    PlaceholderReadRule rule(kText);
    // Not armed yet (no copy): end of file, and nobody is asked for a target.
    int asked = 0;
    EXPECT_EQ(rule.Read(1, 0, 4096, [&] { return ++asked > 0; }).length, 0u);
    EXPECT_EQ(asked, 0);

    rule.Arm();
    // A cat into a pipe: served, not a paste, the copy stays armed.
    auto cat = rule.Read(2, 0, 4096, NotFound());
    EXPECT_EQ(cat.length, 32u);
    EXPECT_FALSE(cat.paste);
    EXPECT_TRUE(rule.IsArmed());

    auto paste = rule.Read(3, 0, 4096, Found());
    EXPECT_TRUE(paste.paste);
    EXPECT_EQ(paste.length, 32u);
    EXPECT_FALSE(rule.IsArmed());
    EXPECT_EQ(rule.Read(3, 32, 4096, Found()).length, 0u);  // its end of file

    // A second paste of the same copy: an empty file, no second paste.
    auto again = rule.Read(4, 0, 4096, Found());
    EXPECT_EQ(again.length, 0u);
    EXPECT_FALSE(again.paste);

    // A new copy counts again.
    rule.Arm();
    EXPECT_TRUE(rule.Read(5, 0, 4096, Found()).paste);
}

TEST(PlaceholderReadRuleTest, AShortFirstReadGetsTheRestThroughTheSameFileOnly) {
    PlaceholderReadRule rule(kText);
    rule.Arm();
    auto first = rule.Read(7, 0, 10, Found());
    EXPECT_TRUE(first.paste);
    EXPECT_EQ(first.offset, 0u);
    EXPECT_EQ(first.length, 10u);  // never past what was asked
    auto rest = rule.Read(7, 10, 100, Found());
    EXPECT_FALSE(rest.paste);
    EXPECT_EQ(rest.offset, 10u);
    EXPECT_EQ(rest.length, 22u);
    EXPECT_EQ(rule.Read(8, 10, 100, Found()).length, 0u);  // another reader: nothing
    rule.Release(7);
    EXPECT_EQ(rule.Read(7, 10, 100, Found()).length, 0u);  // a closed handle is forgotten
}

TEST(PasteTargetFinderTest, FindsTheFolderOfTheCopyThisProcessWritesUnderEitherName) {
    zorp::test::TempDir own("zorp-own"), target("zorp-target"), other("zorp-other");
    // Our own placeholder folder and a reading-only file never count.
    int ownFd = ::open((own / "Quorva.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    int readFd = ::open("/etc/hostname", O_RDONLY);
    EXPECT_FALSE(PasteTargetFinder::FindTarget(::getpid(), "Quorva.txt", own.path()));

    // A temporary name beside the final one.
    int tempFd = ::open((target / ".Quorva.txt.X3Z9QA").c_str(), O_CREAT | O_WRONLY, 0600);
    auto found = PasteTargetFinder::FindTarget(::getpid(), "Quorva.txt", own.path());
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, target.path());
    ::close(tempFd);

    int finalFd = ::open((other / "Quorva.txt").c_str(), O_CREAT | O_RDWR, 0600);
    found = PasteTargetFinder::FindTarget(::getpid(), "Quorva.txt", own.path());
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, other.path());
    ::close(finalFd);
    ::close(ownFd);
    ::close(readFd);
}

TEST(PasteTargetFinderTest, AnotherNameCountsOnlyWhenItIsTheOneSmallFileJustWritten) {
    zorp::test::TempDir a("zorp-a"), b("zorp-b");
    zorp::test::WriteFile(a / "big.log", std::string(4096, 'x'));
    zorp::test::WriteFile(a / "copy (1).txt", "");
    zorp::test::WriteFile(b / "other.tmp", "");
    using Open = PasteTargetFinder::OpenFile;
    // A big log file is not a pasted copy; the one small fresh file is.
    auto found = PasteTargetFinder::ChooseTarget(
        {{a / "big.log", true}, {a / "copy (1).txt", true}}, "Quorva.txt", "/run/none");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, a.path());
    // Two such files: which one is the paste cannot be told.
    EXPECT_FALSE(PasteTargetFinder::ChooseTarget(
        {Open{a / "copy (1).txt", true}, Open{b / "other.tmp", true}}, "Quorva.txt", "/run/none"));
}
