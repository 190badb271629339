#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"

class DownloadQueue;

// Keeps the stored unfinished downloads (table dl_undo) in step with what the running process
// holds, so that a crash, a kill or a power cut loses no download: each snapshot replaces the
// stored rows in one transaction, and the next start resumes every one of them from its cache
// file.
//
// A snapshot takes every download that has not ended well: the queue's listed, waiting and
// failed downloads, and the requests FileDownloadMgr holds that the queue has not taken yet.
// The dispatcher saves a snapshot whenever it differs from the last one written (checked every
// second and when requests arrive), and once more, unconditionally, at offline and at close.
//
// A row's url is the download address; a download whose content is to be checked carries the
// listing's hash behind it as a fragment ("#hash=..."), which is never sent to the server.
class UnfinishedDownloadsSaver {
public:
    // Rows go through `queue`; null (the default) is CWriteDbMgr::GetInstance().
    explicit UnfinishedDownloadsSaver(CWriteDbMgr* queue = nullptr);

    std::vector<CWriteDbMgr::DlUndoRecord> Collect(const DownloadQueue* queue) const;
    // Writes the snapshot when it differs from the last one written, or always with `force`.
    // Positions are left out of the comparison: the next run reads the cache file's size
    // anyway, and progress alone would rewrite the rows every second. A snapshot whose job the
    // write queue gave up is written again at the next save. True when a snapshot was handed to
    // the write queue.
    bool Save(const DownloadQueue* queue, bool force);

    static std::string RowUrl(const std::string& url, const std::string& hash);
    static void ReadRowUrl(const std::string& text, std::string& url, std::string& hash);

    int GetWriteCount() const { return m_writes; }

private:
    static std::string KeyOf(const std::vector<CWriteDbMgr::DlUndoRecord>& rows);
    CWriteDbMgr& WriteQueue();

    CWriteDbMgr* m_writeQueue = nullptr;
    std::string m_lastKey;
    bool m_saved = false;
    uint64_t m_droppedAtSave = 0;  // the write queue's count of given-up jobs at the last save
    int m_writes = 0;
};
