#pragma once

#include "core/CFJobBase.h"
#include "core/CWriteDbParam.h"
#include "core/DBWrapper.h"

class CWriteDbMgr;

// One write-queue job: writes its batch in one transaction, at most CWriteDbMgr::kMaxAttempts
// times with a pause after each failed attempt, then gives the batch up (logged). The pool owns
// the job; ending it in any way (run, cancelled, never submitted) ends its turn in the queue.
class CWriteDbHandler : public CFJobBase<CWriteDbParam> {
public:
    CWriteDbHandler(CWriteDbParam param, int priority, CWriteDbMgr& owner);
    ~CWriteDbHandler() override;

    bool Initialize() override;
    void Run() override;

    bool Written() const { return m_written; }

private:
    friend class CWriteDbMgr;

    bool WriteOnce();
    // Sleeps the pause unless the job or the pool is stopped meanwhile; false when stopped.
    bool PauseBeforeRetry();
    void EndTurn();

    CWriteDbMgr& m_owner;
    DBWrapper m_db;
    bool m_written = false;
    bool m_turnEnded = false;
};
