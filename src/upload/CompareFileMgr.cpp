#include "upload/CompareFileMgr.h"

#include <utility>

#include "cloud/CloudApi.h"
#include "cloud/CloudFileEntry.h"
#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"

namespace {

std::vector<std::string> SplitParts(const std::string& text) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('/', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > at) {
            parts.push_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    return parts;
}

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
    std::string joined;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i > 0) {
            joined += '/';
        }
        joined += parts[i];
    }
    return joined;
}

}  // namespace

CompareFileMgr& CompareFileMgr::GetInstance() {
    static CompareFileMgr* instance = new CompareFileMgr();  // lives until process exit
    return *instance;
}

CompareFileMgr::CompareFileMgr() : m_clock([] { return platform::TickCountMs(); }) {}

CompareFileMgr::~CompareFileMgr() {
    // The thread runs this object's code: it must have ended before the members go.
    Shutdown(platform::kInfinite);
}

bool CompareFileMgr::Start() {
    return CTaskThread::Start();
}

bool CompareFileMgr::WaitForStarted(uint32_t timeoutMs) {
    return m_startedEvent.Wait(timeoutMs);
}

void CompareFileMgr::SignalWork() {
    m_workEvent.Set();
}

void CompareFileMgr::SetPaused(bool paused) {
    platform::CriticalSectionGuard guard(m_cs);
    m_paused = paused;
}

void CompareFileMgr::SetStopFlag() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        SetQuit(true);
    }
    m_wakeEvent.Set();
}

bool CompareFileMgr::Shutdown(uint32_t timeoutMs) {
    SetStopFlag();
    const bool ended = WaitForExit(timeoutMs);
    Stop();
    return ended;
}

void CompareFileMgr::SetClock(Clock clock) {
    platform::CriticalSectionGuard guard(m_cs);
    m_clock = std::move(clock);
}

void CompareFileMgr::ThreadMain() {
    RunServer();
}

void CompareFileMgr::RunServer() {
    if (m_firstRun.exchange(false)) {
        m_startedEvent.Set();
    }
    while (!IsQuit()) {
        const int which = platform::WaitAny({&m_workEvent, &m_wakeEvent});
        if (IsQuit()) {
            break;
        }
        if (m_paused || which != 0) {
            continue;
        }
        runPass();
    }
    VLOG(1) << "CompareFileMgr::RunServer - ended";
}

void CompareFileMgr::runPass() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    uint64_t now = 0;
    {
        platform::CriticalSectionGuard guard(m_cs);
        now = m_clock();
    }
    m_base = list.getBatchTarget();
    VLOG(1) << "CompareFileMgr::RunServer:  now pid: " << m_lastBase.pid
            << " context Pid: " << m_base.pid;
    if (!m_passBefore || now - m_lastPassMs > FixedDelays::Ms(FixedDelay::kListingCacheLifetime) ||
        !(m_base == m_lastBase)) {
        list.clearServerCache();
        m_lastBase = m_base;
    }
    m_passBefore = true;
    m_lastPassMs = now;
    m_context.SetNotifyWindow(GetNotifyWindow());

    std::vector<CmpWaitingFile> files = list.takeShaFiles();
    VLOG(1) << "CompareFileMgr::RunServer: file num: " << files.size();
    for (size_t i = 0; i < files.size(); ++i) {
        // Files not compared go back for the next pass instead of being lost.
        if (IsQuit() || m_paused || !checkFile(files[i])) {
            list.returnShaFiles(std::vector<CmpWaitingFile>(
                std::make_move_iterator(files.begin() + i), std::make_move_iterator(files.end())));
            VLOG(1) << "CompareFileMgr::RunServer - interrupted, " << files.size() - i << " left";
            return;
        }
    }
    if (!m_paused) {
        platform::PostMessage(GetNotifyWindow(), WM_CMP_LOOP_OVER);
    }
}

void CompareFileMgr::leaveBatch() {
    FileBackupMgr::GetInstance().decreaseFileCount();
}

