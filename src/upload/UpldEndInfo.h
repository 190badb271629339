#pragma once

#include <cstdint>

// The record of WM_UPLD_END. After a run without a server refusal the two values are the fid
// and the break point reached; otherwise both hold the same error code (the server's status of
// the refused chunk or initialisation, 11 for a chunk reply without file data). Equal values
// tell the two apart only by a guess (a tiny file can have a break point equal to its fid);
// `isErrorCode` says it for certain.
struct UpldEndInfo {
    int32_t taskIndex = -1;
    int64_t fid = 0;
    int64_t breakPoint = 0;
    bool isErrorCode = false;
};
