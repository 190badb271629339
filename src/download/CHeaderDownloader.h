#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "download/CDownloader.h"

class CDownloaderMgr;

// The header probe of a download whose size is not known: one header-only request for the
// task's URL ("Range: 0-0"), whose reply gives the HTTP status and the file's size (the total
// of Content-Range for 206, Content-Length for 200 and 416). Sizes are read as 64-bit numbers.
// On success the size is written into the job's parameters; on failure the task ends failed
// with the server's status line or libcurl's error text. A pause or stop during the probe ends
// the request and leaves the task paused or destroyed.
//
// Run on the job's worker thread, synchronously:
//     CHeaderDownloader probe(task, &jobParam);
//     probe.SetParam(jobParam);
//     probe.Download();
//     if (probe.Succeeded()) { ... jobParam.size ... }
class CHeaderDownloader : public CDownloader {
public:
    CHeaderDownloader(std::shared_ptr<CDownloaderMgr> task, CDownloadParam* resultTarget);

    void SetParam(const CDownloadParam& param) override { m_param = param; }
    int Download() override;
    std::string GetName() const override { return "HeaderDownloader"; }

    bool Succeeded() const { return m_success; }
    // What the reply said (for tests and logs).
    long GetHttpCode() const { return m_httpCode; }
    int64_t GetContentLength() const { return m_contentLength; }
    int64_t GetRangeTotal() const { return m_rangeTotal; }
    bool RangesAccepted() const { return m_rangesAccepted; }
    const std::string& GetStatusText() const { return m_statusText; }

    // The parser of one header line (any line, status lines included).
    void OnHeaderLine(std::string_view line);

private:
    bool ProcessProgress();
    int PostProcess(CURLcode result);
    void JudgeReply();
    void ClearResult();

    std::shared_ptr<CDownloaderMgr> m_task;
    CDownloadParam m_param;
    CDownloadParam* m_resultTarget;
    long m_httpCode = 0;
    int64_t m_contentLength = -1;  // -1: no Content-Length header
    bool m_rangesAccepted = false;
    std::string m_contentType;
    std::string m_statusText;
    int64_t m_rangeTotal = -1;  // -1: no Content-Range with a total
    bool m_success = false;
};
