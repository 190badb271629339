// ClientInterfaceMgr, page to process: parseMsg decodes each message (LinkDecoder.h), stores
// its records with the managers, then posts the window message that tells the dispatcher.
#include "link/ClientInterfaceMgr.h"

#include <filesystem>
#include <utility>

#include "cloud/CloudApi.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "download/FileDownloadMgr.h"
#include "link/LinkDecoder.h"
#include "localedit/LocalEditMgr.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;

using LinkProtocol::In;

int ClientInterfaceMgr::parseMsg(const std::string& text) {
    const LinkProtocol::DecodedMessage decoded = LinkProtocol::DecodeMessage(text);
    const Json::Value& message = decoded.message;
    switch (static_cast<In>(decoded.type)) {
        case In::kHello:  // answered by HandleMessage
            break;
        case In::kQuit:
            COptions::GetInstance().m_exitRequest = 1;
            Post(WM_CLIENT_MSG_COME);
            break;
        case In::kCookies:
            ReplaceCookies(LinkProtocol::DecodeCookies(message));
            break;
        case In::kShowHide:
            Post(WM_SHOW_HIDE);
            break;
        case In::kShowManager:
            Post(WM_SHOW_TX_MANAGER);
            break;
        case In::kGoOffline:
            Post(WM_GO_OFFLINE);
            break;
        case In::kGoOnline:
            ReplaceCookies(LinkProtocol::DecodeCookies(message));
            Post(WM_GO_ONLINE);
            break;
        case In::kDownload: {
            std::vector<std::string> refused;
            auto files = LinkProtocol::DecodeDownloads(message, &refused);
            QueueDownloads(files, refused);
            break;
        }
        case In::kUpload:
            QueueUploadRequests(LinkProtocol::DecodeUploads(message));
            break;
        case In::kCancelUpload:
            QueueUploadCancels(LinkProtocol::DecodeCancels(message));
            break;
        case In::kLocalEdit:
            QueueLocalEdits(LinkProtocol::DecodeLocalEdits(message));
            break;
        case In::kBatchDownload: {
            std::vector<std::string> refused;
            auto batches = LinkProtocol::DecodeBatchDownloads(message, &refused);
            QueueBatchDownloads(batches, refused);
            break;
        }
        case In::kProxy:
            SetProxy(LinkProtocol::DecodeProxy(message));
            break;
        case In::kEditNames:
            StoreEditNames(LinkProtocol::DecodeEditNames(message));
            break;
        case In::kOpenEditDir:
            Post(WM_OPEN_EDIT_DIR);
            break;
        case In::kClipboardCopy:
            SetClipboardList(LinkProtocol::DecodeClipboardCopy(message));
            break;
        case In::kShowBackupConfig:
            Post(WM_SHOW_BACKUP_CONFIG);
            break;
        default:  // unknown types, and -1: nothing beyond the returned type
            break;
    }
    return decoded.type;
}

void ClientInterfaceMgr::ReplaceCookies(const std::vector<LinkProtocol::Cookie>& cookies) {
    COptions& options = COptions::GetInstance();
    options.ClearCookies();
    for (const auto& cookie : cookies) {
        // The domain and path belong to the browser; requests carry name=value only.
        options.AddCookie(cookie.name, cookie.value);
    }
    options.RebuildCookieStrings();
}

void ClientInterfaceMgr::QueueDownloads(const std::vector<LinkProtocol::DownloadObject>& files,
                                        const std::vector<std::string>& refused) {
    FileDownloadMgr::DownloadMap downloads;
    for (const auto& file : files) {
        FileDownloadMgr::DownloadRequest request;
        request.size = file.size;
        request.url = file.url;
        request.path = fs::path(file.path);
        downloads.emplace(request.path, std::move(request));
    }
    FileDownloadMgr::GetInstance().addRefusedNames(refused);
    if (!downloads.empty() || !refused.empty()) {
        FileDownloadMgr::GetInstance().addDownloads(downloads);
        Post(WM_C2L_DNLD_REQ);
    }
}

