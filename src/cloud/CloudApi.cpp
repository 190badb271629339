#include "cloud/CloudApi.h"

#include "cloud/JsonFields.h"
#include "cloud/RequestParams.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"

namespace {

// The lock pairs of the upload init and of the lock requests; the key follows them.
constexpr const char* kLockPairs = "&lockType=1&appName=quorvaClient";

}  // namespace

CreatePathResult CloudApi::CreatePath(CRequestContext& context, const std::string& path,
                                      int64_t pid, int share, CreatePathMode mode) {
    RequestKind kind = RequestKind::kCreatePath;
    if (mode == CreatePathMode::kUntimed) {
        kind = RequestKind::kCreatePathUntimed;
    } else if (mode == CreatePathMode::kPlainAgent) {
        kind = RequestKind::kCreatePathPlainAgent;
    }
    return ReadCreatePath(context.performRequest(
        kind, RequestParams().AddText("path", path).Add("pid", pid).AddShare(share)));
}

CreatePathResult CloudApi::ReadCreatePath(ServerReply reply) {
    CreatePathResult result;
    result.reply = std::move(reply);
    result.file = result.reply.File();
    result.ok = result.reply.Succeeded() && result.file.isObject() && result.file.isMember("id");
    if (result.ok) {
        result.folder = CloudFileEntry::FromJson(result.file);
    }
    return result;
}

SubFilesResult CloudApi::GetSubFiles(CRequestContext& context, int64_t folderId, int share) {
    RequestParams params;
    if (folderId != 0) {
        params.Add("pid", folderId);
    }
    params.AddShare(share);
    return ReadSubFiles(context.performRequest(RequestKind::kGetSubFiles, params));
}

SubFilesResult CloudApi::ReadSubFiles(ServerReply reply) {
    SubFilesResult result;
    result.reply = std::move(reply);
    result.ok = result.reply.Succeeded();
    if (!result.ok) {
        return result;
    }
    const Json::Value& data = result.reply.Data();
    const Json::Value& root = JsonFields::Member(data, "root");
    if (root.isObject()) {
        result.root = CloudFileEntry::FromJson(root);
    }
    const Json::Value& files = JsonFields::Member(data, "files");
    if (files.isArray()) {
        result.files.reserve(files.size());
        for (const auto& element : files) {
            result.files.push_back(CloudFileEntry::FromJson(element));
        }
    }
    return result;
}

UploadFileResult CloudApi::GetFile(CRequestContext& context, int64_t fid, int share,
                                   const Hooks& hooks) {
    return ReadUploadFile(context.performRequest(
        RequestKind::kGetFile, RequestParams().Add("fid", fid).AddShare(share), hooks));
}

ActionResult CloudApi::DeleteFile(CRequestContext& context, int64_t fid) {
    return ReadAction(
        context.performRequest(RequestKind::kDeleteFile, RequestParams().Add("fid", fid)));
}

UploadFileResult CloudApi::UploadInit(CRequestContext& context, const UploadInitRequest& request,
                                      const Hooks& hooks) {
    RequestParams params;
    if (request.fid > 0) {
        params.Add("fid", request.fid);
    }
    params.Add("pid", request.pid).AddText("name", request.name);
    if (request.lockKey) {
        params.AddRaw(kLockPairs).AddText("lockKey", *request.lockKey);
    }
    params.Add("size", request.size);
    if (!request.hash.empty()) {
        params.AddText("hash", request.hash);
    }
    params.AddShare(request.share);
    return ReadUploadFile(context.performRequest(RequestKind::kUploadInit, params, hooks));
}

UploadFileResult CloudApi::UploadChunk(CRequestContext& context, const ChunkRequest& request,
                                       const std::string& fileName, const char* data,
                                       size_t size, const Hooks& hooks) {
    RequestParams params;
    params.Add("fid", request.fid)
        .Add("breakPoint", request.breakPoint)
        .AddText("hash", request.hash)
        .Add("size", request.size)
        .AddShare(request.share);
    return ReadUploadFile(context.performUpload(params, fileName, data, size, hooks));
}

ActionResult CloudApi::LockFile(CRequestContext& context, int64_t fid,
                                const std::string& lockKey) {
    return SendLock(context, RequestKind::kLockFile, fid, lockKey);
}

ActionResult CloudApi::UnlockFile(CRequestContext& context, int64_t fid,
                                  const std::string& lockKey) {
    return SendLock(context, RequestKind::kUnlockFile, fid, lockKey);
}

ActionResult CloudApi::SendLock(CRequestContext& context, RequestKind kind, int64_t fid,
                                const std::string& lockKey) {
    return ReadAction(context.performRequest(
        kind, RequestParams().Add("fid", fid).AddRaw(kLockPairs).AddText("lockKey", lockKey)));
}

CURLcode CloudApi::CheckNetwork(CRequestContext& context) {
    // The kind sends no parameters: the address is the bare host.
    const CURLcode result =
        context.performRequest(RequestKind::kNetworkCheck, RequestParams(std::string())).result;
    if (result == CURLE_OK) {
        platform::PostMessage(context.NotifyWindow(), WM_NETWORK_OK);
    }
    return result;
}

std::string CloudApi::DownloadUrl(int64_t fid) {
    return COptions::GetInstance().GetUrls().download + "fid=" + std::to_string(fid);
}

ServerReply CloudApi::Download(CRequestContext& context, const std::string& url,
                               int64_t breakPoint, const Hooks& hooks) {
    std::string address = url;
    if (breakPoint > 0) {
        address += "&breakPoint=" + std::to_string(breakPoint);
    }
    // The address is whole: no session string after it.
    return context.performRequest(RequestKind::kDownload, RequestParams(std::string()), address,
                                  hooks);
}

ServerReply CloudApi::ProbeDownload(CRequestContext& context, const std::string& url,
                                    const Hooks& hooks) {
    return context.performRequest(RequestKind::kDownloadProbe, RequestParams(std::string()), url,
                                  hooks);
}

UploadFileResult CloudApi::ReadUploadFile(ServerReply reply) {
    UploadFileResult result;
    result.reply = std::move(reply);
    result.readable = result.reply.parsed && result.reply.root.isObject();
    result.ok = result.readable && CRequestContext::judgeReply(result.reply.root);
    if (result.readable) {
        result.file = UploadFileRecord::FromJson(result.reply.File());
    }
    return result;
}

ActionResult CloudApi::ReadAction(ServerReply reply) {
    ActionResult result;
    result.reply = std::move(reply);
    result.ok = result.reply.Succeeded();
    return result;
}
