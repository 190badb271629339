#pragma once

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>

// The parameters of one action request: the query string and, for a form POST, the body
// (cpp-httplib puts both into `params`). Numbers are whole decimal 64-bit values; anything
// else counts as malformed, and the first bad parameter is named in the refusal.
class ActionRequest {
public:
    explicit ActionRequest(const httplib::Request& request) : m_request(request) {}

    bool Has(const char* name) const { return m_request.has_param(name); }
    std::string Text(const char* name) const { return m_request.get_param_value(name); }

    // A required number: false (and the name noted) when missing or malformed.
    bool Number(const char* name, int64_t& value);
    // An optional number: `fallback` when missing; false when present but malformed.
    bool Number(const char* name, int64_t& value, int64_t fallback);
    // "&share=1" marks the shared space; anything else is the user's own.
    bool Share() const { return Text("share") == "1"; }

    // Whether the request carries `session` as its "qSessionId" parameter or its QSESSIONID
    // cookie. An empty `session` accepts every request.
    bool HasSession(const std::string& session) const;

    const std::string& BadParameter() const { return m_bad; }
    std::string BadParameterText() const { return "parameter missing or malformed: " + m_bad; }

    static std::optional<int64_t> ParseNumber(const std::string& text);

private:
    const httplib::Request& m_request;
    std::string m_bad;
};
