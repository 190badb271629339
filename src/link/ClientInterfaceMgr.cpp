#include "link/ClientInterfaceMgr.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "core/CommonUtils.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/WindowMessages.h"
#include "link/LinkEncoder.h"
#include "platform/LoopbackListener.h"
#include "platform/SystemInfo.h"
#include "platform/TcpConnection.h"
#include "platform/WindowRegistry.h"

using LinkProtocol::In;
using LinkProtocol::Out;

namespace {

// The local-edit download's end state that is reported as done.
constexpr int kEditDnldCompleted = 2;

}  // namespace

ClientInterfaceMgr& ClientInterfaceMgr::GetInstance() {
    static ClientInterfaceMgr* instance = [] {
        auto* mgr = new ClientInterfaceMgr();  // lives until process exit
        // The workers' notices reach the page through the process's one link.
        IPageNotifier::Install(mgr);
        return mgr;
    }();
    return *instance;
}

ClientInterfaceMgr::ClientInterfaceMgr() : m_buffer(kBufferSize) {}

ClientInterfaceMgr::~ClientInterfaceMgr() {
    // The thread uses this object's members: it must have ended before they go.
    Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Thread control

int ClientInterfaceMgr::start() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        if (m_threadHeld) {
            VLOGF(1, "Task[%02d] can't be started, because the thread handle still exist.",
                  GetTaskNumber());
            return 1;
        }
        m_threadHeld = true;
        m_stop = false;
        m_bindError.clear();
    }
    m_stopEvent.Reset();
    m_listeningEvent.Reset();
    m_bindFailedEvent.Reset();
    m_pageGoneEvent.Reset();
    m_boundPort = 0;
    Start();  // logs "Task[%02d] worker thread started, Thread ID=%d"
    return 0;
}

void ClientInterfaceMgr::stop() {
    platform::CriticalSectionGuard guard(m_cs);
    m_threadHeld = false;
    Stop();
}

void ClientInterfaceMgr::SetStopFlag() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_stop = true;
    }
    m_stopEvent.Set();
}

bool ClientInterfaceMgr::IsStopFlagSet() {
    platform::CriticalSectionGuard guard(m_cs);
    return m_stop;
}

bool ClientInterfaceMgr::Shutdown(uint32_t timeoutMs) {
    SetStopFlag();
    stop();
    return WaitForExit(timeoutMs);
}

uint16_t ClientInterfaceMgr::ConfiguredPort() {
    std::string text = platform::EnvOr("ZORP_LINK_PORT", "");
    if (!text.empty()) {
        auto port = CommonUtils::StringToInt64(text);
        if (port && *port >= 0 && *port <= 65535) {
            return static_cast<uint16_t>(*port);
        }
        LOGF(WARNING, "ClientInterfaceMgr: ZORP_LINK_PORT=%s is not a port number, using %d", text,
             kDefaultPort);
    }
    return kDefaultPort;
}

bool ClientInterfaceMgr::WaitForListening(uint32_t timeoutMs) {
    return platform::WaitAny({&m_listeningEvent, &m_bindFailedEvent}, timeoutMs) == 0;
}

ClientInterfaceMgr::StartupResult ClientInterfaceMgr::WaitForPage(uint32_t timeoutMs) {
    switch (platform::WaitAny({&m_readyEvent, &m_bindFailedEvent, &m_pageGoneEvent}, timeoutMs)) {
        case 0: return StartupResult::kPageReady;
        case 1: return StartupResult::kBindFailed;
        case 2: return StartupResult::kPageGone;
        default: return StartupResult::kTimeout;
    }
}

std::string ClientInterfaceMgr::GetBindError() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    return m_bindError;
}

// ---------------------------------------------------------------------------------------------
// Server thread

void ClientInterfaceMgr::ThreadMain() {
    m_pageGone = false;
    m_skippingNoise = false;
    m_splitter.Reset();
    RunServer();
    m_connected = false;
    m_boundPort = 0;
    // Whoever still waits for the page (start-up) must not wait for a link that has ended.
    m_pageGoneEvent.Set();
}

