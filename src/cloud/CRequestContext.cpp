#include "cloud/CRequestContext.h"

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/CommonUtils.h"
#include "cloud/JsonFields.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"

namespace {

void EnsureCurlGlobal() {
    // The program entry initialises libcurl first; this covers tools and tests.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CRequestContext::CRequestContext(HandlePolicy policy) : m_policy(policy) { EnsureCurlGlobal(); }

CRequestContext::~CRequestContext() {
    Release();
    if (m_curl) {
        curl_easy_cleanup(m_curl);
    }
}

platform::WindowHandle CRequestContext::NotifyWindow() const {
    return m_notifyWindow != platform::kNoWindow ? m_notifyWindow
                                                 : COptions::GetInstance().m_hDndWnd.load();
}

CURL* CRequestContext::Prepare(RequestKind kind, const RequestParams& params,
                               const std::string& url) {
    const RequestTraits& traits = TraitsOf(kind);
    const COptions& options = COptions::GetInstance();
    const COptions::ServerUrls urls = options.GetUrls();
    Release();
    if (!m_curl) {
        m_curl = curl_easy_init();
    } else {
        curl_easy_reset(m_curl);  // keeps the connection and DNS caches
    }
    if (!m_curl) {
        return nullptr;
    }
    m_reply.clear();
    m_hooks = Hooks();

    m_url = !url.empty() ? url : (traits.url ? urls.*traits.url : std::string());
    if (kind != RequestKind::kNetworkCheck && (traits.method == RequestMethod::kGet ||
                                               traits.method == RequestMethod::kPostMultipart)) {
        m_url += params.Text();
    }
    curl_easy_setopt(m_curl, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_curl, CURLOPT_VERBOSE, 0L);
    // Worker threads: time-outs must not use signals.
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, traits.connectTimeoutSec);
    if (traits.totalTimeoutSec > 0) {
        curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, traits.totalTimeoutSec);
    }
    if (traits.lowSpeedAbort) {
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, FixedDelays::Seconds(FixedDelay::kChunkStall));
    }
    if (m_receiveSpeedLimit > 0) {
        curl_easy_setopt(m_curl, CURLOPT_MAX_RECV_SPEED_LARGE,
                         static_cast<curl_off_t>(m_receiveSpeedLimit));
    }
    if (m_receiveBufferSize > 0) {
        curl_easy_setopt(m_curl, CURLOPT_BUFFERSIZE, m_receiveBufferSize);
    }
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &CRequestContext::OnBody);
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
    m_httpProxy = false;
    if (options.ShouldUseProxy()) {
        const std::string proxy = options.GetProxy();
        curl_easy_setopt(m_curl, CURLOPT_PROXY, proxy.c_str());  // libcurl copies it
        m_httpProxy = proxy.rfind("socks", 0) != 0;  // libcurl's default scheme is HTTP
    }
    if (traits.acceptGzip) {
        curl_easy_setopt(m_curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    }
    if (traits.sendCookie) {
        const std::string cookies = options.GetCookieString();
        if (!cookies.empty()) {
            curl_easy_setopt(m_curl, CURLOPT_COOKIE, cookies.c_str());  // libcurl copies it
        }
    }
    if (traits.userAgent) {
        curl_easy_setopt(m_curl, CURLOPT_USERAGENT, traits.userAgent);
    }
    if (traits.range) {
        curl_easy_setopt(m_curl, CURLOPT_RANGE, traits.range);
    }
    switch (traits.method) {
        case RequestMethod::kPost:
            m_postText = params.Text();
            curl_easy_setopt(m_curl, CURLOPT_POST, 1L);
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, m_postText.data());
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(m_postText.size()));
            break;
        case RequestMethod::kHead:
            curl_easy_setopt(m_curl, CURLOPT_NOBODY, 1L);
            break;
        case RequestMethod::kPostMultipart:
            if (m_sendSpeedLimit > 0) {
                curl_easy_setopt(m_curl, CURLOPT_MAX_SEND_SPEED_LARGE,
                                 static_cast<curl_off_t>(m_sendSpeedLimit));
                // libcurl paces between sends of its buffer; a chunk that fits in one send
                // would leave at full speed.
                curl_easy_setopt(m_curl, CURLOPT_UPLOAD_BUFFERSIZE, kPacedBufferSize);
            } else {
                curl_easy_setopt(m_curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
            }
            break;
        case RequestMethod::kGet:
            break;
    }
    for (const auto& line : HeaderLines(traits.headers, urls)) {
        m_headerList = curl_slist_append(m_headerList, line.c_str());
    }
    if (m_headerList) {
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headerList);
    }
    return m_curl;
}

