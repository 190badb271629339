#pragma once

#include "download/CDnldThreadMgr.h"

// The local-edit download pool: one thread of its own, so that a file opened for editing never
// waits behind ordinary downloads. Local-edit tasks (CDownloadParam::localEdit) run here.
class LocalEditDnldMgr : public CDnldThreadMgr {
public:
    static LocalEditDnldMgr& GetInstance();
    LocalEditDnldMgr() : CDnldThreadMgr(1, "LocalEditDnldMgr") {}
};
