// The chunk path of UploadActions: one chunk received, stored and recorded, and the file
// committed with its last chunk.
#include "UploadActions.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ActionRequest.h"
#include "BlockHasher.h"
#include "ChunkStreamWriter.h"
#include "CloudStatus.h"
#include "ConnectionStream.h"
#include "MultipartBody.h"
#include "Reply.h"

namespace {

constexpr auto kBusyWait = std::chrono::seconds(5);
// While an attempt's chunks keep arriving this closely, a chunk of other content is refused
// as busy instead of restarting it: two clients sending one name at once would otherwise
// restart each other for ever, and neither file would ever be complete.
constexpr auto kContendedWindow = std::chrono::seconds(2);

}  // namespace

bool UploadActions::PrepareHasher(UploadState& state, const FileRecord& record) {
    if (state.queuedTo == record.breakPoint) {
        return true;
    }
    // After a restart of the server (or a chunk refused half way) the hash of what is already
    // stored is rebuilt from the partial file once.
    m_context.uploads.WaitHashed(state);
    state.hasher.Reset();
    std::vector<char> block(BlockHasher::kBlockSize * 8);
    int64_t at = 0;
    while (at < record.breakPoint) {
        size_t take = static_cast<size_t>(std::min<int64_t>(block.size(), record.breakPoint - at));
        if (!m_context.content.ReadPartial(record.id, record.uploadGen, at, take, block.data())) {
            state.queuedTo = -1;
            return false;
        }
        state.hasher.Update(block.data(), take);
        at += static_cast<int64_t>(take);
    }
    state.queuedTo = record.breakPoint;
    return true;
}

void UploadActions::CloseAfterReply(httplib::Response& response) {
    if (auto* connection = ConnectionStream::Current()) {
        connection->CloseAfterReply();
    }
    response.set_header("Connection", "close");
}

void UploadActions::SkipUnreadBody(const httplib::Request& request, httplib::Response& response) {
    auto* connection = ConnectionStream::Current();
    auto length = ActionRequest::ParseNumber(request.get_header_value("Content-Length"));
    const bool chunkedBody =
        request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
    if (connection && length && !chunkedBody && *length >= 0 &&
        *length <= static_cast<int64_t>(kMaxChunkBody) &&
        connection->DiscardBody(static_cast<size_t>(*length))) {
        return;
    }
    CloseAfterReply(response);
}

void UploadActions::RefuseUnread(const httplib::Request& request, httplib::Response& response,
                                 int status, const std::string& description,
                                 const Json::Value& data) {
    Reply::Error(response, status, description, data);
    SkipUnreadBody(request, response);
}

