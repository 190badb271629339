#include "core/CWriteDbMgr.h"

#include <chrono>
#include <ctime>
#include <memory>

#include "core/CWriteDbHandler.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& text) { return DBWrapper::EscapeText(text); }

std::string DlUndoInsert(const CWriteDbMgr::DlUndoRecord& r, int userId) {
    return fmt::format("INSERT INTO dl_undo VALUES(NULL, {},{},'{}','{}',{},{});", r.size,
                       r.position, Quoted(r.path.string()), Quoted(r.url), r.splitNum, userId);
}

}  // namespace

CWriteDbMgr& CWriteDbMgr::GetInstance() {
    static CWriteDbMgr* instance = new CWriteDbMgr();  // lives until process exit
    return *instance;
}

CWriteDbMgr::CWriteDbMgr(int minThreads, int maxThreads)
    : CFPoolManager<CWriteDbParam>(minThreads, maxThreads) {
    VLOGF(1, "Task WriteDb: Constructor called. DMGR(0x%08X)", reinterpret_cast<uintptr_t>(this));
}

CWriteDbMgr::~CWriteDbMgr() {
    // Stop here, not in the base destructor: jobs that end while the pool goes away still
    // report to this object's members.
    Stop();
}

void CWriteDbMgr::Stop() {
    CFPoolManager<CWriteDbParam>::Stop();
    CloseKeptDatabases();
}

