#pragma once

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/CTaskThread.h"
#include "core/IPageNotifier.h"
#include "link/LinkMessageSplitter.h"
#include "platform/LoopbackListener.h"
#include "platform/TcpConnection.h"
#include "link/LinkMessages.h"
#include "link/LinkProtocol.h"
#include "platform/Event.h"
#include "platform/PollableEvent.h"
#include "platform/WaitableObject.h"

namespace platform {
class TcpConnection;
}

// The process's end of the link with the cloud disk's web page: a TCP server on 127.0.0.1
// that serves one connection for the process's life on a thread of its own. Incoming messages
// become work through parseMsg, which stores request data with the managers and posts window
// messages to the notify window (the dispatcher). In the other direction it sends the replies,
// a keep-alive after 4,500 ms of silence (FixedDelay::kKeepAlive), and the notifications that
// upload, download and local-edit code queue here from any thread. The message formats are
// the link protocol's (LinkProtocol.h).
//
// Start-up:   mgr.init(); mgr.SetNotifyWindow(dispatcher); mgr.start();
//             switch (mgr.WaitForPage()) { kPageReady: go on; kBindFailed: report and exit }
// Shutdown:   mgr.Shutdown(timeout)  (stop flag, stop, wait for the thread)
class ClientInterfaceMgr : public CTaskThread, public IPageNotifier {
public:
    static constexpr uint16_t kDefaultPort = 23175;
    static constexpr size_t kBufferSize = 16384;  // one receive

    static ClientInterfaceMgr& GetInstance();
    static ClientInterfaceMgr& getInstance() { return GetInstance(); }

    // Public so that tests and benchmarks can run servers of their own beside the singleton.
    ClientInterfaceMgr();
    ~ClientInterfaceMgr() override;

    void init() {}
    // 1 when the server thread is still held, 0 when a new one was started.
    int start();
    // Forgets the thread handle; does not wait (see SetStopFlag and Shutdown).
    void stop();
    // Sets the stop flag under the lock and wakes the thread, which ends its pass at once
    // (also while it still waits for the page to connect).
    void SetStopFlag();
    // SetStopFlag, stop, then waits for the thread. True when it has ended.
    bool Shutdown(uint32_t timeoutMs = platform::kInfinite);

    // ---- port ----
    // ZORP_LINK_PORT when set to a valid port number (0 = any free port), else 23175.
    static uint16_t ConfiguredPort();
    // Overrides the configured port for the next start.
    void SetListenPort(uint16_t port) { m_requestedPort = port; }
    // The port bound by the running server; 0 before it listens.
    uint16_t GetListenPort() const { return m_boundPort; }
    // True once listening; false when the bind failed or the time passed first.
    bool WaitForListening(uint32_t timeoutMs);

    // ---- start-up wait ----
    enum class StartupResult {
        kPageReady,   // the page sent its proxy setting (In::kProxy)
        kBindFailed,  // the port could not be bound: no page can ever connect
        kPageGone,    // the link ended (page left, or server stopped) before the proxy setting
        kTimeout,
    };
    // Waits for the ready event (released by every In::kProxy), the bind failure, or the end of
    // the link, whichever comes first.
    StartupResult WaitForPage(uint32_t timeoutMs = platform::kInfinite);
    bool IsBindFailed() const { return m_bindFailedEvent.IsSet(); }
    std::string GetBindError() const;

    // The dispatcher window that receives the window messages. Start-up creates it only after
    // the page has sent its proxy setting, and the page may send requests right after that:
    // messages raised while no window is set are held and delivered, in order, when it is set.
    // (Hides CTaskThread's setter, which knows nothing of held messages.)
    void SetNotifyWindow(platform::WindowHandle window) override;

    // True once the page's hello was answered. The dispatcher clears it when it acts on the
    // exit request. Producers queue nothing while it is false.
    bool IsConnected() const { return m_connected; }
    void SetConnected(bool connected) { m_connected = connected; }

