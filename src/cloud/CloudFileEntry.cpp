#include "cloud/CloudFileEntry.h"

namespace {

int64_t Int64Of(const Json::Value& value, int64_t fallback = 0) {
    if (value.isIntegral()) {
        return value.asInt64();
    }
    if (value.isDouble()) {
        return static_cast<int64_t>(value.asDouble());
    }
    if (value.isString()) {
        try {
            return std::stoll(value.asString());
        } catch (...) {
            return fallback;
        }
    }
    return fallback;
}

}  // namespace

CloudFileEntry CloudFileEntry::FromJson(const Json::Value& file) {
    CloudFileEntry entry;
    if (!file.isObject()) {
        return entry;
    }
    entry.id = Int64Of(file["id"]);
    entry.pid = Int64Of(file["pid"]);
    entry.name = file["name"].isString() ? file["name"].asString() : std::string();
    entry.type = static_cast<int>(Int64Of(file["type"], kTypeFile));
    entry.hash = file["hash"].isString() ? file["hash"].asString() : std::string();
    entry.size = Int64Of(file["size"]);
    entry.breakPoint = Int64Of(file["breakPoint"]);
    entry.status = file.isMember("status") ? static_cast<int>(Int64Of(file["status"], 1)) : 1;
    return entry;
}
