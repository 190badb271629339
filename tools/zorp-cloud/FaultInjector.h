#pragma once

#include <json/value.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Faults that tests switch on through the admin endpoint. A fault applies to the next
// `count` requests of one action (or of every action, "*") and lapses by itself after its
// time to live, so a test that forgets it cannot break the next one for long.
class FaultInjector {
public:
    enum class Kind {
        kStatus,          // reply with this "status" in the envelope
        kHttp,            // reply with this HTTP status (500 unless told)
        kDelay,           // wait this many milliseconds, then serve normally
        kStall,           // send nothing for this many milliseconds (after `afterBytes` of a
                          // download's body), then go on
        kDrop,            // close the connection after this many body bytes (the request body
                          // of a chunk upload; the reply body of anything else)
        kMalformed,       // reply with JSON that does not parse (a download: such JSON with
                          // HTTP 200 in place of the file's bytes)
        kWrongBreakPoint, // report this break point instead of the real one (a download: send
                          // the content from this offset, whatever break point was asked)
        kCorrupt,         // a download's body has the byte at this offset of the body inverted
        kOmit,            // leave the member `field` ("size", "hash", ...) out of the file
                          // record the reply reports
        kClaimComplete,   // the file record the reply reports says "status" 1, whatever the
                          // server holds
        kHtml,            // answer with an HTML page (a proxy's error page, say) with this HTTP
                          // status (200 unless told) instead of running the action
        kLateReply        // run the action, then hold its reply back this many milliseconds;
                          // `completeOnly`: only a reply whose file record says complete
    };

    struct Rule {
        std::string action;
        Kind kind = Kind::kStatus;
        int remaining = 1;
        int skip = 0;  // requests of the action that pass untouched before the rule strikes
        int64_t value = 0;
        int64_t afterBytes = 0;
        bool completeOnly = false;
        std::string field;
        std::chrono::steady_clock::time_point expires;
    };

    static constexpr int kMaxCount = 1000;
    static constexpr int64_t kMaxTtlSeconds = 600;
    static constexpr int64_t kMaxWaitMs = 120000;

    static std::optional<Kind> KindFromName(const std::string& name);
    static const char* KindName(Kind kind);

    // Validates the bounds; false with a reason when a value is out of them.
    bool Add(Rule rule, std::string* error);
    void Clear();

    // Uses up one request of the first live rule of this kind for the action (that `applies`
    // to the request, when given). A rule that still has requests to skip lets this one pass
    // and counts it, so a test can aim a fault at the n-th chunk of an upload.
    std::optional<Rule> Take(const std::string& action, Kind kind,
                             const std::function<bool(const Rule&)>& applies = {});

    // Waits up to `ms`, returning false early when the server shuts down.
    bool Sleep(int64_t ms);
    void Shutdown();

    Json::Value Describe();

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_shutdown = false;
    std::vector<Rule> m_rules;
};
