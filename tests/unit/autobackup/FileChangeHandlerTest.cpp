#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "autobackup/FileChangeHandler.h"

namespace fs = std::filesystem;

TEST(FileChangeHandlerTest, EachFileOnceInTheOrderItFirstChangedWithoutIconFilesOrRenamedAway) {
    FileChangeHandler handler;
    const fs::path a = "/b/a.txt", b = "/b/b.txt", c = "/b/c.txt";
    handler.fileadd(a);
    for (int save = 0; save < 5; ++save) {
        handler.modified(a);
    }
    handler.modified(b);
    handler.modified(a);  // written again after another file: still once
    handler.fileadd(c);
    handler.forget(c);    // renamed away before the quiet period ended
    handler.fileadd("/b/Desktop.ini");
    handler.modified("/b/x/desktop.ini");
    EXPECT_FALSE(handler.empty());
    EXPECT_EQ(handler.processEnd(), (std::vector<fs::path>{a, b}));
    EXPECT_TRUE(handler.empty());
    EXPECT_TRUE(handler.processEnd().empty());

    // After the end the same file is new again.
    handler.modified(a);
    EXPECT_EQ(handler.processEnd(), std::vector<fs::path>{a});
}
