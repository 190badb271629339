#include "upload/TravelDirMgr.h"

#include <cstdint>

#include "core/Logging.h"
#include "upload/TravelDirHandler.h"

TravelDirMgr& TravelDirMgr::GetInstance() {
    static TravelDirMgr* instance = new TravelDirMgr();  // lives until process exit
    return *instance;
}

TravelDirMgr::TravelDirMgr()
    : CFPoolManager(5, 5), m_batchPauseMs(FixedDelays::Ms(FixedDelay::kWalkBatchPause)) {
    VLOGF(1, "Task TravelDirMgr: Constructor called. (0x%08X)",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
}

bool TravelDirMgr::Start() {
    bool ok = CFPoolManager::Start();
    m_running = ok;
    return ok;
}

void TravelDirMgr::Stop() {
    VLOG(1) << "TravelDirMgr::Stop";
    m_running = false;
    CFPoolManager::Stop();
}

bool TravelDirMgr::AddJob(platform::WindowHandle window, const std::filesystem::path& path) {
    if (!m_running) {
        return false;
    }
    auto param = std::make_unique<TravelDirParam>(TravelDirParam{window, path});
    if (!CFPoolManager::AddJob(std::make_unique<TravelDirHandler>(std::move(param), m_batchPauseMs))) {
        return false;
    }
    VLOG(1) << "AddJob" << path.string();
    return true;
}
