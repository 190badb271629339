#include "download/CDnldThreadMgr.h"

#include "core/Logging.h"
#include "download/CDownloaderMgr.h"
#include "download/CEasyDownloader.h"

CDnldThreadMgr& CDnldThreadMgr::GetInstance() {
    static CDnldThreadMgr* instance = new CDnldThreadMgr();  // lives until process exit
    return *instance;
}

CDnldThreadMgr::CDnldThreadMgr() : CDnldThreadMgr(3, "CDnldThreadMgr") {}

CDnldThreadMgr::CDnldThreadMgr(int threads, const char* name)
    : CFPoolManager(threads, threads), m_name(name) {}

void CDnldThreadMgr::Stop() {
    VLOGF(1, "%s::Stop", m_name);
    CFPoolManager::Stop();
}

bool CDnldThreadMgr::AddJob(const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task) {
    return CEasyDownloader::Submit(*this, param, std::move(task));
}
