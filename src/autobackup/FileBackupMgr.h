#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

#include "platform/CriticalSection.h"

// The process-wide store of upload work that was asked for but not yet handed to the upload
// queue. The link thread deposits the page's upload requests and cancellations here; the
// dispatcher takes them out on the window thread after the window message arrives. Every
// member is guarded by one critical section, since both threads touch them.
class FileBackupMgr {
public:
    // A work request is keyed by the cloud folder that receives the files and its share flag.
    struct RequestKey {
        int64_t pid = 0;
        int32_t share = 0;
        auto operator<=>(const RequestKey&) const = default;
    };
    using RequestMap = std::map<RequestKey, std::vector<std::filesystem::path>>;

    static FileBackupMgr& GetInstance();
    virtual ~FileBackupMgr() = default;

    // Appends the paths to the pending request of the key, or adds the key with them.
    void addWorkRequest(const RequestKey& key, const std::vector<std::filesystem::path>& paths);
    RequestMap getPendingRequests() const;
    bool hasPendingRequests() const;

    // Upload cancellations: the fids are added to the cancel list; the remove flag (1 = report
    // the fids that no task holds) is the one of the latest request.
    void addCancelFids(const std::vector<int64_t>& fids, int removeFlag);
    std::vector<int64_t> takeCancelFids(int* removeFlag = nullptr);

    // Empties every list (the signed-in user changed, or the dispatcher resets the transfers).
    void reset();

private:
    FileBackupMgr() = default;

    mutable platform::CriticalSection m_cs;
    RequestMap m_pendingRequests;
    std::vector<int64_t> m_cancelFids;
    int m_cancelRemove = 0;
};
