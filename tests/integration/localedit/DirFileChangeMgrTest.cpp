#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/WindowMessages.h"
#include "localedit/DirFileChangeMgr.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/ScopedTimeScale.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using zorp::test::ReadFile;
using zorp::test::ScopedTimeScale;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

// The local edit manager's side: each hand-over with what the files held when it arrived (the
// manager copies them then).
class HandOverWindow : public platform::MessageTarget {
public:
    struct HandOver {
        std::vector<fs::path> paths;
        std::map<fs::path, std::string> contents;
    };

    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_LOCALEDIT_FILE_CHANGE) {
            const auto* paths = message.W<std::vector<fs::path>>();
            EXPECT_NE(paths, nullptr);
            HandOver handOver;
            handOver.paths = paths ? *paths : std::vector<fs::path>{};
            for (const fs::path& path : handOver.paths) {
                handOver.contents[path] = ReadFile(path);
            }
            got.push_back(std::move(handOver));
        }
        return 0;
    }
    // The hand-overs from `from` on that name the file.
    size_t CountOf(const fs::path& path, size_t from = 0) const {
        return static_cast<size_t>(
            std::count_if(got.begin() + static_cast<long>(std::min(from, got.size())), got.end(),
                          [&](const HandOver& handOver) {
                              return std::count(handOver.paths.begin(), handOver.paths.end(),
                                                path) > 0;
                          }));
    }
    bool SawContent(const fs::path& path, const std::string& content, size_t from = 0) const {
        for (size_t i = from; i < got.size(); ++i) {
            const auto found = got[i].contents.find(path);
            if (found != got[i].contents.end() && found->second == content) {
                return true;
            }
        }
        return false;
    }

    std::vector<HandOver> got;
};

class DirFileChangeMgrTest : public ::testing::Test {
protected:
    // The quiet second shortened to half: long enough that writes made one after the other by
    // the test fall into it on a busy machine, short enough for many hand-overs.
    static constexpr double kScale = 0.5;

    void SetUp() override {
        fs::create_directories(edit);
        window = target.Attach(&loop);
    }

    void Start(DirFileChangeMgr& watcher) {
        watcher.SetNotifyWindow(window);
        ASSERT_TRUE(watcher.start());
        ASSERT_TRUE(watcher.IsStarted());
    }

    // Runs the test's loop until `count` hand-overs have come.
    bool WaitForHandOvers(size_t count) {
        return loop.RunUntil([&] { return target.got.size() >= count; }, 20000);
    }

    ScopedTimeScale scale{kScale};
    TempDir home{"zorp-edit"};
    fs::path edit = home.path() / "edit";
    fs::path doc = edit / "20240105093000" / "report.txt";
    platform::PlainMessageLoop loop;
    HandOverWindow target;
    platform::WindowHandle window = platform::kNoWindow;
};

TEST_F(DirFileChangeMgrTest, SavesInAQuietPeriodAreOneHandOverAndSavesAfterItAnother) {
    WriteFile(doc, "downloaded");
    DirFileChangeMgr watcher(edit);
    Start(watcher);

    WriteFile(doc, "first save");
    WriteFile(doc, "second save");
    ASSERT_TRUE(WaitForHandOvers(1));
    WriteFile(doc, "third save");
    ASSERT_TRUE(WaitForHandOvers(2));
    ASSERT_EQ(target.got.size(), 2u);
    EXPECT_EQ(target.got[0].paths, std::vector<fs::path>{doc});
    EXPECT_EQ(target.got[0].contents[doc], "second save");
    EXPECT_EQ(target.got[1].paths, std::vector<fs::path>{doc});
    EXPECT_EQ(target.got[1].contents[doc], "third save");
    EXPECT_EQ(watcher.GetStats().rescans, 0u);
}

TEST_F(DirFileChangeMgrTest, ASafeSaveIsASaveOfTheOriginalNameWhateverTheTemporaryNameIs) {
    WriteFile(doc, "downloaded");
    DirFileChangeMgr watcher(edit);
    Start(watcher);

    // gedit's temporary name, then an office program's, which is left out by its extension.
    for (const char* temporary : {".goutputstream-X1Y2Z3", "report.txt.tmp"}) {
        const fs::path written = doc.parent_path() / temporary;
        WriteFile(written, temporary);
        fs::rename(written, doc);
        ASSERT_TRUE(WaitForHandOvers(target.got.size() + 1));
        EXPECT_EQ(target.got.back().paths, std::vector<fs::path>{doc}) << temporary;
        EXPECT_EQ(target.got.back().contents[doc], temporary);
    }
}

TEST_F(DirFileChangeMgrTest, TemporaryNamesDeletedFilesAndFoldersAreNeverHandedOver) {
    const fs::path folder = doc.parent_path();
    WriteFile(folder / "gone.txt", "downloaded");
    DirFileChangeMgr watcher(edit);
    Start(watcher);
    for (const char* name : {"~$report.docx", "report.txt~", "draft.TMP", "link.lnk"}) {
        WriteFile(folder / name, "temporary");
    }
    fs::remove(folder / "gone.txt");
    fs::create_directories(folder / "empty-folder");
    WriteFile(doc, "saved");
    ASSERT_TRUE(WaitForHandOvers(1));
    // Anything else would have come in the same quiet period or before the next one.
    WriteFile(edit / "sentinel.txt", "x");
    ASSERT_TRUE(WaitForHandOvers(2));
    EXPECT_EQ(target.got[0].paths, std::vector<fs::path>{doc});
    EXPECT_EQ(target.got[1].paths, std::vector<fs::path>{edit / "sentinel.txt"});
}

