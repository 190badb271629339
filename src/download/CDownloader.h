#pragma once

#include <string>

#include "download/CDownloadParam.h"

// A worker that carries out one step of a download task: the header probe (CHeaderDownloader)
// or the transfer into the cache file (CEasyDownloader).
class CDownloader {
public:
    virtual ~CDownloader() = default;
    virtual void SetParam(const CDownloadParam& param) = 0;
    // The step; returns the task's state after it (TaskState).
    virtual int Download() = 0;
    virtual std::string GetName() const { return std::string(); }
};
