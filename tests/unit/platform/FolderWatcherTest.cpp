#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fstream>

#include "platform/FolderWatcher.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using platform::FolderAction;
using platform::FolderChange;
using platform::FolderWatcher;
using zorp::test::TempDir;
using zorp::test::WaitFor;
using zorp::test::WriteFile;

namespace {

constexpr FolderAction kAdded = FolderAction::kAdded;
constexpr FolderAction kRemoved = FolderAction::kRemoved;
constexpr FolderAction kModified = FolderAction::kModified;
constexpr FolderAction kOldName = FolderAction::kRenamedOldName;
constexpr FolderAction kNewName = FolderAction::kRenamedNewName;

FolderWatcher::Options Pairing() {
    FolderWatcher::Options options;
    options.renamePairingMs = 50;
    return options;
}

bool Watch(FolderWatcher& watcher, const fs::path& folder) {
    return watcher.Start() && watcher.AddFolder(folder);
}

// The test is the watcher's user: it takes what is queued while it waits for a change.
class Collector {
public:
    explicit Collector(FolderWatcher& watcher) : m_watcher(watcher) {}

    void Drain() {
        FolderWatcher::Batch batch = m_watcher.TakeChanges();
        rescans += batch.rescan ? 1 : 0;
        changes.insert(changes.end(), batch.changes.begin(), batch.changes.end());
    }
    size_t IndexOf(const fs::path& path, FolderAction action, size_t from = 0) const {
        for (size_t i = from; i < changes.size(); ++i) {
            if (changes[i].path == path && changes[i].action == action) {
                return i;
            }
        }
        return std::string::npos;
    }
    bool Has(const fs::path& path, FolderAction action) const {
        return IndexOf(path, action) != std::string::npos;
    }
    bool WaitFor(const fs::path& path, FolderAction action) {
        return zorp::test::WaitFor([&] {
            Drain();
            return Has(path, action);
        });
    }
    bool WaitForRescan() {
        return zorp::test::WaitFor([&] {
            Drain();
            return rescans > 0;
        });
    }
    bool AnyUnder(const fs::path& folder) const {
        return std::any_of(changes.begin(), changes.end(), [&](const FolderChange& change) {
            const std::string text = change.path.string();
            return text.rfind(folder.string() + "/", 0) == 0;
        });
    }

    std::vector<FolderChange> changes;
    int rescans = 0;

private:
    FolderWatcher& m_watcher;
};

TEST(FolderWatcherTest, ReportsAFileMadeWrittenAndDeletedInOrderAndNotWhatWasThereBefore) {
    TempDir dir;
    WriteFile(dir / "before.txt", "old");
    FolderWatcher watcher(Pairing());
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);

    WriteFile(dir / "a.txt", "one");
    fs::remove(dir / "a.txt");
    ASSERT_TRUE(seen.WaitFor(dir / "a.txt", kRemoved));

    const size_t added = seen.IndexOf(dir / "a.txt", kAdded);
    const size_t modified = seen.IndexOf(dir / "a.txt", kModified);
    ASSERT_NE(added, std::string::npos);
    ASSERT_NE(modified, std::string::npos);
    EXPECT_LT(added, modified);
    EXPECT_LT(modified, seen.IndexOf(dir / "a.txt", kRemoved));
    EXPECT_FALSE(seen.AnyUnder(dir / "before.txt"));
    EXPECT_FALSE(seen.Has(dir / "before.txt", kAdded));
    EXPECT_EQ(seen.rescans, 0);
    EXPECT_FALSE(seen.changes.front().isDirectory);
}

TEST(FolderWatcherTest, ARenameIsTheOldNameFollowedAtOnceByTheNewOneAlsoOverAnExistingFile) {
    TempDir dir;
    WriteFile(dir / "doc.txt", "v1");
    FolderWatcher watcher(Pairing());
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);

    // The safe save of editors: a temporary file renamed over the original.
    WriteFile(dir / ".doc.txt.swp", "v2");
    fs::rename(dir / ".doc.txt.swp", dir / "doc.txt");
    ASSERT_TRUE(seen.WaitFor(dir / "doc.txt", kNewName));
    const size_t oldName = seen.IndexOf(dir / ".doc.txt.swp", kOldName);
    ASSERT_NE(oldName, std::string::npos);
    EXPECT_EQ(seen.IndexOf(dir / "doc.txt", kNewName), oldName + 1);
    EXPECT_FALSE(seen.Has(dir / ".doc.txt.swp", kRemoved));
}

