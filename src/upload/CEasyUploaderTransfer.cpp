// The chunk loop of CEasyUploader: one attempt after the other from the break point the server
// holds, each chunk's reply judged, and the libcurl callbacks that follow each request.
#include "upload/CEasyUploader.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "cloud/CloudApi.h"
#include "cloud/HttpStatusLine.h"
#include "cloud/ServerStatus.h"
#include "core/FixedDelays.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"
#include "upload/CUploaderMgr.h"
#include "upload/UpldProgressInfo.h"
#include "upload/UploadStatusTexts.h"

using namespace UploadStatusTexts;

// ---- the chunk loop ----

CURLcode CEasyUploader::RunAttempt() {
    m_result = Result();
    m_unreadableReply = false;
    m_attemptStart = m_param.breakPoint;
    m_meter.Reset(platform::TickCountMs(), m_param.fileSize, m_param.breakPoint);
    if (m_completeFlag) {
        m_result = Result{TSE_SERVER_COMPLETED, {}};
        return CURLE_OK;
    }
    int64_t left = m_param.fileSize - m_param.breakPoint;
    if (left == 0) {
        // The server holds every byte yet did not call the file complete.
        LOGF(ERROR, "Task[%02d]: the server holds all %d bytes of %s but not as complete",
             m_param.taskIndex, m_param.fileSize, m_param.name);
        Fail(Text(kTextUploadFailed));
        return CURLE_OK;
    }
    CURLcode result = CURLE_OK;
    while (left > 0) {
        if (!ShouldContinue()) {
            VLOGF(1, "Task[%02d]: the upload pool stopped the transfer at %d", m_param.taskIndex,
                  m_param.breakPoint);
            Fail(Text(kTextUploadFailed));
            break;
        }
        const size_t chunk = static_cast<size_t>(std::min<int64_t>(left, kChunkSize));
        if (!ReadChunk(chunk)) {
            result = CURLE_READ_ERROR;
            break;
        }
        left -= static_cast<int64_t>(chunk);
        result = SendChunk(chunk, left == 0);
        if (result == CURLE_OK) {
            if (HasResult()) {
                break;  // the reply claimed a completion that is not ours
            }
            if (m_unreadableReply) {
                // An error page of a proxy, say: the server is there, the chunk is retried.
                break;
            }
            if (m_completeFlag) {
                // Complete with the last chunk: the upload finished; before it: the server
                // had the content already.
                m_result = Result{left == 0 ? TSE_COMPLETED : TSE_SERVER_COMPLETED, {}};
                m_param.breakPoint = m_param.fileSize;
                break;
            }
            if (m_chunkStatus == 0) {
                m_param.breakPoint += static_cast<int64_t>(chunk);
                if (left == 0) {
                    LOGF(ERROR,
                         "Task[%02d]: the server took the last chunk of %s without "
                         "completing the file",
                         m_param.taskIndex, m_param.name);
                    Fail(Text(kTextUploadFailed));
                }
                continue;
            }
            if (m_chunkStatus < 0) {
                PostNetworkError();
            }
            break;
        }
        // Hosts that cannot be resolved or reached were reported by the request itself.
        if (result != CURLE_COULDNT_RESOLVE_HOST && result != CURLE_COULDNT_CONNECT &&
            m_chunkStatus < 0) {
            PostNetworkError();
        }
        break;
    }
    return result;
}

bool CEasyUploader::ReadChunk(size_t size) {
    if (m_filePos != m_param.breakPoint) {
        if (!m_file.Seek(m_param.breakPoint)) {
            LOGF(ERROR, "Task[%02d]: Connection stopped by read data function: seek to %d: %s",
                 m_param.taskIndex, m_param.breakPoint, platform::ErrorText(m_file.LastError()));
            Fail(Text(kTextUploadFailed));
            return false;
        }
        m_filePos = m_param.breakPoint;
    }
    const int64_t got = m_file.Read(m_buffer.data(), size);
    if (got < 0) {
        m_filePos = -1;
        LOGF(ERROR, "Task[%02d]: Connection stopped by read data function: %s", m_param.taskIndex,
             platform::ErrorText(m_file.LastError()));
        Fail(Text(kTextUploadFailed));
        return false;
    }
    m_filePos += got;
    if (static_cast<size_t>(got) != size) {
        LOGF(ERROR, "Task[%02d]: %s ends at %d, before its %d bytes", m_param.taskIndex,
             m_param.name, m_filePos, m_param.fileSize);
        Fail(kTextFileChanged);
        return false;
    }
    // Checked after the read: a write that raced with it has changed the time stamp by now.
    return CheckFileUnchanged();
}

