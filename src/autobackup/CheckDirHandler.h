#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "core/CFJobBase.h"
#include "upload/TravelDirParam.h"

class CheckDirChangeMgr;

// One job of the start-up check: walks one backup folder for what changed after the last exit
// (BackupTreeWalk::ChangedSince), puts the list into the change checker's queue and posts
// WM_BACKUP_WORK (kBackupCheckListReady) to the window. A walk that ends, however few entries
// the folder holds, reports; only a walk stopped by the pool (the process is closing) does not.
class CheckDirHandler : public CFJobBase<std::unique_ptr<TravelDirParam>> {
public:
    CheckDirHandler(std::unique_ptr<TravelDirParam> param, CheckDirChangeMgr& checker,
                    int64_t sinceSec);

    void Run() override;

private:
    CheckDirChangeMgr& m_checker;
    const int64_t m_sinceSec;
};