TEST_F(DirFileChangeMgrTest, AFileMovedInWholeOverTheEditedOneOrMadeWithItsFolderIsASave) {
    TempDir outside;
    WriteFile(doc, "downloaded");
    DirFileChangeMgr watcher(edit);
    Start(watcher);

    // A new time-stamp folder with its file at once, as an edit download leaves it.
    const fs::path second = edit / "20240105093100" / "sheet.csv";
    WriteFile(second, "a,b");
    ASSERT_TRUE(WaitForHandOvers(1));
    EXPECT_EQ(target.got[0].paths, std::vector<fs::path>{second});

    WriteFile(outside / "report.txt", "written elsewhere");
    fs::rename(outside / "report.txt", doc);
    ASSERT_TRUE(WaitForHandOvers(2));
    EXPECT_EQ(target.got[1].paths, std::vector<fs::path>{doc});
    EXPECT_EQ(target.got[1].contents[doc], "written elsewhere");

    WriteFile(second, "a,b,c");
    ASSERT_TRUE(WaitForHandOvers(3));
    EXPECT_EQ(target.got[2].contents[second], "a,b,c");
}

// The queue holds one change: nearly every burst overflows it, and the saves arrive through
// the comparison with what was handed over.
TEST_F(DirFileChangeMgrTest, AfterAnOverflowEveryLastSaveIsHandedOverAndUnchangedFilesAreNot) {
    const fs::path untouched = edit / "20240105093000" / "untouched.txt";
    const fs::path neverSaved = edit / "20240105093000" / "never-saved.txt";
    WriteFile(untouched, "v1");
    WriteFile(neverSaved, "as downloaded");
    DirFileChangeMgr::Limits limits;
    limits.queueLimit = 1;
    DirFileChangeMgr watcher(edit, limits);
    Start(watcher);
    WriteFile(untouched, "v2");
    ASSERT_TRUE(WaitForHandOvers(1));
    const size_t before = target.got.size();

    std::vector<fs::path> files;
    for (int i = 0; i < 8; ++i) {
        files.push_back(edit / ("2024010509300" + std::to_string(i)) / ("f" + std::to_string(i)));
    }
    int round = 0;
    ASSERT_TRUE(zorp::test::WaitFor([&] {
        ++round;
        for (const fs::path& file : files) {
            WriteFile(file, "round " + std::to_string(round));
        }
        return watcher.GetStats().rescans > 0;
    }));
    for (const fs::path& file : files) {
        WriteFile(file, "last save of " + file.filename().string());
    }
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            return std::all_of(files.begin(), files.end(), [&](const fs::path& file) {
                return target.SawContent(file, "last save of " + file.filename().string(),
                                         before);
            });
        },
        30000));
    EXPECT_GT(watcher.GetStats().watcher.queueOverflows, 0u);
    EXPECT_EQ(target.CountOf(untouched, before), 0u);
    EXPECT_EQ(target.CountOf(neverSaved), 0u);
}

// The system's own watch limit is not lowered by a test (it is the machine's); the watcher's
// limit fails the same way, and the folder it cannot watch is compared instead.
TEST_F(DirFileChangeMgrTest, SavesInAFolderThatCannotBeWatchedAreHandedOverByComparing) {
    DirFileChangeMgr::Limits limits;
    limits.maxWatches = 1;  // the edit folder itself
    DirFileChangeMgr watcher(edit, limits);
    Start(watcher);

    WriteFile(doc, "saved in an unwatched folder");
    ASSERT_TRUE(loop.RunUntil([&] { return target.SawContent(doc, "saved in an unwatched folder"); },
                              30000));
    EXPECT_EQ(watcher.GetStats().watcher.unwatched, 1u);
    EXPECT_GT(watcher.GetStats().rescans, 0u);
    const size_t before = target.got.size();
    WriteFile(doc, "saved again");
    EXPECT_TRUE(loop.RunUntil([&] { return target.SawContent(doc, "saved again", before); },
                              30000));
}

TEST_F(DirFileChangeMgrTest, StartReturnsWatchingAndStopDropsWhatWasNotHandedOver) {
    WriteFile(doc, "downloaded");
    DirFileChangeMgr watcher(edit);
    for (int round = 0; round < 5; ++round) {
        Start(watcher);
        WriteFile(doc, "dropped " + std::to_string(round));
        watcher.Stop();
        EXPECT_FALSE(watcher.IsStarted());
    }
    loop.RunPending();
    const size_t before = target.got.size();
    Start(watcher);
    WriteFile(doc, "seen");  // right after start: the folder is watched already
    ASSERT_TRUE(WaitForHandOvers(before + 1));
    EXPECT_EQ(target.got.back().contents[doc], "seen");
}

}  // namespace
