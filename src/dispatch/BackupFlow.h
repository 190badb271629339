#pragma once

#include "dispatch/DispatcherFlow.h"

// Automatic backup: the change checker's and the folder monitor's findings become upload
// requests of the backup folders.
//
// This build has no backup checker or monitor: the handlers below log what arrives.
class BackupFlow : public DispatcherFlow {
public:
    explicit BackupFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    void OnBackupModFile(const int* workType);  // WM_BACKUP_WORK
    void OnCheckDirExit();                      // WM_CHECK_DIR_EXIT
    void OnGetFilePid();                        // WM_GET_FILE_PID

};
