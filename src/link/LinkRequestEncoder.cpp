#include "link/LinkRequestEncoder.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

#include "core/CommonUtils.h"

namespace LinkProtocol {

namespace {

Json::Value WithFiles(In type, Json::Value files) {
    Json::Value message = EncodeRequest(type);
    message["files"] = std::move(files);
    return message;
}

// A JSON array with one element per item, each filled in by `fill`.
template <class Item, class Fill>
Json::Value ListOf(const std::vector<Item>& items, Fill fill) {
    Json::Value list(Json::arrayValue);
    for (const auto& item : items) {
        Json::Value value;
        fill(item, value);
        list.append(std::move(value));
    }
    return list;
}

Json::Value TokenValue(const std::string& text) {
    Json::Value token;
    CommonUtils::ParseJson(text, token);
    return token;
}

}  // namespace

Json::Value EncodeRequest(In type) {
    Json::Value message(Json::objectValue);
    message["type"] = Number(type);
    return message;
}

Json::Value EncodeCookies(In type, const std::vector<Cookie>& cookies) {
    Json::Value message = EncodeRequest(type);
    message["values"] = ListOf(cookies, [](const Cookie& cookie, Json::Value& value) {
        value["domain"] = cookie.domain;
        value["name"] = cookie.name;
        value["value"] = cookie.value;
        value["path"] = cookie.path;
    });
    return message;
}

Json::Value EncodeDownloads(const std::vector<DownloadObject>& files) {
    return WithFiles(In::kDownload,
                     ListOf(files, [](const DownloadObject& file, Json::Value& value) {
                         value["size"] = Json::Int64(file.size);
                         value["url"] = file.url;
                         value["path"] = file.path;
                     }));
}

Json::Value EncodeUploads(const std::vector<UploadObject>& files) {
    return WithFiles(
        In::kUpload, ListOf(files, [](const UploadObject& file, Json::Value& value) {
            value["pid"] = Json::Int64(file.pid);
            value["share"] = file.share;
            value["paths"] =
                ListOf(file.paths, [](const std::string& path, Json::Value& item) { item = path; });
        }));
}

Json::Value EncodeCancels(const std::vector<CancelObject>& files) {
    return WithFiles(
        In::kCancelUpload, ListOf(files, [](const CancelObject& file, Json::Value& value) {
            value["fids"] = ListOf(
                file.fids, [](int64_t fid, Json::Value& item) { item = std::to_string(fid); });
            value["remove"] = file.remove;
        }));
}

Json::Value EncodeLocalEdits(const std::vector<LocalEditObject>& files) {
    return WithFiles(In::kLocalEdit,
                     ListOf(files, [](const LocalEditObject& file, Json::Value& value) {
                         value["token"] = TokenValue(file.token);
                         value["share"] = file.share;
                         value["size"] = Json::Int64(file.size);
                         value["pid"] = Json::Int64(file.pid);
                         value["fid"] = Json::Int64(file.fid);
                         value["name"] = file.name;
                         value["hash"] = file.hash;
                     }));
}

Json::Value EncodeBatchDownloads(const std::vector<BatchObject>& batches) {
    return WithFiles(
        In::kBatchDownload, ListOf(batches, [](const BatchObject& batch, Json::Value& value) {
            value["path"] = batch.path;
            value["files"] = ListOf(batch.files, [](const BatchItem& item, Json::Value& entry) {
                entry["fid"] = Json::Int64(item.fid);
                entry["name"] = item.name;
                entry["type"] = item.type;
                entry["share"] = item.share;
                if (item.IsFile()) {
                    entry["size"] = Json::Int64(item.size);
                }
            });
        }));
}

Json::Value EncodeProxy(const std::string& proxy) {
    Json::Value message = EncodeRequest(In::kProxy);
    message["values"] = proxy;
    return message;
}

Json::Value EncodeEditNames(const std::vector<EditNameEntry>& entries) {
    return WithFiles(In::kEditNames,
                     ListOf(entries, [](const EditNameEntry& entry, Json::Value& value) {
                         value["name"] = entry.name;
                         value["fid"] = Json::Int64(entry.fid);
                     }));
}

Json::Value EncodeClipboardCopy(const std::vector<ClipboardItem>& items) {
    Json::Value group;
    group["files"] = ListOf(items, [](const ClipboardItem& item, Json::Value& value) {
        value["fid"] = Json::Int64(item.fid);
        value["name"] = item.name;
        value["share"] = item.share;
        value["type"] = item.type;
        if (item.IsFile()) {
            value["size"] = Json::Int64(item.size);
        }
    });
    Json::Value groups(Json::arrayValue);
    groups.append(std::move(group));
    return WithFiles(In::kClipboardCopy, std::move(groups));
}

std::string RequestText(const Json::Value& message) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, message);
}

}  // namespace LinkProtocol
