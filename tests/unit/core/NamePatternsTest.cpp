#include "core/NamePatterns.h"

#include <gtest/gtest.h>

namespace {

TEST(NamePatternsTest, TheTemporaryFileListLeavesOutTemporaryNamesInAnyCaseAndKeepsOrdinaryOnes) {
    const NamePatterns patterns(NamePatterns::kTemporaryFiles);
    EXPECT_EQ(patterns.Patterns().size(), 10u);
    for (const char* name : {"~$report.docx", "notes.txt~", "a~b", ".~lock.sheet.ods#", "x.tmp",
                             "X.TMP", "draft.$$$", "shortcut.lnk", "copy._mp", ".tmp"}) {
        EXPECT_TRUE(patterns.Matches(name)) << name;
    }
    for (const char* name : {"report.docx", "tmp", "x.tmp.txt", "$report", "lnk", ".doc.swp",
                             "a.tm"}) {
        EXPECT_FALSE(patterns.Matches(name)) << name;
    }
}

TEST(NamePatternsTest, WildcardsMatchTheWholeNameAndEmptyPartsOfTheListAreSkipped) {
    const NamePatterns patterns(";*.bak;;a?c;");
    EXPECT_EQ(patterns.Patterns().size(), 2u);
    EXPECT_TRUE(patterns.Matches("x.bak"));
    EXPECT_TRUE(patterns.Matches(".bak"));
    EXPECT_FALSE(patterns.Matches("x.bak2"));
    EXPECT_TRUE(patterns.Matches("abc"));
    EXPECT_FALSE(patterns.Matches("abbc"));
    EXPECT_FALSE(patterns.Matches("ac"));
    EXPECT_TRUE(NamePatterns("*a*b*c*").Matches("xxaxxbxxcxx"));
    EXPECT_FALSE(NamePatterns("*a*b*c*").Matches("xxcxxbxxaxx"));
    EXPECT_FALSE(NamePatterns("").Matches(""));
}

}  // namespace
