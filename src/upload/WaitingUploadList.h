#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <unordered_map>

#include "upload/UpldWaitingFile.h"

// The upload queue's records that wait for a place in its list, in their order, with an index
// of the files they send (local path, cloud folder, share flag) so that a new record finds an
// earlier one of the same file without a walk through ten thousand others.
//
// Records may be changed in place through the iterators, except for the fields the index
// keeps: path, pid, share and lockFlag.
class WaitingUploadList {
public:
    using Records = std::deque<UpldWaitingFile>;

    void push_back(UpldWaitingFile record);
    void pop_front();
    Records::iterator erase(Records::iterator at);
    void clear();

    UpldWaitingFile& front() { return m_records.front(); }
    const UpldWaitingFile& back() const { return m_records.back(); }
    const UpldWaitingFile& operator[](size_t at) const { return m_records[at]; }
    bool empty() const { return m_records.empty(); }
    size_t size() const { return m_records.size(); }
    Records::iterator begin() { return m_records.begin(); }
    Records::iterator end() { return m_records.end(); }
    Records::const_iterator begin() const { return m_records.begin(); }
    Records::const_iterator end() const { return m_records.end(); }

    // The first record of the file that is no local edit's upload, or null.
    UpldWaitingFile* FindUnlocked(const std::filesystem::path& path, int64_t pid, int32_t share);

private:
    static std::string KeyOf(const std::filesystem::path& path, int64_t pid, int32_t share);
    void Count(const UpldWaitingFile& record, int change);

    Records m_records;
    std::unordered_map<std::string, int> m_unlocked;  // records per file, local edits left out
};
