#pragma once

#include "dispatch/DispatcherFlow.h"

// The road of a download request: the page's files and folders become downloads of the
// transfer manager's download queue; when none is left the batch is reported to the page.
//
// This build has no download queue: the handlers leave the requests stored with the file
// download manager and only log.
class DownloadFlow : public DispatcherFlow {
public:
    explicit DownloadFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    // WM_C2L_DNLD_REQ, and WM_BATCH_DNLD_REQ with `withFolders`.
    void OnC2LDnldReq(bool withFolders);
    // WM_DNLD_ALL_DONE.
    void OnDnldFinish();

};