bool CEasyUploader::CheckFileUnchanged() {
    if (m_file.CurrentVersion() != m_fileVersion) {
        LOGF(ERROR, "Task[%02d]: %s was modified during the upload", m_param.taskIndex,
             m_param.name);
        Fail(kTextFileChanged);
        return false;
    }
    const platform::FileStat stat = platform::StatFile(m_param.LocalPath());
    if (!stat.exists) {
        LOGF(ERROR, "Task[%02d]: %s disappeared during the upload", m_param.taskIndex,
             m_param.name);
        Fail(Text(kTextNotExists));
        return false;
    }
    if (!stat.isRegular || static_cast<int64_t>(stat.size) != m_fileVersion.size) {
        LOGF(ERROR, "Task[%02d]: %s was replaced during the upload", m_param.taskIndex,
             m_param.name);
        Fail(kTextFileChanged);
        return false;
    }
    return true;
}

CURLcode CEasyUploader::SendChunk(size_t size, bool lastChunk) {
    CloudApi::ChunkRequest request;
    request.fid = m_param.fid;
    request.breakPoint = m_param.breakPoint;
    request.hash = m_fileInfo.hash;
    request.size = m_param.fileSize;
    request.share = m_param.share;
    CRequestContext& context = Context();
    context.SetSendSpeedLimit(
        static_cast<int64_t>(COptions::GetInstance().m_speedLimitKiB.load()) * 1024);
    m_inChunk = true;
    m_chunkSize = static_cast<int64_t>(size);
    m_requestReplyBytes = 0;
    const UploadFileResult result =
        CloudApi::UploadChunk(context, request, m_param.name, m_buffer.data(), size, MakeHooks());
    m_inChunk = false;
    // A part of a reply judges nothing when the transfer failed.
    if (result.reply.result == CURLE_OK) {
        processUpldRsp(result, lastChunk);
    }
    return result.reply.result;
}

void CEasyUploader::processUpldRsp(const UploadFileResult& result, bool lastChunk) {
    if (!Readable("processUpldRsp", result)) {
        // Nothing readable came back, so nothing counts as accepted; the chunk status stays.
        m_unreadableReply = true;
        return;
    }
    if (!result.ok) {
        m_chunkStatus = result.reply.Status();
        m_chunkRefusal = result.reply.Description();
        LOGF(ERROR, "EasyUploader::processUpldRsp status %d, fid %d, break point %d: %s",
             m_chunkStatus, m_param.fid, m_param.breakPoint, result.reply.Description());
        return;
    }
    const UploadFileRecord& file = result.file;
    if (!file.present) {
        m_chunkStatus = -1;
        return;
    }
    m_chunkStatus = 0;
    if (file.IsComplete()) {
        Json::Value info;
        if (!CompletionHolds(file, !lastChunk, &info)) {
            Fail(Text(kTextUploadFailed));
            return;
        }
        m_completeFlag = true;
        IPageNotifier::Get().pushUpldComplete(m_param.fid, m_param.pid, info);
    }
}