void ClientInterfaceMgr::QueueUploadRequests(const std::vector<LinkProtocol::UploadObject>& files) {
    // Every decoded object holds at least one path.
    for (const auto& file : files) {
        const std::vector<fs::path> paths(file.paths.begin(), file.paths.end());
        FileBackupMgr::GetInstance().addWorkRequest({file.pid, file.share}, paths);
    }
    if (!files.empty()) {
        Post(WM_C2L_UPLD_REQ);
    }
}

void ClientInterfaceMgr::QueueUploadCancels(const std::vector<LinkProtocol::CancelObject>& files) {
    if (files.empty()) {
        return;
    }
    std::vector<int64_t> fids;
    for (const auto& file : files) {
        fids.insert(fids.end(), file.fids.begin(), file.fids.end());
    }
    // The last object's flag holds for all.
    FileBackupMgr::GetInstance().addCancelFids(fids, files.back().remove);
    Post(WM_UPLD_CANCEL);
}

void ClientInterfaceMgr::QueueLocalEdits(const std::vector<LinkProtocol::LocalEditObject>& files) {
    if (files.empty()) {
        return;
    }
    LocalEditMgr::GetInstance().queueEditRequests(files);
    Post(WM_LOCALEDIT_REQ);
}

void ClientInterfaceMgr::QueueBatchDownloads(const std::vector<LinkProtocol::BatchObject>& batches,
                                             const std::vector<std::string>& refused) {
    FileDownloadMgr::DownloadMap downloads;
    FileDownloadMgr::FolderMap folders;
    for (const auto& batch : batches) {
        const fs::path folder(batch.path);
        std::vector<FileDownloadMgr::FolderItem> folderItems;
        for (const auto& item : batch.files) {
            if (item.IsFile()) {
                FileDownloadMgr::DownloadRequest request;
                request.path = folder / item.name;
                request.url = CloudApi::DownloadUrl(item.fid);
                request.size = item.size;
                request.fid = item.fid;
                downloads.emplace(request.path, std::move(request));
            } else {
                folderItems.push_back({item.fid, item.name, item.share});
            }
        }
        if (!folderItems.empty()) {
            auto& list = folders[folder];
            list.insert(list.end(), folderItems.begin(), folderItems.end());
        }
    }
    FileDownloadMgr::GetInstance().addRefusedNames(refused);
    if (!downloads.empty() || !refused.empty()) {
        FileDownloadMgr::GetInstance().addDownloads(downloads);
        Post(WM_C2L_DNLD_REQ);
    }
    if (!folders.empty()) {
        FileDownloadMgr::GetInstance().addBatchFolders(folders);
        Post(WM_BATCH_DNLD_REQ);
    }
}

void ClientInterfaceMgr::SetProxy(const std::string& proxy) {
    if (!proxy.empty()) {
        COptions::GetInstance().SetProxy(proxy);
    }
    // Start-up waits for this message whether or not it names a proxy.
    m_readyEvent.Set();
}

void ClientInterfaceMgr::StoreEditNames(const std::vector<LinkProtocol::EditNameEntry>& entries) {
    if (entries.empty()) {
        return;
    }
    LocalEditMgr::GetInstance().addFidNameList(entries);
    Post(WM_LOCALEDIT_NAMES);
}

void ClientInterfaceMgr::SetClipboardList(const std::vector<LinkProtocol::ClipboardItem>& items) {
    std::vector<FileDownloadMgr::ClipboardItem> list;
    list.reserve(items.size());
    for (const auto& item : items) {
        // The clipboard list marks a folder by the size -1.
        list.push_back({item.fid, item.name, item.share, item.IsFile() ? item.size : -1});
    }
    FileDownloadMgr::GetInstance().setClipboardList(list);
    Post(WM_CLIPBOARD_COPY);
}
