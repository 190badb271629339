#pragma once

#include <json/value.h>

#include "cloud/CloudFileEntry.h"
#include "cloud/ServerReply.h"

// The outcome of a create path request: `ok` when the server accepted it and named the
// folder's id; `folder` is the deepest folder of the path (created or found), `file` the
// server's record of it as sent ("data" -> "file"), which the folder-created notice carries.
struct CreatePathResult {
    ServerReply reply;
    bool ok = false;
    CloudFileEntry folder;
    Json::Value file;
};
