#include "download/CEasyDownloader.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "cloud/CloudApi.h"
#include "core/CommonUtils.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "download/CDownloaderMgr.h"
#include "download/CHeaderDownloader.h"
#include "download/DownloadDelivery.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadProgressInfo.h"
#include "download/DownloadStatus.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;

namespace {

// String table entries of the status texts.
constexpr uint32_t kTextDiskFull = 134;           // "Disk is full"
constexpr uint32_t kTextNotExists = 135;          // "File not exists"
constexpr uint32_t kTextTransmissionError = 136;  // "Transmission Error"
// The string table has no entries for these; failed rows show their state's name, so the texts
// reach the logs and the task's status.
constexpr const char* kTextNoContext = "NO DOWNLOADCONTEXT";
constexpr const char* kTextBadName = "Invalid file name";
constexpr const char* kTextHashMismatch = "The downloaded file does not match the cloud file";
constexpr const char* kTextDeliveryFailed = "Can't save the file: ";

}  // namespace

std::string CEasyDownloader::Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

bool CEasyDownloader::Submit(Pool& pool, const CDownloadParam& param,
                             std::shared_ptr<CDownloaderMgr> task) {
    if (!task) {
        return false;
    }
    auto job = std::make_unique<CEasyDownloader>(std::make_unique<CDownloadParam>(param),
                                                 std::move(task));
    job->SetPriority(kJobPriority);
    return pool.AddJob(std::move(job));
}

CEasyDownloader::CEasyDownloader(std::unique_ptr<CDownloadParam> param,
                                 std::shared_ptr<CDownloaderMgr> task)
    : CFJobBase(std::move(param)), m_task(std::move(task)) {
    // Copied here rather than in Initialize: a job the pool cancels unrun still reports.
    if (GetParam()) {
        m_param = *GetParam();
    }
}

CEasyDownloader::~CEasyDownloader() = default;

// ---- the job ----

void CEasyDownloader::Run() {
    if (!m_task) {
        LOG(ERROR) << "CEasyDownloader::Run: m_pContext is NULL!!!";
        platform::PostMessage(
            m_param.window,
            platform::Message(m_param.localEdit ? WM_LOCALEDIT_DNLD_END : WM_DNLD_END,
                              platform::MakePayload<DownloadEndInfo>(
                                  DownloadEndInfo{m_param.taskId, kDlNoContext, 0}),
                              platform::MakePayload<DownloadStatus>(
                                  DownloadStatus{TSE_FAILED, kTextNoContext})));
        return;
    }
    Download();
    if (!m_task->IsAbandoned()) {
        PostEnd(m_result, m_task->GetPosition());
    }
}

void CEasyDownloader::OnCancelJob() {
    if (!m_task) {
        return;
    }
    LOGF(WARNING, "Task[%02d]: the download pool ended before the job ran", m_param.taskId);
    m_result = kDlPoolStopped;
    PostDownload(Outcome{TSE_READY, {}});
    if (!m_task->IsAbandoned()) {
        PostEnd(m_result, m_task->GetPosition());
    }
}

void CEasyDownloader::PostEnd(int32_t result, int64_t position) {
    platform::PostMessage(
        m_param.window,
        platform::Message(m_param.localEdit ? WM_LOCALEDIT_DNLD_END : WM_DNLD_END,
                          platform::MakePayload<DownloadEndInfo>(
                              DownloadEndInfo{m_param.taskId, result, position}),
                          platform::MakePayload<DownloadStatus>(m_task->GetStatus())));
}

// ---- the run ----

int CEasyDownloader::Download() {
    m_result = kDlTransferRan;
    Outcome outcome = Prepare();
    if (outcome.state == TSE_READY) {
        outcome = CheckDiskSpace();
    }
    if (outcome.state == TSE_READY && !ShouldContinue()) {
        m_result = kDlPoolStopped;
        return PostDownload(Outcome{TSE_READY, {}});
    }
    if (outcome.state != TSE_READY) {
        return PostDownload(outcome);
    }
    for (;;) {
        outcome = IsComplete() ? Outcome{TSE_COMPLETED, {}} : Transfer();
        if (outcome.state != TSE_COMPLETED) {
            break;
        }
        bool again = false;
        outcome = Complete(again);
        if (!again) {
            break;
        }
    }
    return PostDownload(outcome);
}

