#include "dispatch/DispatcherContext.h"

#include "core/Logging.h"
#include "platform/WindowRegistry.h"
#include "download/DownloadQueue.h"
#include "upload/UploadQueue.h"

void DispatcherContext::SetUploadQueue(UploadQueue* queue) {
    m_queue = queue;
    if (m_queue) {
        m_queue->SetTxEventHandler([this](TxEvent event) { MoveTxStatus(event); });
    }
}

void DispatcherContext::SetDownloadQueue(DownloadQueue* queue) {
    m_dnldQueue = queue;
    if (m_dnldQueue) {
        m_dnldQueue->SetTxEventHandler([this](TxEvent event) { MoveTxStatus(event); });
    }
}

void DispatcherContext::SetWorkState(WorkState state) {
    const WorkState before = ProcessState::GetInstance().SetWorkState(state, m_stateWriter);
    if (before != state) {
        VLOGF(1, "CDndUiDlg - work state %d -> %d", static_cast<int>(before),
              static_cast<int>(state));
    }
}

void DispatcherContext::MoveTxStatus(TxEvent event) {
    ProcessState& state = ProcessState::GetInstance();
    const TxState after = MoveTxState(state.GetTxState(), event);
    const TxState before = state.SetTxState(after, m_stateWriter);
    if (before != after) {
        m_view.OnTxStateChanged(before, after);
    }
}

void DispatcherContext::SetTimer(DispatcherTimer timer, uint32_t intervalMs) {
    if (m_window != platform::kNoWindow) {
        platform::SetTimer(m_window, timer, intervalMs);
    }
}

void DispatcherContext::KillTimer(DispatcherTimer timer) {
    if (m_window != platform::kNoWindow) {
        platform::KillTimer(m_window, timer);
    }
}

bool DispatcherContext::UploadsRunning() const {
    return m_queue && m_queue->GetRunningCount() > 0;
}

bool DispatcherContext::DownloadsRunning() const {
    return m_dnldQueue && m_dnldQueue->GetRunningCount() > 0;
}

void DispatcherContext::ShowIdleLook() {
    if (!UploadsRunning() && !DownloadsActive()) {
        m_view.SetWindowMode(IDispatcherView::kIdleMode);
    }
}
