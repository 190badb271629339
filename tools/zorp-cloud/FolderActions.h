#pragma once

#include <httplib.h>

#include "CloudContext.h"

// Folder and file-information actions: create path, get sub-files, get file, delete file,
// get file by name.
class FolderActions {
public:
    explicit FolderActions(CloudContext& context) : m_context(context) {}

    void CreatePath(const httplib::Request& request, httplib::Response& response);
    void GetSubFiles(const httplib::Request& request, httplib::Response& response);
    void GetFile(const httplib::Request& request, httplib::Response& response);
    void DeleteFile(const httplib::Request& request, httplib::Response& response);
    void GetFileByName(const httplib::Request& request, httplib::Response& response);

private:
    // The folder a "pid" names: 0 (or none) is the root of the space chosen by "share".
    std::optional<FileRecord> Folder(int64_t pid, bool share);

    CloudContext& m_context;
};
