#include "UploadActions.h"

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <ctime>
#include <vector>

#include "ActionRequest.h"
#include "BlockHasher.h"
#include "CloudStatus.h"
#include "NameRules.h"
#include "Reply.h"

namespace {

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
