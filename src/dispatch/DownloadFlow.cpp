#include "dispatch/DownloadFlow.h"

#include "core/Logging.h"

void DownloadFlow::OnC2LDnldReq(bool withFolders) {
    if (m_context.IsOffline()) {
        return;
    }
    VLOGF(1, "CDndUiDlg::OnC2LDnldReq - %s, no download queue", withFolders ? "batch" : "files");
}

void DownloadFlow::OnDnldFinish() {
    VLOGF(1, "CDndUiDlg::OnDnldFinish, total num %d, dnld size %d", 0, 0);
}