std::string CWriteDbMgr::HistoryTimeText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return fmt::sprintf("%d-%.2d-%.2d %.2d:%.2d:%.2d", (local.tm_year + 1900) % 2000,
                        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

int CWriteDbMgr::UserId() { return COptions::GetInstance().GetUserId(); }

std::string CWriteDbMgr::DbPath(const char* dbName) const {
    fs::path base = m_userDataDir.empty() ? COptions::GetInstance().GetUserDataDir() : m_userDataDir;
    return (base / dbName).string();
}

void CWriteDbMgr::SetUserDataDir(const fs::path& dir) {
    platform::CriticalSectionGuard guard(m_cs);
    m_userDataDir = dir;
}

// ---- statements ----

void CWriteDbMgr::AddLastTxStatus(int state) {
    Append(m_txBatch, DBWrapper::kTxlogDb, kTxBatchLimit,
           fmt::format("INSERT INTO last_tx_status VALUES(NULL, {},{});", UserId(), state));
}

void CWriteDbMgr::AddDragDir(const fs::path& path, int64_t pid, int share) {
    Append(m_txBatch, DBWrapper::kTxlogDb, kTxBatchLimit,
           fmt::format("INSERT INTO drag_dir VALUES(NULL,'{}',{},{},{});", Quoted(path.string()),
                       pid, share, UserId()));
}

void CWriteDbMgr::DeleteDragDirs() {
    Append(m_txBatch, DBWrapper::kTxlogDb, kTxBatchLimit,
           fmt::format("DELETE FROM drag_dir where userid={};", UserId()));
}

void CWriteDbMgr::AddInUndoLog(const std::vector<UpldUndoRecord>& records) {
    const int userId = UserId();
    for (const auto& r : records) {
        Append(m_txBatch, DBWrapper::kTxlogDb, kTxBatchLimit,
               fmt::format("INSERT INTO undo_files VALUES(NULL, {},{},'{}',{},{},'{}','{}',{},{},{},{},{});",
                           r.size, r.position, Quoted(r.sha), r.fid, r.pid, Quoted(r.path.string()),
                           Quoted(r.name), r.ctime, r.mtime, r.type, r.splitNum, userId));
    }
}

void CWriteDbMgr::ReplaceUnfinishedUploads(const std::vector<UpldUndoRecord>& undo,
                                           const std::vector<DragDirRecord>& dragDirs,
                                           int lastTxStatus) {
    const int userId = UserId();
    std::string sql = fmt::format("DELETE FROM undo_files where userid={};", userId);
    sql.reserve(undo.size() * 160 + dragDirs.size() * 80 + 200);
    for (const auto& r : undo) {
        sql += fmt::format("INSERT INTO undo_files VALUES(NULL, {},{},'{}',{},{},'{}','{}',{},{},{},{},{});",
                           r.size, r.position, Quoted(r.sha), r.fid, r.pid, Quoted(r.path.string()),
                           Quoted(r.name), r.ctime, r.mtime, r.type, r.splitNum, userId);
    }
    sql += fmt::format("DELETE FROM drag_dir where userid={};", userId);
    for (const auto& d : dragDirs) {
        sql += fmt::format("INSERT INTO drag_dir VALUES(NULL,'{}',{},{},{});", Quoted(d.path.string()),
                           d.pid, d.share, userId);
    }
    sql += fmt::format("DELETE FROM last_tx_status where userid={};", userId);
    sql += fmt::format("INSERT INTO last_tx_status VALUES(NULL, {},{});", userId, lastTxStatus);
    platform::CriticalSectionGuard guard(m_cs);
    // Statements added before stay before: the rows they add or delete are older than these.
    WriteBatch(m_txBatch, DBWrapper::kTxlogDb);
    Submit(DBWrapper::kTxlogDb, std::move(sql));
}

void CWriteDbMgr::AddInDlUndoLog(const std::vector<DlUndoRecord>& records) {
    const int userId = UserId();
    for (const auto& r : records) {
        std::string statement = DlUndoInsert(r, userId);
        VLOGF(1, "CWriteDbMgr::AddInDlUndoLog: %s", statement);
        Append(m_txBatch, DBWrapper::kTxlogDb, kTxBatchLimit, statement);
    }
}

void CWriteDbMgr::ReplaceUnfinishedDownloads(const std::vector<DlUndoRecord>& records) {
    const int userId = UserId();
    std::string sql = fmt::format("DELETE FROM dl_undo where userid={};", userId);
    sql.reserve(records.size() * 200 + 40);
    for (const auto& r : records) {
        sql += DlUndoInsert(r, userId);
    }
    platform::CriticalSectionGuard guard(m_cs);
    // Statements added before stay before: the rows they add or delete are older than these.
    WriteBatch(m_txBatch, DBWrapper::kTxlogDb);
    Submit(DBWrapper::kTxlogDb, std::move(sql));
}

const char* const CWriteDbMgr::kEditPendingTable =
    "CREATE TABLE IF NOT EXISTS edit_pending(id INTEGER PRIMARY KEY, fid INT, pid INT, share TINYINT,"
    " name VARCHAR(260), edit_path VARCHAR(260), token TEXT, hash VARCHAR(128), size INT,"
    " instep_size INT, instep_mtime INT, locked TINYINT, pending TINYINT, userid INTERGER, UNIQUE (id));";

void CWriteDbMgr::ReplaceEditPending(const std::vector<EditPendingRecord>& records) {
    const int userId = UserId();
    std::string sql = kEditPendingTable;
    sql += fmt::format("DELETE FROM edit_pending where userid={};", userId);
    for (const auto& r : records) {
        sql += fmt::format(
            "INSERT INTO edit_pending VALUES(NULL,{},{},{},'{}','{}','{}','{}',{},{},{},{},{},{});",
            r.fid, r.pid, r.share, Quoted(r.name), Quoted(r.editPath.string()), Quoted(r.token),
            Quoted(r.hash), r.size, r.inStepSize, r.inStepMtimeNs, r.locked ? 1 : 0,
            r.pending ? 1 : 0, userId);
    }
    platform::CriticalSectionGuard guard(m_cs);
    WriteBatch(m_txBatch, DBWrapper::kTxlogDb);
    Submit(DBWrapper::kTxlogDb, std::move(sql));
}

void CWriteDbMgr::AddLog(const std::string& name, const fs::path& path, int64_t size, int type) {
    Append(m_logBatch, DBWrapper::kLogDb, kLogBatchLimit,
           fmt::format("INSERT INTO log VALUES(NULL,'{}','{}',{},{},{},'{}');", Quoted(name),
                       Quoted(path.string()), size, type, UserId(),
                       HistoryTimeText(std::time(nullptr))));
}

void CWriteDbMgr::AddBackupDirs(const std::vector<std::pair<fs::path, int64_t>>& dirs) {
    if (dirs.empty()) {
        return;
    }
    const int userId = UserId();
    std::string sql;
    for (const auto& [path, pid] : dirs) {
        sql += fmt::format("INSERT INTO autobackupdir VALUES(NULL,'{}',{},{});",
                           Quoted(path.string()), pid, userId);
    }
    platform::CriticalSectionGuard guard(m_cs);
    Submit(DBWrapper::kConfigDb, std::move(sql));
}

void CWriteDbMgr::RemoveBackupDirs(const std::vector<fs::path>& dirs) {
    if (dirs.empty()) {
        return;
    }
    const int userId = UserId();
    std::string sql;
    for (const auto& path : dirs) {
        sql += fmt::format("DELETE from autobackupdir where path = '{}'and userid = {};",
                           Quoted(path.string()), userId);
    }
    platform::CriticalSectionGuard guard(m_cs);
    Submit(DBWrapper::kConfigDb, std::move(sql));
}

// ---- batches ----

void CWriteDbMgr::Append(Batch& batch, const char* dbName, int limit, const std::string& statement) {
    platform::CriticalSectionGuard guard(m_cs);
    batch.sql += statement;
    if (++batch.count >= limit) {
        WriteBatch(batch, dbName);
    }
}

void CWriteDbMgr::WriteBatch(Batch& batch, const char* dbName) {
    platform::CriticalSectionGuard guard(m_cs);
    if (batch.sql.empty()) {
        return;
    }
    std::string sql = std::move(batch.sql);
    batch.sql.clear();
    batch.count = 0;
    Submit(dbName, std::move(sql));
}

void CWriteDbMgr::WriteConfigBatch() { WriteBatch(m_configBatch, DBWrapper::kConfigDb); }
void CWriteDbMgr::WriteTxBatch() { WriteBatch(m_txBatch, DBWrapper::kTxlogDb); }
void CWriteDbMgr::WriteLogBatch() { WriteBatch(m_logBatch, DBWrapper::kLogDb); }

void CWriteDbMgr::WriteAllBatches() {
    WriteConfigBatch();
    WriteTxBatch();
    WriteLogBatch();
}

// Called with m_cs held: the sequence numbers and the pool's job indexes then grow together,
// which is what keeps the turn-taking free of deadlocks (a job never waits for one that sits
// behind it in the pool's queue). The order lock is let go before the pool's own locks are
// taken, because a cancelled job ends its turn while the pool holds its lock.
void CWriteDbMgr::Submit(const char* dbName, std::string sql) {
    platform::CriticalSectionGuard guard(m_cs);
    auto pool = GetPool();
    if (!pool) {
        LOG(ERROR) << "CWriteDbMgr: the write queue is not running, not written: " << sql;
        std::lock_guard<std::mutex> lock(m_orderMutex);
        ++m_dropped;
        return;
    }
    CWriteDbParam param;
    param.dbPath = DbPath(dbName);
    param.sql = std::move(sql);
    {
        std::lock_guard<std::mutex> lock(m_orderMutex);
        param.sequence = ++m_lastSequence;
        m_outstanding.insert(param.sequence);
        m_outstandingByDb[param.dbPath].insert(param.sequence);
    }
    const int priority = m_closing ? 0 : -1;
    pool->SubmitJob(std::make_unique<CWriteDbHandler>(std::move(param), priority, *this),
                    &m_lastJobIndex);
}

void CWriteDbMgr::SetClosing() {
    platform::CriticalSectionGuard guard(m_cs);
    m_closing = true;
}

bool CWriteDbMgr::IsClosing() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_closing;
}

