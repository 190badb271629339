#pragma once

#include "dispatch/DispatcherFlow.h"

// Automatic backup: the start-up check's and the folder monitor's findings become upload
// requests of the backup folders, and a new folder selection of the settings window changes
// what is watched without a restart.
//
// The order: each start-up check job reports (WM_BACKUP_WORK, kBackupCheckListReady) and the
// change checker hands its list over; at the end of the check (WM_CHECK_DIR_EXIT) its pool
// stops and the folder monitor starts; each hand-over of the monitor (WM_GET_FILE_PID) has the
// server actions worker find the cloud folders. The settings window, after
// COptions::SetBackupPaths and COptions::ApplyBackupSelection, posts WM_BACKUP_WORK with
// kBackupFoldersChanged.
class BackupFlow : public DispatcherFlow {
public:
    explicit BackupFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    void OnBackupModFile(const int* workType);  // WM_BACKUP_WORK
    void OnCheckDirExit();                      // WM_CHECK_DIR_EXIT
    void OnGetFilePid();                        // WM_GET_FILE_PID
};
