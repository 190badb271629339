// What a crash must not lose of the local edits: the stored edited files (edit_pending), read
// at the start of a run and taken up again, and written whenever they change.
#include <algorithm>
#include <ctime>
#include <system_error>
#include <utility>

#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "localedit/LocalEditMgr.h"

namespace fs = std::filesystem;

namespace {

// Moves `from` to `to`, or copies it and removes it where a rename cannot.
void MoveEntry(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) {
        return;
    }
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
        LOGF(ERROR, "LocalEditMgr: can't move %s to %s: %s", from.string(), to.string(),
             ec.message());
        return;
    }
    CommonUtils::DeleteFolderTree(from, true);
}

}  // namespace

// ---- the start of a run ----

void LocalEditMgr::Init(const fs::path& txlogDb) {
    if (m_followsOptions) {
        SetFolders(COptions::GetInstance().GetWorkDir());
    }
    m_restored.clear();
    for (auto& row : LoadPending(txlogDb)) {
        // Left in the edit folder when the copy changed since the server had it, or a save was
        // on its way, or the lock may still be held.
        const Version now = VersionOf(row.editPath);
        const bool changed = now.size >= 0 &&
                             (row.pending || now.size != row.inStepSize ||
                              now.mtimeNs != row.inStepMtimeNs);
        row.pending = changed;
        if (row.pending || row.locked) {
            m_restored.push_back(std::move(row));
        }
    }
    CommonUtils::MakeFolderPath(m_upldDir);
    CommonUtils::DeleteFolderTree(m_upldDir, false);
    CommonUtils::MakeFolderPath(m_shaDir);
    CommonUtils::DeleteFolderTree(m_shaDir, false);
    CommonUtils::MakeFolderPath(m_editDir);

    // What stays: the time-stamp folders of the pending edits.
    std::vector<fs::path> kept;
    for (const auto& row : m_restored) {
        if (row.pending) {
            kept.push_back(row.editPath.parent_path());
        }
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const fs::path dayFolder =
        m_ledirDir / fmt::sprintf("%d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    std::error_code ec;
    for (fs::directory_iterator it(m_editDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        if (std::find(kept.begin(), kept.end(), entry) != kept.end()) {
            continue;
        }
        CommonUtils::MakeFolderPath(dayFolder);
        fs::path target = dayFolder / entry.filename();
        if (fs::exists(target)) {
            CommonUtils::DeleteFolderTree(target, true);
        }
        MoveEntry(entry, target);
    }
}

std::vector<CWriteDbMgr::EditPendingRecord> LocalEditMgr::LoadPending(const fs::path& txlogDb) {
    std::vector<CWriteDbMgr::EditPendingRecord> rows;
    COptions& options = COptions::GetInstance();
    const fs::path path = txlogDb.empty() ? options.GetDatabasePath(DBWrapper::kTxlogDb) : txlogDb;
    DBWrapper db(path);
    if (!db.open()) {
        LOG(ERROR) << "LocalEditMgr: can't open " << path.string() << ": " << db.errorText();
        return rows;
    }
    db.executeSQL(CWriteDbMgr::kEditPendingTable);
    const std::string user = std::to_string(options.GetUserId());
    if (!db.query("SELECT fid, pid, share, name, edit_path, token, hash, size, instep_size,"
                  " instep_mtime, locked, pending FROM edit_pending where userid=" + user + ";")) {
        LOG(ERROR) << "LocalEditMgr: " << db.errorText();
        return rows;
    }
    auto number = [](const std::string& text) { return CommonUtils::StringToInt64(text).value_or(0); };
    for (const auto& row : db.rows()) {
        if (row.size() < 12) {
            continue;
        }
        CWriteDbMgr::EditPendingRecord record;
        record.fid = number(row[0]);
        record.pid = number(row[1]);
        record.share = static_cast<int>(number(row[2]));
        record.name = row[3];
        record.editPath = fs::path(row[4]);
        record.token = row[5];
        record.hash = row[6];
        record.size = number(row[7]);
        record.inStepSize = number(row[8]);
        record.inStepMtimeNs = number(row[9]);
        record.locked = number(row[10]) != 0;
        record.pending = number(row[11]) != 0;
        // Only what lies in a time-stamp folder of our edit folder is ours to upload.
        const fs::path relative = record.editPath.lexically_relative(m_editDir);
        if (record.fid <= 0 || !CommonUtils::IsPlainName(record.name) ||
            record.editPath.filename() != record.name || relative.empty() ||
            std::distance(relative.begin(), relative.end()) != 2 || *relative.begin() == "..") {
            LOGF(ERROR, "LocalEditMgr: stored edit '%s' skipped", row[4]);
            continue;
        }
        rows.push_back(std::move(record));
    }
    return rows;
}

void LocalEditMgr::resumePending() {
    std::vector<CWriteDbMgr::EditPendingRecord> restored = std::exchange(m_restored, {});
    bool watch = false;
    for (const auto& row : restored) {
        if (!row.pending) {
            // Nothing to upload, only the lock of the crashed run to let go.
            LOGF(INFO, "LocalEditMgr::resumePending - unlock %d left locked", row.fid);
            m_workers.unlock(row.fid, row.name);
            continue;
        }
        EditedFile file;
        file.fid = row.fid;
        file.pid = row.pid;
        file.share = row.share;
        file.token = row.token;
        file.name = row.name;
        file.hash = row.hash;
        file.size = row.size;
        file.uploadedHash = row.hash;
        file.uploadedSize = row.size;
        file.inStepSize = row.inStepSize;
        file.inStepMtimeNs = row.inStepMtimeNs;
        file.lockMayBeHeld = row.locked;
        file.status = kOpened;
        LOGF(INFO, "LocalEditMgr::resumePending - %s changed before the last run ended",
             row.editPath.string());
        m_files[row.editPath] = std::move(file);
        watch = true;
        // Hashed like a save: uploaded when it differs from what the server holds.
        updateFileChange({row.editPath});
    }
    if (watch) {
        m_workers.startWatcher();
    }
    SavePending();
}

// ---- what a crash must not lose ----

void LocalEditMgr::SavePending() {
    std::vector<CWriteDbMgr::EditPendingRecord> rows;
    for (const auto& [path, file] : m_files) {
        const bool pending = file.status != kOpened && file.status != kInStep;
        // A file whose download has not ended is not the user's yet.
        if (file.inStepSize < 0 && !pending) {
            continue;
        }
        CWriteDbMgr::EditPendingRecord row;
        row.fid = file.fid;
        row.pid = file.pid;
        row.share = file.share;
        row.name = file.name;
        row.editPath = path;
        row.token = file.token;
        row.hash = file.uploadedHash;
        row.size = file.uploadedSize;
        row.inStepSize = file.inStepSize;
        row.inStepMtimeNs = file.inStepMtimeNs;
        row.locked = file.lockMayBeHeld;
        row.pending = pending;
        rows.push_back(std::move(row));
    }
    if (m_saved && rows == m_lastSaved) {
        return;
    }
    WriteQueue().ReplaceEditPending(rows);
    m_lastSaved = std::move(rows);
    m_saved = true;
}
