#pragma once

#include <cstdint>

#include "core/FixedDelays.h"
#include "core/ProcessState.h"
#include "dispatch/IDispatcherView.h"
#include "platform/Message.h"
#include "download/UnfinishedDownloadsSaver.h"
#include "upload/UnfinishedUploadsSaver.h"

class DownloadQueue;
class UploadQueue;

// Timers the dispatcher runs on the drop window.
enum DispatcherTimer : uint32_t {
    kTimerGoOffline = 1009,       // network errors came, then quiet: offline and a check
    kTimerNetworkRecheck = 1010,  // the next network check before going online
    kTimerRetry = 1011,           // the automatic retry of failed transfers
    kTimerSaveUnfinished = 1013,  // compare the stored unfinished transfers with the queue's
    kTimerDnldRetry = 1014,       // the automatic retry of failed downloads
    kTimerPasteCleanup = 1015,    // the pasted placeholder is taken out of the paste's folder
};

// How long the dispatcher waits; taken from the table of fixed delays when the dispatcher is
// made; tests may set others.
struct DispatcherTimings {
    uint32_t networkErrorMs = FixedDelays::Ms(FixedDelay::kNetworkErrorQuiet);
    uint32_t networkRecheckMs = FixedDelays::Ms(FixedDelay::kNetworkRecheck);
    uint32_t retryStepMs = FixedDelays::Ms(FixedDelay::kRetryStep);
    uint32_t saveIntervalMs = FixedDelays::Ms(FixedDelay::kSaveUnfinished);
};

// What the flows of the dispatcher share: the drop window and its looks, the transfer
// manager's upload and download queues, the timings, the closing mark, and the process's work and transfer
// states, which only the dispatcher changes (through here). Everything runs on the drop
// window's thread.
class DispatcherContext {
public:
    explicit DispatcherContext(IDispatcherView& view) : m_view(view) {}
    DispatcherContext(const DispatcherContext&) = delete;
    DispatcherContext& operator=(const DispatcherContext&) = delete;

    IDispatcherView& View() { return m_view; }

    void SetWindow(platform::WindowHandle window) { m_window = window; }
    platform::WindowHandle Window() const { return m_window; }
    // The queue reports what happens to its uploads; the transfer state moves here.
    void SetUploadQueue(UploadQueue* queue);
    UploadQueue* Queue() const { return m_queue; }
    // The same for downloads.
    void SetDownloadQueue(DownloadQueue* queue);
    DownloadQueue* DnldQueue() const { return m_dnldQueue; }
    void SetTimings(const DispatcherTimings& timings) { m_timings = timings; }
    const DispatcherTimings& Timings() const { return m_timings; }
    UnfinishedUploadsSaver& Saver() { return m_saver; }
    UnfinishedDownloadsSaver& DnldSaver() { return m_dnldSaver; }

    void SetClosing() { m_closing = true; }
    bool IsClosing() const { return m_closing; }

    WorkState GetWorkState() const { return ProcessState::GetInstance().GetWorkState(); }
    void SetWorkState(WorkState state);
    bool IsOffline() const { return ProcessState::GetInstance().IsOffline(); }
    TxState GetTxState() const { return ProcessState::GetInstance().GetTxState(); }
    void MoveTxStatus(TxEvent event);

    void SetTimer(DispatcherTimer timer, uint32_t intervalMs);
    void KillTimer(DispatcherTimer timer);

    bool UploadsRunning() const;
    bool DownloadsRunning() const;
    bool DownloadsActive() const { return ProcessState::GetInstance().DownloadsActive(); }
    bool UploadsActive() const {
        const TxState state = GetTxState();
        return state == TxState::kUploads || state == TxState::kBoth;
    }
    // The idle look, unless transfers still run.
    void ShowIdleLook();

private:
    IDispatcherView& m_view;
    platform::WindowHandle m_window = platform::kNoWindow;
    UploadQueue* m_queue = nullptr;
    DownloadQueue* m_dnldQueue = nullptr;
    DispatcherTimings m_timings;
    UnfinishedUploadsSaver m_saver;
    UnfinishedDownloadsSaver m_dnldSaver;
    bool m_closing = false;
    ProcessState::Writer m_stateWriter;
};
