#include "upload/UnfinishedUploadsSaver.h"

#include <algorithm>
#include <unordered_set>

#include "upload/FileBackupMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "platform/FileSystem.h"
#include "upload/CUploaderMgr.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;

namespace {

bool IsDone(int32_t state) { return state == TSE_COMPLETED || state == TSE_SERVER_COMPLETED; }

int64_t ToInt64(const std::string& text) { return CommonUtils::StringToInt64(text).value_or(0); }

}  // namespace

UnfinishedUploadsSaver::UnfinishedUploadsSaver(CWriteDbMgr* queue) : m_writeQueue(queue) {}

CWriteDbMgr& UnfinishedUploadsSaver::WriteQueue() {
    return m_writeQueue ? *m_writeQueue : CWriteDbMgr::GetInstance();
}

UnfinishedUploadsSaver::Times UnfinishedUploadsSaver::TimesOf(const fs::path& path,
                                                              std::map<fs::path, Times>& seen) {
    auto known = m_times.find(path);
    Times times;
    if (known != m_times.end()) {
        times = known->second;
    } else {
        const platform::FileStat st = platform::StatFile(path);
        times = {st.times.creation, st.times.lastWrite};
    }
    seen[path] = times;
    return times;
}

UnfinishedUploadsSaver::Snapshot UnfinishedUploadsSaver::Collect(const UploadQueue* queue) {
    Snapshot snapshot;
    COptions& options = COptions::GetInstance();
    snapshot.lastTxStatus = static_cast<int>(ProcessState::GetInstance().GetTxState());
    const int splitNum = options.m_splitNum;
    std::map<fs::path, Times> seen;
    std::unordered_set<std::string> rowKeys;

    auto add = [&](const fs::path& path, int64_t fid, int64_t pid, const std::string& hash,
                   int64_t size, int64_t breakPoint, int32_t share, bool hashStale) {
        auto row = CWriteDbMgr::UpldUndoRecord::Of(path, fid, pid, hash, size, breakPoint, share,
                                                   splitNum);
        // One row per file and cloud folder: the next start makes one upload of each row, and
        // two uploads of one file into one cloud file undo each other's break points. (The
        // first row seen is the queue's, the one furthest on.)
        // Looked up by key: a drop of many thousand files is snapshot every second.
        std::string key = row.path.native();
        key += '\0';
        key += row.name;
        key += '\0';
        key += std::to_string(row.pid);
        key += '\0';
        key += std::to_string(row.type);
        if (!rowKeys.insert(std::move(key)).second) {
            return;
        }
        if (!hashStale) {
            const Times times = TimesOf(path, seen);
            row.ctime = times.first;
            row.mtime = times.second;
        }
        // Times of 0 never match a file: the next start hashes it again.
        snapshot.undo.push_back(std::move(row));
    };
    auto addDir = [&](const fs::path& path, int64_t pid, int share) {
        CWriteDbMgr::DragDirRecord dir{path, pid, share};
        if (std::find(snapshot.dragDirs.begin(), snapshot.dragDirs.end(), dir) ==
            snapshot.dragDirs.end()) {
            snapshot.dragDirs.push_back(std::move(dir));
        }
    };

    if (queue) {
        for (const auto& entry : queue->GetTaskList()) {
            // Deleted by the user and only waiting for its transfer to end: not to come back.
            if (IsDone(entry->state) || entry->lockFlag || entry->deleting) {
                continue;
            }
            int64_t fid = entry->fid;
            int64_t breakPoint = entry->breakPoint;
            if (entry->task) {
                // The task may have ended well while its end message still waits.
                if (IsDone(entry->task->GetState())) {
                    continue;
                }
                const CUploadParam reached = entry->task->GetParam();
                if (reached.fid > 0) {
                    fid = reached.fid;
                    breakPoint = reached.breakPoint;
                }
            }
            add(entry->LocalPath(), fid, entry->pid, entry->hash, entry->fileSize, breakPoint,
                entry->share, false);
        }
        for (const auto& record : queue->GetWaitingList()) {
            if (!record.lockFlag) {
                add(record.path, record.fid, record.pid, record.hash, record.size,
                    record.breakPoint, record.share, false);
            }
        }
        for (const auto* list : {&queue->GetFailedList(), &queue->GetFailedList2()}) {
            for (const auto& failed : *list) {
                if (failed.isFolder) {
                    addDir(failed.path, failed.pid, failed.share);
                } else if (!failed.lockFlag) {
                    add(failed.path, failed.fid, failed.pid, failed.hash, failed.size, 0,
                        failed.share, false);
                }
            }
        }
    }

    FileBackupMgr& backup = FileBackupMgr::GetInstance();
    for (const auto& record : backup.getUploadList()) {
        if (!record.lockFlag) {
            add(record.path, record.fid, record.pid, record.hash, record.size, record.breakPoint,
                record.share, false);
        }
    }
    for (const auto& record : backup.getChangedFiles()) {
        add(record.path, record.fid, record.pid, record.hash, record.size, 1, record.share, true);
    }

    // Requests not yet done, with files dropped one by one among them: a file that was still
    // being hashed or compared is asked for again, and the comparison finds what already
    // arrived.
    for (const FileBackupMgr::RequestMap& requests :
         {backup.getActiveRequests(), backup.getPendingRequests()}) {
        for (const auto& [key, paths] : requests) {
            for (const auto& path : paths) {
                const platform::FileStat st = platform::StatFile(path);
                if (st.exists && (st.isDirectory || st.isRegular)) {
                    addDir(path, key.pid, key.share);
                }
            }
        }
    }
    for (const auto& dir : m_carried) {
        addDir(dir.path, dir.pid, dir.share);
    }
    m_times.swap(seen);
    return snapshot;
}

