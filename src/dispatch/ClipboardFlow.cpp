#include "dispatch/ClipboardFlow.h"

#include "core/Logging.h"

void ClipboardFlow::OnGetCpFileBegin() { VLOG(1) << "CDndUiDlg::OnGetCpFileBegin"; }

void ClipboardFlow::OnCpDnldFileBegin() { VLOG(1) << "CDndUiDlg::OnCpDnldFileBegin"; }
