#include "AdminActions.h"

#include "ActionRequest.h"
#include "CloudStatus.h"
#include "Reply.h"

bool AdminActions::IsLoopbackPeer(const httplib::Request& request) {
    const std::string& peer = request.remote_addr;
    return peer.rfind("127.", 0) == 0 || peer == "::1" || peer.rfind("::ffff:127.", 0) == 0;
}

void AdminActions::Fault(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    auto kind = FaultInjector::KindFromName(in.Text("kind"));
    if (!kind) {
        return Reply::Error(response, kStatusBadParameter, "parameter missing or malformed: kind");
    }
    FaultInjector::Rule rule;
    rule.action = in.Text("action");
    rule.kind = *kind;
    int64_t count = 1;
    int64_t ttl = 60;
    int64_t value = 0;
    int64_t afterBytes = 0;
    const char* valueName = "status";
    switch (*kind) {
        case FaultInjector::Kind::kStatus: valueName = "status"; break;
        case FaultInjector::Kind::kHttp: valueName = "code"; break;
        case FaultInjector::Kind::kDelay: valueName = "ms"; break;
        case FaultInjector::Kind::kStall: valueName = in.Has("ms") ? "ms" : "seconds"; break;
        case FaultInjector::Kind::kDrop: valueName = "bytes"; break;
        case FaultInjector::Kind::kMalformed: valueName = "unused"; break;
        case FaultInjector::Kind::kWrongBreakPoint: valueName = "breakPoint"; break;
        case FaultInjector::Kind::kOmit: valueName = "unused"; break;
        case FaultInjector::Kind::kClaimComplete: valueName = "unused"; break;
        case FaultInjector::Kind::kHtml: valueName = "code"; break;
        case FaultInjector::Kind::kLateReply: valueName = "ms"; break;
    }
    if (!in.Number("count", count, 1) || !in.Number("ttl", ttl, 60) ||
        !in.Number(valueName, value, 0) ||
        !in.Number(*kind == FaultInjector::Kind::kStall ? "bytes" : "unused", afterBytes, 0)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    if (*kind == FaultInjector::Kind::kStatus && value == 0) {
        value = kStatusStorageError;  // a refusal the client cannot mistake for success
    }
    if (*kind == FaultInjector::Kind::kStall && !in.Has("ms")) {
        value *= 1000;
    }
    if (ttl < 1 || ttl > FaultInjector::kMaxTtlSeconds || count < 1 ||
        count > FaultInjector::kMaxCount) {
        return Reply::Error(response, kStatusBadParameter, "count or ttl out of bounds");
    }
    rule.remaining = static_cast<int>(count);
    rule.value = value;
    rule.afterBytes = afterBytes;
    rule.completeOnly = in.Text("complete") == "1";
    rule.field = in.Text("field");
    rule.expires = std::chrono::steady_clock::now() + std::chrono::seconds(ttl);
    std::string error;
    if (!m_context.faults.Add(rule, &error)) {
        return Reply::Error(response, kStatusBadParameter, error);
    }
    Reply::Ok(response, m_context.faults.Describe());
}

void AdminActions::Clear(const httplib::Request&, httplib::Response& response) {
    m_context.faults.Clear();
    m_context.requests.Clear();
    Reply::Ok(response, Json::Value(Json::objectValue));
}

void AdminActions::Requests(const httplib::Request& request, httplib::Response& response) {
    Reply::Ok(response, m_context.requests.Describe(request.get_param_value("action")));
}

void AdminActions::State(const httplib::Request&, httplib::Response& response) {
    Json::Value data(Json::objectValue);
    data["files"] = Json::Int64(m_context.metadata.FileCount());
    data["used"] = Json::Int64(m_context.metadata.UsedBytes(0));
    data["quota"] = Json::Int64(m_context.config.quota);
    data["faults"] = m_context.faults.Describe();
    Reply::Ok(response, data);
}
