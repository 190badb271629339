#pragma once

#include <curl/curl.h>
#include <json/value.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cloud/RequestKind.h"
#include "cloud/RequestParams.h"
#include "cloud/ServerReply.h"
#include "platform/Message.h"

// The one place that builds libcurl handles: a worker that talks to the cloud server owns one
// context (easy handle, header list, reply buffer) and sends its requests through it, one at a
// time, on its own thread. A request is a kind (RequestKind: URL, method, header set and
// options), its parameters, and optionally hooks for the reply body, header lines and
// progress; the answer is a ServerReply with the libcurl result and the parsed envelope.
// Workers do not build requests themselves: CloudApi has one function per server action.
//
//     CRequestContext context;
//     CreatePathResult made = CloudApi::CreatePath(context, "a/b", pid, share);
//     if (made.ok) { int64_t id = made.folder.id; }
//
// Host-not-found and connection-refused results (6 and 7) post WM_NETWORK_ERROR to the notify
// window (the floating drop window of the options unless another is set). Through a proxy the
// same failures come as the proxy's word (a SOCKS reply, an HTTP proxy's own error page, a
// proxy name that does not resolve); they are reported as 6 or 7 too.
class CRequestContext {
public:
    enum class HandlePolicy {
        kCleanUpAfterEach,  // small actions: a fresh handle (and connection) per request
        kKeepForNext,       // transfers: one handle, its connection kept alive between requests
    };

    struct Hooks {
        // Each block of the reply body; false refuses it (libcurl result 23). Without this
        // hook the body is collected and parsed as the reply.
        std::function<bool(const char* data, size_t size)> body;
        // Without a body hook: asked before each block is collected; false refuses it (result
        // 23), so a worker can bound a reply or turn away the body of an error status.
        std::function<bool(size_t size)> admit;
        // Each header line as received, line end included.
        std::function<void(std::string_view line)> header;
        // Transfer progress; false aborts the transfer (libcurl result 42).
        std::function<bool(int64_t downTotal, int64_t downNow, int64_t upTotal, int64_t upNow)>
            progress;
    };

    // libcurl's send buffer for multipart bodies. A chunk leaves in a few sends, so that the
    // server reads the headers and starts on the request while the rest arrives (against
    // zorp-cloud one task ran at 517 MB/s on average with 64 KiB and 484 MB/s with room for
    // the whole chunk, nine runs each).
    static constexpr long kUploadBufferSize = 64 * 1024;
    // libcurl's smallest send buffer, used while a send speed limit is set.
    static constexpr long kPacedBufferSize = 16 * 1024;

    explicit CRequestContext(HandlePolicy policy = HandlePolicy::kCleanUpAfterEach);
    ~CRequestContext();
    CRequestContext(const CRequestContext&) = delete;
    CRequestContext& operator=(const CRequestContext&) = delete;

    void SetNotifyWindow(platform::WindowHandle window) { m_notifyWindow = window; }
    // Caps the sending speed of the chunk uploads prepared from now on (bytes per second;
    // 0 or less: no cap).
    void SetSendSpeedLimit(int64_t bytesPerSecond) { m_sendSpeedLimit = bytesPerSecond; }
    // Caps the receiving speed of the requests prepared from now on (bytes per second; 0 or
    // less: no cap).
    void SetReceiveSpeedLimit(int64_t bytesPerSecond) { m_receiveSpeedLimit = bytesPerSecond; }
    // libcurl's receive buffer for the requests prepared from now on (0: libcurl's 16 KiB). A
    // download takes larger blocks: fewer calls of its write and progress hooks per byte.
    void SetReceiveBufferSize(long bytes) { m_receiveBufferSize = bytes; }
    platform::WindowHandle NotifyWindow() const;

    // Builds, performs and reads one request. `url` replaces the kind's URL (downloads).
    ServerReply performRequest(RequestKind kind, const RequestParams& params,
                               const Hooks& hooks = {});
    ServerReply performRequest(RequestKind kind, const RequestParams& params,
                               const std::string& url, const Hooks& hooks = {});
    // One chunk of a break-point upload: a multipart form with the part "file".
    ServerReply performUpload(const RequestParams& params, const std::string& fileName,
                              const char* data, size_t size, const Hooks& hooks = {});

    // The steps of performRequest, for tests that look at the handle between them.
    CURL* Prepare(RequestKind kind, const RequestParams& params, const std::string& url = {});
    void AttachChunk(const std::string& fileName, const char* data, size_t size);
    void SetHooks(Hooks hooks) { m_hooks = std::move(hooks); }
    CURLcode Perform();
    ServerReply Finish(CURLcode result);

    // A reply succeeds when "status" is 0 or "description" is "OK".
    static bool judgeReply(const Json::Value& reply);
    static bool ParseReply(const std::string& text, Json::Value& root);

private:
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t downTotal, curl_off_t downNow,
                          curl_off_t upTotal, curl_off_t upNow);
    static size_t ReadChunk(char* buffer, size_t size, size_t count, void* source);
    static int SeekChunk(void* source, curl_off_t offset, int origin);
    void Release();
    // The result as without a proxy: the proxy's "cannot reach the server" becomes 6 or 7.
    CURLcode ProxyOutcome(CURLcode result);

    struct ChunkSource {
        const char* data = nullptr;
        size_t size = 0;
        size_t offset = 0;
    };

    HandlePolicy m_policy;
    platform::WindowHandle m_notifyWindow = platform::kNoWindow;
    int64_t m_sendSpeedLimit = 0;
    int64_t m_receiveSpeedLimit = 0;
    long m_receiveBufferSize = 0;
    CURL* m_curl = nullptr;
    curl_slist* m_headerList = nullptr;
    curl_mime* m_mime = nullptr;
    std::string m_postText;  // the POST body must outlive the transfer
    std::string m_url;
    std::string m_reply;
    ChunkSource m_chunk;
    Hooks m_hooks;
    bool m_httpProxy = false;       // the request goes through an HTTP proxy
    bool m_relayedByProxy = false;  // the last response carried a Via header
};