CEasyDownloader::Outcome CEasyDownloader::Prepare() {
    const int32_t index = m_param.taskId;
    {
        // Paused or stopped while the job waited for a thread: no request at all.
        const int32_t state = m_task->GetState();
        if (state == TSE_PAUSING || state == TSE_DESTROYING) {
            return Outcome{state == TSE_PAUSING ? TSE_PAUSED : TSE_DESTROYED, {}};
        }
    }
    if (!CommonUtils::IsPlainName(m_param.name)) {
        // Nothing may be written outside the destination folder, the cache folder included.
        LOGF(ERROR, "Task[%02d]: refused, '%s' is not a file name", index, m_param.name);
        m_result = kDlBadName;
        return Outcome{TSE_FAILED, kTextBadName};
    }
    m_cache = std::make_unique<DownloadCache>(
        DownloadCache::FolderFor(COptions::GetInstance().GetWorkDir(), m_param.name, m_param.url),
        m_param.name);
    if (!m_cache->Prepare()) {
        LOGF(ERROR, "Task[%02d]: can't create the cache folder %s: %s", index,
             m_cache->Folder().string(), platform::ErrorText(m_cache->LastError()));
        m_result = kDlFileError;
        return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
    }
    m_param.position = m_startOffset = m_cache->Size();
    m_task->SetPosition(m_param.position);

    if (m_param.size <= 0) {
        CHeaderDownloader probe(m_task, &m_param);
        probe.SetParam(m_param);
        probe.Download();
        if (!probe.Succeeded()) {
            m_result = kDlNoSize;
            const int32_t state = m_task->GetState();
            if (state == TSE_PAUSED || state == TSE_DESTROYED) {
                return Outcome{state, {}};
            }
            return Outcome{TSE_FAILED, Text(kTextNotExists)};
        }
        m_param.position = m_startOffset;
    }
    if (m_param.size > 0 && m_startOffset > m_param.size) {
        // The cache holds more than the file has: its content belongs to another version.
        LOGF(WARNING, "Task[%02d]: the cache holds %d bytes of a %d-byte file, starting again",
             index, m_startOffset, m_param.size);
        if (!m_cache->Truncate()) {
            m_result = kDlFileError;
            return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
        }
        m_param.position = m_startOffset = 0;
    }
    m_cache->SetHashing(!m_param.hash.empty());
    if (!m_param.hash.empty() && m_startOffset > 0 && !m_cache->HashPrefix()) {
        LOGF(WARNING, "Task[%02d]: can't read the cache file back (%s), starting again", index,
             platform::ErrorText(m_cache->LastError()));
        m_cache->Truncate();
        m_param.position = m_startOffset = 0;
    }
    m_task->SetPosition(m_param.position);
    return Outcome{TSE_READY, {}};
}

CEasyDownloader::Outcome CEasyDownloader::CheckDiskSpace() {
    if (m_param.size <= 0) {
        return Outcome{TSE_READY, {}};  // nothing to count on
    }
    // The bytes still to come land in the cache; a delivery by rename writes nothing more, a
    // copy (another file system, or a cache that is kept) writes the whole file again.
    const uint64_t toCome = static_cast<uint64_t>(m_param.size - m_param.position);
    fs::path destination = m_param.folder;
    std::error_code error;
    while (!destination.empty() && !fs::exists(destination, error)) {
        destination = destination.parent_path();
    }
    const auto cacheFs = platform::FileSystemId(m_cache->Folder());
    const auto destinationFs = platform::FileSystemId(destination);
    const bool copy = COptions::GetInstance().m_keepDownloadCache || !cacheFs || !destinationFs ||
                      *cacheFs != *destinationFs;
    uint64_t needCache = toCome;
    uint64_t needDestination = copy ? static_cast<uint64_t>(m_param.size) : 0;
    if (copy && cacheFs && destinationFs && *cacheFs == *destinationFs) {
        needCache += needDestination;  // one file system takes both
        needDestination = 0;
    }
    const auto freeCache = platform::FreeDiskSpace(m_cache->Folder());
    const auto freeDestination = platform::FreeDiskSpace(destination);
    if ((freeCache && *freeCache < needCache) ||
        (needDestination > 0 && freeDestination && *freeDestination < needDestination)) {
        LOGF(ERROR, "Task[%02d]: %d bytes to come, %d free for the cache, %d at %s",
             m_param.taskId, toCome, freeCache.value_or(0), freeDestination.value_or(0),
             destination.string());
        m_result = kDlDiskFull;
        return Outcome{TSE_FAILED, Text(kTextDiskFull)};
    }
    return Outcome{TSE_READY, {}};
}

bool CEasyDownloader::IsComplete() const {
    return m_param.size > 0 && m_cache && m_cache->Size() == m_param.size;
}

