#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/PlaceholderReadRule.h"

namespace platform {

class PlaceholderFuseMount;
class PlaceholderWatchedFile;

// The small file the clipboard offers for cloud files copied in the page. Pasting it into a
// folder makes a file manager read it, and that read tells where the real files belong.
//
// It is served by a FUSE mount of the process's own in a private folder (mode 0700, no other
// user can see it), so each read is answered here while the reader waits and the reader's
// open files show the copy it is writing. Where FUSE cannot be mounted (no /dev/fuse, no
// permission) it is a plain file in that folder watched with inotify; the reader is then
// found among the processes that have it open, which is a race the FUSE way does not have.
//
//     ClipboardPlaceholder placeholder(text32, [](const std::filesystem::path& folder) {...});
//     placeholder.Start(runtimeDir / "zorp-clipboard");
//     placeholder.Arm();         // a new copy: the next paste counts
//     ... onPaste(folder) on the placeholder's own thread ...
//     placeholder.Stop();        // unmounts
class ClipboardPlaceholder {
public:
    enum class Mode { kStopped, kFuse, kWatchedFile };
    static constexpr const char* kFileName = "Quorva.txt";

    using PasteHandler = std::function<void(const std::filesystem::path& targetFolder)>;
    // A read of the armed placeholder by process `pid` that was no paste: no copy of it being
    // written could be found (a `cat` into a pipe, a preview).
    using NoTargetHandler = std::function<void(int64_t pid)>;

    ClipboardPlaceholder(std::string content, PasteHandler onPaste, NoTargetHandler onNoTarget = {});
    ~ClipboardPlaceholder();

    // Mounts under `folder` (made with mode 0700; a stale mount of a crashed run is taken off
    // first), or falls back to the watched file. `allowFuse` false goes straight to the
    // fallback. False when neither works.
    bool Start(const std::filesystem::path& folder, bool allowFuse = true);
    void Stop();

    Mode GetMode() const { return m_mode; }
    static const char* ModeName(Mode mode);
    // The placeholder's path, for the clipboard.
    std::filesystem::path GetPath() const;
    const std::string& GetContent() const { return m_rule.Content(); }

    void Arm();
    void Disarm();
    bool IsArmed() const { return m_rule.IsArmed(); }

    // True when `file` is a pasted copy of the placeholder: no longer than its text and holding
    // a beginning of it (an empty file included). A file the user put there under the same name
    // is never taken for one.
    bool IsPastedCopy(const std::filesystem::path& file) const;

private:
    PlaceholderReadRule m_rule;
    PasteHandler m_onPaste;
    NoTargetHandler m_onNoTarget;
    std::filesystem::path m_folder;
    Mode m_mode = Mode::kStopped;
    std::unique_ptr<PlaceholderFuseMount> m_fuse;
    std::unique_ptr<PlaceholderWatchedFile> m_watched;
};

}  // namespace platform
