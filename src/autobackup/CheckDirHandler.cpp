#include "autobackup/CheckDirHandler.h"

#include "autobackup/BackupTreeWalk.h"
#include "autobackup/CheckDirChangeMgr.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"

CheckDirHandler::CheckDirHandler(std::unique_ptr<TravelDirParam> param, CheckDirChangeMgr& checker,
                                 int64_t sinceSec)
    : CFJobBase(std::move(param), 1), m_checker(checker), m_sinceSec(sinceSec) {}

void CheckDirHandler::Run() {
    const TravelDirParam& param = *GetParam();
    const BackupTreeWalk::Result result =
        BackupTreeWalk::ChangedSince(param.path, m_sinceSec, [this] { return ShouldContinue(); });
    if (!result.complete) {
        VLOG(1) << "CheckDirHandler - stopped in " << param.path.string();
        return;
    }
    VLOGF(1, "CheckDirHandler::sendResult:file: %d", result.paths.size());
    m_checker.AppendQueue(result.paths);
    platform::PostMessage(param.window,
                          platform::Message(WM_BACKUP_WORK,
                                            platform::MakePayload<int>(kBackupCheckListReady)));
}