void UploadActions::Chunk(const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) {
    ActionRequest in(request);
    int64_t fid = 0;
    int64_t breakPoint = 0;
    int64_t size = 0;
    if (!in.Number("fid", fid) || !in.Number("breakPoint", breakPoint) ||
        !in.Number("size", size)) {
        return RefuseUnread(request, response, kStatusBadParameter, in.BadParameterText());
    }
    if (fid <= 0 || breakPoint < 0 || size <= 0) {
        return RefuseUnread(request, response, kStatusBadParameter,
                            std::string("parameter missing or malformed: ") +
                                (fid <= 0 ? "fid" : breakPoint < 0 ? "breakPoint" : "size"));
    }
    const std::string hash = in.Text("hash");
    const std::string boundary =
        MultipartBody::Boundary(request.get_header_value("X-Multipart-Content-Type"));
    if (boundary.empty()) {
        return RefuseUnread(request, response, kStatusBadParameter, "multipart body expected");
    }
    auto length = ActionRequest::ParseNumber(request.get_header_value("Content-Length"));
    if (length && *length > static_cast<int64_t>(kMaxChunkBody)) {
        return RefuseUnread(request, response, kStatusSizeMismatch, "chunk too large");
    }

    auto record = m_context.metadata.Get(fid);
    if (!record) {
        return RefuseUnread(request, response, kStatusNotFound, CloudStatusText(kStatusNotFound));
    }
    if (record->IsFolder()) {
        return RefuseUnread(request, response, kStatusConflict, CloudStatusText(kStatusConflict));
    }
    if (record->IsComplete()) {
        // A repeated last chunk, or a client that missed the completing reply.
        if (record->hash == hash) {
            Reply::Ok(response, Reply::FileData(m_context.ReportFile(*record, "upload")));
            return SkipUnreadBody(request, response);
        }
        return RefuseUnread(request, response, kStatusWrongBreakPoint, "upload not initialised",
                            Reply::FileData(record->ToJson()));
    }
    if (!BlockHasher::IsWellFormed(hash, size)) {
        return RefuseUnread(request, response, kStatusBadParameter, "parameter missing or malformed: hash");
    }
    if (size != record->uploadSize) {
        return RefuseUnread(request, response, kStatusSizeMismatch, CloudStatusText(kStatusSizeMismatch));
    }

    const int64_t gen = record->uploadGen;
    auto state = m_context.uploads.Get(fid, gen);
    // A client that retries after a broken connection can be here before the request of that
    // connection has let go of the file: give it a moment before calling the file busy.
    std::unique_lock<std::timed_mutex> busy(state->busy, std::defer_lock);
    if (!busy.try_lock_for(kBusyWait)) {
        return RefuseUnread(request, response, kStatusBusy, CloudStatusText(kStatusBusy));
    }
    record = m_context.metadata.Get(fid);  // as it stands now that this chunk owns the attempt
    if (!record || record->IsComplete() || record->uploadGen != gen ||
        record->uploadSize != size) {
        return RefuseUnread(request, response, kStatusWrongBreakPoint, CloudStatusText(kStatusWrongBreakPoint),
                            record ? Reply::FileData(record->ToJson()) : Json::Value());
    }
    if (!record->uploadHash.empty() && record->uploadHash != hash && record->breakPoint > 0 &&
        std::chrono::steady_clock::now() - state->lastAccepted < kContendedWindow) {
        return RefuseUnread(request, response, kStatusBusy, "another upload of this file is under way",
                            Reply::FileData(m_context.ReportFile(*record, "upload")));
    }
    if ((!record->uploadHash.empty() && record->uploadHash != hash) ||
        (!state->partial &&
         m_context.content.PartialSize(fid, record->uploadGen) < record->breakPoint)) {
        // Other content than the bytes held so far, or those bytes are gone: start over.
        FileRecord restarted = Restart(*record);
        return RefuseUnread(request, response, kStatusWrongBreakPoint, "upload restarted",
                            Reply::FileData(restarted.ToJson()));
    }
    if (breakPoint != record->breakPoint) {
        return RefuseUnread(request, response, kStatusWrongBreakPoint, CloudStatusText(kStatusWrongBreakPoint),
                            Reply::FileData(m_context.ReportFile(*record, "upload")));
    }
    {
        std::lock_guard<std::mutex> contentLock(m_context.contentMutex);
        if (m_context.content.HasObject(hash) && m_context.metadata.IsHashStored(hash)) {
            FileRecord stored;
            const int status = MarkComplete(fid, gen, hash, size, &stored);
            if (status != kStatusOk) {
                return RefuseUnread(request, response, status, CloudStatusText(status),
                                    Reply::FileData(stored.ToJson()));
            }
            m_context.content.DiscardPartial(fid, record->uploadGen);
            m_context.uploads.Forget(fid, record->uploadGen);
            Reply::Ok(response, Reply::FileData(m_context.ReportFile(stored, "upload")));
            return SkipUnreadBody(request, response);
        }
    }
    if (m_context.config.quota >= 0 &&
        m_context.metadata.UsedBytes(fid) + size > m_context.config.quota) {
        return RefuseUnread(request, response, kStatusQuotaExceeded, CloudStatusText(kStatusQuotaExceeded));
    }

    if (!PrepareHasher(*state, *record)) {
        FileRecord restarted = Restart(*record);
        return RefuseUnread(request, response, kStatusWrongBreakPoint, "upload restarted",
                            Reply::FileData(restarted.ToJson()));
    }
    if (!state->partial) {
        state->partial = m_context.content.OpenPartial(fid, record->uploadGen, breakPoint);
    }
    if (!state->partial) {
        return RefuseUnread(request, response, kStatusStorageError, CloudStatusText(kStatusStorageError));
    }

    // Receive the whole body, storing the content as it comes; the break point moves only
    // once the chunk is whole and well formed.
    auto* connection = ConnectionStream::Current();
    auto drop = m_context.faults.Take("upload", FaultInjector::Kind::kDrop);
    const size_t dropAt = drop ? static_cast<size_t>(drop->value) : SIZE_MAX;
    const bool chunkedBody =
        request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
    auto body = m_context.uploads.AcquireBuffer(
        length ? static_cast<size_t>(*length) : BlockHasher::kBlockSize + 4096);
    bool received = false;
    bool tooLarge = false;
    ChunkStreamWriter writer(state->partial.get(), breakPoint, size,
                             length ? static_cast<size_t>(*length) : 0, boundary);
    if (length && !chunkedBody && connection) {
        const size_t want = std::min(static_cast<size_t>(*length), dropAt);
        body->length = connection->ReadBody(body->bytes.data(), want, [&](size_t have) {
            writer.Arrived(body->bytes.data(), have);
        });
        received = body->length == static_cast<size_t>(*length);
    } else {
        received = reader([&](const char* data, size_t n) {
            if (body->length + n > kMaxChunkBody) {
                tooLarge = true;
                return false;
            }
            const size_t take = std::min(n, dropAt - body->length);
            if (body->bytes.size() < body->length + take) {
                body->bytes.resize(std::max(body->bytes.size() * 2, body->length + take));
            }
            std::memcpy(body->bytes.data() + body->length, data, take);
            body->length += take;
            return body->length < dropAt;
        });
    }
    if (drop) {
        // Cut after the fault's byte count (or after the whole body when it is shorter),
        // before the chunk counts or is answered: what it stored lies past the break point.
        if (connection) {
            connection->Drop();
        }
        return;
    }
    if (!received) {
        // Part of the body was read: the rest cannot be found again on this connection.
        Reply::Error(response, tooLarge ? kStatusSizeMismatch : kStatusBadParameter,
                     tooLarge ? "chunk too large" : "chunk body incomplete");
        return CloseAfterReply(response);
    }
    const std::string_view bodyText(body->data(), body->length);
    auto part = MultipartBody::Find(bodyText, boundary, "file");
    if (!part) {
        return Reply::Error(response, kStatusBadParameter, "no multipart part named file");
    }
    if (part->size == 0 || breakPoint + static_cast<int64_t>(part->size) > size) {
        return Reply::Error(response, kStatusSizeMismatch,
                            part->size == 0 ? "empty chunk" : "chunk passes the file size");
    }
    if (!writer.Complete(body->data(), *part)) {
        return Reply::Error(response, kStatusStorageError, CloudStatusText(kStatusStorageError));
    }

    const int64_t advancedTo = breakPoint + static_cast<int64_t>(part->size);
    if (!m_context.metadata.AdvanceBreakPoint(fid, record->uploadGen, breakPoint, advancedTo,
                                              hash)) {
        auto fresh = m_context.metadata.Get(fid);
        if (!fresh) {
            // Deleted while the chunk arrived: remove what this chunk wrote.
            m_context.content.DiscardPartial(fid, record->uploadGen);
            m_context.uploads.Forget(fid, record->uploadGen);
            return Reply::Error(response, kStatusNotFound, CloudStatusText(kStatusNotFound));
        }
        return Reply::Error(response, kStatusWrongBreakPoint, CloudStatusText(kStatusWrongBreakPoint),
                            Reply::FileData(fresh->ToJson()));
    }
    FileRecord advanced = *record;
    advanced.breakPoint = advancedTo;
    advanced.uploadHash = hash;
    // The disk work and the hash of this chunk run once its reply is out, while the client
    // prepares the next chunk; the last chunk needs the hash at once.
    auto hashJob = m_context.uploads.QueueHash(state, body, part->offset, part->size);
    if (advanced.breakPoint < size && connection) {
        connection->AfterReply([file = state->partial] { file->SendBehind(); });
        if (hashJob) {
            connection->AfterReply(std::move(hashJob));
        }
    } else if (hashJob) {
        hashJob();
    }
    state->queuedTo = advanced.breakPoint;
    state->lastAccepted = std::chrono::steady_clock::now();

    if (advanced.breakPoint < size) {
        return Reply::Ok(response, Reply::FileData(m_context.ReportFile(advanced, "upload")));
    }
    Finish(state, advanced, hash, response);
}