int CWriteDbMgr::GetLastJobIndex() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_lastJobIndex;
}

// ---- turn-taking and waiting ----

bool CWriteDbMgr::WaitForTurn(CWriteDbHandler& job) {
    const CWriteDbParam& param = job.GetParam();
    std::unique_lock<std::mutex> lock(m_orderMutex);
    for (;;) {
        auto it = m_outstandingByDb.find(param.dbPath);
        if (it == m_outstandingByDb.end() || it->second.empty() ||
            *it->second.begin() == param.sequence) {
            return true;
        }
        auto* pool = job.GetPool();
        if (job.JobEvent().IsSet() || (pool && pool->StopEvent().IsSet())) {
            return false;
        }
        // The earlier job notifies when it ends; the time-out only rechecks the stop events.
        m_orderCv.wait_for(lock, std::chrono::milliseconds(50));
    }
}

void CWriteDbMgr::EndTurn(const CWriteDbParam& param, bool written) {
    {
        std::lock_guard<std::mutex> lock(m_orderMutex);
        m_outstanding.erase(param.sequence);
        auto it = m_outstandingByDb.find(param.dbPath);
        if (it != m_outstandingByDb.end()) {
            it->second.erase(param.sequence);
        }
        if (!written) {
            ++m_dropped;
        }
    }
    m_orderCv.notify_all();
}

void CWriteDbMgr::KeepDatabaseOpen(const std::string& dbPath) {
    if (!DBWrapper::UsesWriteAheadLog()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_keptMutex);
    auto& kept = m_keptOpen[dbPath];
    if (kept && kept->isOpen()) {
        return;
    }
    kept = std::make_unique<DBWrapper>(dbPath);
    // A read maps the log's index, which then stays mapped while the connection is open.
    if (!kept->open() || !kept->query("SELECT count(*) FROM sqlite_master;")) {
        kept.reset();  // the job itself will find out and report what is wrong
        return;
    }
    kept->clearResult();
}

void CWriteDbMgr::CloseKeptDatabases() {
    std::map<std::string, std::unique_ptr<DBWrapper>> kept;
    {
        std::lock_guard<std::mutex> lock(m_keptMutex);
        kept.swap(m_keptOpen);
    }
    // The last close folds the log back into each file.
    kept.clear();
}

bool CWriteDbMgr::Flush(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_orderMutex);
    const uint64_t target = m_lastSequence;
    return m_orderCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return m_outstanding.empty() || *m_outstanding.begin() > target;
    });
}

uint64_t CWriteDbMgr::GetSubmittedJobCount() const {
    std::lock_guard<std::mutex> lock(m_orderMutex);
    return m_lastSequence;
}

uint64_t CWriteDbMgr::GetDroppedJobCount() const {
    std::lock_guard<std::mutex> lock(m_orderMutex);
    return m_dropped;
}

void CWriteDbMgr::SetRetryPauseMs(uint32_t pauseMs) { m_retryPauseMs = pauseMs; }

uint32_t CWriteDbMgr::GetRetryPauseMs() const { return m_retryPauseMs; }
