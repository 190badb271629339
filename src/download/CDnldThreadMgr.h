#pragma once

#include <memory>

#include "core/CFPoolManager.h"
#include "download/CDownloadParam.h"

class CDownloaderMgr;

// The shared download pool: three threads, one download job (CEasyDownloader) per run of a
// task. Tasks hand themselves over through CDownloaderMgr::Start; the download queue keeps at
// most three of them running. The local-edit pool (LocalEditDnldMgr) is the same with one
// thread of its own.
class CDnldThreadMgr : public CFPoolManager<std::unique_ptr<CDownloadParam>> {
public:
    static CDnldThreadMgr& GetInstance();
    CDnldThreadMgr();

    void Stop() override;

    // Queues a run of `task` over a copy of `param`. False when the pool is not running.
    bool AddJob(const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task);

protected:
    CDnldThreadMgr(int threads, const char* name);

private:
    const char* m_name;  // for the log line of Stop
};
