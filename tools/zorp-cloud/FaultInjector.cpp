#include "FaultInjector.h"

namespace {

struct KindName {
    FaultInjector::Kind kind;
    const char* name;
};

constexpr KindName kKinds[] = {
    {FaultInjector::Kind::kStatus, "status"},
    {FaultInjector::Kind::kHttp, "http"},
    {FaultInjector::Kind::kDelay, "delay"},
    {FaultInjector::Kind::kStall, "stall"},
    {FaultInjector::Kind::kDrop, "drop"},
    {FaultInjector::Kind::kMalformed, "malformed"},
    {FaultInjector::Kind::kWrongBreakPoint, "breakpoint"},
    {FaultInjector::Kind::kCorrupt, "corrupt"},
    {FaultInjector::Kind::kOmit, "omit"},
    {FaultInjector::Kind::kClaimComplete, "claimcomplete"},
    {FaultInjector::Kind::kHtml, "html"},
    {FaultInjector::Kind::kLateReply, "late"},
};

}  // namespace

std::optional<FaultInjector::Kind> FaultInjector::KindFromName(const std::string& name) {
    for (const auto& entry : kKinds) {
        if (name == entry.name) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

const char* FaultInjector::KindName(Kind kind) {
    for (const auto& entry : kKinds) {
        if (kind == entry.kind) {
            return entry.name;
        }
    }
    return "?";
}

bool FaultInjector::Add(Rule rule, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) {
            *error = why;
        }
        return false;
    };
    if (rule.action.empty()) {
        return fail("action missing");
    }
    if (rule.remaining < 1 || rule.remaining > kMaxCount) {
        return fail("count must be 1 to 1000");
    }
    if (rule.skip < 0 || rule.skip > kMaxCount) {
        return fail("skip must be 0 to 1000");
    }
    switch (rule.kind) {
        case Kind::kHttp:
            if (rule.value == 0) {
                rule.value = 500;
            }
            if (rule.value < 400 || rule.value > 599) {
                return fail("code must be 400 to 599");
            }
            break;
        case Kind::kOmit:
            if (rule.field.empty()) {
                return fail("field missing");
            }
            break;
        case Kind::kHtml:
            if (rule.value == 0) {
                rule.value = 200;
            }
            if (rule.value < 200 || rule.value > 599) {
                return fail("code must be 200 to 599");
            }
            break;
        case Kind::kDelay:
        case Kind::kStall:
        case Kind::kLateReply:
            if (rule.value < 0 || rule.value > kMaxWaitMs || rule.afterBytes < 0) {
                return fail("wait must be 0 to 120000 ms");
            }
            break;
        case Kind::kDrop:
            if (rule.value < 0) {
                return fail("bytes must not be negative");
            }
            break;
        case Kind::kCorrupt:
            if (rule.value < 0) {
                return fail("offset must not be negative");
            }
            break;
        default:
            break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(std::move(rule));
    return true;
}

void FaultInjector::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

std::optional<FaultInjector::Rule> FaultInjector::Take(const std::string& action, Kind kind,
                                                      const std::function<bool(const Rule&)>& applies) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(m_rules, [&](const Rule& r) { return r.remaining <= 0 || r.expires <= now; });
    for (auto& rule : m_rules) {
        if (rule.kind == kind && (rule.action == action || rule.action == "*") &&
            (!applies || applies(rule))) {
            if (rule.skip > 0) {
                --rule.skip;
                return std::nullopt;
            }
            --rule.remaining;
            return rule;
        }
    }
    return std::nullopt;
}

bool FaultInjector::Sleep(int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_shutdown; });
}

void FaultInjector::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    m_wake.notify_all();
}

Json::Value FaultInjector::Describe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    Json::Value list(Json::arrayValue);
    for (const auto& rule : m_rules) {
        if (rule.remaining <= 0 || rule.expires <= now) {
            continue;
        }
        Json::Value item;
        item["action"] = rule.action;
        item["kind"] = KindName(rule.kind);
        item["remaining"] = rule.remaining;
        item["skip"] = rule.skip;
        item["value"] = Json::Int64(rule.value);
        list.append(item);
    }
    return list;
}
