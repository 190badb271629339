#pragma once

#include <cstdint>
#include <string>

// The parameter text of a request: the session string first ("qSessionId=<value>", empty
// before the page sent its cookies), then "&name=value" pairs in the order added. Numbers are
// decimal; text values are UTF-8 escaped with curl_easy_escape. POST requests send the text
// as their body, GET requests (and chunk uploads) append it to the URL.
class RequestParams {
public:
    // Starts with the options' session string.
    RequestParams();
    // Starts with the given session string (tests, tools).
    explicit RequestParams(std::string session);

    RequestParams& Add(const char* name, int64_t value);
    RequestParams& AddText(const char* name, const std::string& value);  // escaped
    // "&share=1" when the flag is 1; nothing otherwise.
    RequestParams& AddShare(int share);
    // Text added as it is ("&lockType=1&appName=quorvaClient").
    RequestParams& AddRaw(const std::string& text);

    const std::string& Text() const { return m_text; }

    static std::string Escape(const std::string& text);

private:
    std::string m_text;
};
