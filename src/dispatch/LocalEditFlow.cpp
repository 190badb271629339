#include "dispatch/LocalEditFlow.h"

#include <filesystem>
#include <system_error>

#include "core/Logging.h"
#include "core/Options.h"
#include "platform/Shell.h"

namespace fs = std::filesystem;

void LocalEditFlow::OnLocalEditReq() {
    if (m_context.IsOffline()) {
        return;
    }
    VLOG(1) << "CDndUiDlg::OnLocalEditReq - no local edit manager";
}

void LocalEditFlow::OnLocalEditSha() { VLOG(1) << "CDndUiDlg::OnLocalEditSha"; }

void LocalEditFlow::OnLocalEditDnldFinish(bool haveRecords) {
    if (!haveRecords) {
        LOG(ERROR) << "CDndUiDlg::OnLocalEditDnldFinish: retInfo or pStatuInfo is null, return\n";
    }
}

void LocalEditFlow::OnLocalEditNames() { VLOG(1) << "CDndUiDlg - local edit names"; }

void LocalEditFlow::OnOpenEditDir() {
    const fs::path folder = COptions::GetInstance().GetWorkDir() / "ledir";
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        platform::ExploreFolder(folder);
    }
}
