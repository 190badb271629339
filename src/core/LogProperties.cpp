#include "core/LogProperties.h"

#include <json/json.h>

#include <memory>

#include "core/CommonUtils.h"

namespace fs = std::filesystem;

LogProperties LogProperties::Read(const std::vector<fs::path>& candidates) {
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (!fs::is_regular_file(candidate, ec)) {
            continue;
        }
        auto text = CommonUtils::ReadWholeFile(candidate);
        return text ? Parse(*text) : LogProperties{};
    }
    return {};
}

LogProperties LogProperties::Parse(const std::string& text) {
    LogProperties result;
    Json::Value root;
    if (!CommonUtils::ParseJson(text, root) || !root.isObject()) {
        return result;
    }
    result.found = true;
    const Json::Value& enable = root["enable"];
    // Only the number 1 counts; "1", true or 1.5 do not.
    result.enable = enable.isIntegral() && enable.asLargestInt() == 1;
    if (root["path"].isString()) {
        result.path = fs::path(root["path"].asString());
    }
    return result;
}

fs::path LogProperties::LogFilePath(const std::string& fileName) const {
    return path.empty() ? fs::path(fileName) : path / fileName;
}
