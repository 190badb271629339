#pragma once

#include "dispatch/DispatcherFlow.h"

// The clipboard paste: cloud files the page copied are offered on the clipboard as a
// placeholder; when the user pastes it into a folder, the real files download there.
//
// This build offers no clipboard object: the handlers below log.
class ClipboardFlow : public DispatcherFlow {
public:
    explicit ClipboardFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    void OnGetCpFileBegin();   // WM_CLIPBOARD_COPY
    void OnCpDnldFileBegin();  // WM_PASTE_DETECTED

};
