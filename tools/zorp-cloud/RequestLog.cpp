#include "RequestLog.h"

void RequestLog::Add(Entry entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (entry.body.size() > kBodyBytes) {
        entry.body.resize(kBodyBytes);
    }
    m_entries.push_back(std::move(entry));
    while (m_entries.size() > kKeep) {
        m_entries.pop_front();
    }
}

void RequestLog::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

Json::Value RequestLog::Describe(const std::string& action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json::Value list(Json::arrayValue);
    for (const auto& entry : m_entries) {
        if (!action.empty() && entry.action != action) {
            continue;
        }
        Json::Value item;
        item["action"] = entry.action;
        item["method"] = entry.method;
        item["target"] = entry.target;
        Json::Value lines(Json::arrayValue);
        size_t at = 0;
        while (at < entry.rawHeaders.size()) {
            size_t end = entry.rawHeaders.find("\r\n", at);
            if (end == std::string::npos) {
                end = entry.rawHeaders.size();
            }
            if (end > at) {
                lines.append(entry.rawHeaders.substr(at, end - at));
            }
            at = end + 2;
        }
        item["lines"] = lines;
        item["body"] = entry.body;
        list.append(item);
    }
    return list;
}
