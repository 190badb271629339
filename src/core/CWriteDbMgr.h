#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/CFPoolManager.h"
#include "core/CWriteDbParam.h"
#include "core/DBWrapper.h"
#include "platform/CriticalSection.h"

class CWriteDbHandler;

// The database write queue. Every write made while the process runs is turned into SQL text
// here and executed on a pool of 1 to 5 threads, so that no window or transfer thread waits for
// the disk. Statements are collected in one batch per database; a full batch becomes one job
// (CWriteDbHandler) that writes it in one transaction with retries.
//
// In write-ahead-log mode the queue keeps one idle connection to each database it has written
// while its pool runs (closed by Stop). Every job still opens and closes its own connection, but
// without the idle one each close of the last connection folds the log back into the file and
// syncs it, and each open rebuilds the log's index: several times the cost of the write itself.
//
// Jobs of the same database are written one after another in the order they were submitted,
// even with several pool threads free: batches depend on each other (a "DELETE FROM drag_dir"
// followed by new rows, a backup folder removed and added again), and letting a later batch
// commit first would lose rows.
class CWriteDbMgr : public CFPoolManager<CWriteDbParam> {
public:
    static CWriteDbMgr& GetInstance();

    // The process uses the singleton; tests and benchmarks make queues of their own.
    explicit CWriteDbMgr(int minThreads = 1, int maxThreads = 5);
    ~CWriteDbMgr() override;

    // Stops the pool (waiting jobs are cancelled) and closes the idle connections.
    void Stop() override;

    // Batch limits: a batch is written as one job when it holds this many statements.
    static constexpr int kTxBatchLimit = 10;
    static constexpr int kLogBatchLimit = 1;
    static constexpr int kConfigBatchLimit = 10;
    static constexpr uint32_t kDefaultRetryPauseMs = 1500;
    static constexpr int kMaxAttempts = 9;

    // One unfinished upload (table undo_files).
    struct UpldUndoRecord {
        int64_t size = 0;
        int64_t position = 0;
        std::string sha;
        int64_t fid = 0;
        int64_t pid = 0;
        std::filesystem::path path;  // folder of the file
        std::string name;
        int64_t ctime = 0;
        int64_t mtime = 0;
        int type = 0;  // share flag of the target folder
        int splitNum = 0;

        // The row of `file` (its folder and name apart); the file times are left at 0.
        static UpldUndoRecord Of(const std::filesystem::path& file, int64_t fid, int64_t pid,
                                 const std::string& hash, int64_t size, int64_t breakPoint,
                                 int share, int splitNum) {
            UpldUndoRecord row;
            row.size = size;
            row.position = breakPoint;
            row.sha = hash;
            row.fid = fid;
            row.pid = pid;
            row.path = file.parent_path();
            row.name = file.filename().string();
            row.type = share;
            row.splitNum = splitNum;
            return row;
        }
    };

    // One unfinished download (table dl_undo).
    struct DlUndoRecord {
        int64_t size = 0;
        int64_t position = 0;
        std::filesystem::path path;  // full local path
        std::string url;
        int splitNum = 0;
    };

    // One file being edited locally whose state a crash must not lose (table edit_pending).
    struct EditPendingRecord {
        int64_t fid = 0;
        int64_t pid = 0;
        int share = 0;
        std::string name;
        std::filesystem::path editPath;  // the edited copy in its time-stamped folder
        std::string token;               // the page's token text of the edit
        std::string hash;                // the content the server holds, as far as known
        int64_t size = 0;                // size of that content
        // Size and modification time (ns) of the edited copy when it last held that content.
        int64_t inStepSize = -1;
        int64_t inStepMtimeNs = 0;
        bool locked = false;   // the server lock may be held for this client
        bool pending = false;  // a saved version has not reached the server yet
        bool operator==(const EditPendingRecord&) const = default;
    };
    // The table of edit_pending, made where it is missing (older databases lack it).
    static const char* const kEditPendingTable;

    // One unfinished dropped folder or file of a request (table drag_dir).
    struct DragDirRecord {
        std::filesystem::path path;
        int64_t pid = 0;
        int share = 0;
        bool operator==(const DragDirRecord&) const = default;
    };

