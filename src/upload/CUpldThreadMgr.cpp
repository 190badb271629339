#include "upload/CUpldThreadMgr.h"

#include "core/Logging.h"
#include "upload/CEasyUploader.h"
#include "upload/CUploaderMgr.h"

CUpldThreadMgr& CUpldThreadMgr::GetInstance() {
    static CUpldThreadMgr* instance = new CUpldThreadMgr();
    return *instance;
}

CUpldThreadMgr::CUpldThreadMgr() : CFPoolManager(3, 3) {}

void CUpldThreadMgr::Stop() {
    VLOG(1) << "CUpldThreadMgr::Stop";
    CFPoolManager::Stop();
}

bool CUpldThreadMgr::AddJob(const CUploadParam& param, std::shared_ptr<CUploaderMgr> task) {
    if (!task) {
        return false;
    }
    auto job =
        std::make_unique<CEasyUploader>(std::make_unique<CUploadParam>(param), std::move(task));
    return CFPoolManager::AddJob(std::move(job));
}
