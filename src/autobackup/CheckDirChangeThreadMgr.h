#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/CFPoolManager.h"
#include "upload/TravelDirParam.h"

class CheckDirChangeMgr;

// The pool (5 threads) on which the start-up check walks the backup folders, one job each.
// Started only when there are backup folders, stopped once the check is over.
class CheckDirChangeThreadMgr : public CFPoolManager<std::unique_ptr<TravelDirParam>> {
public:
    static CheckDirChangeThreadMgr& GetInstance();
    CheckDirChangeThreadMgr();

    // Walks `path` for changes at or after `sinceSec`; its list goes to `checker`, its report
    // to `window`. False when the pool is not started.
    bool AddJob(platform::WindowHandle window, const std::filesystem::path& path,
                CheckDirChangeMgr& checker, int64_t sinceSec);
    void Stop() override;
};
