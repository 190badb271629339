#pragma once

#include "cloud/ServerReply.h"
#include "cloud/UploadFileRecord.h"

// The outcome of an upload init, get file or chunk request. `readable`: the reply is a JSON
// object; `ok`: readable and accepted (judgeReply); a refusal's code is reply.Status() (-1
// when it sent none) and its text reply.Description(). `file` is read from every readable
// reply: a refused chunk still names the server's break point.
struct UploadFileResult {
    ServerReply reply;
    bool readable = false;
    bool ok = false;
    UploadFileRecord file;
};
