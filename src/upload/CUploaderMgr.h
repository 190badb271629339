#pragma once

#include <cstdint>
#include <memory>

#include "upload/CUploaderContext.h"

// One upload task as the transfer manager window drives it: Start, Pause and Stop on top of
// the shared context. The window creates it on the task's first start and reuses it for every
// later start.
//
// The task is held through shared_ptr: the running transfer keeps its own reference, so the
// window may drop the task (delete, clear, quit) while a transfer still runs; the transfer
// then ends against a context nobody shows any more instead of freed memory.
class CUploaderMgr : public CUploaderContext, public std::enable_shared_from_this<CUploaderMgr> {
public:
    static std::shared_ptr<CUploaderMgr> Create(const CUploadParam& param);
    ~CUploaderMgr() override;

    // Replaces the parameters (the window sets them before each start).
    virtual void SetParam(const CUploadParam& param);

    // From 0, 3 or 4: state 1, WM_UPLD_STATUS sent to the task's window, and a transfer job
    // handed to the upload pool; returns 0. Otherwise (or with no pool running) changes
    // nothing and returns 2.
    virtual int Start();
    // 1 becomes 7; the running transfer ends paused (4) at its next check. Returns the state.
    virtual int32_t Pause();
    // 6 when the task is destroyed, else 0x80000000.
    virtual uint32_t QueryDestroyed() const;
    // Any state but 6 and 8: sets the stop flag; a task with a transfer under way becomes 8
    // (its transfer ends it as 6), a task without one is destroyed (6) at once. Returns the
    // state.
    virtual int32_t Stop();

private:
    explicit CUploaderMgr(const CUploadParam& param);
};