void ClientInterfaceMgr::RunServer() {
    const int requested = m_requestedPort;
    const uint16_t port = requested >= 0 ? static_cast<uint16_t>(requested) : ConfiguredPort();

    // Loopback only: the page runs on this machine, and nothing on the network may make this
    // process upload the user's files.
    std::string error;
    auto listener = platform::LoopbackListener::Listen(port, 3, &error);
    if (!listener) {
        LOGF(ERROR, "ClientInterfaceMgr: can't listen on 127.0.0.1:%d: %s", port, error);
        {
            platform::CriticalSectionGuard guard(m_cs);
            m_bindError = "127.0.0.1:" + std::to_string(port) + ": " + error;
        }
        m_bindFailedEvent.Set();
        return;
    }
    m_boundPort = listener->Port();
    VLOGF(1, "ClientInterfaceMgr: listening on 127.0.0.1:%d", listener->Port());
    m_listeningEvent.Set();

    // The one page this process serves. The listening socket stays open (so no other program
    // can take the port). A connection of another user (root aside) is refused, and one that leaves or says
    // no hello in time is let go: only the page's own leaving ends the link.
    while (!IsStopFlagSet()) {
        std::unique_ptr<platform::TcpConnection> connection = AcceptPage(*listener);
        if (!connection || !ServeConnection(*connection)) {
            return;
        }
        m_splitter.Reset();
        m_skippingNoise = false;
    }
}

std::unique_ptr<platform::TcpConnection> ClientInterfaceMgr::AcceptPage(
    platform::LoopbackListener& listener) {
    while (!IsStopFlagSet()) {
        const uint32_t ready = platform::WaitReadable({&listener, &m_stopEvent});
        if (!(ready & 1u)) {
            continue;
        }
        std::string error;
        std::unique_ptr<platform::TcpConnection> connection = listener.Accept(&error);
        if (!connection) {
            LOGF(WARNING, "ClientInterfaceMgr: accept failed: %s", error);
            continue;
        }
        // The user's own processes, and root, who may do anything to the user's files anyway.
        const std::optional<uint32_t> uid = connection->PeerUid();
        if (uid && *uid != platform::TcpConnection::OwnUid() && *uid != 0) {
            LOGF(WARNING, "ClientInterfaceMgr: a process of user %d connected: refused",
                 static_cast<int64_t>(*uid));
            continue;
        }
        VLOGF(1, "ClientInterfaceMgr: page connected");
        return connection;
    }
    return nullptr;
}

bool ClientInterfaceMgr::ServeConnection(platform::TcpConnection& connection) {
    connection.SetSendTimeout(FixedDelays::Ms(FixedDelay::kPageSendTimeout));
    m_letGo = false;
    const auto helloDeadline = std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(FixedDelays::Ms(FixedDelay::kHelloWait));
    while (!IsStopFlagSet()) {
        uint32_t waitMs = FixedDelays::Ms(FixedDelay::kKeepAlive);
        if (!m_connected) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                helloDeadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                LOGF(WARNING, "ClientInterfaceMgr: no hello within %d ms: the connection is let go",
                     static_cast<int64_t>(FixedDelays::Ms(FixedDelay::kHelloWait)));
                return true;
            }
            waitMs = std::min<uint32_t>(waitMs, static_cast<uint32_t>(left.count()) + 1);
        }
        uint32_t ready = platform::WaitReadable(
            {&connection, &m_simpleEvent, &m_updateEvent, &m_stopEvent}, waitMs);
        if (ready == 0) {
            if (m_keepAlive && m_connected) {
                VLOGF(1, "ClientInterfaceMgr: seng keepalive msg");
                if (!Send(connection, LinkProtocol::KeepAliveMsg())) {
                    break;
                }
            }
            continue;
        }
        // Each ready source is served in the same pass, so a busy socket cannot starve the
        // notifications (nor the other way round).
        if ((ready & 1u) && !OnReceive(connection)) {
            break;
        }
        if ((ready & 2u) && m_simpleEvent.TryConsume() && !SendSimpleMsgs(connection)) {
            break;
        }
        if ((ready & 4u) && m_updateEvent.TryConsume() && !SendUpdateMsgs(connection)) {
            break;
        }
    }
    return m_letGo;
}

