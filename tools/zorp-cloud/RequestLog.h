#pragma once

#include <json/value.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

// The last requests the server received, with their header lines exactly as they came and
// the start of a form body, for tests that check what the client sends (the admin endpoint
// "/admin/requests" lists them).
class RequestLog {
public:
    struct Entry {
        std::string action;
        std::string method;
        std::string target;
        std::string rawHeaders;  // request line and header lines, CRLF separated
        std::string body;        // a form body (not a chunk's), cut at kBodyBytes
    };

    static constexpr size_t kBodyBytes = 4096;

    void Add(Entry entry);
    void Clear();
    // Oldest first; only those of `action` when it is not empty.
    Json::Value Describe(const std::string& action);

private:
    static constexpr size_t kKeep = 8192;  // tests poll the server, which adds entries too
    std::mutex m_mutex;
    std::deque<Entry> m_entries;
};
