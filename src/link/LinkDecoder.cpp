#include "link/LinkDecoder.h"

#include <json/reader.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <utility>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "link/LinkEncoder.h"

namespace LinkProtocol {

namespace {

// ---- reading members: a missing member or one of the wrong JSON type reads as 0 or "" ----

const Json::Value& Member(const Json::Value& object, const char* name) {
    static const Json::Value kNull;
    if (!object.isObject()) {
        return kNull;
    }
    const Json::Value* value = object.find(name, name + std::strlen(name));
    return value ? *value : kNull;
}

const Json::Value& ArrayMember(const Json::Value& object, const char* name) {
    static const Json::Value kEmpty(Json::arrayValue);
    const Json::Value& value = Member(object, name);
    return value.isArray() ? value : kEmpty;
}

int64_t AsInt64(const Json::Value& value) {
    if (value.isInt64()) {
        return value.asInt64();
    }
    if (value.isDouble()) {  // a fraction, or out of range
        double d = value.asDouble();
        if (d > -9.2e18 && d < 9.2e18) {
            return static_cast<int64_t>(d);
        }
    }
    return 0;
}

int32_t AsInt32(const Json::Value& value) {
    int64_t v = AsInt64(value);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(v);
}

std::string AsString(const Json::Value& value) {
    return value.isString() ? value.asString() : std::string();
}

int64_t Int64Member(const Json::Value& object, const char* name) {
    return AsInt64(Member(object, name));
}
int32_t Int32Member(const Json::Value& object, const char* name) {
    return AsInt32(Member(object, name));
}
std::string StringMember(const Json::Value& object, const char* name) {
    return AsString(Member(object, name));
}

// A local path the page names as a target or a source.
bool IsUsablePath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

// Download targets must be absolute: a relative one would land wherever the process runs.
bool IsUsableTarget(const std::string& path) {
    return IsUsablePath(path) && std::filesystem::path(path).is_absolute();
}

}  // namespace

namespace {

bool ParseText(const std::string& text, Json::Value* value, std::string* errors) {
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        return reader->parse(text.data(), text.data() + text.size(), value, errors);
    } catch (const std::exception& e) {  // nesting deeper than the reader's stack limit
        *errors = e.what();
        return false;
    }
}

std::optional<int> TypeMember(const Json::Value& message) {
    const Json::Value& type = Member(message, "type");
    if (type.isIntegral() && !type.isBool() && type.isInt()) {
        return type.asInt();
    }
    return std::nullopt;
}

}  // namespace

DecodedMessage DecodeMessage(const std::string& text) {
    DecodedMessage decoded;
    std::string errors;
    if (!ParseText(text, &decoded.message, &errors)) {
        LOGF(WARNING, "ClientInterfaceMgr::parseMsg failed: %s", CommonUtils::LogExcerpt(errors, 1024));
        return decoded;
    }
    decoded.type = TypeMember(decoded.message).value_or(-1);
    return decoded;
}

std::optional<Out> OutTypeOf(const std::string& text) {
    Json::Value message;
    std::string errors;
    if (!ParseText(text, &message, &errors)) {
        return std::nullopt;
    }
    const std::optional<int> type = TypeMember(message);
    return type ? std::optional<Out>(static_cast<Out>(*type)) : std::nullopt;
}

std::vector<Cookie> DecodeCookies(const Json::Value& message) {
    std::vector<Cookie> cookies;
    for (const auto& cookie : ArrayMember(message, "values")) {
        cookies.push_back({StringMember(cookie, "domain"), StringMember(cookie, "name"),
                           StringMember(cookie, "value"), StringMember(cookie, "path")});
    }
    return cookies;
}

std::vector<DownloadObject> DecodeDownloads(const Json::Value& message,
                                            std::vector<std::string>* refused) {
    std::vector<DownloadObject> downloads;
    for (const auto& file : ArrayMember(message, "files")) {
        DownloadObject download{Int64Member(file, "size"), StringMember(file, "url"),
                                StringMember(file, "path")};
        if (!IsUsableTarget(download.path) ||
            !CommonUtils::IsPlainName(std::filesystem::path(download.path).filename().string())) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: download target '%s' skipped",
                 CommonUtils::LogExcerpt(download.path, 512));
            if (refused) {
                const std::string name = std::filesystem::path(download.path).filename().string();
                refused->push_back(name.empty() ? download.path : name);
            }
            continue;
        }
        downloads.push_back(std::move(download));
    }
    return downloads;
}

