#include "download/LocalEditDnldMgr.h"

LocalEditDnldMgr& LocalEditDnldMgr::GetInstance() {
    static LocalEditDnldMgr* instance = new LocalEditDnldMgr();  // lives until process exit
    return *instance;
}
