#include "localedit/LocalEditMgr.h"

#include <utility>

LocalEditMgr& LocalEditMgr::GetInstance() {
    static LocalEditMgr* instance = new LocalEditMgr();  // lives until process exit
    return *instance;
}

void LocalEditMgr::queueEditRequests(const std::vector<EditRequest>& requests) {
    platform::CriticalSectionGuard guard(m_cs);
    m_editRequests.insert(m_editRequests.end(), requests.begin(), requests.end());
}

std::vector<LocalEditMgr::EditRequest> LocalEditMgr::takeEditRequests() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_editRequests, {});
}

void LocalEditMgr::addFidNameList(const std::vector<FidName>& list) {
    platform::CriticalSectionGuard guard(m_cs);
    m_fidNames.insert(m_fidNames.end(), list.begin(), list.end());
}

std::vector<LocalEditMgr::FidName> LocalEditMgr::takeFidNameList() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_fidNames, {});
}
