#pragma once

#include <filesystem>

#include "dispatch/DispatcherFlow.h"

namespace platform {
class ClipboardPlaceholder;
}

// The clipboard paste: cloud files the page copied (type 15) are offered on the clipboard as
// a small placeholder file; when a file manager pastes it into a folder, the real files and
// folders download there through the ordinary download queue, and the pasted placeholder is
// taken out of that folder again.
class ClipboardFlow : public DispatcherFlow {
public:
    // The pasted placeholder is looked for this often, this many times, after a paste: the
    // file manager may still be renaming its copy into place.
    static constexpr uint32_t kCleanupIntervalMs = 500;
    static constexpr int kCleanupPasses = 4;

    explicit ClipboardFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    void SetPlaceholder(platform::ClipboardPlaceholder* placeholder) { m_placeholder = placeholder; }

    // WM_CLIPBOARD_COPY: the placeholder is armed and offered on the clipboard.
    void OnGetCpFileBegin();
    // WM_PASTE_DETECTED, with the folder the placeholder was pasted into.
    void OnCpDnldFileBegin(const std::filesystem::path* folder);
    // kTimerPasteCleanup.
    void OnCleanupTimer();
    // Another copy replaced ours on the clipboard: a pasted placeholder still in the paste's
    // folder goes, and the placeholder answers nothing any more.
    void OnClipboardReleased();

    const std::filesystem::path& GetPasteTarget() const { return m_pasteTarget; }

private:
    // Removes the placeholder's copy from the paste's folder, only when it is one.
    void RemovePastedCopy();

    platform::ClipboardPlaceholder* m_placeholder = nullptr;
    std::filesystem::path m_pasteTarget;
    int m_cleanupPassesLeft = 0;
};
