#include "download/LocalEditDnldMgr.h"

#include "core/Logging.h"
#include "download/CDownloaderMgr.h"
#include "download/CEasyDownloader.h"

LocalEditDnldMgr& LocalEditDnldMgr::GetInstance() {
    static LocalEditDnldMgr* instance = new LocalEditDnldMgr();  // lives until process exit
    return *instance;
}

LocalEditDnldMgr::LocalEditDnldMgr() : CFPoolManager(1, 1) {}

void LocalEditDnldMgr::Stop() {
    VLOG(1) << "LocalEditDnldMgr::Stop";
    CFPoolManager::Stop();
}

bool LocalEditDnldMgr::AddJob(const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task) {
    return CEasyDownloader::Submit(*this, param, std::move(task));
}
