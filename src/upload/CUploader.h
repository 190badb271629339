#pragma once

#include <string>

#include "upload/CUploadParam.h"

// A worker that carries one upload task from the local file to the server.
class CUploader {
public:
    virtual ~CUploader() = default;
    virtual void SetParam(const CUploadParam& param) = 0;
    // The whole upload; returns the task's final state (TaskState).
    virtual int Upload() = 0;
    // Releases what a run holds (HTTP handle, file).
    virtual void Cleanup() {}
    virtual std::string GetName() const { return std::string(); }
};
