#include "upload/WaitingUploadList.h"

std::string WaitingUploadList::KeyOf(const std::filesystem::path& path, int64_t pid,
                                     int32_t share) {
    std::string key = path.native();
    key += '\0';
    key += std::to_string(pid);
    key += '\0';
    key += std::to_string(share);
    return key;
}

void WaitingUploadList::Count(const UpldWaitingFile& record, int change) {
    if (record.lockFlag) {
        return;
    }
    auto found = m_unlocked.try_emplace(KeyOf(record.path, record.pid, record.share), 0).first;
    found->second += change;
    if (found->second <= 0) {
        m_unlocked.erase(found);
    }
}

void WaitingUploadList::push_back(UpldWaitingFile record) {
    Count(record, 1);
    m_records.push_back(std::move(record));
}

void WaitingUploadList::pop_front() {
    Count(m_records.front(), -1);
    m_records.pop_front();
}

WaitingUploadList::Records::iterator WaitingUploadList::erase(Records::iterator at) {
    Count(*at, -1);
    return m_records.erase(at);
}

void WaitingUploadList::clear() {
    m_records.clear();
    m_unlocked.clear();
}

UpldWaitingFile* WaitingUploadList::FindUnlocked(const std::filesystem::path& path, int64_t pid,
                                                 int32_t share) {
    if (m_unlocked.find(KeyOf(path, pid, share)) == m_unlocked.end()) {
        return nullptr;
    }
    for (auto& record : m_records) {
        if (!record.lockFlag && record.path == path && record.pid == pid && record.share == share) {
            return &record;
        }
    }
    return nullptr;
}
