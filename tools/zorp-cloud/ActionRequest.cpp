#include "ActionRequest.h"

#include <charconv>

std::optional<int64_t> ActionRequest::ParseNumber(const std::string& text) {
    int64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

bool ActionRequest::Number(const char* name, int64_t& value) {
    auto parsed = Has(name) ? ParseNumber(Text(name)) : std::nullopt;
    if (!parsed) {
        if (m_bad.empty()) {
            m_bad = name;
        }
        return false;
    }
    value = *parsed;
    return true;
}

bool ActionRequest::Number(const char* name, int64_t& value, int64_t fallback) {
    if (!Has(name)) {
        value = fallback;
        return true;
    }
    return Number(name, value);
}

bool ActionRequest::HasSession(const std::string& session) const {
    if (session.empty()) {
        return true;
    }
    if (Text("qSessionId") == session) {
        return true;
    }
    const std::string cookies = m_request.get_header_value("Cookie");
    const std::string wanted = "QSESSIONID=" + session;
    size_t at = 0;
    while ((at = cookies.find(wanted, at)) != std::string::npos) {
        bool startsPair = at == 0 || cookies[at - 1] == ';' || cookies[at - 1] == ' ';
        size_t after = at + wanted.size();
        bool endsPair = after == cookies.size() || cookies[after] == ';';
        if (startsPair && endsPair) {
            return true;
        }
        at = after;
    }
    return false;
}