TEST(FolderWatcherTest, AFolderMadeWithFilesAtOnceIsReportedWholeAndWatchedFromThenOn) {
    TempDir dir;
    FolderWatcher watcher(Pairing());
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);

    // Made faster than the watcher can watch each level: the listings find what the watches
    // could not see.
    std::vector<fs::path> files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(dir / "new" / ("sub" + std::to_string(i % 4)) / "deep" /
                        ("f" + std::to_string(i)));
        WriteFile(files.back(), "x");
    }
    ASSERT_TRUE(WaitFor([&] {
        seen.Drain();
        return std::all_of(files.begin(), files.end(), [&](const fs::path& file) {
            return seen.Has(file, kAdded) || seen.Has(file, kModified);
        });
    }));
    EXPECT_TRUE(seen.Has(dir / "new", kAdded));
    const size_t folder = seen.IndexOf(dir / "new", kAdded);
    EXPECT_TRUE(seen.changes[folder].isDirectory);

    WriteFile(dir / "new" / "sub3" / "deep" / "later", "y");
    EXPECT_TRUE(seen.WaitFor(dir / "new" / "sub3" / "deep" / "later", kModified));
    EXPECT_EQ(seen.rescans, 0);
}

TEST(FolderWatcherTest, FoldersMovedInAreWatchedAndFoldersMovedOutOrRenamedAreNotReportedByOldPaths) {
    TempDir outside;
    TempDir dir;
    WriteFile(outside / "incoming" / "inner" / "i.txt", "in");
    fs::create_directories(dir / "leaving");
    fs::create_directories(dir / "before");
    FolderWatcher watcher(Pairing());
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);

    fs::rename(outside / "incoming", dir / "incoming");
    ASSERT_TRUE(seen.WaitFor(dir / "incoming", kAdded));
    ASSERT_TRUE(seen.WaitFor(dir / "incoming" / "inner" / "i.txt", kAdded));
    WriteFile(dir / "incoming" / "inner" / "i.txt", "changed");
    EXPECT_TRUE(seen.WaitFor(dir / "incoming" / "inner" / "i.txt", kModified));

    fs::rename(dir / "leaving", outside / "leaving");
    ASSERT_TRUE(seen.WaitFor(dir / "leaving", kRemoved));
    fs::rename(dir / "before", dir / "after");
    ASSERT_TRUE(seen.WaitFor(dir / "after", kNewName));
    WriteFile(outside / "leaving" / "gone.txt", "not ours");
    WriteFile(dir / "after" / "renamed.txt", "ours");
    // Changes arrive in order: once the last write is in, an earlier one would be too.
    ASSERT_TRUE(seen.WaitFor(dir / "after" / "renamed.txt", kModified));
    EXPECT_FALSE(seen.AnyUnder(dir / "leaving"));
    EXPECT_FALSE(seen.AnyUnder(dir / "before"));
    EXPECT_EQ(seen.rescans, 0);
}

TEST(FolderWatcherTest, SymbolicLinksToFoldersAreNotFollowed) {
    TempDir target;
    TempDir dir;
    fs::create_directory_symlink(target.path(), dir / "link");
    FolderWatcher watcher(Pairing());
    ASSERT_TRUE(Watch(watcher, dir.path()));
    EXPECT_EQ(watcher.GetStats().watches, 1u);
    Collector seen(watcher);

    WriteFile(target / "through-link.txt", "x");
    WriteFile(dir / "sentinel", "x");
    ASSERT_TRUE(seen.WaitFor(dir / "sentinel", kModified));
    EXPECT_FALSE(seen.AnyUnder(dir / "link"));
    EXPECT_FALSE(watcher.AddFolder(dir / "link")) << "a link is no folder to watch";
}

TEST(FolderWatcherTest, MoreChangesThanTheQueueHoldsAreDroppedForOneRescanAndLaterOnesArrive) {
    TempDir dir;
    FolderWatcher::Options options = Pairing();
    options.queueLimit = 4;
    FolderWatcher watcher(options);
    ASSERT_TRUE(Watch(watcher, dir.path()));

    // Nobody takes while the changes come.
    for (int i = 0; i < 50; ++i) {
        WriteFile(dir / ("f" + std::to_string(i)), "x");
    }
    ASSERT_TRUE(WaitFor([&] { return watcher.GetStats().queueOverflows > 0; }));
    Collector seen(watcher);
    ASSERT_TRUE(seen.WaitForRescan());

    // A change right behind the flood may go with it into another overflow: written until
    // it comes through. The flood is behind the watcher then.
    ASSERT_TRUE(WaitFor([&] {
        WriteFile(dir / "after", "x");
        seen.Drain();
        return seen.Has(dir / "after", kModified);
    }));
    // What comes next fits and needs no rescan.
    const int rescans = seen.rescans;
    WriteFile(dir / "later", "x");
    ASSERT_TRUE(seen.WaitFor(dir / "later", kModified));
    EXPECT_EQ(seen.rescans, rescans);
}

