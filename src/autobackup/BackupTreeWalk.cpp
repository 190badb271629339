#include "autobackup/BackupTreeWalk.h"

#include <algorithm>
#include <utility>

#include "core/NamePatterns.h"
#include "platform/DirectoryReader.h"
#include "upload/TravelDirHandler.h"

namespace fs = std::filesystem;
using EntryType = platform::DirectoryReader::EntryType;

namespace {

constexpr size_t kEntriesPerCheck = 256;

const NamePatterns& TemporaryNames() {
    static const NamePatterns patterns(NamePatterns::kTemporaryFiles);
    return patterns;
}

}  // namespace

bool BackupTreeWalk::IsExcluded(const std::string& name) {
    return TravelDirHandler::IsIconFileName(name) || TemporaryNames().Matches(name);
}

int64_t BackupTreeWalk::ChangeTime(const platform::FileTimes& times) {
    return std::max(times.creation, times.lastWrite);
}

BackupTreeWalk::Result BackupTreeWalk::ChangedSince(const fs::path& root, int64_t sinceSec,
                                                    const std::function<bool()>& goOn) {
    Result result;
    const platform::FileStat top = platform::StatFile(root, false);
    if (top.isRegular) {
        if (!IsExcluded(root.filename().string()) && ChangeTime(top.times) >= sinceSec) {
            result.paths.push_back(root);
        }
        return result;
    }
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        platform::DirectoryReader reader;
        if (!reader.Open(dir, false)) {
            continue;  // gone, or not ours to read: nothing of it can go up
        }
        platform::DirectoryReader::Entry entry;
        while (reader.Next(entry)) {
            if (++result.entries % kEntriesPerCheck == 0 && goOn && !goOn()) {
                result.complete = false;
                return result;
            }
            if (IsExcluded(entry.name)) {
                continue;
            }
            if (entry.type == EntryType::kDirectory) {
                const platform::FileStat stat = reader.StatEntry(entry.name);
                if (stat.times.creationIsBirth && stat.times.creation >= sinceSec) {
                    result.paths.push_back(dir / entry.name);
                } else {
                    pending.push_back(dir / entry.name);
                }
            } else if (entry.type == EntryType::kFile) {
                const platform::FileStat stat = reader.StatEntry(entry.name);
                if (stat.isRegular && ChangeTime(stat.times) >= sinceSec) {
                    result.paths.push_back(dir / entry.name);
                }
            }
        }
    }
    return result;
}

std::vector<fs::path> BackupTreeWalk::FilesBelow(const fs::path& folder,
                                                 std::vector<fs::path>* emptyFolders) {
    std::vector<fs::path> files;
    std::vector<fs::path> pending{folder};
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        platform::DirectoryReader reader;
        if (!reader.Open(dir, false)) {
            continue;
        }
        bool holdsSomething = false;
        platform::DirectoryReader::Entry entry;
        while (reader.Next(entry)) {
            if (IsExcluded(entry.name)) {
                continue;
            }
            if (entry.type == EntryType::kDirectory) {
                pending.push_back(dir / entry.name);
                holdsSomething = true;
            } else if (entry.type == EntryType::kFile) {
                files.push_back(dir / entry.name);
                holdsSomething = true;
            }
        }
        if (!holdsSomething && emptyFolders) {
            emptyFolders->push_back(dir);
        }
    }
    return files;
}