std::vector<UploadObject> DecodeUploads(const Json::Value& message) {
    std::vector<UploadObject> uploads;
    for (const auto& file : ArrayMember(message, "files")) {
        UploadObject upload{Int64Member(file, "pid"), Int32Member(file, "share"), {}};
        for (const auto& path : ArrayMember(file, "paths")) {
            std::string text = AsString(path);
            if (IsUsablePath(text)) {
                upload.paths.push_back(std::move(text));
            }
        }
        if (!upload.paths.empty()) {
            uploads.push_back(std::move(upload));
        }
    }
    return uploads;
}

std::vector<CancelObject> DecodeCancels(const Json::Value& message) {
    std::vector<CancelObject> cancels;
    for (const auto& file : ArrayMember(message, "files")) {
        CancelObject cancel;
        for (const auto& fid : ArrayMember(file, "fids")) {
            if (fid.isString()) {
                if (auto value = CommonUtils::StringToInt64(fid.asString())) {
                    cancel.fids.push_back(*value);
                }
            } else if (fid.isInt64()) {
                cancel.fids.push_back(fid.asInt64());
            }
        }
        cancel.remove = Int32Member(file, "remove");
        cancels.push_back(std::move(cancel));
    }
    return cancels;
}

std::vector<LocalEditObject> DecodeLocalEdits(const Json::Value& message) {
    std::vector<LocalEditObject> edits;
    for (const auto& file : ArrayMember(message, "files")) {
        LocalEditObject edit;
        edit.token = CompactJson(Member(file, "token"));
        edit.share = Int32Member(file, "share");
        edit.size = Int64Member(file, "size");
        edit.pid = Int64Member(file, "pid");
        edit.fid = Int64Member(file, "fid");
        edit.name = StringMember(file, "name");
        edit.hash = StringMember(file, "hash");
        if (!CommonUtils::IsPlainName(edit.name)) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: local edit name '%s' skipped",
                 CommonUtils::LogExcerpt(edit.name, 512));
            continue;
        }
        edits.push_back(std::move(edit));
    }
    return edits;
}

std::vector<BatchObject> DecodeBatchDownloads(const Json::Value& message,
                                              std::vector<std::string>* refused) {
    std::vector<BatchObject> batches;
    for (const auto& object : ArrayMember(message, "files")) {
        BatchObject batch{StringMember(object, "path"), {}};
        if (!IsUsableTarget(batch.path)) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: batch target '%s' skipped",
                 CommonUtils::LogExcerpt(batch.path, 512));
            continue;
        }
        for (const auto& entry : ArrayMember(object, "files")) {
            BatchItem item;
            item.fid = Int64Member(entry, "fid");
            item.name = StringMember(entry, "name");
            if (!CommonUtils::IsPlainName(item.name)) {
                LOGF(WARNING, "ClientInterfaceMgr::parseMsg: batch item name '%s' skipped",
                     CommonUtils::LogExcerpt(item.name, 512));
                if (refused) {
                    refused->push_back(item.name);
                }
                continue;
            }
            item.type = Int32Member(entry, "type");
            item.share = Int32Member(entry, "share");
            if (item.IsFile()) {
                item.size = Int64Member(entry, "size");
            }
            batch.files.push_back(std::move(item));
        }
        batches.push_back(std::move(batch));
    }
    return batches;
}

std::string DecodeProxy(const Json::Value& message) {
    return StringMember(message, "values");
}

std::vector<EditNameEntry> DecodeEditNames(const Json::Value& message) {
    std::vector<EditNameEntry> entries;
    for (const auto& file : ArrayMember(message, "files")) {
        entries.push_back({StringMember(file, "name"), Int64Member(file, "fid")});
    }
    return entries;
}

std::vector<ClipboardItem> DecodeClipboardCopy(const Json::Value& message) {
    std::vector<ClipboardItem> items;
    for (const auto& group : ArrayMember(message, "files")) {
        for (const auto& entry : ArrayMember(group, "files")) {
            ClipboardItem item;
            item.name = StringMember(entry, "name");
            if (!CommonUtils::IsPlainName(item.name)) {
                LOGF(WARNING, "ClientInterfaceMgr::parseMsg: clipboard item name '%s' skipped",
                     CommonUtils::LogExcerpt(item.name, 512));
                continue;
            }
            item.fid = Int64Member(entry, "fid");
            item.share = Int32Member(entry, "share");
            item.type = Int32Member(entry, "type");
            if (item.IsFile()) {
                item.size = Int64Member(entry, "size");
            }
            items.push_back(std::move(item));
        }
    }
    return items;
}

}  // namespace LinkProtocol
