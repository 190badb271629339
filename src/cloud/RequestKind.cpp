#include "cloud/RequestKind.h"

using Urls = COptions::ServerUrls;

const RequestTraits& TraitsOf(RequestKind kind) {
    using K = RequestKind;
    using M = RequestMethod;
    using H = HeaderSet;
    struct Row {
        RequestKind kind;
        RequestTraits traits;
    };
    // clang-format off
    static const Row kTable[] = {
    //   kind                      name             URL                          method            header set          connect total  slow   user agent cookie gzip   range
        {K::kCreatePath,           {"createPath",    &Urls::createPath,           M::kPost,         H::kForm,           5,      10,    false, nullptr,   true,  true,  nullptr}},
        {K::kCreatePathUntimed,    {"createPath",    &Urls::createPath,           M::kPost,         H::kForm,           5,      0,     false, nullptr,   true,  true,  nullptr}},
        {K::kCreatePathPlainAgent, {"createPath",    &Urls::createPath,           M::kPost,         H::kFormPlainAgent, 5,      10,    false, nullptr,   true,  true,  nullptr}},
        {K::kGetSubFiles,          {"getSubFiles",   &Urls::getSubFiles,          M::kGet,          H::kListing,        5,      10,    false, nullptr,   true,  true,  nullptr}},
        {K::kGetFile,              {"getFile",       &Urls::getFile,              M::kGet,          H::kGetFile,        5,      0,     false, "quorva",  true,  true,  nullptr}},
        {K::kDeleteFile,           {"deleteFile",    &Urls::deleteFile,           M::kPost,         H::kForm,           5,      0,     false, nullptr,   true,  true,  nullptr}},
        {K::kUploadInit,           {"uploadInit",    &Urls::breakPointUploadInit, M::kPost,         H::kUploadInit,     5,      0,     true,  "quorva",  true,  true,  nullptr}},
        {K::kUploadChunk,          {"upload",        &Urls::breakPointUpload,     M::kPostMultipart,H::kUploadData,     5,      0,     true,  "quorva",  true,  true,  nullptr}},
        {K::kLockFile,             {"lockFile",      &Urls::lockFile,             M::kPost,         H::kForm,           5,      0,     false, nullptr,   true,  true,  nullptr}},
        {K::kUnlockFile,           {"unlockFile",    &Urls::unlockFile,           M::kPost,         H::kForm,           5,      0,     false, nullptr,   true,  true,  nullptr}},
        {K::kDownload,             {"download",      nullptr,                     M::kGet,          H::kDownload,       15,     0,     true,  "quorva",  true,  true,  nullptr}},
        {K::kDownloadProbe,        {"downloadProbe", nullptr,                     M::kHead,         H::kNone,           10,     0,     true,  "quorva",  true,  false, "0-0"}},
        {K::kNetworkCheck,         {"networkCheck",  &Urls::webHost,              M::kGet,          H::kNone,           5,      10,    false, nullptr,   false, true,  nullptr}},
    };
    // clang-format on
    for (const auto& row : kTable) {
        if (row.kind == kind) {
            return row.traits;
        }
    }
    return kTable[0].traits;  // every kind has its row; unreachable
}

std::vector<std::string> HeaderLines(HeaderSet set, const Urls& urls) {
    switch (set) {
        case HeaderSet::kNone:
            return {};
        case HeaderSet::kForm:
            return {"Connection: keep-alive",
                    "Accept: */*",
                    "Content-Type: application/x-www-form-urlencoded;charset=UTF-8",
                    "Accept-Encoding: UTF-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: UTF-8",
                    "User-Agent: chrome quorva"};
        case HeaderSet::kFormPlainAgent:
            return {"Connection: keep-alive",
                    "Accept: */*",
                    "Content-Type: application/x-www-form-urlencoded;charset=UTF-8",
                    "Accept-Encoding: UTF-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: UTF-8",
                    "User-Agent: quorva"};
        case HeaderSet::kListing:
            return {urls.webHostLine,
                    "Connection: keep-alive",
                    "Accept: */*",
                    "X-Requested-With: XMLHttpRequest",
                    "User-Agent: chrome quorva",
                    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                    "Accept-Encoding: gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: GBK,utf-8"};
        case HeaderSet::kUploadInit:
            return {"Connection: keep-alive",
                    "Accept: */*",
                    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                    "Accept-Encoding: utf-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: utf-8"};
        case HeaderSet::kGetFile:
            return {"Connection: keep-alive",
                    "Accept: */*",
                    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                    "Accept-Encoding: utf-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: GBK,utf-8"};
        case HeaderSet::kUploadData:
            return {"Accept: */*",
                    "Connection: keep-alive",
                    "User-Agent: quorva",
                    "Accept-Encoding: utf-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: utf-8"};
        case HeaderSet::kDownload:
            return {urls.downloadHostLine,
                    "Connection: keep-alive",
                    "Accept: */*",
                    "User-Agent: chrome quorva",
                    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                    "Accept-Encoding: utf-8,gzip,deflate,sdch",
                    "Accept-Language: zh-CN,zh",
                    "Accept-Charset: GBK,utf-8"};
    }
    return {};
}
