// CEasyDownloader, the libcurl side: status lines, the body into the cache file, and the
// progress hook that watches for pause, stop and the pool's end and posts progress at the speed
// meter's tick.
#include "download/CEasyDownloader.h"

#include <algorithm>

#include "cloud/HttpHeaderLine.h"
#include "cloud/HttpStatusLine.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "download/CDownloaderMgr.h"
#include "download/DownloadProgressInfo.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"

// ---- libcurl hooks ----

CRequestContext::Hooks CEasyDownloader::MakeHooks() {
    CRequestContext::Hooks hooks;
    hooks.header = [this](std::string_view line) { OnHeaderLine(line); };
    hooks.body = [this](const char* data, size_t size) { return OnBody(data, size); };
    hooks.progress = [this](int64_t, int64_t, int64_t, int64_t) { return OnProgress(); };
    return hooks;
}

void CEasyDownloader::OnHeaderLine(std::string_view line) {
    if (logging::VlogIsOn(1)) {
        VLOGF(1, "Task[%02d]: %s", m_param.taskId, HttpStatusLine::Shown(line));
    }
    if (const int code = HttpStatusLine::Code(line)) {
        // A new reply (after a redirect): only the final reply's headers count.
        m_conn.httpCode = code;
        m_conn.statusLine = HttpStatusLine::Trimmed(line);
        m_conn.contentLength = -1;
        m_conn.mediaType.clear();
    } else if (auto length = HttpHeaderLine::Value(line, "Content-Length")) {
        m_conn.contentLength = HttpHeaderLine::Number(*length).value_or(-1);
    } else if (auto type = HttpHeaderLine::Value(line, "Content-Type")) {
        m_conn.mediaType = HttpHeaderLine::MediaType(*type);
    }
}

bool CEasyDownloader::IsFilePart() const {
    // The server sends a file as bytes; its envelopes are JSON, a proxy's pages HTML. Either
    // with status 200 stands where the file's bytes should, and written into the cache it would
    // be delivered as the file when no hash can tell.
    if (m_conn.mediaType == "text/html" || m_conn.mediaType == "application/json") {
        return false;
    }
    // Asked from the cache's end, a reply shorter than the rest is another part of the file
    // (or another file). A longer one is cut off at the size.
    return m_param.size <= 0 || m_conn.contentLength < 0 ||
           m_conn.contentLength >= m_param.size - m_cache->Size();
}

bool CEasyDownloader::OnBody(const char* data, size_t size) {
    if (m_conn.httpCode != 200) {
        // An error reply's body never reaches the cache file.
        LOGF(ERROR, "Task[%02d]: HTTP failed. Status=%s", m_param.taskId, m_conn.statusLine);
        return false;
    }
    if (m_conn.received == 0 && !IsFilePart()) {
        LOGF(ERROR, "Task[%02d]: the reply (%s, %d bytes) is not the file from byte %d",
             m_param.taskId, m_conn.mediaType.empty() ? std::string("no type") : m_conn.mediaType,
             m_conn.contentLength, m_cache->Size());
        m_conn.notFilePart = true;
        return false;
    }
    m_conn.received += static_cast<int64_t>(size);
    m_received += static_cast<int64_t>(size);
    // The connection asked from the cache file's end, so its body continues the file there;
    // only the part beyond the file's size is not wanted.
    int64_t take = static_cast<int64_t>(size);
    if (m_param.size > 0) {
        take = std::min(take, m_param.size - m_cache->Size());
    }
    if (take > 0 && !m_cache->Append(data, static_cast<size_t>(take))) {
        m_conn.writeFailed = true;
        return false;
    }
    if (take > 0) {
        m_written += take;
    }
    if (take < static_cast<int64_t>(size)) {
        VLOG(1) << "range reach out, stop connection";
        m_conn.rangeReached = true;
        return false;
    }
    return true;
}

bool CEasyDownloader::PoolStopRequested() {
    const uint64_t now = platform::TickCountMs();
    if (now - m_lastPoolCheck < kPoolCheckMs) {
        return false;
    }
    m_lastPoolCheck = now;
    auto* pool = GetPool();
    return (pool && pool->StopEvent().IsSet()) || JobEvent().IsSet();
}

bool CEasyDownloader::OnProgress() {
    if (PoolStopRequested()) {
        m_poolStopped = true;
        return false;
    }
    const int32_t state = m_task->GetState();
    if (state == TSE_DESTROYING) {
        return false;
    }
    const int64_t done = m_cache->Size();
    m_meter.Update(platform::TickCountMs(), done, done - m_attemptStart);
    m_task->SetPosition(done);
    const bool last = m_param.size > 0 && done == m_param.size;
    if (m_meter.IsTick() || (last && m_lastPostedDone != done)) {
        PostProgress(done, last);
    }
    return state != TSE_PAUSING;
}

void CEasyDownloader::PostProgress(int64_t done, bool last) {
    m_lastPostedDone = done;
    if (m_task->IsAbandoned()) {
        return;
    }
    if (m_param.localEdit) {
        IPageNotifier::Get().pushEditDnldProgress(m_param.fid, m_param.size, done, m_param.name,
                                                  m_param.token);
        return;
    }
    DownloadProgressInfo progress;
    progress.taskId = m_param.taskId;
    progress.size = m_param.size;
    progress.done = done;
    progress.timeLeftMs = last ? 0
                               : static_cast<uint32_t>(
                                     std::clamp<int64_t>(m_meter.GetTimeLeft(), 0, UINT32_MAX));
    progress.speed = m_meter.GetCurrentSpeed();
    platform::PostMessage(
        m_param.window,
        platform::Message(WM_DNLD_PROGRESS, platform::MakePayload<DownloadProgressInfo>(progress)));
}
