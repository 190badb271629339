#include "upload/CEasyUploader.h"

#include <mutex>

#include "cloud/CloudApi.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"
#include "upload/CUploaderMgr.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldFileIdInfo.h"
#include "upload/UpldStatusInfo.h"
#include "upload/UploadStatusTexts.h"

using namespace UploadStatusTexts;

namespace {

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

    m_completionChecked = false;
    if (m_param.fid <= 0 || m_param.breakPoint == 0) {
        if (!initUploadFile()) {
            Cleanup();
            Fail(Text(kTextInitFail));
            return PostUpload(m_result);
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
        Fail(Text(kTextNoFileInfo));
        return PostUpload(m_result);
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

bool CEasyUploader::ContradictsOurContent(const UploadFileRecord& file) const {
    if (file.size && *file.size != m_param.fileSize) {
        return true;
    }
    return file.hash && !file.hash->empty() && !m_param.hash.empty() && *file.hash != m_param.hash;
}

bool CEasyUploader::CarriesOurHash(const UploadFileRecord& file) const {
    return !m_param.hash.empty() && file.hash && *file.hash == m_param.hash;
}

bool CEasyUploader::ConfirmsOurContent(const UploadFileRecord& file) const {
    return file.IsComplete() && file.size == m_param.fileSize && CarriesOurHash(file);
}

bool CEasyUploader::CompletionHolds(const UploadFileRecord& file, bool early, Json::Value* info) {
    *info = file.file;
    if (!early) {
        if (ContradictsOurContent(file)) {
            LOGF(ERROR, "Task[%02d]: the server calls %d complete with other content: %s",
                 m_param.taskIndex, m_param.fid, file.file.toStyledString());
            return false;
        }
        return true;
    }
    if (CarriesOurHash(file) && !(file.size && *file.size != m_param.fileSize)) {
        return true;  // content the server held already
    }
    return ServerHoldsOurContent(info);
}

bool CEasyUploader::ServerHoldsOurContent(Json::Value* info) {
    if (m_completionChecked) {
        LOGF(ERROR, "Task[%02d]: the server calls %d complete early once more", m_param.taskIndex,
             m_param.fid);
        return false;
    }
    m_completionChecked = true;
    m_inChunk = false;
    m_requestReplyBytes = 0;
    const UploadFileResult result =
        CloudApi::GetFile(Context(), m_param.fid, m_param.share, MakeHooks());
    if (!result.ok || !ConfirmsOurContent(result.file)) {
        LOGF(ERROR,
             "Task[%02d]: the server called %d complete before its last byte, and does not hold "
             "our content: %s",
             m_param.taskIndex, m_param.fid, result.reply.ErrorText());
        return false;
    }
    *info = result.file.file;
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
    m_param.fid = *file.id;
    m_fileInfo.type = static_cast<int32_t>(file.type.value_or(0));
    m_fileInfo.size = file.size.value_or(m_param.fileSize);
    m_fileInfo.breakPoint = *file.breakPoint;
    m_param.breakPoint = *file.breakPoint;
    auto& link = IPageNotifier::Get();
    // "Created" goes before "complete": a page that marks a file done on the one and under way
    // on the other would otherwise show an instant upload unfinished for good.
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
    if (file.IsComplete()) {
        // Complete before a byte was sent, unless the file has none.
        Json::Value info;
        if (!CompletionHolds(file, m_param.fileSize > 0, &info)) {
            Fail(Text(kTextUploadFailed));
            return false;
        }
        m_completeFlag = true;
        link.pushUpldComplete(m_param.fid, m_param.pid, info);
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
        if (ConfirmsOurContent(file)) {
            m_completeFlag = true;
            m_param.breakPoint = m_param.fileSize;
            return true;
        }
        // Complete with other content (replaced since, or another version), or without the
        // size and hash that would tell: its break point says nothing about our bytes.
        // Registering again (with our hash) lets the server decide.
        VLOGF(1, "Task[%02d]: the server's file %d may hold other content, registering again",
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
