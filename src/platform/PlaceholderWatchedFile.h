#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/PlaceholderReadRule.h"

namespace platform {

// The clipboard placeholder as a plain file, for where FUSE cannot be mounted. inotify says
// when it is opened; the processes that have it open are then looked at, a few times over a
// short while, for the copy they write. A reader that copies faster than that look is missed
// (the paste then does nothing and is logged). After a paste the file is emptied, so that a
// later paste of the same copy pastes nothing; a new copy writes the text again.
class PlaceholderWatchedFile {
public:
    using PasteHandler = std::function<void(const std::filesystem::path&)>;
    using NoTargetHandler = std::function<void(int64_t pid)>;

    PlaceholderWatchedFile(PlaceholderReadRule& rule, std::string fileName, PasteHandler onPaste,
                           NoTargetHandler onNoTarget = {});
    ~PlaceholderWatchedFile();

    bool Start(const std::filesystem::path& folder, std::string* error);
    void Stop();

    // A new copy: the text is written again (atomically, under a temporary name).
    bool Rewrite();
    // The copy was let go: the file is emptied.
    void Empty();

private:
    void Run();
    void OnOpened();

    PlaceholderReadRule& m_rule;
    const std::string m_fileName;
    PasteHandler m_onPaste;
    NoTargetHandler m_onNoTarget;
    std::filesystem::path m_folder;
    int m_inotify = -1;
    int m_wake = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace platform
