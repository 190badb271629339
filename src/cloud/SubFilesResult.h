#pragma once

#include <optional>
#include <vector>

#include "cloud/CloudFileEntry.h"
#include "cloud/ServerReply.h"

// The outcome of a get sub-files request: `ok` when the server accepted it. `files` holds
// every element of the listing in the server's order, folders and files, unfinished uploads
// too (CloudFileEntry::status); elements that are no object come out as default entries with
// an empty name. `root` is the root folder itself ("data" -> "root"), which the server sends
// only with the listing of folder 0.
struct SubFilesResult {
    ServerReply reply;
    bool ok = false;
    std::optional<CloudFileEntry> root;
    std::vector<CloudFileEntry> files;
};
