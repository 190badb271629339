#include "upload/CEasyUploader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>

#include "cloud/CloudApi.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"
#include "upload/CUploaderMgr.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldFileIdInfo.h"
#include "upload/UpldProgressInfo.h"
#include "upload/UpldStatusInfo.h"

namespace {

// String table entries of the status texts.
constexpr uint32_t kTextTransmissionError = 123;  // "Transmission Error"
constexpr uint32_t kTextInitFail = 124;           // "Upload Initialization fail"
constexpr uint32_t kTextNoFileInfo = 125;         // "Can't get file info"
constexpr uint32_t kTextUploadFailed = 127;       // "Upload failed"
constexpr uint32_t kTextCantOpen = 129;           // "Can't open file"
constexpr uint32_t kTextNotExists = 135;          // "File not exists"
constexpr uint32_t kTextCompleted = 140;          // "Completed"
// The string table has no entry for a file that changed under the upload. Failed tasks show
// their state's name alone, so this text reaches the logs and the task's status, not a row.
constexpr const char* kTextFileChanged = "File changed during upload";

std::string Text(uint32_t id) {
    return CMultiLanguageMgr::GetInstance().LoadString(id);
}

std::mutex g_lockHandlerMutex;
CEasyUploader::LockHandler g_lockHandler;

}  // namespace

void CEasyUploader::SetLockHandler(LockHandler handler) {
    std::lock_guard<std::mutex> lock(g_lockHandlerMutex);
    g_lockHandler = std::move(handler);
}

CEasyUploader::CEasyUploader(std::unique_ptr<CUploadParam> param,
                             std::shared_ptr<CUploaderMgr> task)
    : CFJobBase(std::move(param)), m_task(std::move(task)), m_buffer(kChunkSize) {
    // Copied here rather than in Initialize: a job the pool cancels unrun still reports.
    if (GetParam()) {
        m_param = *GetParam();
    }
}

CEasyUploader::~CEasyUploader() {
    Cleanup();
}

void CEasyUploader::SetParam(const CUploadParam& param) {
    m_param = param;
}

void CEasyUploader::Cleanup() {
    m_context.reset();
    m_file.Close();
    m_filePos = -1;
}

CRequestContext& CEasyUploader::Context() {
    if (!m_context) {
        m_context = std::make_unique<CRequestContext>(CRequestContext::HandlePolicy::kKeepForNext);
    }
    return *m_context;
}

void CEasyUploader::Fail(const std::string& text) {
    if (!HasResult()) {
        m_result = Result{TSE_FAILED, text};
    }
}

void CEasyUploader::PostNetworkError() {
    platform::PostMessage(COptions::GetInstance().m_hDndWnd.load(), WM_NETWORK_ERROR);
}

// ---- the job ----

void CEasyUploader::Run() {
    Upload();
    if (!m_task->GetStopFlag()) {
        PostEnd();
    }
}

void CEasyUploader::OnCancelJob() {
    LOGF(ERROR, "Task[%02d]: the upload pool ended before the transfer ran", m_param.taskIndex);
    PostUpload(Result{TSE_FAILED, Text(kTextUploadFailed)});
    if (!m_task->GetStopFlag()) {
        PostEnd();
    }
}

void CEasyUploader::PostEnd() {
    UpldEndInfo end;
    end.taskIndex = m_param.taskIndex;
    const int64_t code =
        m_chunkStatus != 0 ? (m_chunkStatus < 0 ? kNoFileDataCode : m_chunkStatus) : m_initStatus;
    if (m_chunkStatus == 0 && m_initStatus == -1) {
        end.fid = m_param.fid;
        end.breakPoint = m_param.breakPoint;
    } else {
        end.fid = end.breakPoint = code;
        end.isErrorCode = true;
    }
    platform::PostMessage(
        m_param.window,
        platform::Message(WM_UPLD_END, platform::MakePayload<UpldEndInfo>(end),
                          platform::MakePayload<UpldStatusInfo>(m_task->GetStatus())));
}

// ---- the upload ----