void UploadActions::Finish(const std::shared_ptr<UploadState>& state, const FileRecord& record,
                           const std::string& hash, httplib::Response& response) {
    m_context.uploads.WaitHashed(*state);
    const std::string computed = state->hasher.Finish();
    state->queuedTo = -1;
    if (computed != hash) {
        FileRecord restarted = Restart(record);
        return Reply::Error(response, kStatusHashMismatch, CloudStatusText(kStatusHashMismatch),
                            Reply::FileData(restarted.ToJson()));
    }
    state->partial.reset();
    std::lock_guard<std::mutex> contentLock(m_context.contentMutex);
    if (!m_context.content.CommitPartial(record.id, record.uploadGen, hash)) {
        return Reply::Error(response, kStatusStorageError, CloudStatusText(kStatusStorageError));
    }
    FileRecord stored;
    const int status = MarkComplete(record.id, record.uploadGen, hash, record.uploadSize, &stored);
    if (status != kStatusOk) {
        // Deleted or started over meanwhile: the content just stored may have no holder.
        if (!m_context.metadata.IsHashStored(hash)) {
            m_context.content.RemoveObject(hash);
        }
        m_context.uploads.Forget(record.id, record.uploadGen);
        return Reply::Error(response, status, CloudStatusText(status),
                            stored.id != 0 ? Reply::FileData(stored.ToJson()) : Json::Value());
    }
    m_context.uploads.Forget(record.id, record.uploadGen);
    Reply::Ok(response, Reply::FileData(m_context.ReportFile(stored, "upload")));
}
