#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"
#include "localedit/LocalEditMgr.h"

// The elements of the page's messages, member for member as the page writes them. A member the
// page leaves out, or sends with the wrong JSON type, reads as 0 or "".
namespace LinkProtocol {

// "values" of In::kCookies and In::kGoOnline.
struct Cookie {
    std::string domain;
    std::string name;
    std::string value;
    std::string path;
    bool operator==(const Cookie&) const = default;
};

// "files" of In::kDownload: one file from an address into a local path.
struct DownloadObject {
    int64_t size = 0;
    std::string url;
    std::string path;  // the local target, absolute
    bool operator==(const DownloadObject&) const = default;
};

// "files" of In::kUpload: local files and folders into one cloud folder.
struct UploadObject {
    int64_t pid = 0;  // the target folder
    int32_t share = 0;
    std::vector<std::string> paths;
    bool operator==(const UploadObject&) const = default;
};

// "files" of In::kCancelUpload. The page writes the fids as decimal strings.
struct CancelObject {
    std::vector<int64_t> fids;
    int32_t remove = 0;  // 1: report the fids no upload task holds
    bool operator==(const CancelObject&) const = default;
};

// "files" of In::kLocalEdit: one cloud file to open for editing, as the local edit manager
// keeps it (the token is the page's "token", any JSON, as compact JSON text with its newline).
using LocalEditObject = LocalEditMgr::EditRequest;

// "files" of a BatchObject: a cloud file or folder.
struct BatchItem {
    int64_t fid = 0;
    std::string name;
    int32_t type = 0;  // kFileItem for a file, anything else is a folder
    int32_t share = 0;
    int64_t size = 0;  // read for files only
    bool IsFile() const { return type == kFileItem; }
    bool operator==(const BatchItem&) const = default;
};

// "files" of In::kBatchDownload: cloud files and folders into one local folder.
struct BatchObject {
    std::string path;  // the local target folder, absolute
    std::vector<BatchItem> files;
    bool operator==(const BatchObject&) const = default;
};

// The items of In::kClipboardCopy (its "files" are groups, each with "files" of these).
struct ClipboardItem {
    int64_t fid = 0;
    std::string name;
    int32_t share = 0;
    int32_t type = 0;  // kFileItem for a file
    int64_t size = 0;  // read for files only
    bool IsFile() const { return type == kFileItem; }
    bool operator==(const ClipboardItem&) const = default;
};

// "files" of In::kEditNames.
using EditNameEntry = LocalEditMgr::FidName;

}  // namespace LinkProtocol