int CEasyUploader::Upload() {
    m_result = Result();
    {
        // Paused or stopped while the job waited for a thread: no request at all.
        const int32_t state = m_task->GetState();
        if (state == TSE_PAUSING || state == TSE_DESTROYING) {
            return PostUpload(Result{state == TSE_PAUSING ? TSE_PAUSED : TSE_DESTROYED, {}});
        }
    }
    const auto path = m_param.LocalPath();
    if (!m_file.Open(path)) {
        LOGF(ERROR, "Task[%02d]: can't open %s: %s", m_param.taskIndex, path.string(),
             platform::ErrorText(m_file.LastError()));
        Cleanup();
        return PostUpload(Result{TSE_FAILED, Text(kTextCantOpen)});
    }
    m_fileVersion = m_file.CurrentVersion();
    if (m_fileVersion.size != m_param.fileSize) {
        // The hash (and the size the server is told) belong to another version of the file.
        LOGF(ERROR, "Task[%02d]: %s has %d bytes, %d when it was hashed", m_param.taskIndex,
             path.string(), m_fileVersion.size, m_param.fileSize);
        Cleanup();
        return PostUpload(Result{TSE_FAILED, kTextFileChanged});
    }

    if (m_param.fid <= 0 || m_param.breakPoint == 0) {
        if (!initUploadFile()) {
            Cleanup();
            return PostUpload(Result{TSE_FAILED, Text(kTextInitFail)});
        }
        if (m_completeFlag) {
            Cleanup();
            return PostUpload(Result{TSE_SERVER_COMPLETED, Text(kTextCompleted)});
        }
        if (!m_task->GetStopFlag()) {
            platform::PostMessage(
                m_param.window,
                platform::Message(WM_UPLD_INFO,
                                  platform::MakePayload<UpldFileIdInfo>(
                                      UpldFileIdInfo{m_param.fid, m_param.taskIndex})));
        }
    } else if (!GetFileInfo()) {
        Cleanup();
        return PostUpload(Result{TSE_FAILED, Text(kTextNoFileInfo)});
    }

    ClearConnectionStatus(false);
    PrepareTransfer();
    while (ProcessTransferDone(RunAttempt())) {
    }
    Cleanup();
    return PostUpload(m_result);
}

bool CEasyUploader::Readable(const char* who, const UploadFileResult& result) const {
    if (!result.readable) {
        LOGF(ERROR, "EasyUploader::%s parsed failed, file's pid %d, recv %s\n", who, m_param.pid,
             result.reply.text);
        return false;
    }
    return true;
}

bool CEasyUploader::HoldsOurContent(const UploadFileRecord& file) const {
    if (file.status != 1 || file.size != m_param.fileSize) {
        return false;
    }
    if (file.hash && !file.hash->empty() && !m_param.hash.empty()) {
        return *file.hash == m_param.hash;
    }
    return true;
}