CEasyDownloader::Outcome CEasyDownloader::Transfer() {
    if (!m_cache->Open()) {
        LOGF(ERROR, "EasyDownLloader::StartConnection failed, fd is null for file %s: %s",
             m_cache->File().string(), platform::ErrorText(m_cache->LastError()));
        m_result = kDlFileError;
        return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
    }
    m_context = std::make_unique<CRequestContext>(CRequestContext::HandlePolicy::kKeepForNext);
    m_context->SetReceiveBufferSize(kReceiveBuffer);
    m_context->SetReceiveSpeedLimit(
        static_cast<int64_t>(COptions::GetInstance().m_speedLimitKiB.load()) * 1024);
    m_retryCount = 0;
    m_conn = Connection();
    Outcome outcome;
    for (;;) {
        m_attemptStart = m_cache->Size();
        m_meter.Reset(platform::TickCountMs(), m_param.size, m_attemptStart);
        const ServerReply reply =
            CloudApi::Download(*m_context, m_param.url, m_cache->Size(), MakeHooks());
        bool again = false;
        outcome = ProcessTransferDone(reply.result, again);
        if (!again) {
            break;
        }
        if (!ShouldContinue()) {
            m_result = kDlPoolStopped;
            outcome = Outcome{TSE_READY, {}};
            break;
        }
    }
    m_context.reset();
    m_cache->Close();
    m_param.position = m_cache->Size();
    m_task->SetPosition(m_param.position);
    return outcome;
}

CEasyDownloader::Outcome CEasyDownloader::ProcessTransferDone(CURLcode result, bool& again) {
    again = false;
    const int32_t index = m_param.taskId;
    const int32_t state = m_task->GetState();
    VLOGF(1, "Task[%02d]: State: %d, Transfer result: %s", index, state,
          curl_easy_strerror(result));
    if (state == TSE_DESTROYING) {
        return Outcome{TSE_DESTROYED, {}};
    }
    if (m_conn.writeFailed) {
        const int error = m_cache->LastError();
        LOGF(ERROR, "Task[%02d]: can't write %s: %s", index, m_cache->File().string(),
             platform::ErrorText(error));
        if (error == ENOSPC) {
            m_result = kDlDiskFull;
            return Outcome{TSE_FAILED, Text(kTextDiskFull)};
        }
        m_result = kDlFileError;
        return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
    }
    // Every byte of a file of known size is held: whatever ended the connection, and a pause
    // that came with the last block, change nothing.
    if (IsComplete()) {
        return Outcome{TSE_COMPLETED, {}};
    }
    if (state == TSE_PAUSING) {
        return Outcome{TSE_PAUSED, {}};
    }
    if (state != TSE_TRANSFERRING) {
        LOGF(ERROR, "Task[%02d]: [ProcessTransferDone] Unexpected state = %d", index, state);
        return Outcome{TSE_FAILED, {}};
    }
    switch (result) {
        case CURLE_OK:
            if (m_conn.httpCode == 200 && m_param.size <= 0) {
                return Outcome{TSE_COMPLETED, {}};  // the body of a file of unknown size ended
            }
            // An error status without a body, or a body shorter than the file: the next
            // connection asks from where the cache file ends.
            LOGF(ERROR, "Task[%02d]: [Server Error]: %s. Retry=%d", index, m_conn.statusLine,
                 m_retryCount);
            if (RestartConnection(-1, true)) {
                again = true;
                return Outcome{};
            }
            return Outcome{TSE_FAILED, m_conn.httpCode == 200 ? Text(kTextTransmissionError)
                                                              : m_conn.statusLine};
        case CURLE_WRITE_ERROR:
            VLOGF(1, "Task[%02d]: Connection stopped by write data function", index);
            if (m_conn.notFilePart) {
                // Nothing of it was kept; the next connection asks again from the same byte.
                if (RestartConnection(-1, true)) {
                    again = true;
                    return Outcome{};
                }
                return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
            }
            if (m_conn.httpCode == 416) {
                // The server holds less than the cache: the cache belongs to another version.
                m_cache->Truncate();
            }
            if (m_conn.httpCode != 200) {
                return Outcome{TSE_FAILED, m_conn.statusLine};
            }
            return Outcome{TSE_COMPLETED, {}};  // the window was filled
        case CURLE_OPERATION_TIMEDOUT:
            // A stall: reconnecting does not spend the retry budget.
            VLOGF(1, "Task[%02d]: Timeout, retry [%d]", index, m_retryCount);
            if (RestartConnection(INT_MAX, false)) {
                again = true;
                return Outcome{};
            }
            return Outcome{TSE_FAILED, curl_easy_strerror(result)};
        case CURLE_ABORTED_BY_CALLBACK:
            // Only the pool's stop aborts a transferring run: it is not over, the next start
            // goes on from the cache file.
            if (!m_poolStopped) {
                LOGF(ERROR,
                     "Task[%02d]: Connection stopped by abort callback. Unexpected State: %d",
                     index, state);
            }
            m_result = kDlPoolStopped;
            return Outcome{TSE_READY, {}};
        default: {
            const bool restarted = RestartConnection(-1, true);
            VLOGF(1, "Task[%02d]: Retry=[%d], times = %d", index, restarted ? 1 : 0, m_retryCount);
            if (restarted) {
                again = true;
                return Outcome{};
            }
            return Outcome{TSE_FAILED, curl_easy_strerror(result)};
        }
    }
}

