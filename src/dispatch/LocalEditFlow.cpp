#include "dispatch/LocalEditFlow.h"

#include <filesystem>
#include <system_error>

#include "core/Logging.h"
#include "core/Options.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadStatus.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "localedit/LocalEditMgr.h"
#include "localedit/LocalEditToolMgr.h"
#include "platform/Shell.h"
#include "upload/CalcShaResult.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;

LocalEditMgr& LocalEditFlow::Mgr() { return m_manager ? *m_manager : LocalEditMgr::GetInstance(); }

void LocalEditFlow::ConnectQueue(UploadQueue* queue) {
    if (!queue) {
        return;
    }
    UploadQueue::LocalEditHooks hooks;
    hooks.takeWaitingUploads = [this](size_t count) { return Mgr().takeWaitingUploads(count); };
    hooks.uploadEnded = [this](const UpldTaskInfo& info, bool done) {
        Mgr().uploadEnded(info.fid, info.folder, info.name, done);
    };
    hooks.uploadRemoved = [this](const UpldTaskInfo& info) {
        Mgr().uploadEnded(info.fid, info.folder, info.name, false);
    };
    queue->SetLocalEditHooks(std::move(hooks));
}

void LocalEditFlow::OnLocalEditReq() {
    if (m_context.IsOffline() || m_context.IsClosing()) {
        return;
    }
    Mgr().dnldFileForEdit();
}

bool LocalEditFlow::OnLocalEditSha() {
    VLOG(1) << "CDndUiDlg::OnLocalEditSha";
    UploadQueue* queue = m_context.Queue();
    if (m_context.IsOffline() || m_context.IsClosing() || !queue || !Mgr().HasWaitingUploads()) {
        return false;
    }
    const bool wasRunning = m_context.UploadsRunning();
    // The queue stops taking new work when its last task ended; a user's pause all stays.
    if (queue->IsStopped() && queue->GetPauseAllStatus() != UploadQueue::kAllPaused) {
        queue->resume();
    }
    // The queue takes the waiting versions first, as many as its list has room for.
    queue->upldNewFiles();
    if (!wasRunning && m_context.UploadsRunning()) {
        if (m_context.DownloadsActive()) {
            m_context.MoveTxStatus(TxEvent::kBothActive);
            m_context.View().StartIconAlternation();
        } else {
            m_context.MoveTxStatus(TxEvent::kUploadsActive);
            ClientInterfaceMgr::GetInstance().sendSimpleMsg(LinkProtocol::Out::kUploadsStarted);
            m_context.View().SetWindowMode(IDispatcherView::kUploadMode);
        }
    }
    m_context.SetWorkState(m_context.GetWorkState() <= WorkState::kWsBatchFromIdle
                               ? WorkState::kWsUploading
                               : WorkState::kWsTransferring);
    return true;
}

void LocalEditFlow::OnLocalEditDnldFinish(const DownloadEndInfo* end, const DownloadStatus* status) {
    if (!end || !status) {
        LOG(ERROR) << "CDndUiDlg::OnLocalEditDnldFinish: retInfo or pStatuInfo is null, return\n";
        return;
    }
    Mgr().dnldFinished(end->taskId, status->state);
}

void LocalEditFlow::OnLocalEditNames() { Mgr().cancelDnlds(); }

void LocalEditFlow::OnOpenEditDir() {
    const fs::path folder = COptions::GetInstance().GetWorkDir() / "ledir";
    std::error_code ec;
    if (fs::is_directory(folder, ec) && !platform::ExploreFolder(folder)) {
        LOGF(ERROR, "CDndUiDlg::OnOpenEditDir - can't open %s", folder.string());
    }
}

void LocalEditFlow::OnFileChange(const std::vector<fs::path>* paths) {
    if (paths && !m_context.IsClosing()) {
        Mgr().updateFileChange(*paths);
    }
}

void LocalEditFlow::OnHashDone(const CalcShaResult* result) {
    if (result && !m_context.IsClosing()) {
        Mgr().updateFileHash(result->path, result->hash, result->size);
    }
}

void LocalEditFlow::ResumePending() { Mgr().resumePending(); }

void LocalEditFlow::PauseForOffline() { LocalEditToolMgr::GetInstance().stopAll(); }

void LocalEditFlow::ResumeAfterOffline() {
    Mgr().rehashDropped();
    Mgr().dnldFileForEdit();
    OnLocalEditSha();
}

void LocalEditFlow::StopForClose() {
    LocalEditToolMgr::GetInstance().SetStopFlag();
    Mgr().quitTasks();
}