bool CEasyUploader::ProcessTransferDone(CURLcode result) {
    const int32_t state = m_task->GetState();
    const int32_t index = m_param.taskIndex;
    VLOGF(1, "Task[%02d]: State: %d, Transfer result: %s\n", index, state,
          curl_easy_strerror(result));
    // The next attempt, if any, starts on a fresh connection.
    m_context.reset();

    const bool succeeded =
        m_result.state == TSE_COMPLETED || m_result.state == TSE_SERVER_COMPLETED;
    if (state == TSE_DESTROYING) {
        m_result = Result{TSE_DESTROYED, {}};
        return false;
    }
    if (succeeded) {
        return false;  // a pause that came as the file completed changes nothing
    }
    if (state == TSE_PAUSING) {
        m_result = Result{TSE_PAUSED, {}};
        return false;
    }
    if (state != TSE_TRANSFERRING) {
        LOGF(ERROR, "Task[%02d]: [ProcessTransferDone] Unexpected state = %d\n", index, state);
        Fail(std::string());
        return false;
    }
    if (HasResult()) {
        return false;  // decided by the attempt (the file, the pool, or a false completion)
    }
    switch (result) {
        case CURLE_OK:
            if (m_unreadableReply && m_conn.httpCode == 200) {
                if (RestartConnection(-1, 2)) {
                    return true;
                }
                Fail(Text(kTextTransmissionError));
                LOGF(ERROR, "Task[%02d]: [Server Error]: no reply could be read. Retry=%d\n", index,
                     m_conn.retryCount);
                return false;
            }
            if (m_conn.httpCode == 200 && (m_chunkStatus == ServerStatus::kBusy ||
                                           m_chunkStatus == ServerStatus::kWrongBreakPoint)) {
                // Busy: a broken connection of ours (or another client) still holds the file
                // on the server; ask again once it has let go. Wrong break point: the server
                // stands elsewhere (it started the file over for new content, say); the next
                // attempt asks it where and goes on from there.
                const bool busy = m_chunkStatus == ServerStatus::kBusy;
                if ((!busy ||
                     WaitWhileTransferring(FixedDelays::Ms(FixedDelay::kServerBusyWait))) &&
                    RestartConnection(-1, 2)) {
                    return true;
                }
                if (!HasResult()) {
                    Fail(RefusalText());
                }
                return false;
            }
            if (m_conn.httpCode == 200 || m_conn.httpCode == 100) {
                Fail(RefusalText());  // the server refused the chunk or its reply was unusable
                return false;
            }
            if (RestartConnection(-1, 2)) {
                return true;
            }
            Fail(m_conn.statusLine);
            LOGF(ERROR, "Task[%02d]: [Server Error]: %s. Retry=%d\n", index, m_conn.statusLine,
                 m_conn.retryCount);
            return false;
        case CURLE_WRITE_ERROR:
            VLOGF(1, "Task[%02d]: Connection stopped by write data function\n", index);
            Fail(m_conn.httpCode != 200 ? m_conn.statusLine : std::string());
            return false;
        case CURLE_READ_ERROR:
            VLOGF(1, "Task[%02d]: Connection stopped by read data function\n", index);
            Fail(m_conn.httpCode != 200 ? m_conn.statusLine : std::string());
            return false;
        case CURLE_OPERATION_TIMEDOUT:
            VLOGF(1, "Task[%02d]: Timeout, retry [%d]\n", index, m_conn.retryCount);
            if (RestartConnection(INT_MAX, 1)) {
                return true;
            }
            Fail(curl_easy_strerror(result));
            return false;
        case CURLE_ABORTED_BY_CALLBACK:
            LOGF(ERROR, "Task[%02d]: Connection stopped by abort callback. Unexpected State: %d\n",
                 index, state);
            Fail(Text(kTextUploadFailed));
            return false;
        default:
            VLOGF(1, "Task[%02d]: Retry=[%d], times = %d\n", index, static_cast<int>(result),
                  m_conn.retryCount);
            if (RestartConnection(-1, 2)) {
                return true;
            }
            Fail(curl_easy_strerror(result));
            return false;
    }
}

std::string CEasyUploader::RefusalText() const {
    // The row and the history show why; the server's own words when it gave any.
    return m_chunkStatus != 0 && !m_chunkRefusal.empty() ? m_chunkRefusal
                                                         : Text(kTextUploadFailed);
}

