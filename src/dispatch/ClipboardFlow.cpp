#include "dispatch/ClipboardFlow.h"

#include <system_error>

#include "cloud/CloudApi.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/WindowMessages.h"
#include "dispatch/DispatcherContext.h"
#include "download/FileDownloadMgr.h"
#include "platform/ClipboardPlaceholder.h"
#include "platform/FileSystem.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;

namespace {
constexpr uint32_t kTextCannotPasteHere = 156;  // "Quorva don't support paste in this fold."
}  // namespace

void ClipboardFlow::OnGetCpFileBegin() {
    VLOG(1) << "CDndUiDlg::OnGetCpFileBegin";
    if (!m_placeholder || m_placeholder->GetMode() == platform::ClipboardPlaceholder::Mode::kStopped) {
        LOG(ERROR) << "CDndUiDlg::OnGetCpFileBegin - no clipboard placeholder: the copy cannot be pasted";
        return;
    }
    // A new copy: the placeholder of an earlier paste goes, the next paste counts.
    RemovePastedCopy();
    m_pasteTarget.clear();
    m_placeholder->Arm();
    m_context.View().OfferClipboardFile(m_placeholder->GetPath().string());
    LOGF(INFO, "CDndUiDlg::OnGetCpFileOver, OleSetClipboard %d", 0);
}

void ClipboardFlow::OnCpDnldFileBegin(const fs::path* folder) {
    if (!folder || folder->empty() || !folder->is_absolute()) {
        LOG(WARNING) << "CDndUiDlg::OnCpDnldFileBegin - Invalid_Path: no folder to paste into";
        return;
    }
    VLOGF(1, "CDndUiDlg::OnCpDnldFileBegin - pasted into %s", folder->string());
    std::error_code ec;
    if (!fs::is_directory(*folder, ec)) {
        LOGF(WARNING, "CDndUiDlg::OnCpDnldFileBegin - %s is not a folder", folder->string());
        return;
    }
    std::vector<FileDownloadMgr::ClipboardItem> items = FileDownloadMgr::GetInstance().takeClipboardList();
    m_pasteTarget = *folder;
    m_cleanupPassesLeft = kCleanupPasses;
    m_context.SetTimer(kTimerPasteCleanup, kCleanupIntervalMs);
    if (items.empty()) {
        LOG(WARNING) << "CDndUiDlg::OnCpDnldFileBegin - the copy holds nothing (any more) to paste";
        return;
    }

    FileDownloadMgr& downloads = FileDownloadMgr::GetInstance();
    if (!platform::IsWritableDir(*folder)) {
        // Every item is reported as a failed download, with the reason in the log.
        LOGF(ERROR, "CDndUiDlg::OnCpDnldFileBegin - %s: %s", folder->string(),
             CMultiLanguageMgr::GetInstance().LoadString(kTextCannotPasteHere));
        std::vector<std::string> names;
        for (const auto& item : items) {
            names.push_back(item.name);
        }
        downloads.addRefusedNames(names);
        platform::PostMessage(m_context.Window(), WM_C2L_DNLD_REQ);
        return;
    }

    FileDownloadMgr::DownloadMap files;
    FileDownloadMgr::FolderMap folders;
    for (const auto& item : items) {
        if (item.size < 0) {
            folders[*folder].push_back({item.fid, item.name, item.share});
            continue;
        }
        FileDownloadMgr::DownloadRequest request;
        request.path = *folder / item.name;
        request.url = CloudApi::DownloadUrl(item.fid);
        request.size = item.size;
        request.fid = item.fid;
        files.emplace(request.path, std::move(request));
    }
    if (!files.empty()) {
        downloads.addDownloads(files);
        platform::PostMessage(m_context.Window(), WM_C2L_DNLD_REQ);
    }
    if (!folders.empty()) {
        downloads.addBatchFolders(folders);
        platform::PostMessage(m_context.Window(), WM_BATCH_DNLD_REQ);
    }
}

void ClipboardFlow::OnCleanupTimer() {
    RemovePastedCopy();
    if (--m_cleanupPassesLeft <= 0) {
        m_context.KillTimer(kTimerPasteCleanup);
    }
}

void ClipboardFlow::OnClipboardReleased() {
    VLOG(1) << "CDataObject - the clipboard let the copy go";
    RemovePastedCopy();
    m_pasteTarget.clear();
    m_cleanupPassesLeft = 0;
    m_context.KillTimer(kTimerPasteCleanup);
    if (m_placeholder) {
        m_placeholder->Disarm();
    }
}

void ClipboardFlow::RemovePastedCopy() {
    if (m_pasteTarget.empty() || !m_placeholder) {
        return;
    }
    const fs::path copy = m_pasteTarget / platform::ClipboardPlaceholder::kFileName;
    if (m_placeholder->IsPastedCopy(copy)) {
        std::error_code ec;
        if (fs::remove(copy, ec)) {
            VLOGF(1, "CDndUiDlg - the pasted placeholder %s is removed", copy.string());
        } else if (ec) {
            LOGF(WARNING, "CDndUiDlg - the pasted placeholder %s cannot be removed: %s",
                 copy.string(), ec.message());
        }
    }
}