// The kernel's limit of watches cannot be lowered without changing the machine for everyone;
// the watcher's own limit fails in the same place and the same way (ENOSPC).
TEST(FolderWatcherTest, AFolderThatCannotBeWatchedMeansRescansUntilAWatchIsFreeThenItIsWatched) {
    TempDir dir;
    fs::create_directories(dir / "one");
    FolderWatcher::Options options = Pairing();
    options.maxWatches = 2;
    options.retryMs = 20;
    FolderWatcher watcher(options);
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);

    fs::create_directories(dir / "two");
    ASSERT_TRUE(seen.WaitFor(dir / "two", kAdded));
    ASSERT_TRUE(seen.WaitForRescan());
    EXPECT_EQ(watcher.GetStats().unwatched, 1u);
    // Still no watch: every try is another rescan, which is how changes in it are found.
    WriteFile(dir / "two" / "unseen.txt", "x");
    const int rescans = seen.rescans;
    ASSERT_TRUE(WaitFor([&] {
        seen.Drain();
        return seen.rescans > rescans + 1;
    }));
    EXPECT_FALSE(seen.Has(dir / "two" / "unseen.txt", kModified));

    fs::remove(dir / "one");
    ASSERT_TRUE(WaitFor([&] { return watcher.GetStats().unwatched == 0; }));
    WriteFile(dir / "two" / "seen.txt", "x");
    EXPECT_TRUE(seen.WaitFor(dir / "two" / "seen.txt", kModified));
    EXPECT_EQ(watcher.GetStats().watches, 2u);
}

TEST(FolderWatcherTest, AWatchedFolderThatIsDeletedIsWatchedAgainWhenItComesBack) {
    TempDir dir;
    FolderWatcher::Options options = Pairing();
    options.retryMs = 20;
    FolderWatcher watcher(options);
    ASSERT_TRUE(watcher.Start());
    fs::create_directories(dir / "root");
    ASSERT_TRUE(watcher.AddFolder(dir / "root"));
    Collector seen(watcher);

    fs::remove_all(dir / "root");
    ASSERT_TRUE(WaitFor([&] { return watcher.GetStats().unwatched == 1; }));
    seen.Drain();
    EXPECT_EQ(seen.rescans, 0) << "a folder that is gone holds no changes to look for";

    WriteFile(dir / "root" / "made-while-unwatched", "x");
    ASSERT_TRUE(seen.WaitForRescan());
    ASSERT_TRUE(WaitFor([&] { return watcher.GetStats().unwatched == 0; }));
    WriteFile(dir / "root" / "later", "x");
    EXPECT_TRUE(seen.WaitFor(dir / "root" / "later", kModified));
}

// The kernel's queue length is the machine's setting, not the test's: the watcher's thread is
// held before it reads while more events come than the queue holds, and the folder renamed
// and the folders made after that are lost with the overflow. They are watched where they are
// now all the same.
TEST(FolderWatcherTest, AKernelOverflowIsARescanAfterWhichEveryFolderIsWatchedWhereItIsNow) {
    size_t queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    TempDir dir;
    fs::create_directories(dir / "sub");
    platform::Event held{true, false};
    platform::Event release{true, false};
    FolderWatcher::Options options = Pairing();
    options.beforeRead = [&] {
        held.Set();
        release.Wait();
    };
    FolderWatcher watcher(options);
    ASSERT_TRUE(Watch(watcher, dir.path()));

    WriteFile(dir / "flood0", "");
    ASSERT_TRUE(held.Wait(10000));
    for (size_t i = 0; i <= queued; ++i) {
        // One written-and-closed event each; two names in turn, since the kernel folds an
        // event into the one before it when they are alike.
        std::ofstream(dir / ("flood" + std::to_string(i % 2)), std::ios::app).flush();
    }
    fs::rename(dir / "sub", dir / "renamed");
    fs::create_directories(dir / "made" / "deeper");
    release.Set();

    Collector seen(watcher);
    ASSERT_TRUE(seen.WaitForRescan());
    EXPECT_EQ(watcher.GetStats().kernelOverflows, 1u);
    EXPECT_FALSE(seen.Has(dir / "made", kAdded)) << "lost in the overflow";
    WriteFile(dir / "renamed" / "a", "x");
    WriteFile(dir / "made" / "deeper" / "b", "x");
    EXPECT_TRUE(seen.WaitFor(dir / "renamed" / "a", kModified));
    EXPECT_TRUE(seen.WaitFor(dir / "made" / "deeper" / "b", kModified));
    EXPECT_FALSE(seen.AnyUnder(dir / "sub"));
    EXPECT_EQ(watcher.GetStats().watches, 4u);
}

TEST(FolderWatcherTest, StopsCleanlyWhileChangesComeAndCanStartAgain) {
    TempDir dir;
    FolderWatcher watcher(Pairing());
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(watcher.Start());
        ASSERT_TRUE(watcher.AddFolder(dir.path()));
        for (int i = 0; i < 10; ++i) {
            WriteFile(dir / ("f" + std::to_string(i)), std::to_string(round));
        }
        fs::rename(dir / "f0", dir / "g0");  // an old name may be waiting for its pair
        watcher.Stop();
        EXPECT_FALSE(watcher.AddFolder(dir.path()));
        EXPECT_TRUE(watcher.TakeChanges().changes.empty()) << "a stop drops what waits";
    }
    ASSERT_TRUE(Watch(watcher, dir.path()));
    Collector seen(watcher);
    WriteFile(dir / "last", "x");
    EXPECT_TRUE(seen.WaitFor(dir / "last", kModified));
}

}  // namespace