bool CEasyUploader::WaitWhileTransferring(uint32_t ms) {
    const uint64_t until = platform::TickCountMs() + ms;
    while (platform::TickCountMs() < until) {
        const int32_t state = m_task->GetState();
        if (state == TSE_PAUSING) {
            m_result = Result{TSE_PAUSED, {}};
            return false;
        }
        if (state == TSE_DESTROYING) {
            m_result = Result{TSE_DESTROYED, {}};
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool CEasyUploader::RestartConnection(int maxRetry, int kind) {
    if (maxRetry < 0) {
        maxRetry = COptions::GetInstance().m_retryCount.load();
    }
    if (m_conn.retryCount >= maxRetry) {
        LOGF(ERROR, "Retry times over, RestartConnection failed. retry=%d, max retry=%d\n",
             m_conn.retryCount, maxRetry);
        return false;
    }
    if (kind == 2) {
        ++m_conn.retryCount;
    }
    ClearConnectionStatus(true);
    if (!m_file.IsOpen()) {
        if (!m_file.Open(m_param.LocalPath())) {
            Fail(Text(kTextCantOpen));
            return false;
        }
        if (!CheckFileUnchanged()) {
            return false;
        }
    }
    // The server's word on the break point is the one the next attempt starts from.
    const bool registered = m_param.fid > 0;
    if (!(registered ? GetFileInfo() : initUploadFile())) {
        Fail(Text(registered ? kTextNoFileInfo : kTextInitFail));
        m_context.reset();
        return false;
    }
    PrepareTransfer();
    return true;
}

// ---- libcurl callbacks ----

CRequestContext::Hooks CEasyUploader::MakeHooks() {
    CRequestContext::Hooks hooks;
    hooks.admit = [this](size_t size) { return OnReplyData(size); };
    hooks.header = [this](std::string_view line) { OnHeaderLine(line); };
    hooks.progress = [this](int64_t, int64_t, int64_t, int64_t upNow) { return OnProgress(upNow); };
    return hooks;
}

void CEasyUploader::OnHeaderLine(std::string_view line) {
    if (logging::VlogIsOn(1)) {
        VLOGF(1, "Task[%02d]: %s", m_param.taskIndex, HttpStatusLine::Shown(line));
    }
    if (const int code = HttpStatusLine::Code(line)) {
        m_conn.httpCode = code;
        m_conn.statusLine = HttpStatusLine::Trimmed(line);
    }
}

bool CEasyUploader::OnReplyData(size_t size) {
    const int32_t index = m_param.taskIndex;
    if (m_conn.httpCode == 100) {
        LOGF(ERROR, "Task[%02d]: Sever says continue. Status=%s\n", index, m_conn.statusLine);
        return false;
    }
    if (m_conn.httpCode != 200) {
        LOGF(ERROR, "Task[%02d]: HTTP failed. Status=%s\n", index, m_conn.statusLine);
        return false;
    }
    // A reply is a small JSON envelope and is kept whole. (Judging its bytes against file
    // positions would throw away the reply to a first chunk sent after a retry's file
    // information request, and every reply that arrives in more than one piece.) The bound only
    // keeps a server that never stops talking from filling the memory.
    const int64_t acceptTo = m_param.fileSize > 0 ? m_param.fileSize : INT32_MAX;
    m_conn.replyBytes += static_cast<int64_t>(size);
    if (m_param.breakPoint > acceptTo) {
        LOGF(ERROR, "range reach out, stop connection\n");
        return false;
    }
    if (m_requestReplyBytes + size > kMaxReplyBytes) {
        LOGF(ERROR, "Task[%02d]: a reply of more than %d bytes, stop connection\n", index,
             kMaxReplyBytes);
        return false;
    }
    m_requestReplyBytes += size;
    return true;
}

bool CEasyUploader::OnProgress(int64_t upNow) {
    const int32_t state = m_task->GetState();
    if (state == TSE_DESTROYING) {
        return false;
    }
    const uint64_t now = platform::TickCountMs();
    if (m_inChunk) {
        // The multipart framing counts as sent too; the position never passes the chunk.
        const int64_t sent = std::clamp<int64_t>(upNow, 0, m_chunkSize);
        m_meter.Update(now, m_param.breakPoint + sent, m_param.breakPoint - m_attemptStart + sent);
        if ((m_meter.IsTick() || m_param.breakPoint == m_param.fileSize) &&
            !m_task->GetStopFlag()) {
            UpldProgressInfo progress;
            progress.taskIndex = m_param.taskIndex;
            progress.fid = m_param.fid;
            progress.fileSize = m_param.fileSize;
            progress.breakPoint = m_param.breakPoint;
            progress.timeLeftMs =
                static_cast<uint32_t>(std::clamp<int64_t>(m_meter.GetTimeLeft(), 0, UINT32_MAX));
            progress.speed = m_meter.GetCurrentSpeed();
            platform::PostMessage(
                m_param.window,
                platform::Message(WM_UPLD_PROGRESS,
                                  platform::MakePayload<UpldProgressInfo>(progress)));
            IPageNotifier::Get().pushUpldProgress(
                m_param.fid, m_param.pid, m_param.fileSize, m_param.breakPoint);
        }
    }
    if (state == TSE_PAUSING) {
        return false;
    }
    // A stopping pool (shutdown) need not wait for the request in flight. Its events take a
    // lock, and this runs many times per chunk: they are looked at a few times a second.
    if (now - m_lastPoolCheck >= kPoolCheckMs) {
        m_lastPoolCheck = now;
        auto* pool = GetPool();
        if ((pool && pool->StopEvent().IsSet()) || JobEvent().IsSet()) {
            return false;
        }
    }
    return true;
}
