#include "upload/FileBackupMgr.h"

#include <algorithm>
#include <utility>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "platform/FileSystem.h"

// What the backup file list keeps across runs: the unfinished dropped folders it saves through
// the write queue, and what the previous run left unfinished, read back at start-up.

namespace fs = std::filesystem;

namespace {

fs::path TxlogPath(const fs::path& given) {
    return given.empty() ? COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb) : given;
}

int64_t ToInt64(const std::string& text) { return CommonUtils::StringToInt64(text).value_or(0); }

}  // namespace

void FileBackupMgr::saveDragDirs(CWriteDbMgr& queue) const {
    RequestMap all;
    {
        platform::CriticalSectionGuard guard(m_cs);
        all = m_pendingRequests;
        for (const auto& [key, paths] : m_activeRequests) {
            auto& list = all[key];
            list.insert(list.end(), paths.begin(), paths.end());
        }
    }
    for (const auto& [key, paths] : all) {
        for (const auto& path : paths) {
            std::error_code ec;
            if (fs::is_directory(path, ec)) {
                queue.AddDragDir(path, key.pid, key.share);
            }
        }
    }
}

FileBackupMgr::RestoreSummary FileBackupMgr::restoreUndoFiles(const fs::path& txlogDb) {
    RestoreSummary summary;
    const int userId = COptions::GetInstance().GetUserId();
    DBWrapper db(TxlogPath(txlogDb));
    if (!db.open()) {
        LOG(ERROR) << "FileBackupMgr::restoreUndoFiles - can't open " << db.path().string() << ": "
                   << db.errorText();
        return summary;
    }
    // Columns named, NULLs replaced: a row read positionally must not shift when a value is
    // missing (the wrapper leaves NULL values out of a row).
    const std::string user = std::to_string(userId);
    if (!db.query("SELECT IFNULL(size,0), IFNULL(sha,''), IFNULL(fid,0), IFNULL(pid,0), "
                  "IFNULL(path,''), IFNULL(name,''), IFNULL(ctime,0), IFNULL(mtime,0), "
                  "IFNULL(type,0) FROM undo_files where userid=" + user + " ORDER BY id;")) {
        LOG(ERROR) << "FileBackupMgr::restoreUndoFiles - can't read undo_files: " << db.errorText();
        db.close();
        return summary;
    }
    const auto rows = db.rows();
    summary.read = true;
    for (const auto& row : rows) {
        if (row.size() < 9) {
            ++summary.dropped;
            LOG(WARNING) << "FileBackupMgr::restoreUndoFiles - dropped, incomplete row";
            continue;
        }
        UpldWaitingFile record;
        record.size = ToInt64(row[0]);
        record.hash = row[1];
        record.fid = ToInt64(row[2]);
        record.pid = ToInt64(row[3]);
        record.path = fs::path(row[4]) / row[5];
        record.share = static_cast<int32_t>(ToInt64(row[8]));
        record.breakPoint = 1;
        record.batchTarget = record.pid;
        const int64_t ctime = ToInt64(row[6]);
        const int64_t mtime = ToInt64(row[7]);

        const platform::FileStat st = platform::StatFile(record.path);
        if (row[5].empty() || !st.exists || !st.isRegular) {
            ++summary.dropped;
            LOG(WARNING) << "FileBackupMgr::restoreUndoFiles - dropped, the file is gone: "
                         << record.path.string();
            continue;
        }
        platform::CriticalSectionGuard guard(m_cs);
        if (st.times.creation == ctime && st.times.lastWrite == mtime &&
            static_cast<int64_t>(st.size) == record.size) {
            ++summary.queued;
            m_uploadList.push_back(std::move(record));
        } else {
            ++summary.rehash;
            VLOG(1) << "FileBackupMgr::restoreUndoFiles - changed, hashed again: "
                    << record.path.string();
            m_subFiles.push_back(record.path);
            m_changedFiles.emplace(record.path, std::move(record));
        }
    }

    if (db.query("SELECT IFNULL(txstatus,5) FROM last_tx_status where userid=" + user +
                 " ORDER BY rowid;") &&
        !db.rows().empty() && !db.rows().back().empty()) {
        COptions::GetInstance().m_lastTxStatus = static_cast<int>(ToInt64(db.rows().back().back()));
    }
    // The rows stay until the first snapshot of this run replaces them (one transaction of the
    // write queue): deleted here, a kill before that snapshot is written would lose every
    // unfinished upload of the previous run.
    db.close();
    LOGF(INFO, "FileBackupMgr::restoreUndoFiles - %d rows: %d queued, %d hashed again, %d dropped",
         static_cast<int>(rows.size()), summary.queued, summary.rehash, summary.dropped);
    return summary;
}

bool FileBackupMgr::restoreDragDirs(const fs::path& txlogDb) {
    {
        platform::CriticalSectionGuard guard(m_cs);
        if (!m_uploadList.empty() || !m_changedFiles.empty()) {
            return false;
        }
    }
    const std::string user = std::to_string(COptions::GetInstance().GetUserId());
    DBWrapper db(TxlogPath(txlogDb));
    if (!db.open()) {
        LOG(ERROR) << "FileBackupMgr::restoreDragDirs - can't open " << db.path().string() << ": "
                   << db.errorText();
        return false;
    }
    if (!db.query("SELECT IFNULL(path,''), IFNULL(pid,0), IFNULL(share,0) FROM drag_dir "
                  "where userid=" + user + " ORDER BY id;")) {
        LOG(ERROR) << "FileBackupMgr::restoreDragDirs - can't read drag_dir: " << db.errorText();
        db.close();
        return false;
    }
    {
        platform::CriticalSectionGuard guard(m_cs);
        for (const auto& row : db.rows()) {
            if (row.size() < 3 || row[0].empty()) {
                continue;
            }
            RequestKey key{ToInt64(row[1]), static_cast<int32_t>(ToInt64(row[2]))};
            fs::path path(row[0]);
            auto& list = m_pendingRequests[key];
            if (std::find(list.begin(), list.end(), path) == list.end()) {
                list.push_back(std::move(path));
            }
        }
    }
    // Left for the next snapshot to replace, as the rows of restoreUndoFiles are.
    db.close();
    return true;
}

