#include "upload/UploadQueue.h"

#include <algorithm>
#include <utility>

#include "core/Logging.h"
#include "upload/CUploaderMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/UploadStatusTexts.h"

// What the queue tells: its entries, and about ended uploads: the failed lists, the names the dispatcher
// reports to the page at the end of a batch, and the files sent again after they changed.

bool UploadQueue::IsContentMismatch(int64_t code, const std::string& text) {
    return code == kCodeHashMismatch || text == UploadStatusTexts::kTextFileChanged;
}

// ---- reading ----

const UpldTaskInfo* UploadQueue::FindTask(int32_t taskIndex) const {
    for (const auto& entry : m_taskList) {
        if (entry->taskIndex == taskIndex) {
            return entry.get();
        }
    }
    return nullptr;
}

UpldTaskInfo* UploadQueue::Find(int32_t taskIndex) {
    return const_cast<UpldTaskInfo*>(std::as_const(*this).FindTask(taskIndex));
}

int UploadQueue::GetUploadCount() const {
    return static_cast<int>(m_taskList.size() + m_waitingList.size());
}

bool UploadQueue::HasActiveTransfers() const {
    return std::any_of(m_taskList.begin(), m_taskList.end(), [](const auto& entry) {
        return entry->task && IsOnPool(entry->task->GetState());
    });
}

// ---- failures and names ----

bool UploadQueue::HasUnreportedFailures() const {
    const auto unreported = [](const UpldFailedFile& failed) { return !failed.reported; };
    return std::any_of(m_failedList.begin(), m_failedList.end(), unreported) ||
           std::any_of(m_failedList2.begin(), m_failedList2.end(), unreported);
}

bool UploadQueue::HasRetryableFailures() const {
    return std::any_of(m_failedList.begin(), m_failedList.end(),
                       [](const UpldFailedFile& failed) { return !failed.reported; });
}

std::vector<std::string> UploadQueue::GetFailedNames(size_t max) const {
    std::vector<std::string> names;
    for (const auto* list : {&m_failedList, &m_failedList2}) {
        for (const auto& failed : *list) {
            if (names.size() >= max) {
                return names;
            }
            names.push_back(failed.path.filename().string());
        }
    }
    return names;
}

std::vector<std::string> UploadQueue::takeUnreportedFailedNames(size_t max) {
    std::vector<std::string> names;
    for (auto* list : {&m_failedList, &m_failedList2}) {
        for (auto& failed : *list) {
            if (!failed.reported && names.size() < max) {
                names.push_back(failed.path.filename().string());
            }
            failed.reported = true;
        }
    }
    return names;
}

std::vector<std::string> UploadQueue::GetQueuedNames() const {
    std::vector<std::string> names;
    for (const auto& entry : m_taskList) {
        names.push_back(entry->name);
    }
    for (const auto& record : m_waitingList) {
        names.push_back(record.path.filename().string());
    }
    return names;
}

void UploadQueue::NoteFinished(const UpldTaskInfo& info) {
    const std::filesystem::path path = info.LocalPath();
    if (m_finishedSeen.insert(path.native()).second) {
        m_finishedPaths.push_back(path);
    }
}

std::vector<std::string> UploadQueue::takeFinishedNames() {
    std::vector<std::string> names;
    m_finishedSeen.clear();
    for (const auto& path : std::exchange(m_finishedPaths, {})) {
        names.push_back(path.filename().string());
    }
    return names;
}

bool UploadQueue::RehashChangedFile(const UpldTaskInfo& info, int64_t code,
                                    const std::string& text) {
    if (info.lockFlag || info.rehashed || !IsContentMismatch(code, text)) {
        return false;
    }
    LOGF(WARNING, "[ZorUpldDlg::OnEndUL]: The task [%02d]: %s changed during its upload, "
         "it is hashed again and sent with its new content", info.taskIndex, info.name);
    UpldWaitingFile record;
    record.path = info.LocalPath();
    record.pid = info.pid;
    record.fid = info.fid;
    record.size = info.fileSize;
    record.hash = info.hash;
    record.batchTarget = info.batchTarget;
    record.share = info.share;
    record.counted = info.counted;
    record.rehashed = true;
    FileBackupMgr::GetInstance().addChangedFile(std::move(record));
    return true;
}

bool UploadQueue::RecordFailure(const UpldTaskInfo& info, int64_t code, int32_t taskIndex,
                                bool retryable) {
    if (code == kCodeNoCapacity && m_view) {
        m_view->OnCapacityWarning();
    }
    if (info.lockFlag) {
        if (m_localEdit.uploadEnded) {
            m_localEdit.uploadEnded(info, false);
        }
        return false;
    }
    UpldFailedFile failed;
    failed.code = code;
    failed.pid = info.pid;
    failed.fid = info.fid;
    failed.path = info.LocalPath();
    failed.hash = info.hash;
    failed.size = info.fileSize;
    failed.lockFlag = info.lockFlag;
    failed.share = info.share;
    failed.batchTarget = info.batchTarget;
    failed.taskIndex = taskIndex;
    const bool first = retryable && !IsSecondListCode(code);
    (first ? m_failedList : m_failedList2).push_back(std::move(failed));
    return first;
}
