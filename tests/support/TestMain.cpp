#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/Logging.h"
#include "support/TempDir.h"

// Every test process gets its own home: the XDG folders point into a fresh temporary folder,
// so no test reads or writes the real user's data and suites can run in parallel.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    static zorp::test::TempDir home("zorp-test-home");
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME",
                             "XDG_RUNTIME_DIR"}) {
        auto dir = home.path() / name;
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        ::setenv(name, dir.c_str(), 1);
    }
    ::setenv("HOME", home.path().c_str(), 1);
    logging::SetMinStderrSeverity(logging::LOG_WARNING);
    return RUN_ALL_TESTS();
}
