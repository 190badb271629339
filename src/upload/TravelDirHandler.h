#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "upload/FileBackupMgr.h"
#include "cloud/CRequestContext.h"
#include "core/CFJobBase.h"
#include "core/FixedDelays.h"
#include "upload/TravelDirParam.h"

// One walk of a dropped folder on the folder-walk pool: creates the folder in the batch's
// cloud target, hands every file below it to hashing in batches (WM_TRAVEL_BATCH after each,
// lValue 1 on the walk's last), and creates the cloud folders that have no subfolders (the
// server creates the ones above them on the way). WM_TRAVEL_FAILED carries the folder's name
// (UTF-8 std::string) when the dropped folder itself cannot be created.
//
// The tree is read first, each directory listed once, so the count of files to send is
// known before the first batch and is exactly the number of paths handed on. Entries that are
// not handed on, each logged:
// - skipped by kind: symbolic links to folders (one may point at an ancestor and the walk
//   would never end), broken links, FIFOs, sockets and devices (opening one for hashing could
//   block for ever);
// - not sent, and reported as failed uploads (WM_TRAVEL_SKIPPED): names that are not UTF-8
//   (the server takes names as UTF-8 and would get another name), paths too long to open,
//   folders that cannot be read or whose listing broke off, folder names with a backslash
//   (the server would split them into nested folders), and symbolic links to files outside
//   the dropped folder (a link to a private key would send the key).
// "desktop.ini" (any case) and ".directory" are left out silently: the folder-icon files that
// the shell integration writes (the platform layer writes ".directory" on KDE desktops) are
// not the user's data.
class TravelDirHandler : public CFJobBase<std::unique_ptr<TravelDirParam>> {
public:
    // A batch is handed on as soon as it holds more than this many paths.
    static constexpr size_t kBatchLimit = 100;

    // lValue of WM_TRAVEL_BATCH.
    static constexpr int64_t kMoreBatches = 0;
    static constexpr int64_t kLastBatch = 1;

    explicit TravelDirHandler(std::unique_ptr<TravelDirParam> param,
                              uint32_t batchPauseMs = FixedDelays::Ms(FixedDelay::kWalkBatchPause));
    void Run() override;

    // Whether a walk leaves this file name out without a word.
    static bool IsIconFileName(const std::string& name);

private:
    struct Item {
        std::string name;
        int child = -1;  // index of the subfolder's node; -1 for a file
    };
    struct DirNode {
        std::filesystem::path path;
        bool readable = true;
        std::vector<Item> items;  // sorted by name
    };

    // Lists the whole tree below the dropped folder. False when the walk was stopped.
    bool readTree();
    void readFolder(size_t index);
    // Hands on the files of a folder and its subfolders; `hasContent` is set for a folder
    // that was walked to its end. False when the walk was stopped.
    bool walk(size_t index, bool& hasContent);
    // The pool's answer: go on (true) or stop; waits while the pool is paused.
    bool askPool();
    // Whether a symbolic link resolves to a file inside the dropped folder.
    bool LeadsIntoTheTree(const std::filesystem::path& link) const;
    std::string relativeOf(const std::filesystem::path& folder) const;
    int64_t createPath(const std::string& relative);
    void sendResultToCalcSha(bool last);

    uint32_t m_batchPauseMs;
    std::filesystem::path m_root;
    std::filesystem::path m_realRoot;  // m_root with every link resolved
    FileBackupMgr::BatchTarget m_base;
    std::map<std::filesystem::path, FileBackupMgr::DroppedRoot> m_roots;
    std::vector<DirNode> m_nodes;
    size_t m_fileCount = 0;
    std::vector<std::filesystem::path> m_batch;
    std::vector<std::filesystem::path> m_unsent;  // for the next WM_TRAVEL_SKIPPED
    bool m_goOn = true;
    CRequestContext m_context{CRequestContext::HandlePolicy::kKeepForNext};
};
