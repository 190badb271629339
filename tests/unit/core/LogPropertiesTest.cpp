#include "core/LogProperties.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

using zorp::test::TempDir;
using zorp::test::WriteFile;

TEST(LogPropertiesTest, EnableOnlyForTheNumberOne) {
    EXPECT_TRUE(LogProperties::Parse(R"({"enable": 1})").enable);
    EXPECT_FALSE(LogProperties::Parse(R"({"enable": 0})").enable);
    EXPECT_FALSE(LogProperties::Parse(R"({"enable": 2})").enable);
    EXPECT_FALSE(LogProperties::Parse(R"({"enable": "1"})").enable);
    EXPECT_FALSE(LogProperties::Parse(R"({"enable": true})").enable);
    EXPECT_FALSE(LogProperties::Parse(R"({"path": "/tmp"})").enable);
}

TEST(LogPropertiesTest, PathNamesTheFolderOfTheLogFile) {
    LogProperties props = LogProperties::Parse(R"({"enable": 1, "path": "/var/tmp/zorp logs"})");
    EXPECT_EQ(props.LogFilePath("mg_log.log"), "/var/tmp/zorp logs/mg_log.log");
    // No folder: the name alone, relative to the current folder.
    EXPECT_EQ(LogProperties::Parse("{}").LogFilePath("mg_log.log"), "mg_log.log");
    EXPECT_EQ(LogProperties::Parse(R"({"path": 5})").LogFilePath("mg_log.log"), "mg_log.log");
}

TEST(LogPropertiesTest, BadOrMissingFilesGiveTheDefaults) {
    TempDir dir;
    for (const char* text : {"", "not json", "[1, 2]", "{\"enable\": 1", "\"enable\""}) {
        WriteFile(dir / "log.properties", text);
        LogProperties props = LogProperties::Read({dir / "log.properties"});
        EXPECT_FALSE(props.found) << text;
        EXPECT_FALSE(props.enable) << text;
        EXPECT_TRUE(props.path.empty()) << text;
    }
    EXPECT_FALSE(LogProperties::Read({dir / "absent"}).found);
}

TEST(LogPropertiesTest, TheFirstExistingCandidateDecides) {
    TempDir dir;
    WriteFile(dir / "b" / "log.properties", R"({"enable": 1, "path": "b"})");
    WriteFile(dir / "c" / "log.properties", R"({"enable": 0, "path": "c"})");
    LogProperties props = LogProperties::Read(
        {dir / "a" / "log.properties", dir / "b" / "log.properties", dir / "c" / "log.properties"});
    EXPECT_TRUE(props.found);
    EXPECT_TRUE(props.enable);
    EXPECT_EQ(props.path, "b");
}

}  // namespace