void CRequestContext::AttachChunk(const std::string& fileName, const char* data, size_t size) {
    if (!m_curl) {
        return;
    }
    m_mime = curl_mime_init(m_curl);
    curl_mimepart* part = curl_mime_addpart(m_mime);
    curl_mime_name(part, "file");
    curl_mime_filename(part, fileName.c_str());
    // Read from the caller's buffer (which outlives the transfer) instead of letting libcurl
    // copy each chunk: a fresh 128 KiB allocation per request costs page faults and, when the
    // heap shrinks back, a TLB flush on every core.
    m_chunk = {data, size, 0};
    curl_mime_data_cb(part, static_cast<curl_off_t>(size), &CRequestContext::ReadChunk,
                      &CRequestContext::SeekChunk, nullptr, &m_chunk);
    curl_easy_setopt(m_curl, CURLOPT_MIMEPOST, m_mime);
}

size_t CRequestContext::ReadChunk(char* buffer, size_t size, size_t count, void* source) {
    auto* chunk = static_cast<ChunkSource*>(source);
    const size_t n = std::min(size * count, chunk->size - chunk->offset);
    std::memcpy(buffer, chunk->data + chunk->offset, n);
    chunk->offset += n;
    return n;
}

int CRequestContext::SeekChunk(void* source, curl_off_t offset, int origin) {
    auto* chunk = static_cast<ChunkSource*>(source);
    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > chunk->size) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    chunk->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

CURLcode CRequestContext::Perform() {
    if (!m_curl) {
        return CURLE_FAILED_INIT;
    }
    m_relayedByProxy = false;
    if (m_hooks.header || m_httpProxy) {
        curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, &CRequestContext::OnHeader);
        curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, this);
    }
    if (m_hooks.progress) {
        curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, &CRequestContext::OnProgress);
        curl_easy_setopt(m_curl, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(m_curl, CURLOPT_NOPROGRESS, 0L);
    }
    CURLcode result = ProxyOutcome(curl_easy_perform(m_curl));
    if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_CONNECT) {
        platform::PostMessage(NotifyWindow(), WM_NETWORK_ERROR);
    }
    if (result != CURLE_OK) {
        VLOGF(1, "CRequestContext::Perform - %s: (%d)%s", m_url.c_str(), static_cast<int>(result),
              curl_easy_strerror(result));
    }
    return result;
}

CURLcode CRequestContext::ProxyOutcome(CURLcode result) {
    CURLcode unreachable = result;
    if (result == CURLE_COULDNT_RESOLVE_PROXY) {
        unreachable = CURLE_COULDNT_RESOLVE_HOST;
    } else if (result == CURLE_PROXY) {
        // The SOCKS proxy's reply: it could not resolve the name, or reach the server.
        long detail = CURLPX_OK;
        curl_easy_getinfo(m_curl, CURLINFO_PROXY_ERROR, &detail);
        unreachable = detail == CURLPX_RESOLVE_HOST ? CURLE_COULDNT_RESOLVE_HOST
                                                    : CURLE_COULDNT_CONNECT;
    } else if (m_httpProxy && result != CURLE_COULDNT_RESOLVE_HOST &&
               result != CURLE_COULDNT_CONNECT) {
        // An HTTP proxy answers for a server it cannot reach with an error page of its own:
        // a gateway status, or a server error that it did not relay (a relayed response
        // carries the proxy's Via header). The server's own errors come relayed.
        long code = 0;
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code);
        if (code == 502 || code == 503 || code == 504 || (code >= 500 && !m_relayedByProxy)) {
            unreachable = CURLE_COULDNT_CONNECT;
        }
    }
    if (unreachable != result) {
        VLOGF(1, "CRequestContext::Perform - %s: the proxy cannot reach the server: (%d)%s",
              m_url.c_str(), static_cast<int>(result), curl_easy_strerror(result));
    }
    return unreachable;
}

