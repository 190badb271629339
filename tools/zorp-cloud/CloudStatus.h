#pragma once

// The "status" member of every reply. 0 is success; the client treats any other value as a
// refusal (unless "description" reads "OK") and keeps the number for its logs and end records.
enum CloudStatus : int {
    kStatusOk = 0,
    kStatusBadParameter = 102001,   // a parameter is missing or malformed
    kStatusBadSession = 102002,     // the session is not the one this server serves
    kStatusNotFound = 102003,       // no such file or folder, or no content to send
    kStatusBadName = 102004,        // empty, ".", "..", or holding "/" or "\"
    kStatusWrongBreakPoint = 102005,  // the chunk does not start where the server stands
    kStatusHashMismatch = 102006,   // the finished content does not have the claimed hash
    kStatusLocked = 102007,         // another application holds the file's lock
    kStatusQuotaExceeded = 102008,  // the upload would pass the disk's quota
    kStatusSizeMismatch = 102009,   // the chunk or the size does not fit the registered file
    kStatusConflict = 102010,       // a folder where a file is wanted, or the other way round
    kStatusBusy = 102011,           // another chunk of the same file is being received
    kStatusStorageError = 102012,   // the server could not write or read its store
};

inline const char* CloudStatusText(int status) {
    switch (status) {
        case kStatusOk: return "OK";
        case kStatusBadParameter: return "parameter missing or malformed";
        case kStatusBadSession: return "session invalid";
        case kStatusNotFound: return "file not found";
        case kStatusBadName: return "invalid name";
        case kStatusWrongBreakPoint: return "wrong break point";
        case kStatusHashMismatch: return "hash mismatch";
        case kStatusLocked: return "file locked";
        case kStatusQuotaExceeded: return "quota exceeded";
        case kStatusSizeMismatch: return "size mismatch";
        case kStatusConflict: return "name taken by another kind of entry";
        case kStatusBusy: return "upload busy";
        case kStatusStorageError: return "storage error";
        default: return "error";
    }
}
