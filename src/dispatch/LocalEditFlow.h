#pragma once

#include "dispatch/DispatcherFlow.h"

// Local editing: a cloud file is downloaded into the edit folder and opened; every saved
// change is hashed and uploaded back while the file is locked on the server.
//
// This build has no local edit manager: the handlers below log, and the page's request to
// open the folder of left-over edits opens it when it exists.
class LocalEditFlow : public DispatcherFlow {
public:
    explicit LocalEditFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    void OnLocalEditReq();                           // WM_LOCALEDIT_REQ
    void OnLocalEditSha();                           // WM_LOCALEDIT_SHA
    void OnLocalEditDnldFinish(bool haveRecords);    // WM_LOCALEDIT_DNLD_END
    void OnLocalEditNames();                         // WM_LOCALEDIT_NAMES
    void OnOpenEditDir();                            // WM_OPEN_EDIT_DIR

};