bool ClientInterfaceMgr::OnReceive(platform::TcpConnection& connection) {
    auto received = connection.Receive(m_buffer.data(), m_buffer.size());
    switch (received.status) {
        case platform::TcpConnection::ReceiveResult::kTimeout:
            return true;
        case platform::TcpConnection::ReceiveResult::kClosed:
        case platform::TcpConnection::ReceiveResult::kAborted:
            if (!m_connected) {
                // Never said hello: not the page, whose leaving would end the process.
                LOGF(WARNING, "ClientInterfaceMgr: a connection left before its hello");
                m_letGo = true;
                return false;
            }
            if (received.status == platform::TcpConnection::ReceiveResult::kClosed) {
                VLOGF(1, "ClientInterfaceMgr: peer is down, exit");
                OnPageGone();
                return false;
            }
            // A reset is the page gone just as much as an orderly close.
            VLOGF(1, "ClientInterfaceMgr: peer is down, exit");
            LOGF(WARNING, "ClientInterfaceMgr: connection aborted: %s", received.error);
            OnPageGone();
            return false;
        case platform::TcpConnection::ReceiveResult::kData:
            break;
    }
    std::string_view bytes(m_buffer.data(), received.bytes);
    if (logging::VlogIsOn(1)) {
        // A page may send megabytes: the log keeps the beginning and the length.
        VLOGF(1, "ClientInterfaceMgr: received %s", CommonUtils::LogExcerpt(bytes));
    }
    auto split = m_splitter.Feed(bytes);
    if (split.skippedBytes > 0 && !m_skippingNoise) {
        // Once per stretch of noise, not once per receive.
        LOGF(WARNING, "ClientInterfaceMgr: bytes outside any message skipped");
        m_skippingNoise = true;
    }
    if (!split.messages.empty()) {
        m_skippingNoise = false;
    }
    if (split.rejectedObjects > 0) {
        LOGF(WARNING, "ClientInterfaceMgr: %d objects that are not JSON skipped",
             static_cast<int64_t>(split.rejectedObjects));
    }
    if (split.overflowed) {
        LOGF(WARNING, "ClientInterfaceMgr: message longer than %d bytes, dropped",
             static_cast<int64_t>(LinkMessageSplitter::kDefaultMaxMessageBytes));
    }
    for (const auto& message : split.messages) {
        if (!HandleMessage(connection, message)) {
            return false;
        }
    }
    return true;
}

bool ClientInterfaceMgr::HandleMessage(platform::TcpConnection& connection, const std::string& text) {
    const int type = parseMsg(text);
    if (type == LinkProtocol::Number(In::kHello)) {
        // Connected before the answer leaves: a page that has read it may expect notifications
        // at once.
        m_connected = true;
        return Send(connection, LinkProtocol::SimpleMsg(Out::kHelloReply));
    }
    if (type == LinkProtocol::Number(In::kCookies) && ProcessState::GetInstance().IsNothingDoneYet()) {
        return Send(connection, LinkProtocol::SimpleMsg(Out::kCookiesReply));
    }
    return true;
}

bool ClientInterfaceMgr::SendSimpleMsgs(platform::TcpConnection& connection) {
    std::deque<Out> types;
    {
        platform::CriticalSectionGuard guard(m_cs);
        types.swap(m_simpleTypes);
    }
    for (Out type : types) {
        const std::string text = LinkProtocol::SimpleMsg(type);
        // Logged whatever the type, without the closing brace.
        VLOGF(1, "send simple msg %s", text.substr(0, text.size() - 1));
        if (LinkProtocol::IsSimple(type) && !Send(connection, text)) {
            return false;
        }
    }
    return true;
}

bool ClientInterfaceMgr::SendUpdateMsgs(platform::TcpConnection& connection) {
    std::vector<Out> types;
    std::map<Out, std::vector<std::string>> lists;
    {
        // Drain under the lock; format without it.
        platform::CriticalSectionGuard guard(m_cs);
        types.swap(m_pendingUpdateTypes);
        lists.swap(m_updateLists);
    }
    for (Out type : types) {
        std::string text = LinkProtocol::ComposeUpdateMsg(type, lists[type]);
        VLOGF(1, "send updnld msg %s", text);
        if (!Send(connection, text)) {
            return false;
        }
    }
    return true;
}

bool ClientInterfaceMgr::Send(platform::TcpConnection& connection, const std::string& text) {
    std::string error;
    if (connection.SendAll(text, &error)) {
        return true;
    }
    // The connection is broken (or the page has stopped reading): the page is gone.
    LOGF(WARNING, "ClientInterfaceMgr: send failed: %s", error);
    VLOGF(1, "ClientInterfaceMgr: peer is down, exit");
    OnPageGone();
    return false;
}

void ClientInterfaceMgr::OnPageGone() {
    if (m_pageGone.exchange(true)) {
        return;
    }
    m_connected = false;
    COptions::GetInstance().m_exitRequest = 1;
    Post(WM_CLIENT_MSG_COME);
    // Start-up may still be waiting for the page's proxy setting, before any window exists.
    m_pageGoneEvent.Set();
}

void ClientInterfaceMgr::SetNotifyWindow(platform::WindowHandle window) {
    platform::CriticalSectionGuard guard(m_cs);
    CTaskThread::SetNotifyWindow(window);
    if (window == platform::kNoWindow) {
        return;
    }
    for (uint32_t messageId : std::exchange(m_heldMessages, {})) {
        platform::PostMessage(window, messageId);
    }
}

