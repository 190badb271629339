// Where the program's own files are found: beside the program, in the installed data folder
// beside its bin folder, in the user's configuration folder; the first one found decides.
#include "core/ProgramFiles.h"

#include <gtest/gtest.h>

#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

TEST(ProgramFilesTest, TheProgramFolderThenTheInstalledDataFolderThenTheUserFolderDecide) {
    ScopedXdgHome home;
    TempDir tree;
    const fs::path bin = tree / "usr" / "bin";
    const fs::path share = tree.path() / "usr" / "share" / "zorp";
    fs::create_directories(bin);
    EXPECT_EQ(ProgramFiles::InstalledDataDir(bin), share);
    EXPECT_EQ(ProgramFiles::Candidates(bin, "appConfig"),
              (std::vector<fs::path>{bin / "appConfig", share / "appConfig",
                                     home.configHome() / "zorp" / "appConfig"}));

    EXPECT_EQ(ProgramFiles::Find(bin, "appConfig"), fs::path());
    WriteFile(home.configHome() / "zorp" / "appConfig", "{}");
    EXPECT_EQ(ProgramFiles::Find(bin, "appConfig"), home.configHome() / "zorp" / "appConfig");
    WriteFile(share / "appConfig", "{}");
    EXPECT_EQ(ProgramFiles::Find(bin, "appConfig"), share / "appConfig");
    WriteFile(bin / "appConfig", "{}");
    EXPECT_EQ(ProgramFiles::Find(bin, "appConfig"), bin / "appConfig");
    // A folder of that name is not the file.
    fs::create_directories(bin / "log.properties");
    WriteFile(share / "log.properties", "{}");
    EXPECT_EQ(ProgramFiles::Find(bin, "log.properties"), share / "log.properties");
}

}  // namespace
}  // namespace zorp::test
