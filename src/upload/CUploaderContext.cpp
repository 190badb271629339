#include "upload/CUploaderContext.h"

#include <fmt/format.h>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"

namespace {

// String table entries of the state names.
uint32_t StateNameId(int32_t state) {
    // clang-format off
    switch (state) {
        case TSE_READY: return 105;             // "Ready"
        case TSE_TRANSFERRING: return 111;      // "Transferring"
        case TSE_COMPLETED: return 140;         // "Completed"
        case TSE_FAILED: return 106;            // "Network error"
        case TSE_PAUSED: return 108;            // "Pause"
        case TSE_SERVER_COMPLETED: return 155;  // "Completed" (instant upload)
        case TSE_DESTROYED: return 110;         // "Destroy"
        case TSE_PAUSING: return 118;           // "Pausing"
        case TSE_DESTROYING: return 112;        // "Destroying"
        default: return 0;
    }
    // clang-format on
}

}  // namespace

CUploaderContext::CUploaderContext(const CUploadParam& param)
    : m_param(param), m_maxConnections(COptions::GetInstance().m_splitNum.load()) {}

CUploaderContext::~CUploaderContext() = default;

void CUploaderContext::NoLockSetState(int32_t state, const std::string& statusText) {
    if (state != m_state) {
        VLOGF(1, "NoLockSetState Task[%02d]: StateChanged from [%d] to [%d]", m_param.taskIndex,
              m_state.load(), state);
    }
    if (m_state == TSE_DESTROYING && state != TSE_DESTROYED) {
        state = TSE_DESTROYED;
        VLOGF(1, "NoLockSetState Task[%02d]: [%d] changed to [%d]", m_param.taskIndex,
              TSE_DESTROYING, TSE_DESTROYED);
    }
    m_state = state;
    m_statusText = statusText;
}

void CUploaderContext::SetState(int32_t state, const std::string& statusText) {
    platform::CriticalSectionGuard guard(m_lock);
    NoLockSetState(state, statusText);
}

int32_t CUploaderContext::GetState() const {
    return m_state.load();
}

UpldStatusInfo CUploaderContext::GetStatus() const {
    platform::CriticalSectionGuard guard(m_lock);
    return UpldStatusInfo{m_state.load(), m_statusText};
}

void CUploaderContext::SetStopFlag(bool stop) {
    platform::CriticalSectionGuard guard(m_lock);
    m_stopFlag = stop;
}

bool CUploaderContext::GetStopFlag() const {
    return m_stopFlag.load();
}

CUploadParam CUploaderContext::GetParam() const {
    platform::CriticalSectionGuard guard(m_lock);
    return m_param;
}

int32_t CUploaderContext::GetTaskIndex() const {
    platform::CriticalSectionGuard guard(m_lock);
    return m_param.taskIndex;
}

void CUploaderContext::SetTransferPosition(int64_t fid, int64_t breakPoint) {
    platform::CriticalSectionGuard guard(m_lock);
    m_param.fid = fid;
    m_param.breakPoint = breakPoint;
}

bool CUploaderContext::CanStart(int32_t state) {
    return state == TSE_READY || state == TSE_FAILED || state == TSE_PAUSED;
}

bool CUploaderContext::CanPause(int32_t state) {
    return state == TSE_TRANSFERRING;
}

bool CUploaderContext::CanStop(int32_t state) {
    return state != TSE_DESTROYED && state != TSE_DESTROYING;
}

std::string CUploaderContext::GetStateName(int32_t state) {
    const uint32_t id = StateNameId(state);
    if (id == 0) {
        return fmt::format("Unknown status code: {}", state);
    }
    return CMultiLanguageMgr::GetInstance().LoadString(id);
}

std::string CUploaderContext::GetDisplayText(int32_t state, const std::string& statusText) {
    std::string name = GetStateName(state);
    if (statusText.empty() || state == TSE_FAILED || StateNameId(state) == 0) {
        return name;
    }
    return name + ": " + statusText;
}

std::string CUploaderContext::GetDisplayText() const {
    UpldStatusInfo status = GetStatus();
    return GetDisplayText(status.state, status.text);
}
