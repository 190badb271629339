#include "link/LinkRequestEncoder.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

namespace LinkProtocol {

namespace {

Json::Value WithFiles(In type, Json::Value files) {
    Json::Value message = EncodeRequest(type);
    message["files"] = std::move(files);
    return message;
}

Json::Value TokenValue(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value token;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &token, &errors)) {
        return Json::Value();
    }
    return token;
}

}  // namespace

Json::Value EncodeRequest(In type) {
    Json::Value message(Json::objectValue);
    message["type"] = Number(type);
    return message;
}

Json::Value EncodeCookies(In type, const std::vector<Cookie>& cookies) {
    Json::Value values(Json::arrayValue);
    for (const auto& cookie : cookies) {
        Json::Value value;
        value["domain"] = cookie.domain;
        value["name"] = cookie.name;
        value["value"] = cookie.value;
        value["path"] = cookie.path;
        values.append(std::move(value));
    }
    Json::Value message = EncodeRequest(type);
    message["values"] = std::move(values);
    return message;
}

Json::Value EncodeDownloads(const std::vector<DownloadObject>& files) {
    Json::Value list(Json::arrayValue);
    for (const auto& file : files) {
        Json::Value value;
        value["size"] = Json::Int64(file.size);
        value["url"] = file.url;
        value["path"] = file.path;
        list.append(std::move(value));
    }
    return WithFiles(In::kDownload, std::move(list));
}

Json::Value EncodeUploads(const std::vector<UploadObject>& files) {
    Json::Value list(Json::arrayValue);
    for (const auto& file : files) {
        Json::Value value;
        value["pid"] = Json::Int64(file.pid);
        value["share"] = file.share;
        value["paths"] = Json::Value(Json::arrayValue);
        for (const auto& path : file.paths) {
            value["paths"].append(path);
        }
        list.append(std::move(value));
    }
    return WithFiles(In::kUpload, std::move(list));
}

Json::Value EncodeCancels(const std::vector<CancelObject>& files) {
    Json::Value list(Json::arrayValue);
    for (const auto& file : files) {
        Json::Value value;
        value["fids"] = Json::Value(Json::arrayValue);
        for (int64_t fid : file.fids) {
            value["fids"].append(std::to_string(fid));
        }
        value["remove"] = file.remove;
        list.append(std::move(value));
    }
    return WithFiles(In::kCancelUpload, std::move(list));
}

Json::Value EncodeLocalEdits(const std::vector<LocalEditObject>& files) {
    Json::Value list(Json::arrayValue);
    for (const auto& file : files) {
        Json::Value value;
        value["token"] = TokenValue(file.token);
        value["share"] = file.share;
        value["size"] = Json::Int64(file.size);
        value["pid"] = Json::Int64(file.pid);
        value["fid"] = Json::Int64(file.fid);
        value["name"] = file.name;
        value["hash"] = file.hash;
        list.append(std::move(value));
    }
    return WithFiles(In::kLocalEdit, std::move(list));
}

Json::Value EncodeBatchDownloads(const std::vector<BatchObject>& batches) {
    Json::Value list(Json::arrayValue);
    for (const auto& batch : batches) {
        Json::Value items(Json::arrayValue);
        for (const auto& item : batch.files) {
            Json::Value value;
            value["fid"] = Json::Int64(item.fid);
            value["name"] = item.name;
            value["type"] = item.type;
            value["share"] = item.share;
            if (item.IsFile()) {
                value["size"] = Json::Int64(item.size);
            }
            items.append(std::move(value));
        }
        Json::Value value;
        value["path"] = batch.path;
        value["files"] = std::move(items);
        list.append(std::move(value));
    }
    return WithFiles(In::kBatchDownload, std::move(list));
}

Json::Value EncodeProxy(const std::string& proxy) {
    Json::Value message = EncodeRequest(In::kProxy);
    message["values"] = proxy;
    return message;
}

Json::Value EncodeEditNames(const std::vector<EditNameEntry>& entries) {
    Json::Value list(Json::arrayValue);
    for (const auto& entry : entries) {
        Json::Value value;
        value["name"] = entry.name;
        value["fid"] = Json::Int64(entry.fid);
        list.append(std::move(value));
    }
    return WithFiles(In::kEditNames, std::move(list));
}

Json::Value EncodeClipboardCopy(const std::vector<ClipboardItem>& items) {
    Json::Value list(Json::arrayValue);
    for (const auto& item : items) {
        Json::Value value;
        value["fid"] = Json::Int64(item.fid);
        value["name"] = item.name;
        value["share"] = item.share;
        value["type"] = item.type;
        if (item.IsFile()) {
            value["size"] = Json::Int64(item.size);
        }
        list.append(std::move(value));
    }
    Json::Value group;
    group["files"] = std::move(list);
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
