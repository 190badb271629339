#include "download/UnfinishedDownloadsSaver.h"

#include "core/Logging.h"
#include "core/Options.h"
#include "download/CDownloaderMgr.h"
#include "download/DownloadQueue.h"
#include "download/FileDownloadMgr.h"

namespace {

constexpr const char* kHashMark = "#hash=";

}  // namespace

UnfinishedDownloadsSaver::UnfinishedDownloadsSaver(CWriteDbMgr* queue) : m_writeQueue(queue) {}

CWriteDbMgr& UnfinishedDownloadsSaver::WriteQueue() {
    return m_writeQueue ? *m_writeQueue : CWriteDbMgr::GetInstance();
}

std::string UnfinishedDownloadsSaver::RowUrl(const std::string& url, const std::string& hash) {
    return hash.empty() ? url : url + kHashMark + hash;
}

void UnfinishedDownloadsSaver::ReadRowUrl(const std::string& text, std::string& url,
                                          std::string& hash) {
    const size_t mark = text.rfind(kHashMark);
    if (mark == std::string::npos) {
        url = text;
        hash.clear();
        return;
    }
    url = text.substr(0, mark);
    hash = text.substr(mark + std::char_traits<char>::length(kHashMark));
}

std::vector<CWriteDbMgr::DlUndoRecord> UnfinishedDownloadsSaver::Collect(
    const DownloadQueue* queue) const {
    std::vector<CWriteDbMgr::DlUndoRecord> rows;
    const int splitNum = COptions::GetInstance().m_splitNum;
    auto add = [&](const FileDownloadMgr::DownloadRequest& request) {
        if (request.url.empty()) {
            return;  // a refused name: nothing to fetch
        }
        rows.push_back({request.size, request.position, request.path,
                        RowUrl(request.url, request.hash), splitNum});
    };
    if (queue) {
        for (const auto& entry : queue->GetTaskList()) {
            // Delivered (its end may still be on the way), or removed by the user: not to come
            // back.
            if (entry->deleting || entry->lastStatus.state == TSE_COMPLETED ||
                (entry->task && entry->task->GetState() == TSE_COMPLETED)) {
                continue;
            }
            FileDownloadMgr::DownloadRequest request;
            request.size = entry->task && entry->task->GetParam().size > 0
                               ? entry->task->GetParam().size
                               : entry->size;
            request.position = entry->task ? entry->task->GetPosition() : entry->position;
            request.url = entry->url;
            request.path = entry->LocalPath();
            request.hash = entry->hash;
            add(request);
        }
        for (const auto& request : queue->GetWaitingList()) {
            add(request);
        }
        for (const auto* list : {&queue->GetFailedList(), &queue->GetFailedList2()}) {
            for (const auto& failed : *list) {
                add(failed.request);
            }
        }
    }
    // Requests that arrived and that the queue has not taken yet.
    for (const auto& [path, request] : FileDownloadMgr::GetInstance().peekDownloads()) {
        add(request);
    }
    return rows;
}

std::string UnfinishedDownloadsSaver::KeyOf(const std::vector<CWriteDbMgr::DlUndoRecord>& rows) {
    std::string key;
    for (const auto& r : rows) {
        key += std::to_string(r.size) + "," + r.url + "," + r.path.string() + "\n";
    }
    return key;
}

bool UnfinishedDownloadsSaver::Save(const DownloadQueue* queue, bool force) {
    std::vector<CWriteDbMgr::DlUndoRecord> rows = Collect(queue);
    std::string key = KeyOf(rows);
    // A job the write queue gave up since the last save may have been that save: the stored
    // rows are then older than the last key says, and only a new write brings them up to date.
    const uint64_t dropped = WriteQueue().GetDroppedJobCount();
    if (m_saved && dropped != m_droppedAtSave) {
        LOG(WARNING) << "UnfinishedDownloadsSaver::Save - a write was given up since the last save, saving again";
        m_saved = false;
    }
    if (!force && m_saved && key == m_lastKey) {
        return false;
    }
    VLOGF(1, "CMainUiDlg::saveDlUndoFiles - %d unfinished downloads",
          static_cast<int>(rows.size()));
    WriteQueue().ReplaceUnfinishedDownloads(rows);
    m_lastKey = std::move(key);
    m_saved = true;
    m_droppedAtSave = dropped;
    ++m_writes;
    return true;
}
