#pragma once

#include "dispatch/DispatcherContext.h"

// The clipboard paste: cloud files the page copied are offered on the clipboard as a
// placeholder; when the user pastes it into a folder, the real files download there.
//
// This build offers no clipboard object: the handlers below log.
class ClipboardFlow {
public:
    explicit ClipboardFlow(DispatcherContext& context) : m_context(context) {}
    ClipboardFlow(const ClipboardFlow&) = delete;
    ClipboardFlow& operator=(const ClipboardFlow&) = delete;

    void OnGetCpFileBegin();   // WM_CLIPBOARD_COPY
    void OnCpDnldFileBegin();  // WM_PASTE_DETECTED

private:
    [[maybe_unused]] DispatcherContext& m_context;
};
