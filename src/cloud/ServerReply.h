#pragma once

#include <curl/curl.h>
#include <json/value.h>

#include <string>

// The outcome of one request: what libcurl reported, the HTTP status, the reply text, and
// the reply read as the server's JSON envelope {"status", "description", "data"}.
struct ServerReply {
    CURLcode result = CURLE_OK;
    long httpCode = 0;
    std::string text;
    bool parsed = false;  // the text is JSON
    Json::Value root;

    // Transport worked, the text parsed, and judgeReply accepts it.
    bool Succeeded() const;
    // "status" as a number (-1 when absent or not a number) and "description".
    int64_t Status() const;
    std::string Description() const;
    // For a log line: the transport's error when the request failed there, else the reply text.
    std::string ErrorText() const;
    // "data", and "data" -> "file" (null values when absent).
    const Json::Value& Data() const;
    const Json::Value& File() const;
};