bool CEasyDownloader::RestartConnection(int limit, bool counting) {
    if (limit < 0) {
        limit = COptions::GetInstance().m_retryCount.load();
    }
    if (m_retryCount >= limit) {
        VLOGF(1, "Retry times over, RestartConnection failed. retry=%d, max retry=%d",
              m_retryCount, limit);
        return false;
    }
    if (counting) {
        ++m_retryCount;
    }
    m_conn = Connection();
    if (!m_cache->IsOpen() && !m_cache->Open()) {
        LOGF(ERROR, "EasyDownLloader::RestartConnection failed, fd is null for file %s",
             m_cache->File().string());
        return false;
    }
    return true;
}

CEasyDownloader::Outcome CEasyDownloader::Complete(bool& again) {
    again = false;
    const int32_t index = m_param.taskId;
    if (!m_param.hash.empty()) {
        const std::string got = m_cache->FinishHash();
        if (got != m_param.hash) {
            LOGF(ERROR, "Task[%02d]: %s does not match the cloud file (hash %s, expected %s)",
                 index, m_param.name, got, m_param.hash);
            if (!m_cache->Truncate()) {
                m_result = kDlFileError;
                return Outcome{TSE_FAILED, Text(kTextTransmissionError)};
            }
            m_param.position = 0;
            m_task->SetPosition(0);
            if (!m_hashRetried) {
                m_hashRetried = true;
                again = true;  // once more, from zero
                return Outcome{TSE_READY, {}};
            }
            m_cache->Remove();
            m_result = kDlHashMismatch;
            return Outcome{TSE_FAILED, kTextHashMismatch};
        }
    }
    const bool keepCache = COptions::GetInstance().m_keepDownloadCache;
    const fs::path destination = m_param.LocalPath();
    const DownloadDelivery::Outcome delivered =
        DownloadDelivery::Deliver(m_cache->File(), destination, keepCache);
    if (!delivered.ok) {
        // The cache stays: a retry delivers without downloading again.
        LOGF(ERROR, "Task[%02d]: can't deliver %s: %s", index, destination.string(),
             delivered.error);
        m_result = kDlDeliveryFailed;
        return Outcome{TSE_FAILED, kTextDeliveryFailed + delivered.error};
    }
    VLOGF(1, "Task[%02d]: delivered %s (%s)", index, destination.string(),
          delivered.renamed ? "renamed" : "copied");
    if (!keepCache) {
        m_cache->Remove();
    }
    return Outcome{TSE_COMPLETED, {}};
}

int CEasyDownloader::PostDownload(Outcome outcome) {
    const int32_t index = m_param.taskId;
    VLOGF(1, "Task[%02d]: Download result: %d", index, outcome.state);
    if (m_cache) {
        m_cache->Close();
        if (m_param.localEdit && outcome.state != TSE_COMPLETED) {
            // A local edit always starts from scratch.
            m_cache->Remove();
        }
    }
    platform::CriticalSectionGuard guard(m_task->GetLock());
    const int32_t state = m_task->GetState();
    if (state == TSE_DESTROYING && outcome.state != TSE_DESTROYED) {
        VLOGF(1, "Task[%02d]: PostDownload, explicitly change state from %d to %d(Destroyed)",
              index, outcome.state, TSE_DESTROYED);
        outcome = Outcome{TSE_DESTROYED, {}};
    }
    if (outcome.state == TSE_COMPLETED) {
        m_param.position = m_param.size > 0 ? m_param.size : m_written + m_startOffset;
    } else if (m_cache) {
        m_param.position = m_cache->Size();
    }
    m_task->SetPosition(m_param.position);
    m_task->SetState(outcome.state, outcome.text);
    return m_task->GetState();
}