bool CompareFileMgr::checkFile(const CmpWaitingFile& file) {
    VLOG(1) << " checkFile " << file.usefulPath << " " << file.path.string();
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    if (file.hash.empty()) {
        // An empty hash is either an empty file or one that could not be read (gone since the
        // walk, unreadable): only the first is uploaded.
        const platform::FileStat st = platform::StatFile(file.path);
        if (!(st.isRegular && st.size == 0)) {
            LOG(WARNING) << "CompareFileMgr::checkFile - skipped, the file could not be read: "
                         << file.path.string();
            leaveBatch();
            return true;
        }
    }
    std::vector<std::string> folders = SplitParts(file.usefulPath);
    if (folders.empty()) {
        LOG(WARNING) << "CompareFileMgr::checkFile - skipped, no name: " << file.path.string();
        leaveBatch();
        return true;
    }
    const std::string name = folders.back();
    folders.pop_back();
    const std::string baseKey = FileBackupMgr::folderKey(m_base.pid, std::string());
    if (folders.empty()) {
        ensureListing(m_base.pid, baseKey);
        return compareInFolder(file, name, m_base.pid);
    }

    const std::string relativeFolder = JoinParts(folders, folders.size());
    const std::string fullKey = FileBackupMgr::folderKey(m_base.pid, relativeFolder);
    int64_t folderId = list.getFolderId(fullKey);
    if (folderId != FileBackupMgr::kUnknownFolder) {
        // Known already (made or listed for an earlier file of the same folder).
        ensureListing(folderId, fullKey);
        return compareInFolder(file, name, folderId);
    }

    // Creates the file's folder and uploads into it; the folder's listing is known to be
    // empty when its parent's listing was cached and did not hold it.
    auto createAndUpload = [&](const std::string& firstLog, const char* failureLog,
                               bool parentListed) {
        VLOG(1) << firstLog;
        const int64_t id = createDirWithRetry(relativeFolder, "checkFile createDir --2--");
        if (id == FileBackupMgr::kUnknownFolder) {
            LOG(ERROR) << failureLog << file.path.string() << ", pid " << m_base.pid;
            leaveBatch();
            return true;
        }
        list.setFolderId(fullKey, id);
        if (parentListed && !list.hasListing(id)) {
            list.setListing(id, {});
        }
        return upldFile(file, id, 0);
    };

    ensureListing(m_base.pid, baseKey);
    std::string parentKey = FileBackupMgr::folderKey(m_base.pid, folders[0]);
    int64_t parentId = list.getFolderId(parentKey);
    if (parentId == FileBackupMgr::kUnknownFolder) {
        return createAndUpload("checkFile createDir --1-- " + relativeFolder,
                               "checkFile can't createdir for file ", list.hasListing(m_base.pid));
    }
    for (size_t level = 1; level < folders.size(); ++level) {
        const std::string levelKey = parentKey + "\\" + folders[level];
        int64_t levelId = list.getFolderId(levelKey);
        if (levelId == FileBackupMgr::kUnknownFolder && !list.hasListing(parentId)) {
            getSubFiles(parentId, parentKey);
            switch (level) {
                case 1:
                    VLOG(1) << "===fLevel===: " << levelKey << " " << parentId;
                    break;
                case 2:
                    VLOG(1) << "---fLevel--1-: " << levelKey << " " << parentId;
                    break;
                case 3:
                    VLOG(1) << "---fLevel---2---: " << levelKey << " " << parentId;
                    break;
                default:
                    VLOG(1) << "---fLevel--3-: " << levelKey << " " << parentId;
                    break;
            }
            levelId = list.getFolderId(levelKey);
        }
        if (levelId == FileBackupMgr::kUnknownFolder) {
            return createAndUpload(
                "checkFile createDir --3-- dId " + std::to_string(parentId) + ", pId " +
                    std::to_string(m_base.pid) + ", path " + relativeFolder,
                "checkFile can't create dir for file ", list.hasListing(parentId));
        }
        parentId = levelId;
        parentKey = levelKey;
    }
    ensureListing(parentId, parentKey);
    return compareInFolder(file, name, parentId);
}

bool CompareFileMgr::compareInFolder(const CmpWaitingFile& file, const std::string& name,
                                     int64_t folderId) {
    std::optional<CloudFileEntry> entry =
        FileBackupMgr::GetInstance().findListingEntry(folderId, name);
    if (entry && entry->IsFolder()) {
        entry.reset();  // a folder of that name: the upload is refused and reported as failed
    }
    if (entry && entry->hash == file.hash) {
        if (entry->IsComplete()) {
            VLOG(1) << "CompareFileMgr::checkFile - already on the server: " << file.usefulPath;
            leaveBatch();
            CWriteDbMgr::GetInstance().AddLog(name, file.path.parent_path(), file.size, 1);
            return true;
        }
        // The same content, but its upload was interrupted: the server holds only part of
        // it. Uploading into that entry resumes from the server's break point.
        LOG(INFO) << "CompareFileMgr::checkFile - incomplete on the server (status "
                  << entry->status << "), resumed: " << file.usefulPath;
    }
    return upldFile(file, folderId, entry ? entry->id : 0);
}

bool CompareFileMgr::upldFile(const CmpWaitingFile& file, int64_t folderId, int64_t fid) {
    VLOG(1) << "upldFile " << file.path.filename().string();
    if (m_paused) {
        return false;
    }
    FileBackupMgr::GetInstance().addBackupFile(file.hash, fid, folderId, file.path, file.size);
    platform::PostMessage(GetNotifyWindow(), WM_CMP_UPLOAD);
    return true;
}

int64_t CompareFileMgr::createDirWithRetry(const std::string& relative, const char* secondTryLog) {
    int64_t id = createDirectory(relative);
    if (id == FileBackupMgr::kUnknownFolder && !IsQuit()) {
        VLOG(1) << secondTryLog << " " << relative;
        id = createDirectory(relative);
    }
    return id;
}

int64_t CompareFileMgr::createDirectory(const std::string& relative) {
    const CreatePathResult made = CloudApi::CreatePath(
        m_context, relative, m_base.pid, m_base.share, CloudApi::CreatePathMode::kUntimed);
    if (!made.ok) {
        LOG(WARNING) << "CompareFileMgr::createDirectory - " << relative << ", pid " << m_base.pid
                     << ": " << made.reply.ErrorText();
        return FileBackupMgr::kUnknownFolder;
    }
    FileBackupMgr::GetInstance().addListingEntry(made.folder.pid, made.folder);
    return made.folder.id;
}

bool CompareFileMgr::ensureListing(int64_t folderId, const std::string& key) {
    return FileBackupMgr::GetInstance().hasListing(folderId) || getSubFiles(folderId, key);
}

bool CompareFileMgr::getSubFiles(int64_t folderId, const std::string& key) {
    SubFilesResult listing = CloudApi::GetSubFiles(m_context, folderId, m_base.share);
    if (!listing.ok) {
        LOG(WARNING) << "CompareFileMgr::getSubFiles - " << folderId << ": "
                     << listing.reply.ErrorText();
        return false;
    }
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    std::vector<CloudFileEntry> entries;
    entries.reserve(listing.files.size());
    for (CloudFileEntry& entry : listing.files) {
        if (entry.name.empty()) {
            continue;
        }
        if (entry.IsFolder()) {
            list.setFolderId(key + "\\" + entry.name, entry.id);
        }
        entries.push_back(std::move(entry));
    }
    list.setListing(folderId, entries);
    return true;
}
