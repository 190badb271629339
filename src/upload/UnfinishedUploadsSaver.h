#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/CWriteDbMgr.h"

class UploadQueue;

// Keeps the stored unfinished uploads (tables undo_files, drag_dir and last_tx_status) in step
// with what the running process holds, so that a crash or a power cut loses nothing: the
// start-up restore deletes the rows it reads, and from then on only this copy exists.
//
// A snapshot takes every upload that has not ended well: the upload queue's listed, waiting and
// failed uploads, the waiting records the queue has not taken yet, and restored uploads whose
// file changed and is being hashed again; and every path of the upload requests not yet done
// (dropped folders and files, including those still being walked, hashed or compared), failed
// dropped folders, and stored dropped folders the start-up restore left for later. The
// dispatcher saves a snapshot whenever it differs from the last one written, checked every
// second, and once more, unconditionally, at offline and at close.
class UnfinishedUploadsSaver {
public:
    struct Snapshot {
        std::vector<CWriteDbMgr::UpldUndoRecord> undo;
        std::vector<CWriteDbMgr::DragDirRecord> dragDirs;
        int lastTxStatus = 0;
    };

    // Rows go through `queue`; null (the default) is CWriteDbMgr::GetInstance().
    explicit UnfinishedUploadsSaver(CWriteDbMgr* queue = nullptr);

    Snapshot Collect(const UploadQueue* queue);
    // Writes the snapshot when it differs from the last one written, or always with `force`.
    // Break points are left out of the comparison: a restored upload asks the server for its
    // break point anyway, and progress alone would rewrite the rows every second. A snapshot
    // whose job the write queue gave up is written again at the next save. True when a
    // snapshot was handed to the write queue.
    bool Save(const UploadQueue* queue, bool force);

    // The stored dropped folders that the start-up restore left in the database because
    // restored uploads go first. They stay in every snapshot until they are restored.
    void ReadCarriedDragDirs(const std::filesystem::path& txlogDb = {});
    void ClearCarriedDragDirs() { m_carried.clear(); }
    bool HasCarriedDragDirs() const { return !m_carried.empty(); }

    int GetWriteCount() const { return m_writes; }

private:
    using Times = std::pair<int64_t, int64_t>;  // creation, last write
    Times TimesOf(const std::filesystem::path& path, std::map<std::filesystem::path, Times>& seen);
    static std::string KeyOf(const Snapshot& snapshot);
    CWriteDbMgr& WriteQueue();

    CWriteDbMgr* m_writeQueue = nullptr;
    // The file times a record had when it was first seen: a file touched after that is hashed
    // again at the next start instead of being sent with a hash of other content.
    std::map<std::filesystem::path, Times> m_times;
    std::vector<CWriteDbMgr::DragDirRecord> m_carried;
    std::string m_lastKey;
    bool m_saved = false;
    uint64_t m_droppedAtSave = 0;  // the write queue's count of given-up jobs at the last save
    int m_writes = 0;
};