bool CEasyUploader::initUploadFile() {
    CloudApi::UploadInitRequest request;
    request.fid = m_param.fid;
    request.pid = m_param.pid;
    request.name = m_param.name;
    if (m_param.lockFlag) {
        request.lockKey = m_param.name;
    }
    request.size = m_param.fileSize;
    // With the hash the server can tell at once that it already holds the content, and no
    // byte of it is sent again.
    request.hash = m_param.hash;
    request.share = m_param.share;

    m_inChunk = false;
    m_requestReplyBytes = 0;
    const UploadFileResult result = CloudApi::UploadInit(Context(), request, MakeHooks());
    if (!Readable("initUploadFile", result)) {
        return false;
    }
    if (!result.ok) {
        m_initStatus = result.reply.Status();
        LOGF(ERROR, "EasyUploader::initUploadFile status %d failed, file's pid %d, name:%s\n",
             m_initStatus, m_param.pid, m_param.name);
        return false;
    }
    const UploadFileRecord& file = result.file;
    if (!file.present) {
        LOGF(ERROR, "EasyUploader::initUploadFile data is null, file's pid %d, name:%s\n",
             m_param.pid, m_param.name);
        return false;
    }
    if (!file.id || *file.id <= 0 || !file.breakPoint || *file.breakPoint < 0 ||
        *file.breakPoint > m_param.fileSize) {
        LOGF(ERROR, "EasyUploader::initUploadFile bad file data, file's pid %d, name:%s, %s",
             m_param.pid, m_param.name, file.file.toStyledString());
        return false;
    }
    const bool complete = file.IsComplete();
    if (complete && !HoldsOurContent(file)) {
        LOGF(ERROR,
             "EasyUploader::initUploadFile the server's complete file is not ours, "
             "file's pid %d, name:%s, %s",
             m_param.pid, m_param.name, file.file.toStyledString());
        return false;
    }
    m_param.fid = *file.id;
    auto& link = IPageNotifier::Get();
    if (complete) {
        m_completeFlag = true;
        link.pushUpldComplete(m_param.fid, m_param.pid, file.file);
    }
    m_fileInfo.type = static_cast<int32_t>(file.type.value_or(0));
    m_fileInfo.size = file.size.value_or(m_param.fileSize);
    m_fileInfo.breakPoint = *file.breakPoint;
    m_param.breakPoint = *file.breakPoint;
    link.pushUpldCreated(m_param.fid, file.pid.value_or(m_param.pid), file.file);
    if (m_param.lockFlag) {
        LockHandler handler;
        {
            std::lock_guard<std::mutex> lock(g_lockHandlerMutex);
            handler = g_lockHandler;
        }
        if (handler) {
            handler(m_param.fid, m_param.name);
        } else {
            LOGF(WARNING, "Task[%02d]: no local edit helper holds the lock of %d",
                 m_param.taskIndex, m_param.fid);
        }
    }
    return true;
}

bool CEasyUploader::GetFileInfo() {
    m_inChunk = false;
    m_requestReplyBytes = 0;
    const UploadFileResult result =
        CloudApi::GetFile(Context(), m_param.fid, m_param.share, MakeHooks());
    if (!Readable("GetFileInfo", result)) {
        return false;
    }
    if (!result.ok) {
        LOGF(ERROR, "EasyUploader::GetFileInfo status %d failed, fid %d, name:%s",
             result.reply.Status(), m_param.fid, m_param.name);
        return false;
    }
    const UploadFileRecord& file = result.file;
    if (!file.id || *file.id <= 0 || !file.breakPoint || *file.breakPoint < 0 ||
        *file.breakPoint > m_param.fileSize) {
        LOGF(ERROR, "EasyUploader::GetFileInfo bad file data, fid %d, name:%s, %s", m_param.fid,
             m_param.name, file.file.toStyledString());
        return false;
    }
    m_param.fid = *file.id;
    if (file.IsComplete()) {
        if (HoldsOurContent(file)) {
            m_completeFlag = true;
            m_param.breakPoint = m_param.fileSize;
            return true;
        }
        // Complete with other content (replaced since, or another version): its break
        // point says nothing about our bytes. Registering again starts a new attempt.
        VLOGF(1, "Task[%02d]: the server's file %d holds other content, registering again",
              m_param.taskIndex, m_param.fid);
        return initUploadFile();
    }
    if (file.size.value_or(m_param.fileSize) != m_param.fileSize) {
        VLOGF(1, "Task[%02d]: the server expects another size for %d, registering again",
              m_param.taskIndex, m_param.fid);
        return initUploadFile();
    }
    m_fileInfo.type = static_cast<int32_t>(file.type.value_or(0));
    m_fileInfo.size = m_param.fileSize;
    m_fileInfo.breakPoint = *file.breakPoint;
    m_param.breakPoint = *file.breakPoint;
    return true;
}

void CEasyUploader::PrepareTransfer() {
    m_fileInfo.hash = m_param.hash;
    m_filePos = -1;  // the next read seeks to the break point
}

void CEasyUploader::ClearConnectionStatus(bool keepRetryCount) {
    const int retries = m_conn.retryCount;
    m_conn = ConnectionStatus();
    if (keepRetryCount) {
        m_conn.retryCount = retries;
    }
}

