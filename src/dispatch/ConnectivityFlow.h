#pragma once

#include "dispatch/DispatcherFlow.h"

class DownloadFlow;
class LocalEditFlow;
class UploadFlow;

// Whether the server can be reached: network errors and good checks, going offline and
// coming back online, the timers between them.
//
// A network error starts a quiet period (kTimerGoOffline); when it ends the process goes
// offline and asks the server actions worker for a network check. Three good checks, each
// after kTimerNetworkRecheck, bring it back online, where everything that paused goes on.
class ConnectivityFlow : public DispatcherFlow {
public:
    static constexpr int kNetworkOksToRecover = 3;

    ConnectivityFlow(DispatcherContext& context, UploadFlow& uploads, DownloadFlow& downloads,
                     LocalEditFlow& localEdit)
        : DispatcherFlow(context), m_uploads(uploads), m_downloads(downloads), m_localEdit(localEdit) {}

    void OnNetworkError();
    void OnNetworkOk();
    void OnGoOffline();
    void OnGoOnline();
    // The menu's "m_resume" while offline.
    void OnMenuResume() { OnGoOnline(); }
    // kTimerGoOffline and kTimerNetworkRecheck; false for other timers.
    bool OnTimer(uint32_t timerId);

    int GetNetworkErrorCount() const { return m_networkErrorCount; }
    int GetNetworkOkCount() const { return m_networkOkCount; }

private:
    UploadFlow& m_uploads;
    DownloadFlow& m_downloads;
    LocalEditFlow& m_localEdit;
    int m_networkErrorCount = 0;
    int m_networkOkCount = 0;
    int m_filesAtNetworkError = 0;
};
