#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"

// Edits of cloud files with local programs. For now it holds what the link thread deposits:
// the page's edit requests, which the dispatcher starts after the window message, and the
// (name, fid) list of edit downloads the page cancelled.
class LocalEditMgr {
public:
    struct EditRequest {
        std::string token;  // the page's token as compact JSON text (newline included), echoed back
        int32_t share = 0;
        int64_t size = 0;
        int64_t pid = 0;
        int64_t fid = 0;
        std::string name;
        std::string hash;
        bool operator==(const EditRequest&) const = default;
    };
    struct FidName {
        std::string name;
        int64_t fid = 0;
        bool operator==(const FidName&) const = default;
    };

    static LocalEditMgr& GetInstance();
    virtual ~LocalEditMgr() = default;

    void queueEditRequests(const std::vector<EditRequest>& requests);
    std::vector<EditRequest> takeEditRequests();

    void addFidNameList(const std::vector<FidName>& list);
    std::vector<FidName> takeFidNameList();

private:
    LocalEditMgr() = default;

    mutable platform::CriticalSection m_cs;
    std::vector<EditRequest> m_editRequests;
    std::vector<FidName> m_fidNames;
};