// ---- the chunk loop ----

CURLcode CEasyUploader::RunAttempt() {
    m_result = Result();
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
        result = SendChunk(chunk);
        if (result == CURLE_OK) {
            if (HasResult()) {
                break;  // the reply claimed a completion that is not ours
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

CURLcode CEasyUploader::SendChunk(size_t size) {
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
        processUpldRsp(result);
    }
    return result.reply.result;
}

void CEasyUploader::processUpldRsp(const UploadFileResult& result) {
    if (!Readable("processUpldRsp", result)) {
        // Nothing readable came back, so nothing counts as accepted.
        m_chunkStatus = -1;
        return;
    }
    if (!result.ok) {
        m_chunkStatus = result.reply.Status();
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
        if (!HoldsOurContent(file)) {
            LOGF(ERROR, "Task[%02d]: the server calls %d complete with other content: %s",
                 m_param.taskIndex, m_param.fid, file.file.toStyledString());
            Fail(Text(kTextUploadFailed));
            return;
        }
        m_completeFlag = true;
        IPageNotifier::Get().pushUpldComplete(m_param.fid, m_param.pid, file.file);
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
            if (m_conn.httpCode == 200 || m_conn.httpCode == 100) {
                Fail(std::string());  // the server refused the chunk or its reply was unusable
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

int CEasyUploader::PostUpload(Result result) {
    m_context.reset();
    const int32_t index = m_param.taskIndex;
    VLOGF(1, "CEasyUploader::PostUpload: Task[%02d]: Upload result: %d\n", index, result.state);
    // The local copy of an edited file has served its purpose once the server holds it (or the
    // edit upload was dropped). Nothing else is removed here: a folder named like a download's
    // cache folder belongs to that download, whose resumable data it holds.
    if (m_param.lockFlag &&
        (result.state == TSE_COMPLETED || result.state == TSE_SERVER_COMPLETED ||
         result.state == TSE_DESTROYED)) {
        m_file.Close();
        std::error_code error;
        std::filesystem::remove(m_param.LocalPath(), error);
        if (error) {
            LOGF(ERROR, "Task[%02d]: can't delete %s, error %d", index,
                 m_param.LocalPath().string(), error.value());
        }
    }
    platform::CriticalSectionGuard guard(m_task->GetLock());
    const int32_t state = m_task->GetState();
    if (state == TSE_DESTROYING && result.state != TSE_DESTROYED) {
        VLOGF(1, "Task[%02d]: PostUpload, explicitly change state from %s to %d(Destroyed)\n",
              index, CUploaderContext::GetStateName(state), TSE_DESTROYED);
        result = Result{TSE_DESTROYED, {}};
    } else if (state == TSE_PAUSING && result.state == TSE_FAILED) {
        // A pause asked for while a request failed: the task ends paused and resumes from its
        // break point when started again.
        result = Result{TSE_PAUSED, {}};
    }
    m_task->SetState(result.state, result.text);
    m_task->SetTransferPosition(m_param.fid, m_param.breakPoint);
    m_result = result;
    return result.state;
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
        std::string shown;
        for (char c : line) {
            if (c == '\r') {
                shown += "[0x0D]";
            } else if (c == '\n') {
                shown += "[0x0A]";
            } else {
                shown += c;
            }
        }
        VLOGF(1, "Task[%02d]: %s", m_param.taskIndex, shown);
    }
    const std::string text(line);
    int major = 0;
    int minor = 0;
    int code = 0;
    if (std::sscanf(text.c_str(), " HTTP/%d.%d %3d", &major, &minor, &code) == 3 ||
        std::sscanf(text.c_str(), " HTTP %3d", &code) == 1) {
        m_conn.httpCode = code;
        m_conn.statusLine = text;
        while (!m_conn.statusLine.empty() &&
               (m_conn.statusLine.back() == '\r' || m_conn.statusLine.back() == '\n')) {
            m_conn.statusLine.pop_back();
        }
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
