#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/TempDir.h"

namespace zorp::test {

// The dispatcher's side of the folder monitor: each WM_GET_FILE_PID takes the outgoing list
// as one hand-over.
class HandOverWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_GET_FILE_PID && monitor) {
            std::vector<std::filesystem::path> paths = monitor->TakeOutgoing();
            if (!paths.empty()) {
                got.push_back(std::move(paths));
            }
        } else {
            others.push_back(message.id);
        }
        return 0;
    }
    std::set<std::filesystem::path> All() const {
        std::set<std::filesystem::path> all;
        for (const auto& handOver : got) {
            all.insert(handOver.begin(), handOver.end());
        }
        return all;
    }
    // The files that went over, themselves or with a folder above them (a folder goes over
    // with everything in it).
    size_t CountCovered(const std::set<std::filesystem::path>& files) const {
        const std::set<std::filesystem::path> all = All();
        size_t covered = 0;
        for (const auto& file : files) {
            for (std::filesystem::path at = file; at.has_relative_path(); at = at.parent_path()) {
                if (all.count(at)) {
                    ++covered;
                    break;
                }
            }
        }
        return covered;
    }
    size_t CountOf(const std::filesystem::path& path) const {
        size_t count = 0;
        for (const auto& handOver : got) {
            count += static_cast<size_t>(std::count(handOver.begin(), handOver.end(), path));
        }
        return count;
    }

    AutoBackupMonitorMgr* monitor = nullptr;
    std::vector<std::vector<std::filesystem::path>> got;
    std::vector<uint32_t> others;
};

// The backup folders of the options, as the settings window leaves them.
inline void SetBackupFolders(const std::vector<std::filesystem::path>& folders) {
    COptions& options = COptions::GetInstance();
    options.SetBackupPaths(folders);
    options.ApplyBackupSelection();
}

// Waits until the clock has passed into the next second: file times before it are older than
// any taken after it.
inline int64_t NextSecond() {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    while (static_cast<int64_t>(std::time(nullptr)) == now) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return now + 1;
}

}  // namespace zorp::test
