#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cloud/CRequestContext.h"
#include "core/CFPoolManager.h"
#include "core/CProgressMeter.h"
#include "core/TaskState.h"
#include "download/CDownloader.h"
#include "download/DownloadCache.h"
#include "download/DownloadResult.h"

class CDownloaderMgr;

// One run of a download task, as a job on a download pool (CDnldThreadMgr, or LocalEditDnldMgr
// for local edits). It fetches the file over one connection into its cache file
// (DownloadCache): every connection asks the server for "&breakPoint=" equal to the bytes the
// cache file holds and appends exactly at its end, so an interrupted run (a pause, a quit, a
// lost connection, a killed process) costs no more than the block in flight and the next run
// goes on from there. A file of unknown size is probed first (CHeaderDownloader). A stalled
// connection is reconnected without spending the retry budget; other connection errors spend
// it. An HTTP error reply never reaches the cache file. When the content's hash is known (a
// folder listing reported it) the delivered file must have it: a mismatch drops the cache and
// fetches once more from zero, then fails. Delivery never leaves half a file under the real
// name (DownloadDelivery). Sizes, positions and counters are 64-bit throughout.
//
// The task (CDownloaderMgr) receives the end state and the position; the task's window gets
// WM_DNLD_PROGRESS at the speed meter's tick (about once a second) and WM_DNLD_END, unless the
// task was abandoned; a local-edit run tells the page its progress instead and ends with
// WM_LOCALEDIT_DNLD_END.
class CEasyDownloader : public CDownloader, public CFJobBase<std::unique_ptr<CDownloadParam>> {
public:
    using Pool = CFPoolManager<std::unique_ptr<CDownloadParam>>;

    // libcurl's receive buffer: larger blocks mean fewer calls of the write and progress
    // hooks per byte.
    static constexpr long kReceiveBuffer = 256 * 1024;
    // How often the progress hook looks at the pool's stop (it takes a lock).
    static constexpr uint64_t kPoolCheckMs = 100;
    static constexpr int kJobPriority = 1;

    // A new job over a copy of `param` for `task`, submitted to `pool`. False when the pool is
    // not running.
    static bool Submit(Pool& pool, const CDownloadParam& param, std::shared_ptr<CDownloaderMgr> task);

    CEasyDownloader(std::unique_ptr<CDownloadParam> param, std::shared_ptr<CDownloaderMgr> task);
    ~CEasyDownloader() override;

    // CDownloader: the whole run; returns the task's state after it.
    void SetParam(const CDownloadParam& param) override { m_param = param; }
    int Download() override;
    std::string GetName() const override { return "EasyDownloader"; }

    // CFJobBase: the run, then the end message unless the task was abandoned.
    void Run() override;
    // The pool went away before the job ran: the task is ready to start again.
    void OnCancelJob() override;

    int32_t GetResult() const { return m_result; }
    // Bytes this run wrote to the cache file, and bytes it received in replies.
    int64_t GetBytesWritten() const { return m_written; }
    int64_t GetBytesReceived() const { return m_received; }

private:
    struct Connection {
        long httpCode = 0;  // of the last status line
        std::string statusLine;
        int64_t received = 0;  // body bytes of this connection
        bool rangeReached = false;
        bool writeFailed = false;
        int64_t contentLength = -1;  // of the final reply; -1: not announced
        std::string mediaType;       // of the final reply, in lower case
        bool notFilePart = false;    // the reply was refused as no part of the file
    };
    struct Outcome {
        int32_t state = TSE_READY;
        std::string text;
    };

    // The steps of the run.
    Outcome Prepare();
    Outcome CheckDiskSpace();
    Outcome Transfer();
    // Whether a 200 reply can be the file from the cache's end: not an HTML page or a JSON
    // envelope in its place, and not announced shorter than the bytes still to come.
    bool IsFilePart() const;
    // Decides the connection's end; sets `again` when the next connection is to follow.
    Outcome ProcessTransferDone(CURLcode result, bool& again);
    bool RestartConnection(int limit, bool counting);
    // Checks the content (when its hash is known) and delivers it.
    Outcome Complete(bool& again);
    int PostDownload(Outcome outcome);
    void PostEnd(int32_t result, int64_t position);

    // libcurl hooks.
    CRequestContext::Hooks MakeHooks();
    void OnHeaderLine(std::string_view line);
    bool OnBody(const char* data, size_t size);
    bool OnProgress();
    void PostProgress(int64_t done, bool last);
    bool PoolStopRequested();

    bool IsComplete() const;
    static std::string Text(uint32_t id);

    std::shared_ptr<CDownloaderMgr> m_task;
    CDownloadParam m_param;
    std::unique_ptr<DownloadCache> m_cache;
    std::unique_ptr<CRequestContext> m_context;
    Connection m_conn;
    int m_retryCount = 0;
    bool m_hashRetried = false;
    bool m_poolStopped = false;
    int64_t m_startOffset = 0;   // cache file size when the run began
    int64_t m_attemptStart = 0;  // cache file size when the connection began
    int64_t m_written = 0;
    int64_t m_received = 0;
    int64_t m_lastPostedDone = -1;
    uint64_t m_lastPoolCheck = 0;
    CProgressMeter m_meter;
    int32_t m_result = kDlTransferRan;
};
