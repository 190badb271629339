#include "upload/ComputeShaMgr.h"

#include "core/Logging.h"
#include "upload/ComputeShaHandler.h"

ComputeShaMgr& ComputeShaMgr::GetInstance() {
    static ComputeShaMgr* instance = new ComputeShaMgr();
    return *instance;
}

ComputeShaMgr::ComputeShaMgr() : CFPoolManager(5, 5) {}

bool ComputeShaMgr::Start() {
    bool ok = CFPoolManager::Start();
    m_running = ok;
    return ok;
}

void ComputeShaMgr::Stop() {
    VLOG(1) << "ComputeShaMgr::Stop";
    CFPoolManager::Stop();
    m_running = false;
}

bool ComputeShaMgr::AddJob(const CalcShaParam& param) {
    if (!m_running) {
        return false;
    }
    auto job = std::make_unique<ComputeShaHandler>(std::make_unique<CalcShaParam>(param));
    if (!CFPoolManager::AddJob(std::move(job))) {
        return false;
    }
    VLOG(1) << "AddJob" << param.path.string();
    return true;
}