ServerReply CRequestContext::Finish(CURLcode result) {
    ServerReply reply;
    reply.result = result;
    if (m_curl) {
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &reply.httpCode);
    }
    reply.text.swap(m_reply);
    reply.parsed = !reply.text.empty() && ParseReply(reply.text, reply.root);
    Release();
    if (m_policy == HandlePolicy::kCleanUpAfterEach && m_curl) {
        curl_easy_cleanup(m_curl);
        m_curl = nullptr;
    }
    return reply;
}

void CRequestContext::Release() {
    if (m_headerList) {
        curl_slist_free_all(m_headerList);
        m_headerList = nullptr;
    }
    if (m_mime) {
        curl_mime_free(m_mime);
        m_mime = nullptr;
    }
    m_postText.clear();
}

ServerReply CRequestContext::performRequest(RequestKind kind, const RequestParams& params,
                                            const Hooks& hooks) {
    return performRequest(kind, params, std::string(), hooks);
}

ServerReply CRequestContext::performRequest(RequestKind kind, const RequestParams& params,
                                            const std::string& url, const Hooks& hooks) {
    if (!Prepare(kind, params, url)) {
        return Finish(CURLE_FAILED_INIT);
    }
    SetHooks(hooks);
    return Finish(Perform());
}

ServerReply CRequestContext::performUpload(const RequestParams& params,
                                           const std::string& fileName, const char* data,
                                           size_t size, const Hooks& hooks) {
    if (!Prepare(RequestKind::kUploadChunk, params)) {
        return Finish(CURLE_FAILED_INIT);
    }
    AttachChunk(fileName, data, size);
    SetHooks(hooks);
    return Finish(Perform());
}

bool CRequestContext::judgeReply(const Json::Value& reply) {
    if (!reply.isObject()) {
        return false;
    }
    if (JsonFields::WholeNumber(JsonFields::Member(reply, "status")) == 0) {
        return true;
    }
    return JsonFields::Text(JsonFields::Member(reply, "description")) == "OK";
}

bool CRequestContext::ParseReply(const std::string& text, Json::Value& root) {
    return CommonUtils::ParseJson(text, root);
}

size_t CRequestContext::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* context = static_cast<CRequestContext*>(self);
    const size_t bytes = size * count;
    if (context->m_hooks.body) {
        return context->m_hooks.body(data, bytes) ? bytes : 0;
    }
    if (context->m_hooks.admit && !context->m_hooks.admit(bytes)) {
        return 0;
    }
    context->m_reply.append(data, bytes);
    return bytes;
}

size_t CRequestContext::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* context = static_cast<CRequestContext*>(self);
    const size_t bytes = size * count;
    const std::string_view line(data, bytes);
    if (context->m_httpProxy) {
        // Each response (a redirect's, an interim one) starts with its status line; what
        // counts is whether the last one came relayed.
        if (line.rfind("HTTP/", 0) == 0) {
            context->m_relayedByProxy = false;
        } else if (line.size() > 4 && std::tolower(static_cast<unsigned char>(line[0])) == 'v' &&
                   std::tolower(static_cast<unsigned char>(line[1])) == 'i' &&
                   std::tolower(static_cast<unsigned char>(line[2])) == 'a' && line[3] == ':') {
            context->m_relayedByProxy = true;
        }
    }
    if (context->m_hooks.header) {
        context->m_hooks.header(line);
    }
    return bytes;
}

int CRequestContext::OnProgress(void* self, curl_off_t downTotal, curl_off_t downNow,
                                curl_off_t upTotal, curl_off_t upNow) {
    auto* context = static_cast<CRequestContext*>(self);
    return context->m_hooks.progress(downTotal, downNow, upTotal, upNow) ? 0 : 1;
}
