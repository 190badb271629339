#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/CRequestContext.h"
#include "cloud/UploadFileResult.h"
#include "core/CFJobBase.h"
#include "core/CProgressMeter.h"
#include "platform/SequentialFile.h"
#include "upload/CUploader.h"
#include "upload/CldFileInfo.h"

class CUploaderMgr;

// One upload task's transfer, run as a job on the upload pool (CUpldThreadMgr). It asks the
// server where the file stands (a new file is registered and told its break point, a known one
// is looked up), then sends the rest in 128 KiB chunks, one multipart POST per chunk on one
// kept-alive connection, each chunk read from the file at the break point it claims. The break
// point moves only when the server accepted a chunk; failed requests are retried from the break
// point the server reports. The task's context (CUploaderMgr) receives the end state, the fid
// and the break point; the windows get WM_UPLD_INFO, WM_UPLD_PROGRESS and WM_UPLD_END, the page
// the link's created / progress / complete messages.
//
// The file is done when a reply's file record says "status" 1. Where that record carries a
// size or a hash, they must be ours. A completion before our last byte went out (content the
// server held already, or a confused server or proxy) is trusted when the record carries our
// hash; otherwise the file information is asked, once per run, and must show our size and hash.
class CEasyUploader : public CUploader, public CFJobBase<std::unique_ptr<CUploadParam>> {
public:
    static constexpr size_t kChunkSize = 131072;
    // The end record's code for a chunk reply that held no file data.
    static constexpr int64_t kNoFileDataCode = 11;
    // Longest reply kept; a chunk's reply is a few hundred bytes.
    static constexpr size_t kMaxReplyBytes = 1 << 20;
    static constexpr uint64_t kPoolCheckMs = 100;

    // The local edit helper keeps the server lock of an edited file while its upload runs; it
    // registers here, and every upload with the lock flag hands it (fid, lock key) once the
    // server has registered the file.
    using LockHandler = std::function<void(int64_t fid, const std::string& lockKey)>;
    static void SetLockHandler(LockHandler handler);

    CEasyUploader(std::unique_ptr<CUploadParam> param, std::shared_ptr<CUploaderMgr> task);
    ~CEasyUploader() override;

    // CUploader
    void SetParam(const CUploadParam& param) override;
    int Upload() override;
    void Cleanup() override;
    std::string GetName() const override { return "EasyUploader"; }

    // CFJobBase: the upload, then WM_UPLD_END unless the task was stopped.
    void Run() override;
    // The pool went away before the job ran: the task ends as if its transfer had.
    void OnCancelJob() override;

private:
    struct Result {
        int32_t state = 0;  // TSE_READY: not decided yet
        std::string text;
    };
    struct ConnectionStatus {
        int64_t replyBytes = 0;  // reply body bytes of this attempt
        int retryCount = 0;
        long httpCode = 0;  // of the last status line
        std::string statusLine;
    };

    bool initUploadFile();
    bool GetFileInfo();
    void PrepareTransfer();
    // One pass of the chunk loop from the break point; its libcurl result.
    CURLcode RunAttempt();
    bool ReadChunk(size_t size);
    bool CheckFileUnchanged();
    CURLcode SendChunk(size_t size, bool lastChunk);
    // `lastChunk`: the chunk whose reply this is ended the file.
    void processUpldRsp(const UploadFileResult& result, bool lastChunk);
    // Decides the attempt's result; true when another attempt was prepared.
    bool ProcessTransferDone(CURLcode result);
    // kind 1 leaves the retry count alone (time-outs), kind 2 counts the retry.
    // Waits `ms` unless the task is asked to pause or stop meanwhile (false, with that
    // result set).
    bool WaitWhileTransferring(uint32_t ms);
    // The status text of a chunk the server refused.
    std::string RefusalText() const;
    bool RestartConnection(int maxRetry, int kind);
    int PostUpload(Result result);
    void PostEnd();

    // False (logged with the text received) when the reply is no JSON object.
    bool Readable(const char* who, const UploadFileResult& result) const;
    // The record's size or hash, where it carries them, are not ours.
    bool ContradictsOurContent(const UploadFileRecord& file) const;
    bool CarriesOurHash(const UploadFileRecord& file) const;
    // Complete, with our size and our hash.
    bool ConfirmsOurContent(const UploadFileRecord& file) const;
    // Whether a record that says "complete" is to be believed; `early`: our last byte has not
    // gone out. `info` gets the file object to report to the page.
    bool CompletionHolds(const UploadFileRecord& file, bool early, Json::Value* info);
    // The file information action, asked once per run, confirms our content.
    bool ServerHoldsOurContent(Json::Value* info);
    CRequestContext& Context();
    CRequestContext::Hooks MakeHooks();
    void OnHeaderLine(std::string_view line);
    bool OnReplyData(size_t size);
    bool OnProgress(int64_t upNow);
    void ClearConnectionStatus(bool keepRetryCount);
    void PostNetworkError();
    void Fail(const std::string& text);
    bool HasResult() const { return m_result.state != 0; }

    std::shared_ptr<CUploaderMgr> m_task;
    CUploadParam m_param;
    std::unique_ptr<CRequestContext> m_context;  // one handle, reused for every request
    ConnectionStatus m_conn;
    CProgressMeter m_meter;
    size_t m_requestReplyBytes = 0;  // reply body bytes of the request in flight
    CldFileInfo m_fileInfo;
    platform::SequentialFile m_file;
    platform::SequentialFile::Version m_fileVersion;
    int64_t m_filePos = -1;      // where the next read starts; -1: seek first
    std::vector<char> m_buffer;  // the chunk in flight
    bool m_inChunk = false;      // the request in flight is a chunk (the meter runs)
    int64_t m_chunkSize = 0;
    int64_t m_attemptStart = 0;  // break point when the attempt began
    uint64_t m_lastPoolCheck = 0;
    int64_t m_initStatus = -1;    // "status" of a refused initialisation
    int64_t m_chunkStatus = 0;    // 0 accepted, the server's code when refused, -1 no file data
    bool m_completeFlag = false;  // the server holds the whole file, with our content
    bool m_completionChecked = false;  // this run asked the file information about an early
                                       // completion
    bool m_unreadableReply = false;    // the last chunk reply was no JSON object
    std::string m_chunkRefusal;        // the server's description of the last refused chunk
    Result m_result;
};
