#include "autobackup/CheckDirChangeThreadMgr.h"

#include "autobackup/CheckDirHandler.h"
#include "core/Logging.h"

CheckDirChangeThreadMgr& CheckDirChangeThreadMgr::GetInstance() {
    static CheckDirChangeThreadMgr* instance = new CheckDirChangeThreadMgr();  // lives until exit
    return *instance;
}

CheckDirChangeThreadMgr::CheckDirChangeThreadMgr() : CFPoolManager(5, 5) {}

bool CheckDirChangeThreadMgr::AddJob(platform::WindowHandle window, const std::filesystem::path& path,
                                     CheckDirChangeMgr& checker, int64_t sinceSec) {
    if (!IsStarted()) {
        return false;
    }
    auto param = std::make_unique<TravelDirParam>();
    param->window = window;
    param->path = path;
    VLOG(1) << "CheckDirChangeThreadMgr::AddJob:" << path.string();
    return CFPoolManager::AddJob(std::make_unique<CheckDirHandler>(std::move(param), checker, sinceSec));
}

void CheckDirChangeThreadMgr::Stop() {
    VLOG(1) << "CheckDirChangeThreadMgr::Stop";
    CFPoolManager::Stop();
}
