#include "UploadActions.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <chrono>
#include <ctime>
#include <vector>

#include "ActionRequest.h"
#include "BlockHasher.h"
#include "CloudStatus.h"
#include "ConnectionStream.h"
#include "MultipartBody.h"
#include "NameRules.h"
#include "Reply.h"

namespace {

constexpr auto kBusyWait = std::chrono::seconds(5);
// While an attempt's chunks keep arriving this closely, a chunk of other content is refused
// as busy instead of restarting it: two clients sending one name at once would otherwise
// restart each other for ever, and neither file would ever be complete.
constexpr auto kContendedWindow = std::chrono::seconds(2);

bool LockedByOther(const FileRecord& record, const std::string& key, int64_t now) {
    return !record.lockKey.empty() && record.lockUntil > now && record.lockKey != key;
}

}  // namespace

void UploadActions::Init(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t pid = 0;
    int64_t size = 0;
    int64_t fid = 0;
    if (!in.Number("pid", pid, 0) || !in.Number("size", size) || !in.Number("fid", fid, 0)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    if (!in.Has("name")) {
        return Reply::Error(response, kStatusBadParameter, "parameter missing or malformed: name");
    }
    if (pid < 0 || fid < 0 || size < 0) {
        return Reply::Error(response, kStatusBadParameter,
                            std::string("parameter missing or malformed: ") +
                                (size < 0 ? "size" : pid < 0 ? "pid" : "fid"));
    }
    const std::string name = in.Text("name");
    if (!NameRules::IsValidName(name)) {
        return Reply::Error(response, kStatusBadName);
    }
    const bool lockWanted = in.Text("lockType") == "1";
    const std::string lockKey = in.Text("lockKey");
    if (lockWanted && lockKey.empty()) {
        return Reply::Error(response, kStatusBadParameter, "parameter missing or malformed: lockKey");
    }
    // The client sends the hash only with chunks; one given here may complete the file now.
    const std::string hash = in.Text("hash");
    if (!hash.empty() && !BlockHasher::IsWellFormed(hash, size)) {
        return Reply::Error(response, kStatusBadParameter, "parameter missing or malformed: hash");
    }

    std::lock_guard<std::mutex> contentLock(m_context.contentMutex);
    std::optional<FileRecord> record;
    int64_t abandonedGen = -1;   // attempt whose partial data is dropped
    std::string previousHash;    // content the file held before, dropped when unused
    {
        MetadataStore::Transaction transaction(m_context.metadata);
        const int64_t now = std::time(nullptr);
        auto parent = m_context.metadata.Get(pid == 0 ? MetadataStore::RootFor(in.Share()) : pid);
        if (!parent || !parent->IsFolder()) {
            transaction.Rollback();
            return Reply::Error(response, kStatusNotFound, "parent folder not found");
        }
        if (fid > 0) {
            record = m_context.metadata.Get(fid);
            if (!record) {
                transaction.Rollback();
                return Reply::Error(response, kStatusNotFound);
            }
            if (record->IsFolder()) {
                transaction.Rollback();
                return Reply::Error(response, kStatusConflict);
            }
            if (record->pid != parent->id || record->name != name) {
                transaction.Rollback();
                return Reply::Error(response, kStatusBadParameter,
                                    "fid names another file than pid and name");
            }
        } else {
            record = m_context.metadata.FindChild(parent->id, name);
            if (record && record->IsFolder()) {
                transaction.Rollback();
                return Reply::Error(response, kStatusConflict, "a folder is named " + name);
            }
        }
        if (record && LockedByOther(*record, lockKey, now)) {
            transaction.Rollback();
            return Reply::Error(response, kStatusLocked);
        }
        if (m_context.config.quota >= 0 &&
            m_context.metadata.UsedBytes(record ? record->id : 0) + size > m_context.config.quota) {
            transaction.Rollback();
            return Reply::Error(response, kStatusQuotaExceeded);
        }

        if (!record) {
            FileRecord fresh;
            fresh.pid = parent->id;
            fresh.name = name;
            fresh.type = FileRecord::kTypeFile;
            fresh.share = parent->share;
            fresh.status = 0;
            fresh.uploadSize = size;
            fresh.uploadGen = 1;
            fresh.modified = now;
            record = m_context.metadata.Insert(fresh);
            if (!record) {
                transaction.Rollback();
                return Reply::Error(response, kStatusStorageError);
            }
        } else if (!(record->status == 0 && record->uploadSize == size)) {
            // Anything but the same unfinished upload starts a new attempt; a complete file
            // keeps serving its content until the new one is complete.
            abandonedGen = record->status == 0 ? record->uploadGen : -1;
            record->status = 0;
            record->uploadSize = size;
            record->uploadHash.clear();
            record->breakPoint = 0;
            ++record->uploadGen;
        }
        if (lockWanted) {
            record->lockKey = lockKey;
            record->lockApp = in.Text("appName");
            record->lockUntil = now + kLockSeconds;
        }
        const bool stored = !hash.empty() && m_context.content.HasObject(hash) &&
                            m_context.metadata.IsHashStored(hash);
        if (size == 0 || stored) {
            previousHash = record->hash;
            abandonedGen = record->uploadGen;
            record->status = 1;
            record->size = size;
            record->hash = size == 0 ? std::string() : hash;
            record->breakPoint = size;
            record->uploadHash.clear();
        }
        record->modified = now;
        if (!m_context.metadata.Update(*record)) {
            transaction.Rollback();
            return Reply::Error(response, kStatusStorageError);
        }
    }
    if (abandonedGen >= 0) {
        m_context.content.DiscardPartial(record->id, abandonedGen);
        m_context.uploads.Forget(record->id, abandonedGen);
    }
    if (!previousHash.empty() && previousHash != record->hash &&
        !m_context.metadata.IsHashStored(previousHash)) {
        m_context.content.RemoveObject(previousHash);
    }
    Reply::Ok(response, Reply::FileData(m_context.ReportFile(*record, "uploadInit")));
}

FileRecord UploadActions::Restart(const FileRecord& record) {
    FileRecord restarted = record;
    {
        MetadataStore::Transaction transaction(m_context.metadata);
        auto fresh = m_context.metadata.Get(record.id);
        if (!fresh) {
            return record;
        }
        restarted = *fresh;
        if (restarted.status == 0) {
            restarted.breakPoint = 0;
            restarted.uploadHash.clear();
            ++restarted.uploadGen;
            restarted.modified = std::time(nullptr);
            m_context.metadata.Update(restarted);
        }
    }
    m_context.content.DiscardPartial(record.id, record.uploadGen);
    m_context.uploads.Forget(record.id, record.uploadGen);
    return restarted;
}

int UploadActions::MarkComplete(int64_t fid, int64_t gen, const std::string& hash, int64_t size,
                                FileRecord* stored) {
    std::string previousHash;
    {
        MetadataStore::Transaction transaction(m_context.metadata);
        auto record = m_context.metadata.Get(fid);
        if (!record) {
            transaction.Rollback();
            return kStatusNotFound;
        }
        *stored = *record;
        if (record->status != 0 || record->uploadGen != gen) {
            transaction.Rollback();  // a new attempt began meanwhile; it decides the content
            return kStatusWrongBreakPoint;
        }
        previousHash = record->hash;
        record->status = 1;
        record->size = size;
        record->hash = hash;
        record->breakPoint = size;
        record->uploadHash.clear();
        record->modified = std::time(nullptr);
        if (!m_context.metadata.Update(*record)) {
            transaction.Rollback();
            return kStatusStorageError;
        }
        *stored = *record;
    }
    if (!previousHash.empty() && previousHash != hash &&
        !m_context.metadata.IsHashStored(previousHash)) {
        m_context.content.RemoveObject(previousHash);
    }
    return kStatusOk;
}

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

    // Receive the whole body; nothing is written before it is complete.
    auto* connection = ConnectionStream::Current();
    auto drop = m_context.faults.Take("upload", FaultInjector::Kind::kDrop);
    const size_t dropAt = drop ? static_cast<size_t>(drop->value) : SIZE_MAX;
    const bool chunkedBody =
        request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
    auto body = m_context.uploads.AcquireBuffer(
        length ? static_cast<size_t>(*length) : BlockHasher::kBlockSize + 4096);
    bool received = false;
    bool tooLarge = false;
    if (length && !chunkedBody && connection) {
        const size_t want = std::min(static_cast<size_t>(*length), dropAt);
        body->length = connection->ReadBody(body->bytes.data(), want);
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
        // before anything is stored or answered.
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
    if (!PrepareHasher(*state, *record)) {
        FileRecord restarted = Restart(*record);
        return Reply::Error(response, kStatusWrongBreakPoint, "upload restarted",
                            Reply::FileData(restarted.ToJson()));
    }
    if (!state->partial) {
        state->partial = m_context.content.OpenPartial(fid, record->uploadGen, breakPoint);
    }
    if (!state->partial || !ContentStore::WritePartial(state->partial, breakPoint,
                                                       body->data() + part->offset, part->size)) {
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
    m_context.uploads.QueueHash(state, body, part->offset, part->size);
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
    if (state->partial) {
        std::fclose(state->partial);
        state->partial = nullptr;
    }
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
