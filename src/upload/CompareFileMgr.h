#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cloud/CRequestContext.h"
#include "core/CTaskThread.h"
#include "platform/Event.h"
#include "upload/FileBackupMgr.h"

// Compares hashed files of a drop with what the server holds at the same place below the
// batch target, on one thread of its own. Folder listings are fetched once and cached in the
// backup file list (dropped when a pass starts more than 10 s after the previous one, or for
// another target); missing folders are created; a file whose name is listed with the same hash
// and complete content is not sent again (history row "completed by the server"), anything
// else becomes a waiting record for the upload queue (WM_CMP_UPLOAD), with the id of the
// same-named server file when there is one so that the upload replaces or resumes it. Each
// pass ends with WM_CMP_LOOP_OVER unless it was paused.
//
//     CompareFileMgr& cmp = CompareFileMgr::GetInstance();
//     cmp.SetNotifyWindow(dispatcher);  cmp.Start();  cmp.WaitForStarted(5000);
//     ... FileBackupMgr::addShaFile(...); cmp.SignalWork();
//     cmp.Shutdown(5000);
class CompareFileMgr : public CTaskThread {
public:
    // A pass that starts longer than this after the previous one fetches listings again.

    static CompareFileMgr& GetInstance();
    // The process uses the singleton; tests make their own.
    CompareFileMgr();
    ~CompareFileMgr() override;

    // Starts the thread (nothing when it still runs).
    bool Start() override;
    // The thread has begun to wait for work.
    bool WaitForStarted(uint32_t timeoutMs);

    // Files wait for comparison (the dispatcher adds them to the backup file list first).
    void SignalWork();
    // While paused the thread takes no files; a pass under way puts the files it has not
    // compared back for the next pass and ends without WM_CMP_LOOP_OVER.
    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused; }
    // Ends the thread at the next file (the files not compared stay in the backup file list).
    void SetStopFlag();
    // SetStopFlag, then waits for the thread; true when it has ended.
    bool Shutdown(uint32_t timeoutMs);

    // Milliseconds of a monotonic clock, for the cache rule (tests turn it by hand).
    using Clock = std::function<uint64_t()>;
    void SetClock(Clock clock);

protected:
    void ThreadMain() override;

private:
    void RunServer();
    void runPass();
    // False when the file could not be handled because the comparison was paused meanwhile.
    bool checkFile(const CmpWaitingFile& file);
    bool compareInFolder(const CmpWaitingFile& file, const std::string& name, int64_t folderId);
    bool upldFile(const CmpWaitingFile& file, int64_t folderId, int64_t fid);
    // A file leaves the batch without an upload (already there, or skipped).
    void leaveBatch();
    // Creates the folder (path relative to the batch target), trying twice. Its id, or -2.
    int64_t createDirWithRetry(const std::string& relative, const char* secondTryLog);
    int64_t createDirectory(const std::string& relative);
    // Fetches and caches the listing of a folder whose key (relative folder) is `key`.
    bool getSubFiles(int64_t folderId, const std::string& key);
    bool ensureListing(int64_t folderId, const std::string& key);

    platform::Event m_startedEvent{true, false};
    platform::Event m_workEvent{false, false};
    platform::Event m_wakeEvent{false, false};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_firstRun{true};
    Clock m_clock;
    bool m_passBefore = false;
    uint64_t m_lastPassMs = 0;
    FileBackupMgr::BatchTarget m_lastBase;
    FileBackupMgr::BatchTarget m_base;  // of the pass under way
    CRequestContext m_context{CRequestContext::HandlePolicy::kKeepForNext};
};