void ClientInterfaceMgr::Post(uint32_t messageId) {
    // Under the lock, so that a window set meanwhile gets the held messages first.
    platform::CriticalSectionGuard guard(m_cs);
    platform::WindowHandle window = GetNotifyWindow();
    if (window == platform::kNoWindow) {
        VLOGF(1, "ClientInterfaceMgr: message 0x%X held until the window exists", messageId);
        m_heldMessages.push_back(messageId);
        return;
    }
    if (!platform::PostMessage(window, messageId)) {
        VLOGF(1, "ClientInterfaceMgr: window gone, message 0x%X dropped", messageId);
    }
}

// ---------------------------------------------------------------------------------------------
// Outgoing queues

void ClientInterfaceMgr::sendSimpleMsg(Out type) {
    if (!m_connected) {
        return;
    }
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_simpleTypes.push_back(type);
    }
    m_simpleEvent.Set();
}

void ClientInterfaceMgr::QueueUpdate(Out type, std::vector<std::string> entries) {
    {
        platform::CriticalSectionGuard guard(m_cs);
        // Every group keeps its own pending mark, so notifications of one group never wait
        // behind another's; and each update type has its own list, so a success is never
        // reported as a failure, nor an upload failure as a download failure.
        LinkProtocol::AddPendingUpdate(m_pendingUpdateTypes, type);
        auto& list = m_updateLists[type];
        if (list.empty()) {
            list = std::move(entries);
        } else {
            list.insert(list.end(), std::make_move_iterator(entries.begin()),
                        std::make_move_iterator(entries.end()));
        }
    }
    m_updateEvent.Set();
}

void ClientInterfaceMgr::pushUpldCreated(int64_t fid, int64_t pid, const Json::Value& info) {
    if (m_connected) {
        QueueUpdate(Out::kUploadCreated,
                    {LinkProtocol::UpldInfoEntry(fid, pid, LinkProtocol::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushUpldProgress(int64_t fid, int64_t pid, int64_t size, int64_t position) {
    if (m_connected) {
        QueueUpdate(Out::kUploadProgress,
                    {LinkProtocol::UpldProgressEntry(fid, pid, size, position)});
    }
}

void ClientInterfaceMgr::pushUpldComplete(int64_t fid, int64_t pid, const Json::Value& info) {
    if (m_connected) {
        QueueUpdate(Out::kUploadComplete,
                    {LinkProtocol::UpldInfoEntry(fid, pid, LinkProtocol::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushUpldRemoved(int64_t fid, int64_t pid) {
    if (m_connected) {
        QueueUpdate(Out::kUploadRemoved, {LinkProtocol::UpldRemovedEntry(fid, pid)});
    }
}

void ClientInterfaceMgr::pushFolderCreated(int64_t fid, int64_t pid, const Json::Value& info) {
    if (m_connected) {
        QueueUpdate(Out::kFolderCreated,
                    {LinkProtocol::UpldInfoEntry(fid, pid, LinkProtocol::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushEditDnldProgress(int64_t fid, int64_t size, int64_t position,
                                              const std::string& name, const std::string& token) {
    if (m_connected) {
        QueueUpdate(Out::kEditDnldProgress,
                    {LinkProtocol::EditDnldProgressEntry(fid, size, position, name, token)});
    }
}

void ClientInterfaceMgr::pushEditDnldResult(int64_t fid, const std::string& name,
                                            const std::string& token, int result) {
    if (m_connected) {
        QueueUpdate(result == kEditDnldCompleted ? Out::kEditDnldDone : Out::kEditDnldFailed,
                    {LinkProtocol::EditDnldResultEntry(fid, name, token)});
    }
}

namespace {
std::vector<std::string> NameEntries(const std::vector<std::string>& names, size_t limit) {
    std::vector<std::string> entries;
    entries.reserve(std::min(names.size(), limit));
    for (const auto& name : names) {
        if (entries.size() >= limit) {
            break;
        }
        entries.push_back(LinkProtocol::NameEntry(name));
    }
    return entries;
}
}  // namespace

void ClientInterfaceMgr::pushTransferNames(const std::vector<std::string>& names, bool uploads) {
    if (m_connected && !names.empty()) {
        QueueUpdate(uploads ? Out::kUploadNames : Out::kDownloadNames,
                    NameEntries(names, names.size()));
    }
}

void ClientInterfaceMgr::pushFinishedNames(const std::vector<std::string>& names, bool uploads) {
    // An empty list is queued too: it tells the page that the batch ended.
    if (m_connected) {
        QueueUpdate(uploads ? Out::kUploadsFinished : Out::kDownloadsFinished,
                    NameEntries(names, names.size()));
    }
}

void ClientInterfaceMgr::pushFailedNames(const std::vector<std::string>& names, bool uploads) {
    if (m_connected && !names.empty()) {
        QueueUpdate(uploads ? Out::kUploadsFailed : Out::kDownloadsFailed,
                    NameEntries(names, LinkProtocol::kMaxFailedNames));
    }
}
