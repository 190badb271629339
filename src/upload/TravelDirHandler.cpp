#include "upload/TravelDirHandler.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "cloud/CloudApi.h"
#include "core/CommonUtils.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/DirectoryReader.h"
#include "platform/FileSystem.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;
using EntryType = platform::DirectoryReader::EntryType;

namespace {

bool EqualsIgnoringCase(const std::string& text, const char* lower) {
    size_t i = 0;
    for (; i < text.size() && lower[i] != '\0'; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower[i]) {
            return false;
        }
    }
    return i == text.size() && lower[i] == '\0';
}

// A name the server would take apart: it splits folder paths at "\\" as well as "/".
bool SplitsOnTheServer(const std::string& name) {
    return name.find('\\') != std::string::npos;
}

bool IsInside(const fs::path& path, const fs::path& folder) {
    const std::string& outer = folder.native();
    const std::string& inner = path.native();
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           (outer.back() == '/' || inner[outer.size()] == '/');
}

fs::path PlainFolder(const fs::path& folder) {
    fs::path plain = folder.lexically_normal();
    if (!plain.has_filename() && plain.has_relative_path()) {
        plain = plain.parent_path();
    }
    return plain;
}

}  // namespace

TravelDirHandler::TravelDirHandler(std::unique_ptr<TravelDirParam> param, uint32_t batchPauseMs)
    : CFJobBase(std::move(param)), m_batchPauseMs(batchPauseMs) {}

bool TravelDirHandler::IsIconFileName(const std::string& name) {
    return EqualsIgnoringCase(name, "desktop.ini") || name == ".directory";
}

void TravelDirHandler::Run() {
    const TravelDirParam& param = *GetParam();
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    m_root = PlainFolder(param.path);
    m_base = list.getBatchTarget();
    m_roots = list.getDroppedRoots();
    m_context.SetNotifyWindow(param.window);
    VLOG(1) << "TravelDirHandler::Run: " << m_root.string() << ", pid " << m_base.pid;

    const std::string name = m_root.filename().string();
    if (SplitsOnTheServer(name)) {
        // Not a folder that could not be made (which is tried again) but one never to be sent.
        LOG(ERROR) << "TravelDirHandler::Run - not sent, the server would split the folder name "
                      "at its backslash: " << m_root.string();
        m_unsent.push_back(m_root);
        sendResultToCalcSha(true);
        return;
    }
    if (!platform::StatFile(m_root).isDirectory) {
        LOG(ERROR) << "TravelDirHandler::Run - not a folder (any more): " << m_root.string();
        platform::PostMessage(
            param.window,
            platform::Message(WM_TRAVEL_FAILED, platform::MakePayload<std::string>(name)));
        return;
    }
    const std::string rootRelative = relativeOf(m_root);
    const std::string rootKey = FileBackupMgr::folderKey(m_base.pid, rootRelative);
    int64_t rootId = list.getFolderId(rootKey);
    if (rootId == FileBackupMgr::kUnknownFolder) {
        rootId = createPath(rootRelative);
        if (rootId == FileBackupMgr::kUnknownFolder) {
            LOG(ERROR) << "TravelDirHandler::Run - can't create the cloud folder " << rootRelative;
            platform::PostMessage(
                param.window,
                platform::Message(WM_TRAVEL_FAILED, platform::MakePayload<std::string>(name)));
            return;
        }
        list.setFolderId(rootKey, rootId);
    }
    list.setDroppedRootId(m_root, rootId);
    std::error_code error;
    m_realRoot = fs::canonical(m_root, error);

    m_nodes.push_back(DirNode{m_root, true, {}});
    if (!readTree()) {
        VLOG(1) << "TravelDirHandler::Run - stopped while listing " << m_root.string();
        return;
    }
    if (m_fileCount > 0) {
        list.addFileCount(static_cast<int>(m_fileCount));
    }
    bool hasContent = false;
    if (!walk(0, hasContent)) {
        VLOG(1) << "TravelDirHandler::Run - stopped while walking " << m_root.string();
        return;
    }
    // Asked once more so that an empty folder, which gave the walk no entry to ask before,
    // still ends with its (empty) last batch: the dispatcher counts walks by it.
    if (askPool()) {
        sendResultToCalcSha(true);
    }
}

bool TravelDirHandler::askPool() {
    m_goOn = ShouldContinue();
    return m_goOn;
}

bool TravelDirHandler::readTree() {
    // m_nodes grows while it is read: each folder appends its subfolders.
    for (size_t index = 0; index < m_nodes.size(); ++index) {
        if (!askPool()) {
            return false;
        }
        readFolder(index);
    }
    return true;
}

