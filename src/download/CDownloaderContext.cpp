#include "download/CDownloaderContext.h"

#include "core/Logging.h"
#include "core/Options.h"

CDownloaderContext::CDownloaderContext(const CDownloadParam& param)
    : m_param(param),
      m_maxConnections(COptions::GetInstance().m_splitNum.load()),
      m_position(param.position) {}

CDownloaderContext::~CDownloaderContext() = default;

void CDownloaderContext::NoLockSetState(int32_t state, const std::string& statusText) {
    if (state != m_state) {
        VLOGF(1, "Task[%02d]: StateChanged from [%d] to [%d]", m_param.taskId, m_state.load(),
              state);
    }
    if (m_state == TSE_DESTROYING && state != TSE_DESTROYED) {
        VLOGF(1, "Task[%02d]: [%d] changed to [%d]", m_param.taskId, TSE_DESTROYING,
              TSE_DESTROYED);
        state = TSE_DESTROYED;
    }
    m_state = state;
    m_statusText = statusText;
}

void CDownloaderContext::SetState(int32_t state, const std::string& statusText) {
    platform::CriticalSectionGuard guard(m_lock);
    NoLockSetState(state, statusText);
}

int32_t CDownloaderContext::GetState() const { return m_state.load(); }

DownloadStatus CDownloaderContext::GetStatus() const {
    platform::CriticalSectionGuard guard(m_lock);
    return DownloadStatus{m_state.load(), m_statusText};
}

CDownloadParam CDownloaderContext::GetParam() const {
    platform::CriticalSectionGuard guard(m_lock);
    return m_param;
}

int32_t CDownloaderContext::GetTaskId() const {
    platform::CriticalSectionGuard guard(m_lock);
    return m_param.taskId;
}

void CDownloaderContext::SetPosition(int64_t position) { m_position = position; }

int64_t CDownloaderContext::GetPosition() const { return m_position.load(); }

bool CDownloaderContext::CanStart(int32_t state) {
    return state == TSE_READY || state == TSE_FAILED || state == TSE_PAUSED;
}

bool CDownloaderContext::CanPause(int32_t state) { return state == TSE_TRANSFERRING; }

bool CDownloaderContext::CanStop(int32_t state) {
    return state != TSE_DESTROYED && state != TSE_DESTROYING;
}

bool CDownloaderContext::IsIdleAfterRun(int32_t state) {
    return state == TSE_COMPLETED || state == TSE_FAILED || state == TSE_PAUSED;
}
