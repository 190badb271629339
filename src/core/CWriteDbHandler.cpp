#include "core/CWriteDbHandler.h"

#include "core/CFThreadPool.h"
#include "core/CWriteDbMgr.h"
#include "core/Logging.h"

CWriteDbHandler::CWriteDbHandler(CWriteDbParam param, int priority, CWriteDbMgr& owner)
    : CFJobBase<CWriteDbParam>(std::move(param), priority), m_owner(owner) {}

CWriteDbHandler::~CWriteDbHandler() {
    m_db.close();
    EndTurn();  // a cancelled or never submitted job must not hold up the jobs behind it
}

bool CWriteDbHandler::Initialize() {
    m_db.setPath(GetParam().dbPath);
    return true;
}

void CWriteDbHandler::Run() {
    const std::string& sql = GetParam().sql;
    VLOGF(1, "Run: %s", sql);
    if (!m_owner.WaitForTurn(*this)) {
        VLOGF(1, "CWriteDbHandler::Run: stopped before writing %s", GetParam().dbPath);
        EndTurn();
        return;
    }
    m_owner.KeepDatabaseOpen(GetParam().dbPath);
    for (int attempt = 1;;) {
        if (++attempt > CWriteDbMgr::kMaxAttempts + 1) {
            // The batch is dropped; an error line (not only a verbose one) so that lost
            // writes show in every log.
            LOG(ERROR) << "logging failed: " << sql;
            LOG(ERROR) << "CWriteDbHandler::Run: " << GetParam().dbPath << ": " << m_db.errorText();
            break;
        }
        // Waits while the pool is paused; gives up when the job or the pool is stopped.
        if (!ShouldContinue()) {
            VLOGF(1, "CWriteDbHandler::Run: stopped before writing %s", GetParam().dbPath);
            break;
        }
        if (!m_db.isOpen() && !m_db.open()) {
            VLOGF(1, "CWriteDbHandler::Run: open db failed");
            VLOG(1) << "CWriteDbHandler::Run: " << GetParam().dbPath << ": " << m_db.errorText();
            // The same pause as after a failed write: what keeps the file from opening (a disk
            // without room for its shared-memory file, a lock) needs time to go away, and
            // spending every attempt at once would drop the batch at the first hitch.
            if (!PauseBeforeRetry()) {
                break;
            }
            continue;
        }
        if (WriteOnce()) {
            m_written = true;
            break;
        }
        m_db.close();
        if (!PauseBeforeRetry()) {
            break;
        }
    }
    m_db.close();
    EndTurn();
}

bool CWriteDbHandler::WriteOnce() {
    if (!m_db.executeSQL("BEGIN TRANSACTION;")) {
        return false;
    }
    if (m_db.executeSQL(GetParam().sql) && m_db.executeSQL("COMMIT TRANSACTION;")) {
        return true;
    }
    m_db.rollback();
    return false;
}

bool CWriteDbHandler::PauseBeforeRetry() {
    const uint32_t pause = m_owner.GetRetryPauseMs();
    auto* pool = GetPool();
    if (!pool) {
        return !JobEvent().Wait(pause);
    }
    return platform::WaitAny({&JobEvent(), &pool->StopEvent()}, pause) == platform::kWaitTimeout;
}

void CWriteDbHandler::EndTurn() {
    if (!m_turnEnded) {
        m_turnEnded = true;
        m_owner.EndTurn(GetParam(), m_written);
    }
}
