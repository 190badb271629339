#include "download/CDownloaderMgr.h"

#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "download/CDnldThreadMgr.h"
#include "download/LocalEditDnldMgr.h"
#include "platform/WindowRegistry.h"

std::shared_ptr<CDownloaderMgr> CDownloaderMgr::Create(const CDownloadParam& param) {
    return std::shared_ptr<CDownloaderMgr>(new CDownloaderMgr(param));
}

CDownloaderMgr::CDownloaderMgr(const CDownloadParam& param) : CDownloaderContext(param) {
    VLOGF(1, "Task[%02d]: Constructor called. DMGR(0x%08X)", param.taskId,
          reinterpret_cast<uintptr_t>(this));
}

CDownloaderMgr::~CDownloaderMgr() = default;

void CDownloaderMgr::SetParam(const CDownloadParam& param) {
    platform::CriticalSectionGuard guard(m_lock);
    m_param = param;
    m_position = param.position;
}

int CDownloaderMgr::Start() {
    CDownloadParam param;
    DownloadStatus status;
    {
        platform::CriticalSectionGuard guard(m_lock);
        if (!CanStart(m_state)) {
            VLOGF(1, "Task[%02d] can't be started, because of wrong state = %d", m_param.taskId,
                  m_state.load());
            return 2;
        }
        // Without a pool the job would never run and the task would show "Transferring" for
        // ever; it stays as it is instead.
        const bool poolRunning = m_param.localEdit ? LocalEditDnldMgr::GetInstance().IsStarted()
                                                   : CDnldThreadMgr::GetInstance().IsStarted();
        if (!poolRunning) {
            LOGF(ERROR, "Task[%02d] can't be started, the download pool is not running",
                 m_param.taskId);
            return 2;
        }
        NoLockSetState(TSE_TRANSFERRING, std::string());
        param = m_param;
        status = DownloadStatus{m_state.load(), m_statusText};
    }
    auto self = shared_from_this();
    if (param.localEdit) {
        if (!LocalEditDnldMgr::GetInstance().AddJob(param, self)) {
            SetState(TSE_READY);
            return 2;
        }
        return 0;
    }
    // Sent without the lock: the window's handler reads the state again.
    platform::Message message(WM_DNLD_STATUS);
    message.wValue = param.taskId;
    message.lData = platform::MakePayload<DownloadStatus>(status);
    platform::SendMessage(param.window, std::move(message));
    if (!CDnldThreadMgr::GetInstance().AddJob(param, self)) {
        LOGF(ERROR, "Task[%02d] can't be handed to the download pool", param.taskId);
        SetState(TSE_READY);
        return 2;
    }
    return 0;
}

int32_t CDownloaderMgr::Pause() {
    platform::CriticalSectionGuard guard(m_lock);
    if (CanPause(m_state)) {
        NoLockSetState(TSE_PAUSING, std::string());
    }
    return m_state.load();
}

uint32_t CDownloaderMgr::QueryDestroyed() const {
    return GetState() == TSE_DESTROYED ? static_cast<uint32_t>(TSE_DESTROYED) : kNotDestroyed;
}

int32_t CDownloaderMgr::Stop() {
    platform::CriticalSectionGuard guard(m_lock);
    if (CanStop(m_state)) {
        // Only a task whose job is queued or running has someone left to end it.
        const bool running = m_state == TSE_TRANSFERRING || m_state == TSE_PAUSING;
        NoLockSetState(running ? TSE_DESTROYING : TSE_DESTROYED, std::string());
        m_abandoned = true;
    }
    return m_state.load();
}