void TravelDirHandler::readFolder(size_t index) {
    const fs::path folder = m_nodes[index].path;
    platform::DirectoryReader reader;
    // The dropped folder may itself be a link the user chose; below it links are not followed.
    if (!reader.Open(folder, index == 0)) {
        LOG(WARNING) << "TravelDirHandler::Run - not sent, can't read " << folder.string() << ": "
                     << reader.ErrorText();
        m_nodes[index].readable = false;
        m_unsent.push_back(folder);
        return;
    }
    const size_t folderLength = folder.native().size();
    std::vector<Item> items;
    platform::DirectoryReader::Entry entry;
    while (reader.Next(entry)) {
        if (folderLength + 1 + entry.name.size() > platform::kMaxPathLength) {
            LOG(WARNING) << "TravelDirHandler::Run - not sent, path longer than "
                         << platform::kMaxPathLength << " bytes: " << entry.name << " in "
                         << folder.string().substr(0, 256) << "...";
            m_unsent.push_back(folder / entry.name);
            continue;
        }
        if (!CommonUtils::IsValidUtf8(entry.name)) {
            LOG(WARNING) << "TravelDirHandler::Run - not sent, name is not UTF-8: "
                         << CommonUtils::ToValidUtf8((folder / entry.name).string());
            m_unsent.push_back(folder / entry.name);
            continue;
        }
        if (entry.type == EntryType::kSymlinkToFile && !LeadsIntoTheTree(folder / entry.name)) {
            // A link to a file elsewhere (a key in the home folder, say) would send that file.
            LOG(WARNING) << "TravelDirHandler::Run - not sent, a symbolic link to a file outside "
                            "the dropped folder: " << (folder / entry.name).string();
            m_unsent.push_back(folder / entry.name);
            continue;
        }
        switch (entry.type) {
            case EntryType::kFile:
            case EntryType::kSymlinkToFile:
                if (IsIconFileName(entry.name)) {
                    VLOG(1) << "TravelDirHandler::Run - folder icon file left out: "
                            << (folder / entry.name).string();
                    break;
                }
                items.push_back(Item{std::move(entry.name), -1});
                ++m_fileCount;
                break;
            case EntryType::kDirectory:
                if (SplitsOnTheServer(entry.name)) {
                    LOG(WARNING) << "TravelDirHandler::Run - not sent, the server would split the "
                                    "folder name at its backslash: " << (folder / entry.name).string();
                    m_unsent.push_back(folder / entry.name);
                    break;
                }
                m_nodes.push_back(DirNode{folder / entry.name, true, {}});
                items.push_back(Item{std::move(entry.name), static_cast<int>(m_nodes.size() - 1)});
                break;
            case EntryType::kSymlinkToDirectory:
                LOG(WARNING) << "TravelDirHandler::Run - skipped, symbolic link to a folder: "
                             << (folder / entry.name).string();
                break;
            case EntryType::kBrokenSymlink:
                LOG(WARNING) << "TravelDirHandler::Run - skipped, gone or a broken link: "
                             << (folder / entry.name).string();
                break;
            case EntryType::kOther:
                LOG(WARNING) << "TravelDirHandler::Run - skipped, not a regular file: "
                             << (folder / entry.name).string();
                break;
        }
    }
    if (reader.ErrorNumber() != 0) {
        LOG(WARNING) << "TravelDirHandler::Run - listing of " << folder.string()
                     << " ended early: " << reader.ErrorText();
        m_unsent.push_back(folder);
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.name < b.name; });
    m_nodes[index].items = std::move(items);
}

bool TravelDirHandler::walk(size_t index, bool& hasContent) {
    const DirNode& node = m_nodes[index];
    if (!node.readable) {
        return true;  // not created: what it holds is unknown
    }
    bool subfolderContent = false;
    for (const Item& item : node.items) {
        if (item.child >= 0) {
            bool childContent = false;
            if (!walk(static_cast<size_t>(item.child), childContent)) {
                return false;
            }
            subfolderContent = subfolderContent || childContent;
        } else {
            m_batch.push_back(node.path / item.name);
            if (m_batch.size() > kBatchLimit) {
                sendResultToCalcSha(false);
                if (m_batchPauseMs > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_batchPauseMs));
                }
            }
        }
        if (!askPool()) {
            return false;
        }
    }
    if (!subfolderContent) {
        // Only folders without (readable) subfolders are created explicitly: the server makes
        // the folders above one while it creates it.
        FileBackupMgr& list = FileBackupMgr::GetInstance();
        const std::string relative = relativeOf(node.path);
        const std::string key = FileBackupMgr::folderKey(m_base.pid, relative);
        if (list.getFolderId(key) == FileBackupMgr::kUnknownFolder) {
            const int64_t id = createPath(relative);
            // A failure here is left to the comparison, which creates each file's folder.
            if (id != FileBackupMgr::kUnknownFolder) {
                list.setFolderId(key, id);
            }
        }
    }
    hasContent = true;
    return true;
}

bool TravelDirHandler::LeadsIntoTheTree(const fs::path& link) const {
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return !error && !m_realRoot.empty() && IsInside(target, m_realRoot);
}

std::string TravelDirHandler::relativeOf(const fs::path& folder) const {
    if (auto found = FileBackupMgr::UsefulPathAmong(m_roots, folder)) {
        return found->usefulPath;
    }
    return folder.lexically_relative(m_root.parent_path()).generic_string();
}

int64_t TravelDirHandler::createPath(const std::string& relative) {
    const CreatePathResult made =
        CloudApi::CreatePath(m_context, relative, m_base.pid, m_base.share);
    if (!made.ok) {
        LOG(ERROR) << "TravelDirHandler::createPath - " << relative << ", pid " << m_base.pid
                   << ": " << made.reply.ErrorText();
        return FileBackupMgr::kUnknownFolder;
    }
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    list.addListingEntry(made.folder.pid, made.folder);
    if (list.getBatchTarget().pid == m_base.pid) {
        IPageNotifier::Get().pushFolderCreated(made.folder.id, m_base.pid, made.file);
    }
    return made.folder.id;
}

void TravelDirHandler::sendResultToCalcSha(bool last) {
    VLOGF(1, "TravelDirHandler::sendResultToCalcSha:input: %d", static_cast<int>(m_batch.size()));
    if (!m_unsent.empty()) {
        // Ahead of the batch message, so that the batch's end knows of them.
        platform::PostMessage(
            GetParam()->window,
            platform::Message(WM_TRAVEL_SKIPPED, platform::MakePayload<std::vector<fs::path>>(
                                                     std::exchange(m_unsent, {}))));
    }
    FileBackupMgr::GetInstance().addFilesToSubFileList(m_batch);
    m_batch.clear();
    platform::PostMessage(GetParam()->window,
                          platform::Message(WM_TRAVEL_BATCH, 0, last ? kLastBatch : kMoreBatches));
}
