#pragma once

#include <memory>

#include "core/CFPoolManager.h"
#include "download/CDownloadParam.h"

class CDownloaderMgr;

// The local-edit download pool: one thread of its own, so that a file opened for editing never
// waits behind ordinary downloads. Local-edit tasks (CDownloadParam::localEdit) run here.
class LocalEditDnldMgr : public CFPoolManager<std::unique_ptr<CDownloadParam>> {
public:
    static LocalEditDnldMgr& GetInstance();
    LocalEditDnldMgr();

    void Stop() override;

    // Queues a run of `task` over a copy of `param`. False when the pool is not running.
    bool AddJob(const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task);
};
