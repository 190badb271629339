#include "upload/CUploaderMgr.h"

#include <cstdint>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "upload/CUpldThreadMgr.h"

std::shared_ptr<CUploaderMgr> CUploaderMgr::Create(const CUploadParam& param) {
    return std::shared_ptr<CUploaderMgr>(new CUploaderMgr(param));
}

CUploaderMgr::CUploaderMgr(const CUploadParam& param) : CUploaderContext(param) {
    VLOGF(1, "Task[%02d]: Constructor called. DMGR(0x%08X)", param.taskIndex,
          reinterpret_cast<uintptr_t>(this));
}

CUploaderMgr::~CUploaderMgr() = default;

void CUploaderMgr::SetParam(const CUploadParam& param) {
    platform::CriticalSectionGuard guard(m_lock);
    m_param = param;
}

int CUploaderMgr::Start() {
    CUploadParam param;
    UpldStatusInfo status;
    {
        platform::CriticalSectionGuard guard(m_lock);
        if (!CanStart(m_state)) {
            VLOGF(1, "Task[%02d] can't be started, because of wrong state = %d", m_param.taskIndex,
                  m_state.load());
            return 2;
        }
        // Without a pool the job would never run and the task would show "Transferring" for
        // ever; it stays as it is instead.
        if (!CUpldThreadMgr::GetInstance().IsStarted()) {
            LOGF(ERROR, "Task[%02d] can't be started, the upload pool is not running",
                 m_param.taskIndex);
            return 2;
        }
        NoLockSetState(TSE_TRANSFERRING, std::string());
        param = m_param;
        status = UpldStatusInfo{m_state.load(), m_statusText};
    }
    // Sent without the lock: the window's handler reads the state again.
    platform::Message message(WM_UPLD_STATUS);
    message.wValue = param.taskIndex;
    message.lData = platform::MakePayload<UpldStatusInfo>(status);
    platform::SendMessage(param.window, std::move(message));

    if (!CUpldThreadMgr::GetInstance().AddJob(param, shared_from_this())) {
        LOGF(ERROR, "Task[%02d] can't be handed to the upload pool", param.taskIndex);
        SetState(TSE_FAILED, CMultiLanguageMgr::GetInstance().LoadString(127));  // "Upload failed"
        return 2;
    }
    return 0;
}

int32_t CUploaderMgr::Pause() {
    platform::CriticalSectionGuard guard(m_lock);
    if (CanPause(m_state)) {
        NoLockSetState(TSE_PAUSING, std::string());
    }
    return m_state.load();
}

uint32_t CUploaderMgr::QueryDestroyed() const {
    return GetState() == TSE_DESTROYED ? static_cast<uint32_t>(TSE_DESTROYED) : 0x80000000u;
}

int32_t CUploaderMgr::Stop() {
    platform::CriticalSectionGuard guard(m_lock);
    if (CanStop(m_state)) {
        // Only a task whose transfer is queued or running (1, 7) has someone left to end it.
        const bool running = m_state == TSE_TRANSFERRING || m_state == TSE_PAUSING;
        NoLockSetState(running ? TSE_DESTROYING : TSE_DESTROYED, std::string());
        m_stopFlag = true;
    }
    return m_state.load();
}
