#pragma once

#include <cstdint>
#include <memory>

#include "download/CDownloaderContext.h"

// One download task as its owner drives it (the transfer manager's download queue, or the
// local edit manager): Start, Pause and Stop on top of the shared context. The owner creates it
// on the first start of an entry and reuses it for every later start.
//
// The task is held through shared_ptr: the running job keeps its own reference, so the owner
// may drop the task (delete, clear, quit) while a job still runs; the job then ends against a
// context nobody shows any more instead of freed memory.
class CDownloaderMgr : public CDownloaderContext,
                       public std::enable_shared_from_this<CDownloaderMgr> {
public:
    static constexpr uint32_t kNotDestroyed = 0x80000000u;

    static std::shared_ptr<CDownloaderMgr> Create(const CDownloadParam& param);
    ~CDownloaderMgr() override;

    // Replaces the parameters (the owner sets them before each start).
    virtual void SetParam(const CDownloadParam& param);

    // From 0, 3 or 4: state 1; for an ordinary download WM_DNLD_STATUS is sent to the task's
    // window and a job handed to the download pool, for a local-edit download the job goes to
    // the local-edit pool without a message. Returns 0. Otherwise (or with no pool running)
    // changes nothing, logs, and returns 2.
    virtual int Start();
    // 1 becomes 7; the running job ends paused (4) at its next block. Returns the state.
    virtual int32_t Pause();
    // 6 when the task is destroyed, else kNotDestroyed.
    virtual uint32_t QueryDestroyed() const;
    // Any state but 6 and 8: a task whose job is queued or running (1, 7) becomes 8 and its
    // job ends it as 6; any other is destroyed (6) at once. The task is abandoned either way:
    // no end message comes. Returns the state.
    virtual int32_t Stop();

private:
    explicit CDownloaderMgr(const CDownloadParam& param);
};
