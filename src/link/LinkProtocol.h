#pragma once

#include <cstddef>

// The link with the cloud disk's web page: every message type, in both directions. No type
// number of the link is written anywhere else.
//
// The rest of the protocol: LinkMessages.h (the records the page's messages carry),
// LinkDecoder.h (page to process: text to records), LinkEncoder.h (process to page: the exact
// bytes) and LinkRequestEncoder.h (the page's side: records to request messages).
namespace LinkProtocol {

// Page to process.
enum class In : int {
    kHello = 0,             // answered with Out::kHelloReply; the link counts as connected
    kQuit = 1,              // the page asks the process to quit
    kCookies = 2,           // the page's cookies replace ours
    kShowHide = 3,          // show or hide the floating drop window
    kShowManager = 4,       // show the transfer manager
    kGoOffline = 5,
    kGoOnline = 6,          // with the page's cookies
    kDownload = 7,          // files with address, local path and size
    kUpload = 8,            // local files and folders into a cloud folder
    kCancelUpload = 9,      // upload tasks of these fids go
    kLocalEdit = 10,        // open cloud files for local editing
    kBatchDownload = 11,    // cloud files and folders into a local folder
    kProxy = 12,            // the proxy setting; releases the start-up wait
    kEditNames = 13,        // the fid-to-name list of the local edits
    kOpenEditDir = 14,      // open the folder of left-over edits
    kClipboardCopy = 15,    // cloud files copied for a paste into a local folder
    kShowBackupConfig = 16, // show the backup settings window
};

// Process to page. 8 and 22 are not used.
enum class Out : int {
    kHelloReply = 0,         // reply to In::kHello
    kUploadNames = 1,        // update: uploads have started, with their names
    kDownloadNames = 2,      // update: downloads have started, with their names
    kUploadsFinished = 3,    // update: every upload has ended, finished names (may be empty)
    kDownloadsFinished = 4,  // update: every download has ended, finished names (may be empty)
    kUploadsFailed = 5,      // update: uploads ended with failures, at most 5 names
    kDownloadsFailed = 6,    // update: downloads ended with failures, at most 5 names
    kUploadsStarted = 7,     // simple: stored uploads have started
    kNothingToUpload = 9,    // simple: a dropped batch ended with nothing to upload
    kWindowHidden = 10,      // simple: the drop window was hidden from its menu
    kBatchInterrupted = 11,  // simple: a dropped batch ended after it had been interrupted
    kAllEnded = 12,          // simple: every transfer has ended (also when going offline)
    kCookiesReply = 13,      // reply to In::kCookies while nothing has been done yet
    kUploadCreated = 14,     // update: {fid, pid, info} an upload was created on the server
    kUploadProgress = 15,    // update: {fid, pid, size, position}
    kUploadComplete = 16,    // update: {fid, pid, info} the server holds the whole file
    kUploadRemoved = 17,     // update: {fid, pid} an upload task went, or a cancelled fid was unknown
    kFolderCreated = 18,     // update: {fid, pid, info} a folder was created on the server
    kEditDnldProgress = 19,  // update: {fid, size, position, name, token}
    kEditDnldDone = 20,      // update: {fid, name, token} the local-edit download completed
    kEditDnldFailed = 21,    // update: {fid, name, token} it did not
    kKeepAlive = 23,         // after 4,500 ms without events, and every update with nothing in it
};

constexpr int Number(In type) { return static_cast<int>(type); }
constexpr int Number(Out type) { return static_cast<int>(type); }

// The "type" of a batch or clipboard item that marks a file; any other value is a folder.
constexpr int kFileItem = 1;
// A failure update names at most this many files.
constexpr size_t kMaxFailedNames = 5;

// The state notices, which carry nothing but their type. A type outside this range queued as a
// simple message is logged and not sent.
constexpr bool IsSimple(Out type) {
    return type >= Out::kUploadsStarted && type <= Out::kAllEnded;
}
// Updates whose entries are names (sent between quotes).
constexpr bool IsNameUpdate(Out type) {
    return type >= Out::kUploadNames && type <= Out::kDownloadsFailed;
}
// Updates whose entries are JSON objects (sent between braces).
constexpr bool IsObjectUpdate(Out type) {
    return type >= Out::kUploadCreated && type <= Out::kEditDnldFailed;
}
// The end of a batch is news even without a name in it: these report an empty list instead of
// turning into the keep-alive.
constexpr bool ReportsEmptyList(Out type) {
    return type == Out::kUploadsFinished || type == Out::kDownloadsFinished;
}

}  // namespace LinkProtocol
