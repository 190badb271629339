#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cloud/ActionResult.h"
#include "cloud/CRequestContext.h"
#include "cloud/CreatePathResult.h"
#include "cloud/ServerReply.h"
#include "cloud/SubFilesResult.h"
#include "cloud/UploadFileResult.h"

// One function per action of the cloud server. Each one names its request kind (RequestKind:
// URL, method, header set, options), sends its parameters in the order written beside it, all
// after the session string, and reads the reply into its result; readers never throw, however
// the reply is made. The requests go through the caller's context, on the caller's thread, and
// post what the context posts (WM_NETWORK_ERROR when the host cannot be resolved or reached).
//
//     CRequestContext context;
//     SubFilesResult listing = CloudApi::GetSubFiles(context, folderId, share);
//     if (listing.ok) { for (const CloudFileEntry& entry : listing.files) { ... } }
//
// The upload requests take the caller's hooks (header lines, progress, a gate on the reply's
// blocks); a body hook would take the reply away from the reader, and leaves it unreadable.
class CloudApi {
public:
    using Hooks = CRequestContext::Hooks;

    // The create path kinds: the folder walk and the folder-id request wait 10 s in all, the
    // dropped-folder comparison waits as long as it takes, the backup change checker sends
    // "User-Agent: quorva" (and no share pair, share 0).
    enum class CreatePathMode { kTimed, kUntimed, kPlainAgent };

    // "&path=" escaped path (relative to pid), "&pid=", "&share=1" when share is 1.
    // ok: accepted, with the folder's "id".
    static CreatePathResult CreatePath(CRequestContext& context, const std::string& path,
                                       int64_t pid, int share,
                                       CreatePathMode mode = CreatePathMode::kTimed);

    // "&pid=" folder id (left out for 0, the root), "&share=1" when share is 1.
    static SubFilesResult GetSubFiles(CRequestContext& context, int64_t folderId, int share);

    // "&fid=", "&share=1" when share is 1.
    static UploadFileResult GetFile(CRequestContext& context, int64_t fid, int share,
                                    const Hooks& hooks = {});

    // "&fid=". The server deletes a folder with everything below it.
    static ActionResult DeleteFile(CRequestContext& context, int64_t fid);

    struct UploadInitRequest {
        int64_t fid = 0;  // sent when positive: the upload replaces or resumes that file
        int64_t pid = 0;
        std::string name;
        std::optional<std::string> lockKey;  // an edited file, locked for this key meanwhile
        int64_t size = 0;
        std::string hash;  // sent when known: content the server holds is not sent again
        int share = 0;
    };
    // "&fid=" (when positive), "&pid=", "&name=" escaped, then for a locked edit
    // "&lockType=1&appName=quorvaClient&lockKey=" escaped key, "&size=", "&hash=" (when
    // known), "&share=1" when share is 1.
    static UploadFileResult UploadInit(CRequestContext& context, const UploadInitRequest& request,
                                       const Hooks& hooks = {});

    struct ChunkRequest {
        int64_t fid = 0;
        int64_t breakPoint = 0;  // where the chunk starts in the file
        std::string hash;        // of the whole file
        int64_t size = 0;        // of the whole file
        int share = 0;
    };
    // In the URL: "&fid=", "&breakPoint=", "&hash=", "&size=", "&share=1" when share is 1; the
    // body is a multipart form whose part "file" holds the chunk under `fileName`. The
    // context's send speed limit applies.
    static UploadFileResult UploadChunk(CRequestContext& context, const ChunkRequest& request,
                                        const std::string& fileName, const char* data,
                                        size_t size, const Hooks& hooks = {});

    // "&fid=", "&lockType=1&appName=quorvaClient", "&lockKey=" escaped key. A file locked
    // for another key is refused; locking again with the same key renews the lock.
    static ActionResult LockFile(CRequestContext& context, int64_t fid, const std::string& lockKey);
    static ActionResult UnlockFile(CRequestContext& context, int64_t fid,
                                   const std::string& lockKey);

    // GET of the web host as a bare name, without cookie or header list: WM_NETWORK_OK on
    // success, WM_NETWORK_ERROR when the host cannot be resolved or reached, nothing otherwise.
    static CURLcode CheckNetwork(CRequestContext& context);

    // The address a download of the file fetches: the download URL, "fid=" and the id.
    static std::string DownloadUrl(int64_t fid);
    // GET of a download address from `breakPoint` on ("&breakPoint=" when positive); the body
    // goes to hooks.body.
    static ServerReply Download(CRequestContext& context, const std::string& url,
                                int64_t breakPoint, const Hooks& hooks);
    // The header-only request ("Range: 0-0") that learns a download's size; the header lines
    // go to hooks.header.
    static ServerReply ProbeDownload(CRequestContext& context, const std::string& url,
                                     const Hooks& hooks);

    // The readers of the replies above, apart from the requests (the fuzz targets feed them
    // any text).
    static UploadFileResult ReadUploadFile(ServerReply reply);
    static ActionResult ReadAction(ServerReply reply);
    static SubFilesResult ReadSubFiles(ServerReply reply);
    static CreatePathResult ReadCreatePath(ServerReply reply);

private:
    static ActionResult SendLock(CRequestContext& context, RequestKind kind, int64_t fid,
                                 const std::string& lockKey);
};
