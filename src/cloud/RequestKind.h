#pragma once

#include <string>
#include <vector>

#include "core/Options.h"

// Every kind of request the client sends to the cloud server, with the header set and the
// options each one uses. The two functions below are the whole wire format at a glance; the
// request context (CRequestContext) applies them.
enum class RequestKind {
    kCreatePath,            // folder walk, folder-id request: 10 s in all
    kCreatePathUntimed,     // the dropped-folder comparison: no limit on the whole request
    kCreatePathPlainAgent,  // the backup change checker: "User-Agent: quorva"
    kGetSubFiles,
    kGetFile,
    kDeleteFile,
    kUploadInit,
    kUploadChunk,           // one chunk as a multipart form; parameters in the URL; a server
                            // that stalls a chunk for 15 s is given up (and retried)
    kLockFile,
    kUnlockFile,
    kDownload,              // the URL comes from the task; body goes to the caller's hook
    kDownloadProbe,         // header-only request with "Range: 0-0" to learn the size
    kNetworkCheck,          // the web host as a bare name: no cookie, no header list; 10 s in
                            // all, so that a server that accepts and never answers still
                            // ends the check
};

enum class HeaderSet {
    kNone,
    kForm,
    kFormPlainAgent,
    kListing,
    kUploadInit,
    kGetFile,
    kUploadData,
    kDownload,
};

enum class RequestMethod {
    kGet,            // parameters appended to the URL
    kPost,           // parameters as a form-encoded body
    kPostMultipart,  // parameters appended to the URL, a multipart form as body
    kHead,           // no body wanted
};

struct RequestTraits {
    const char* name;                          // for log lines
    std::string COptions::ServerUrls::*url;    // null: the caller gives the URL
    RequestMethod method;
    HeaderSet headers;
    long connectTimeoutSec;
    long totalTimeoutSec;    // 0: none
    bool lowSpeedAbort;      // give up below 1 byte/s over 15 s
    const char* userAgent;   // the user agent option, or null
    bool sendCookie;
    bool acceptGzip;         // libcurl asks for gzip and decodes it
    const char* range;       // the range option, or null
};

const RequestTraits& TraitsOf(RequestKind kind);

// The header lines of a set, in the order they are sent. The host lines come from the
// options' URL table ("Host web.<domain>" and "Host download.<domain>", without a colon: the
// server ignores them, libcurl sends the real Host header itself).
std::vector<std::string> HeaderLines(HeaderSet set, const COptions::ServerUrls& urls);
