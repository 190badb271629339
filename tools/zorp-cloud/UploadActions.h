#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "CloudContext.h"

// Break-point upload: registering a file (init) and receiving its chunks.
//
// A chunk is accepted only at the break point the server holds, and only whole: its bytes
// are written into the file's partial upload and the break point moves in the metadata after
// the body arrived complete, so a dropped connection or a crash of the server loses at most
// the chunk in flight. The content becomes visible only when the last chunk has arrived and
// the whole file hashes to the claimed hash. A chunk whose hash is already stored completes
// the file at once (instant upload).
class UploadActions {
public:
    static constexpr int64_t kLockSeconds = 180;  // the client renews its lock every 58 s
    static constexpr size_t kMaxChunkBody = (16u << 20) + 65536;

    explicit UploadActions(CloudContext& context) : m_context(context) {}

    void Init(const httplib::Request& request, httplib::Response& response);
    void Chunk(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader& reader);

    // A chunk refused before its body was read: the body is read away so the connection can
    // carry the next chunk (or, when it is too large to bother, closed after the reply).
    static void SkipUnreadBody(const httplib::Request& request, httplib::Response& response);

private:
    // Starts the upload of the record over (a new attempt, break point 0); returns the record
    // as stored afterwards.
    FileRecord Restart(const FileRecord& record);
    // The file's content is now `hash` (stored already, or just committed), provided attempt
    // `gen` is still the open one; its previous content is dropped when nothing else holds
    // it. Caller holds contentMutex. Returns a CloudStatus; `stored` gets the record.
    int MarkComplete(int64_t fid, int64_t gen, const std::string& hash, int64_t size,
                     FileRecord* stored);
    // Makes the state's hasher cover exactly [0, breakPoint) of the current attempt.
    bool PrepareHasher(UploadState& state, const FileRecord& record);
    void Finish(const std::shared_ptr<UploadState>& state, const FileRecord& record,
                const std::string& hash, httplib::Response& response);
    static void CloseAfterReply(httplib::Response& response);
    static void RefuseUnread(const httplib::Request& request, httplib::Response& response,
                             int status, const std::string& description,
                             const Json::Value& data = Json::Value());

    CloudContext& m_context;
};
