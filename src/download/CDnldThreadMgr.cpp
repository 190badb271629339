#include "download/CDnldThreadMgr.h"

#include "core/Logging.h"
#include "download/CDownloaderMgr.h"
#include "download/CEasyDownloader.h"

CDnldThreadMgr& CDnldThreadMgr::GetInstance() {
    static CDnldThreadMgr* instance = new CDnldThreadMgr();  // lives until process exit
    return *instance;
}

CDnldThreadMgr::CDnldThreadMgr() : CFPoolManager(3, 3) {}

void CDnldThreadMgr::Stop() {
    VLOG(1) << "CDnldThreadMgr::Stop";
    CFPoolManager::Stop();
}

bool CDnldThreadMgr::AddJob(const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task) {
    return CEasyDownloader::Submit(*this, param, std::move(task));
}
