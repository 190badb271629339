#include "LockActions.h"

#include <ctime>

#include "ActionRequest.h"
#include "CloudStatus.h"
#include "Reply.h"
#include "UploadActions.h"

void LockActions::Lock(const httplib::Request& request, httplib::Response& response) {
    Change(request, response, true);
}

void LockActions::Unlock(const httplib::Request& request, httplib::Response& response) {
    Change(request, response, false);
}

void LockActions::Change(const httplib::Request& request, httplib::Response& response, bool lock) {
    ActionRequest in(request);
    int64_t fid = 0;
    if (!in.Number("fid", fid)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    const std::string key = in.Text("lockKey");
    const bool badType = lock && in.Text("lockType") != "1";
    if (key.empty() || badType) {
        return Reply::Error(response, kStatusBadParameter,
                            std::string("parameter missing or malformed: ") +
                                (key.empty() ? "lockKey" : "lockType"));
    }
    MetadataStore::Transaction transaction(m_context.metadata);
    auto record = m_context.metadata.Get(fid);
    if (!record || record->IsFolder()) {
        transaction.Rollback();
        return Reply::Error(response, kStatusNotFound);
    }
    // Another key's lock that has not lapsed keeps the file for its holder.
    const int64_t now = std::time(nullptr);
    if (!record->lockKey.empty() && record->lockUntil > now && record->lockKey != key) {
        transaction.Rollback();
        return Reply::Error(response, kStatusLocked);
    }
    if (lock) {
        record->lockKey = key;
        record->lockApp = in.Text("appName");
        record->lockUntil = now + UploadActions::kLockSeconds;
    } else {
        // Unlocking a file that is not (or no longer) locked succeeds: the goal is reached.
        record->lockKey.clear();
        record->lockApp.clear();
        record->lockUntil = 0;
    }
    if (!m_context.metadata.Update(*record)) {
        transaction.Rollback();
        return Reply::Error(response, kStatusStorageError);
    }
    Reply::Ok(response, Reply::FileData(record->ToJson()));
}
