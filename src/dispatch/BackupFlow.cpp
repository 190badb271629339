#include "dispatch/BackupFlow.h"

#include "core/Logging.h"

void BackupFlow::OnBackupModFile(const int* workType) {
    if (!workType) {
        LOG(ERROR) << "CDndUiDlg::OnBackupModFile: can't get worktype";
        return;
    }
    VLOGF(1, "CDndUiDlg::OnBackupModFile - work type %d, no backup checker", *workType);
}

void BackupFlow::OnCheckDirExit() { VLOG(1) << "CDndUiDlg::OnCheckDirExit"; }

void BackupFlow::OnGetFilePid() { VLOG(1) << "CDndUiDlg::OnGetFilePid"; }