std::string UnfinishedUploadsSaver::KeyOf(const Snapshot& snapshot) {
    std::string key = std::to_string(snapshot.lastTxStatus) + "\n";
    for (const auto& r : snapshot.undo) {
        key += std::to_string(r.fid) + "," + std::to_string(r.pid) + "," + std::to_string(r.size) +
               "," + std::to_string(r.ctime) + "," + std::to_string(r.mtime) + "," +
               std::to_string(r.type) + "," + r.sha + "," + r.path.string() + "/" + r.name + "\n";
    }
    key += "--\n";
    for (const auto& d : snapshot.dragDirs) {
        key += std::to_string(d.pid) + "," + std::to_string(d.share) + "," + d.path.string() + "\n";
    }
    return key;
}

bool UnfinishedUploadsSaver::Save(const UploadQueue* queue, bool force) {
    Snapshot snapshot = Collect(queue);
    std::string key = KeyOf(snapshot);
    // A job the write queue gave up since the last save may have been that save: the stored
    // rows are then older than the last key says, and only a new write brings them up to date.
    const uint64_t dropped = WriteQueue().GetDroppedJobCount();
    if (m_saved && dropped != m_droppedAtSave) {
        LOG(WARNING) << "UnfinishedUploadsSaver::Save - a write was given up since the last save, saving again";
        m_saved = false;
    }
    if (!force && m_saved && key == m_lastKey) {
        return false;
    }
    VLOGF(1, "UnfinishedUploadsSaver::Save - %d uploads, %d dropped paths",
          static_cast<int>(snapshot.undo.size()), static_cast<int>(snapshot.dragDirs.size()));
    WriteQueue().ReplaceUnfinishedUploads(snapshot.undo, snapshot.dragDirs, snapshot.lastTxStatus);
    m_lastKey = std::move(key);
    m_saved = true;
    m_droppedAtSave = dropped;
    ++m_writes;
    return true;
}

void UnfinishedUploadsSaver::ReadCarriedDragDirs(const fs::path& txlogDb) {
    m_carried.clear();
    const fs::path path =
        txlogDb.empty() ? COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb) : txlogDb;
    DBWrapper db(path);
    if (!db.open()) {
        LOG(ERROR) << "UnfinishedUploadsSaver - can't open " << path.string() << ": "
                   << db.errorText();
        return;
    }
    const std::string user = std::to_string(COptions::GetInstance().GetUserId());
    if (db.query("SELECT IFNULL(path,''), IFNULL(pid,0), IFNULL(share,0) FROM drag_dir "
                 "where userid=" + user + " ORDER BY id;")) {
        for (const auto& row : db.rows()) {
            if (row.size() >= 3 && !row[0].empty()) {
                m_carried.push_back({fs::path(row[0]), ToInt64(row[1]),
                                     static_cast<int>(ToInt64(row[2]))});
            }
        }
    }
    db.close();
}
