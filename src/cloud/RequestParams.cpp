#include "cloud/RequestParams.h"

#include <curl/curl.h>

#include "core/Options.h"

RequestParams::RequestParams() : m_text(COptions::GetInstance().GetSessionString()) {}

RequestParams::RequestParams(std::string session) : m_text(std::move(session)) {}

RequestParams& RequestParams::Add(const char* name, int64_t value) {
    m_text += '&';
    m_text += name;
    m_text += '=';
    m_text += std::to_string(value);
    return *this;
}

RequestParams& RequestParams::AddText(const char* name, const std::string& value) {
    m_text += '&';
    m_text += name;
    m_text += '=';
    m_text += Escape(value);
    return *this;
}

RequestParams& RequestParams::AddShare(int share) {
    if (share == 1) {
        m_text += "&share=1";
    }
    return *this;
}

RequestParams& RequestParams::AddRaw(const std::string& text) {
    m_text += text;
    return *this;
}

std::string RequestParams::Escape(const std::string& text) {
    // libcurl ignores the handle argument of curl_easy_escape since 7.82.
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (!escaped) {
        return std::string();
    }
    std::string result(escaped);
    curl_free(escaped);
    return result;
}
