#pragma once

#include <memory>

#include "core/CFPoolManager.h"
#include "upload/CUploadParam.h"

class CUploaderMgr;

// The upload pool: three threads, one upload transfer (CEasyUploader) per job. Tasks hand
// themselves over through CUploaderMgr::Start; the transfer manager's queue keeps at most three
// of them running.
class CUpldThreadMgr : public CFPoolManager<std::unique_ptr<CUploadParam>> {
public:
    static CUpldThreadMgr& GetInstance();
    CUpldThreadMgr();

    void Stop() override;

    // Queues a transfer of a copy of `param` for `task`. False when the pool is not running.
    bool AddJob(const CUploadParam& param, std::shared_ptr<CUploaderMgr> task);
};
