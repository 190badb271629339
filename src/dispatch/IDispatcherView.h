#pragma once

#include <string>

#include "core/ProcessState.h"

// What the request dispatcher shows through the floating drop window. The dispatcher decides;
// the window only draws. All calls come on the window's thread.
class IDispatcherView {
public:
    // The window's looks: the two transfer directions and the idle look.
    enum Mode { kUploadMode = 0, kDownloadMode = 1, kIdleMode = 2 };
    // Pages of the transfer manager.
    enum Page { kUploadPage = 0, kDownloadPage = 1 };

    virtual ~IDispatcherView() = default;

    // The page of the direction that is active: downloads while only downloads run, else
    // uploads.
    static int PageForTxState(TxState state) {
        return state == TxState::kDownloads ? kDownloadPage : kUploadPage;
    }

    virtual void SetWindowMode(int mode) = 0;
    virtual int GetWindowMode() const = 0;
    // A text on the idle look instead of the window's title ("Offline", "Pause").
    virtual void ShowStatusText(const std::string& text) = 0;
    // Both directions run: the icon alternates between them (timer 1100) until one ends.
    virtual void StartIconAlternation() = 0;
    // Transfers report progress: the label shows the speed of the direction shown.
    virtual void RefreshSpeedText() = 0;
    // Nothing runs any more: the speeds shown go to zero.
    virtual void ZeroSpeeds() = 0;
    // The transfer state moved (paused, running, all ended): texts derived from it follow.
    virtual void OnTxStateChanged(TxState before, TxState after) {
        (void)before;
        (void)after;
    }

    virtual bool IsWindowVisible() const = 0;
    virtual void SetWindowVisible(bool visible) = 0;
    // The auxiliary window that is open (the backup settings, the tooltip) closes.
    virtual void CloseAuxiliaryWindows() = 0;
    virtual void ShowTransferManager(int page) = 0;
    virtual void ShowBackupSettings() = 0;

    // Puts the file at `path` on the clipboard as copied (for file managers); the dispatcher's
    // OnClipboardReleased follows when another copy replaces it.
    virtual void OfferClipboardFile(const std::string& path) = 0;

    // Closing: every window of the program leaves the user's sight.
    virtual void HideAllWindows() = 0;
    // Ends the program's message loop with the exit code (after the close handling).
    virtual void QuitMessageLoop(int exitCode) = 0;
};
