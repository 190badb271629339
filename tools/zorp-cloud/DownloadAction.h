#pragma once

#include <httplib.h>

#include "CloudContext.h"

// GET and HEAD of a file's content on the download host. "&breakPoint=S" starts the body at
// byte S (the client resumes this way); a single "Range: bytes=a-b" is answered with 206 and
// Content-Range (the client probes the size with "bytes=0-0"). Content-Length is always sent.
// Errors are HTTP statuses with the JSON envelope as body, since the client judges a download
// by its HTTP status.
class DownloadAction {
public:
    static constexpr size_t kPieceSize = 256 * 1024;

    explicit DownloadAction(CloudContext& context) : m_context(context) {}

    void Get(const httplib::Request& request, httplib::Response& response);

private:
    CloudContext& m_context;
};
