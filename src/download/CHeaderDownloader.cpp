#include "download/CHeaderDownloader.h"

#include <optional>

#include "cloud/CloudApi.h"
#include "cloud/CRequestContext.h"
#include "cloud/HttpHeaderLine.h"
#include "cloud/HttpStatusLine.h"
#include "core/Logging.h"
#include "download/CDownloaderMgr.h"

CHeaderDownloader::CHeaderDownloader(std::shared_ptr<CDownloaderMgr> task,
                                     CDownloadParam* resultTarget)
    : m_task(std::move(task)), m_resultTarget(resultTarget) {}

void CHeaderDownloader::ClearResult() {
    m_httpCode = 0;
    m_contentLength = -1;
    m_rangesAccepted = false;
    m_contentType.clear();
    m_statusText.clear();
    m_rangeTotal = -1;
}

int CHeaderDownloader::Download() {
    m_success = false;
    ClearResult();
    CRequestContext context;
    CRequestContext::Hooks hooks;
    hooks.header = [this](std::string_view line) { OnHeaderLine(line); };
    hooks.progress = [this](int64_t, int64_t, int64_t, int64_t) { return ProcessProgress(); };
    const ServerReply reply = CloudApi::ProbeDownload(context, m_param.url, hooks);
    if (reply.result == CURLE_FAILED_INIT) {
        m_task->SetState(TSE_FAILED);
        return TSE_FAILED;
    }
    return PostProcess(reply.result);
}

void CHeaderDownloader::OnHeaderLine(std::string_view line) {
    if (logging::VlogIsOn(1)) {
        VLOGF(1, "Task[%02d]: Header - %s", m_param.taskId, HttpStatusLine::Shown(line));
    }
    if (const int code = HttpStatusLine::Code(line)) {
        // A new reply (after a redirect): only the final reply's headers count.
        ClearResult();
        m_httpCode = code;
        m_statusText = HttpStatusLine::Trimmed(line);
    }
    if (auto value = HttpHeaderLine::Value(line, "Content-Length")) {
        if (auto number = HttpHeaderLine::Number(*value)) {
            m_contentLength = *number;
        }
    } else if (auto ranges = HttpHeaderLine::Value(line, "Accept-Ranges")) {
        m_rangesAccepted = *ranges == "bytes";
    } else if (auto type = HttpHeaderLine::Value(line, "Content-Type")) {
        m_contentType = HttpHeaderLine::MediaType(*type);
    } else if (auto range = HttpHeaderLine::Value(line, "Content-Range")) {
        // "bytes first-last/total"
        if (range->rfind("bytes ", 0) == 0) {
            const size_t slash = range->find('/');
            if (slash != std::string_view::npos) {
                if (auto total = HttpHeaderLine::Number(range->substr(slash + 1))) {
                    m_rangeTotal = *total;
                }
            }
        }
    }
}

bool CHeaderDownloader::ProcessProgress() {
    const int32_t state = m_task->GetState();
    if (state == TSE_PAUSING) {
        VLOG(1) << "[CHeaderDownloader::ProcessProgress]: Paused";
        return false;
    }
    if (state == TSE_DESTROYING) {
        VLOG(1) << "[CHeaderDownloader::ProcessProgress]: Destroyed";
        return false;
    }
    return true;
}

int CHeaderDownloader::PostProcess(CURLcode result) {
    platform::CriticalSectionGuard guard(m_task->GetLock());
    const int32_t state = m_task->GetState();
    VLOGF(1, "Task[%02d]: [HeaderDownloader] - Result = %s, state = %d", m_param.taskId,
          curl_easy_strerror(result), state);
    switch (state) {
        case TSE_PAUSING:
            m_task->SetState(TSE_PAUSED);
            break;
        case TSE_DESTROYING:
            m_task->SetState(TSE_DESTROYED);
            break;
        case TSE_TRANSFERRING:
            if (result == CURLE_OK) {
                JudgeReply();
            } else if (result == CURLE_ABORTED_BY_CALLBACK) {
                LOGF(WARNING,
                     "Task[%02d]: [CHeaderDownloader::PostProcess] Unexpected state when "
                     "callback aborted. TSE_TRANSFERRING",
                     m_param.taskId);
            } else {
                m_task->SetState(TSE_FAILED, curl_easy_strerror(result));
            }
            break;
        default:
            LOGF(WARNING, "Task[%02d]: [CHeaderDownloader::PostProcess] Unexpected state = %d",
                 m_param.taskId, state);
            break;
    }
    return m_task->GetState();
}

void CHeaderDownloader::JudgeReply() {
    if ((m_httpCode != 200 && m_httpCode != 206 && m_httpCode != 416) ||
        (m_httpCode == 416 && m_contentLength <= 0)) {
        m_task->SetState(TSE_FAILED, m_statusText);
        return;
    }
    VLOGF(1,
          "Task[%02d]: HTTPCode=%d, Content-Range(Total)=%d, Content-Length=%d, "
          "Max-Connection=%d",
          m_param.taskId, m_httpCode, m_rangeTotal, m_contentLength, m_task->GetMaxConnections());
    int64_t size = m_httpCode == 206 ? m_rangeTotal : m_contentLength;
    // A reply without the header that sizes it leaves the size unknown: the transfer then
    // runs without an upper bound.
    m_param.size = size > 0 ? size : 0;
    m_success = true;
    if (m_resultTarget) {
        *m_resultTarget = m_param;
    }
}