    // ---- transfer database ("zor/txlog"), batches of 10 ----
    void AddLastTxStatus(int state);
    void AddDragDir(const std::filesystem::path& path, int64_t pid, int share);
    void DeleteDragDirs();
    void AddInUndoLog(const std::vector<UpldUndoRecord>& records);
    void AddInDlUndoLog(const std::vector<DlUndoRecord>& records);
    // The user's unfinished uploads as a whole: the rows of undo_files, drag_dir and
    // last_tx_status are replaced by these in one transaction, written after every statement
    // added before (the batch collecting is handed on first). A crash leaves either the
    // previous set or this one, never a mixture.
    void ReplaceUnfinishedUploads(const std::vector<UpldUndoRecord>& undo,
                                  const std::vector<DragDirRecord>& dragDirs, int lastTxStatus);

    // The user's unfinished downloads as a whole: the rows of dl_undo are replaced by these in
    // one transaction, written after every statement added before. A crash leaves either the
    // previous set or this one.
    void ReplaceUnfinishedDownloads(const std::vector<DlUndoRecord>& records);

    // The user's edited files as a whole: the rows of edit_pending are replaced by these in
    // one transaction, after every statement added before.
    void ReplaceEditPending(const std::vector<EditPendingRecord>& records);

    // ---- log database ("zor/log"), written at once ----
    void AddLog(const std::string& name, const std::filesystem::path& path, int64_t size, int type);
    // The time text of a history row, local time with the year modulo 2000:
    // "%d-%.2d-%.2d %.2d:%.2d:%.2d" ("26-03-07 14:05:09"); the date is the text before the blank.
    static std::string HistoryTimeText(std::time_t when);

    // ---- configuration database ("zor/config"): one job for the whole list ----
    void AddBackupDirs(const std::vector<std::pair<std::filesystem::path, int64_t>>& dirs);
    void RemoveBackupDirs(const std::vector<std::filesystem::path>& dirs);

    // Hand a batch to the pool now, full or not.
    void WriteConfigBatch();
    void WriteTxBatch();
    void WriteLogBatch();
    // The closing order: configuration, then transfers, then history.
    void WriteAllBatches();

    // Set once when the floating drop window starts closing: later jobs get priority 0 and
    // so run after every job still waiting from before (those have -1).
    void SetClosing();
    bool IsClosing() const;

    // Waits until every job submitted before the call has ended (written, given up or
    // cancelled). Batches still collecting are not submitted by this; WriteAllBatches first.
    bool Flush(uint32_t timeoutMs);

    uint64_t GetSubmittedJobCount() const;
    // Jobs that ended without writing: attempts exhausted, pool stopped, or cancelled.
    uint64_t GetDroppedJobCount() const;
    int GetLastJobIndex() const;

    // Pause after a failed attempt; tests shorten it.
    void SetRetryPauseMs(uint32_t pauseMs);
    uint32_t GetRetryPauseMs() const;

    // Folder holding "zor"; empty (the default) means the user data folder of COptions.
    void SetUserDataDir(const std::filesystem::path& dir);

private:
    friend class CWriteDbHandler;

    struct Batch {
        std::string sql;
        int count = 0;
    };

    void Append(Batch& batch, const char* dbName, int limit, const std::string& statement);
    void WriteBatch(Batch& batch, const char* dbName);
    void Submit(const char* dbName, std::string sql);
    std::string DbPath(const char* dbName) const;
    static int UserId();

    // Turn-taking of jobs of the same database (called by CWriteDbHandler).
    bool WaitForTurn(CWriteDbHandler& job);
    void EndTurn(const CWriteDbParam& param, bool written);
    void KeepDatabaseOpen(const std::string& dbPath);
    void CloseKeptDatabases();

    mutable platform::CriticalSection m_cs;  // batches, submission
    Batch m_txBatch;
    Batch m_logBatch;
    Batch m_configBatch;
    int m_lastJobIndex = -1;
    bool m_closing = false;
    std::filesystem::path m_userDataDir;

    mutable std::mutex m_orderMutex;  // taken alone, never while holding a pool lock
    std::condition_variable m_orderCv;
    uint64_t m_lastSequence = 0;
    std::set<uint64_t> m_outstanding;                         // every job not yet ended
    std::map<std::string, std::set<uint64_t>> m_outstandingByDb;  // per database file
    uint64_t m_dropped = 0;

    std::mutex m_keptMutex;
    std::map<std::string, std::unique_ptr<DBWrapper>> m_keptOpen;  // by database path
    std::atomic<uint32_t> m_retryPauseMs{kDefaultRetryPauseMs};
};
