#include "link/LinkEncoder.h"

#include <json/writer.h>

#include <algorithm>
#include <memory>

#include "core/CommonUtils.h"

namespace LinkProtocol {

namespace {

constexpr size_t kShortNameLimit = 23;  // names shorter than this are sent whole
constexpr size_t kShortNameKeep = 20;   // units kept of a longer name

bool IsTrailingSpace(char16_t unit) {
    return unit == u' ' || unit == u'\t' || unit == u'\n' || unit == u'\v' || unit == u'\f' ||
           unit == u'\r' || unit == u'\u00A0' || unit == u'\u3000';
}

std::string Quoted(const std::string& text) {
    return "\"" + EscapeJsonText(text) + "\"";
}

// An inserted JSON text must never be empty, or the message would not parse.
const std::string& OrNull(const std::string& json) {
    static const std::string kNull = "null\n";
    return json.empty() ? kNull : json;
}

}  // namespace

std::string SimpleMsg(Out type) {
    return "{\"type\":" + std::to_string(Number(type)) + "}";
}

std::string ComposeUpdateMsg(Out type, const std::vector<std::string>& entries) {
    const bool names = IsNameUpdate(type);
    if (!names && !IsObjectUpdate(type)) {
        return KeepAliveMsg();
    }
    std::string msg = "{\"type\":" + std::to_string(Number(type));
    if (entries.empty()) {
        if (ReportsEmptyList(type)) {
            return msg + ",\"files\":[]}";
        }
        return KeepAliveMsg();
    }
    msg += ",\"files\":[";
    for (const auto& entry : entries) {
        if (names) {
            msg += '"';
            msg += entry;
            msg += "\",";
        } else {
            msg += '{';
            msg += entry;
            msg += "},";
        }
    }
    msg.back() = ']';  // the last comma
    msg += '}';
    return msg;
}

void AddPendingUpdate(std::vector<Out>& pending, Out type) {
    if (std::find(pending.begin(), pending.end(), type) != pending.end()) {
        return;
    }
    auto at = pending.end();
    if (type == Out::kUploadCreated) {
        at = std::find_if(pending.begin(), pending.end(), [](Out waiting) {
            return waiting == Out::kUploadProgress || waiting == Out::kUploadComplete ||
                   waiting == Out::kUploadRemoved;
        });
    }
    pending.insert(at, type);
}

std::string UpldInfoEntry(int64_t fid, int64_t pid, const std::string& infoJson) {
    return "\"fid\":" + std::to_string(fid) + ",\"pid\":" + std::to_string(pid) +
           ",\"info\":" + OrNull(infoJson);
}

std::string UpldProgressEntry(int64_t fid, int64_t pid, int64_t size, int64_t position) {
    return "\"fid\":" + std::to_string(fid) + ",\"pid\":" + std::to_string(pid) +
           ",\"size\":" + std::to_string(size) + ",\"position\":" + std::to_string(position);
}

std::string UpldRemovedEntry(int64_t fid, int64_t pid) {
    return "\"fid\":" + std::to_string(fid) + ",\"pid\":" + std::to_string(pid);
}

std::string EditDnldProgressEntry(int64_t fid, int64_t size, int64_t position,
                                  const std::string& name, const std::string& tokenJson) {
    return "\"fid\":" + std::to_string(fid) + ",\"size\":" + std::to_string(size) +
           ",\"position\":" + std::to_string(position) + ",\"name\":" + Quoted(name) +
           ",\"token\":" + OrNull(tokenJson);
}

std::string EditDnldResultEntry(int64_t fid, const std::string& name,
                                const std::string& tokenJson) {
    return "\"fid\":" + std::to_string(fid) + ",\"name\":" + Quoted(name) +
           ",\"token\":" + OrNull(tokenJson);
}

std::string NameEntry(const std::string& name) {
    return EscapeJsonText(ShortenName(name));
}

std::string ShortenName(const std::string& name) {
    // Cheap exit: fewer than 23 bytes are fewer than 23 UTF-16 units.
    if (name.size() < kShortNameLimit) {
        return name;
    }
    std::u16string units = CommonUtils::Utf8ToUtf16(name);
    if (units.size() < kShortNameLimit) {
        return name;
    }
    size_t keep = kShortNameKeep;
    if (keep > 0 && units[keep - 1] >= 0xD800 && units[keep - 1] <= 0xDBFF) {
        --keep;  // the 20th unit opens a surrogate pair: keep the pair out rather than halve it
    }
    units.resize(keep);
    while (!units.empty() && IsTrailingSpace(units.back())) {
        units.pop_back();
    }
    return CommonUtils::Utf16ToUtf8(units) + "...";
}

std::string EscapeJsonText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    static const char kHex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string CompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value) + "\n";
}

}  // namespace LinkProtocol
