#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "AdminActions.h"
#include "CloudContext.h"
#include "DownloadAction.h"
#include "FolderActions.h"
#include "HttpConnectionServer.h"
#include "LockActions.h"
#include "UploadActions.h"

// The server: one listener for the web host and the download host (told apart by path),
// every action of the disk, the admin endpoint, and the fault switches applied around them.
class CloudService {
public:
    explicit CloudService(ServerConfig config);
    ~CloudService();

    // Opens the data folder and binds the listener. False with a reason on failure.
    bool Start(std::string* error);
    int Port() const { return m_port; }
    // Serves until Stop (from any thread).
    void Run();
    void Stop();

private:
    using Body = std::function<void()>;
    // Logs the request, checks the session, applies the faults of `action`, runs `body`.
    void Serve(const char* action, const httplib::Request& request, httplib::Response& response,
               const Body& body);
    void RegisterRoutes();

    CloudContext m_context;
    FolderActions m_folders;
    UploadActions m_uploads;
    DownloadAction m_download;
    LockActions m_locks;
    AdminActions m_admin;
    HttpConnectionServer m_server;
    int m_port = 0;
    std::atomic<bool> m_runEntered{false};
    std::atomic<bool> m_runFinished{false};
    std::atomic<bool> m_stopRequested{false};
};