    // ---- outgoing, from any thread ----
    // A state notice (LinkProtocol::IsSimple; other types are logged and not sent).
    void sendSimpleMsg(LinkProtocol::Out type);
    // The updates of IPageNotifier, each queued under its own Out type (kUploadCreated,
    // kUploadProgress, kUploadComplete, kUploadRemoved, kFolderCreated, kEditDnldProgress).
    void pushUpldCreated(int64_t fid, int64_t pid, const Json::Value& info) override;
    void pushUpldProgress(int64_t fid, int64_t pid, int64_t size, int64_t position) override;
    void pushUpldComplete(int64_t fid, int64_t pid, const Json::Value& info) override;
    void pushUpldRemoved(int64_t fid, int64_t pid) override;
    void pushFolderCreated(int64_t fid, int64_t pid, const Json::Value& info) override;
    // `token` is the stored token text of the edit request (compact JSON).
    void pushEditDnldProgress(int64_t fid, int64_t size, int64_t position, const std::string& name,
                              const std::string& token) override;
    // Out::kEditDnldDone when `result` is 2 (completed), Out::kEditDnldFailed otherwise.
    void pushEditDnldResult(int64_t fid, const std::string& name, const std::string& token,
                            int result) override;
    // Out::kUploadNames / kDownloadNames; nothing for an empty list.
    void pushTransferNames(const std::vector<std::string>& names, bool uploads);
    // Out::kUploadsFinished / kDownloadsFinished; an empty list is sent too.
    void pushFinishedNames(const std::vector<std::string>& names, bool uploads);
    // Out::kUploadsFailed / kDownloadsFailed, the first kMaxFailedNames names; nothing for an
    // empty list.
    void pushFailedNames(const std::vector<std::string>& names, bool uploads);

    // ---- incoming ----
    // Handles one complete message: decodes it (LinkDecoder.h), stores its records with the
    // managers and posts its window message. Returns the message's type, or -1 when it is not
    // a JSON object with an integer "type".
    int parseMsg(const std::string& text);

protected:
    void ThreadMain() override;

private:
    void RunServer();
    // The next connection of this user; null when stopping.
    std::unique_ptr<platform::TcpConnection> AcceptPage(platform::LoopbackListener& listener);
    // Serves one connection; true when it was let go (it never said hello) and the next
    // connection is to be awaited, false when the link has ended.
    bool ServeConnection(platform::TcpConnection& connection);
    // Each returns false when the connection has failed.
    bool OnReceive(platform::TcpConnection& connection);
    bool HandleMessage(platform::TcpConnection& connection, const std::string& text);
    bool SendSimpleMsgs(platform::TcpConnection& connection);
    bool SendUpdateMsgs(platform::TcpConnection& connection);
    bool Send(platform::TcpConnection& connection, const std::string& text);
    void OnPageGone();
    void QueueUpdate(LinkProtocol::Out type, std::vector<std::string> entries);
    void Post(uint32_t messageId);
    bool IsStopFlagSet();

    // The decoded records of the incoming types, stored with their managers.
    void ReplaceCookies(const std::vector<LinkProtocol::Cookie>& cookies);
    // `refused`: the names the decoder left out; they are reported as failed downloads.
    void QueueDownloads(const std::vector<LinkProtocol::DownloadObject>& files,
                        const std::vector<std::string>& refused);
    void QueueUploadRequests(const std::vector<LinkProtocol::UploadObject>& files);
    void QueueUploadCancels(const std::vector<LinkProtocol::CancelObject>& files);
    void QueueLocalEdits(const std::vector<LinkProtocol::LocalEditObject>& files);
    void QueueBatchDownloads(const std::vector<LinkProtocol::BatchObject>& batches,
                             const std::vector<std::string>& refused);
    void SetProxy(const std::string& proxy);
    void StoreEditNames(const std::vector<LinkProtocol::EditNameEntry>& entries);
    void SetClipboardList(const std::vector<LinkProtocol::ClipboardItem>& items);

    platform::Event m_readyEvent{false, false};       // auto-reset
    platform::Event m_listeningEvent{true, false};
    platform::Event m_bindFailedEvent{true, false};
    platform::Event m_pageGoneEvent{true, false};
    platform::PollableEvent m_simpleEvent;
    platform::PollableEvent m_updateEvent;
    platform::PollableEvent m_stopEvent;

    // Guarded by m_cs (CTaskThread's lock).
    bool m_stop = false;
    bool m_threadHeld = false;
    std::deque<LinkProtocol::Out> m_simpleTypes;
    std::vector<LinkProtocol::Out> m_pendingUpdateTypes;  // LinkProtocol::AddPendingUpdate
    std::map<LinkProtocol::Out, std::vector<std::string>> m_updateLists;
    std::string m_bindError;
    std::vector<uint32_t> m_heldMessages;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_keepAlive{true};
    std::atomic<int> m_requestedPort{-1};
    std::atomic<uint16_t> m_boundPort{0};
    std::atomic<bool> m_pageGone{false};

    // Server thread only.
    bool m_letGo = false;
    std::vector<char> m_buffer;
    LinkMessageSplitter m_splitter;
    bool m_skippingNoise = false;
};
