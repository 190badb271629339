#include "link/ClientInterfaceMgr.h"

#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <utility>

#include "core/CommonUtils.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/WindowMessages.h"
#include "download/FileDownloadMgr.h"
#include "link/LinkMessageWriter.h"
#include "localedit/LocalEditMgr.h"
#include "platform/LoopbackListener.h"
#include "platform/SystemInfo.h"
#include "platform/TcpConnection.h"
#include "platform/WindowRegistry.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFailedNames = 5;

// ---- reading members: a missing member or one of the wrong JSON type reads as 0 or "" ----

const Json::Value& Member(const Json::Value& object, const char* name) {
    static const Json::Value kNull;
    if (!object.isObject()) {
        return kNull;
    }
    const Json::Value* value = object.find(name, name + std::strlen(name));
    return value ? *value : kNull;
}

const Json::Value& ArrayMember(const Json::Value& object, const char* name) {
    static const Json::Value kEmpty(Json::arrayValue);
    const Json::Value& value = Member(object, name);
    return value.isArray() ? value : kEmpty;
}

int64_t AsInt64(const Json::Value& value) {
    if (value.isInt64()) {
        return value.asInt64();
    }
    if (value.isDouble()) {  // a fraction, or out of range
        double d = value.asDouble();
        if (d > -9.2e18 && d < 9.2e18) {
            return static_cast<int64_t>(d);
        }
    }
    return 0;
}

int32_t AsInt32(const Json::Value& value) {
    int64_t v = AsInt64(value);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(v);
}

std::string AsString(const Json::Value& value) {
    return value.isString() ? value.asString() : std::string();
}

int64_t Int64Member(const Json::Value& object, const char* name) {
    return AsInt64(Member(object, name));
}
int32_t Int32Member(const Json::Value& object, const char* name) {
    return AsInt32(Member(object, name));
}
std::string StringMember(const Json::Value& object, const char* name) {
    return AsString(Member(object, name));
}

// A name that becomes one component of a local path. Anything else ("..", a slash) could
// place a file outside the folder the page chose.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// A local path the page names as a target or a source.
bool IsUsablePath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

// Download targets must be absolute: a relative one would land wherever the process runs.
bool IsUsableTarget(const std::string& path) {
    return IsUsablePath(path) && fs::path(path).is_absolute();
}

std::string DownloadUrl(int64_t fid) {
    return COptions::GetInstance().GetUrls().download + "fid=" + std::to_string(fid);
}

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

    // The one connection this process serves. The listening socket stays open (so no other
    // program can take the port) but is never accepted on again.
    std::unique_ptr<platform::TcpConnection> connection;
    while (!connection) {
        if (IsStopFlagSet()) {
            return;
        }
        uint32_t ready = platform::WaitReadable({listener.get(), &m_stopEvent});
        if (ready & 1u) {
            error.clear();
            connection = listener->Accept(&error);
            if (!error.empty()) {
                LOGF(WARNING, "ClientInterfaceMgr: accept failed: %s", error);
            }
        }
    }
    VLOGF(1, "ClientInterfaceMgr: page connected");
    connection->SetSendTimeout(FixedDelays::Ms(FixedDelay::kPageSendTimeout));

    while (!IsStopFlagSet()) {
        uint32_t ready = platform::WaitReadable(
            {connection.get(), &m_simpleEvent, &m_updateEvent, &m_stopEvent},
            FixedDelays::Ms(FixedDelay::kKeepAlive));
        if (ready == 0) {
            if (m_keepAlive) {
                VLOGF(1, "ClientInterfaceMgr: seng keepalive msg");
                if (!Send(*connection, LinkMessageWriter::KeepAliveMsg())) {
                    break;
                }
            }
            continue;
        }
        // Each ready source is served in the same pass, so a busy socket cannot starve the
        // notifications (nor the other way round).
        if ((ready & 1u) && !OnReceive(*connection)) {
            break;
        }
        if ((ready & 2u) && m_simpleEvent.TryConsume() && !SendSimpleMsgs(*connection)) {
            break;
        }
        if ((ready & 4u) && m_updateEvent.TryConsume() && !SendUpdateMsgs(*connection)) {
            break;
        }
    }
}

bool ClientInterfaceMgr::OnReceive(platform::TcpConnection& connection) {
    auto received = connection.Receive(m_buffer.data(), m_buffer.size());
    switch (received.status) {
        case platform::TcpConnection::ReceiveResult::kTimeout:
            return true;
        case platform::TcpConnection::ReceiveResult::kClosed:
            VLOGF(1, "ClientInterfaceMgr: peer is down, exit");
            OnPageGone();
            return false;
        case platform::TcpConnection::ReceiveResult::kAborted:
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
        VLOGF(1, "ClientInterfaceMgr: received %s", std::string(bytes));
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
    int type = parseMsg(text);
    if (type == 0) {
        // Connected before the answer leaves: a page that has read it may expect notifications
        // at once.
        m_connected = true;
        return Send(connection, "{\"type\":0}");
    }
    if (type == 2 && ProcessState::GetInstance().IsNothingDoneYet()) {
        return Send(connection, "{\"type\":13}");
    }
    return true;
}

bool ClientInterfaceMgr::SendSimpleMsgs(platform::TcpConnection& connection) {
    std::deque<int> types;
    {
        platform::CriticalSectionGuard guard(m_cs);
        types.swap(m_simpleTypes);
    }
    for (int type : types) {
        std::string text = "{\"type\":" + std::to_string(type);
        VLOGF(1, "send simple msg %s", text);
        if (type >= 7 && type <= 12 && !Send(connection, text + "}")) {
            return false;
        }
    }
    return true;
}

bool ClientInterfaceMgr::SendUpdateMsgs(platform::TcpConnection& connection) {
    std::vector<int> types;
    std::map<int, std::vector<std::string>> lists;
    {
        // Drain under the lock; format without it.
        platform::CriticalSectionGuard guard(m_cs);
        types.swap(m_pendingUpdateTypes);
        lists.swap(m_updateLists);
    }
    for (int type : types) {
        std::string text = LinkMessageWriter::ComposeUpdateMsg(type, lists[type]);
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

void ClientInterfaceMgr::sendSimpleMsg(int type) {
    if (!m_connected) {
        return;
    }
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_simpleTypes.push_back(type);
    }
    m_simpleEvent.Set();
}

void ClientInterfaceMgr::QueueUpdate(int type, std::vector<std::string> entries) {
    {
        platform::CriticalSectionGuard guard(m_cs);
        // Every group keeps its own pending mark, so notifications of one group never wait
        // behind another's; and each update type has its own list, so a success is never
        // reported as a failure, nor an upload failure as a download failure.
        if (std::find(m_pendingUpdateTypes.begin(), m_pendingUpdateTypes.end(), type) ==
            m_pendingUpdateTypes.end()) {
            m_pendingUpdateTypes.push_back(type);
        }
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
        QueueUpdate(14, {LinkMessageWriter::UpldInfoEntry(fid, pid, LinkMessageWriter::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushUpldProgress(int64_t fid, int64_t pid, int64_t size, int64_t position) {
    if (m_connected) {
        QueueUpdate(15, {LinkMessageWriter::UpldProgressEntry(fid, pid, size, position)});
    }
}

void ClientInterfaceMgr::pushUpldComplete(int64_t fid, int64_t pid, const Json::Value& info) {
    if (m_connected) {
        QueueUpdate(16, {LinkMessageWriter::UpldInfoEntry(fid, pid, LinkMessageWriter::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushUpldRemoved(int64_t fid, int64_t pid) {
    if (m_connected) {
        QueueUpdate(17, {LinkMessageWriter::UpldRemovedEntry(fid, pid)});
    }
}

void ClientInterfaceMgr::pushFolderCreated(int64_t fid, int64_t pid, const Json::Value& info) {
    if (m_connected) {
        QueueUpdate(18, {LinkMessageWriter::UpldInfoEntry(fid, pid, LinkMessageWriter::CompactJson(info))});
    }
}

void ClientInterfaceMgr::pushEditDnldProgress(int64_t fid, int64_t size, int64_t position,
                                              const std::string& name, const std::string& token) {
    if (m_connected) {
        QueueUpdate(19, {LinkMessageWriter::EditDnldProgressEntry(fid, size, position, name, token)});
    }
}

void ClientInterfaceMgr::pushEditDnldResult(int64_t fid, const std::string& name,
                                            const std::string& token, int result) {
    if (m_connected) {
        QueueUpdate(result == 2 ? 20 : 21, {LinkMessageWriter::EditDnldResultEntry(fid, name, token)});
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
        entries.push_back(LinkMessageWriter::NameEntry(name));
    }
    return entries;
}
}  // namespace

void ClientInterfaceMgr::pushTransferNames(const std::vector<std::string>& names, bool uploads) {
    if (m_connected && !names.empty()) {
        QueueUpdate(uploads ? 1 : 2, NameEntries(names, names.size()));
    }
}

void ClientInterfaceMgr::pushFinishedNames(const std::vector<std::string>& names, bool uploads) {
    // An empty list is queued too: it tells the page that the batch ended.
    if (m_connected) {
        QueueUpdate(uploads ? 3 : 4, NameEntries(names, names.size()));
    }
}

void ClientInterfaceMgr::pushFailedNames(const std::vector<std::string>& names, bool uploads) {
    if (m_connected && !names.empty()) {
        QueueUpdate(uploads ? 5 : 6, NameEntries(names, kMaxFailedNames));
    }
}

// ---------------------------------------------------------------------------------------------
// Incoming messages

int ClientInterfaceMgr::parseMsg(const std::string& text) {
    Json::Value message;
    std::string errors;
    bool parsed = false;
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = reader->parse(text.data(), text.data() + text.size(), &message, &errors);
    } catch (const std::exception& e) {  // nesting deeper than the reader's stack limit
        errors = e.what();
    }
    if (!parsed) {
        LOGF(WARNING, "ClientInterfaceMgr::parseMsg failed: %s", errors);
        return -1;
    }
    const Json::Value& typeValue = Member(message, "type");
    if (!typeValue.isIntegral() || typeValue.isBool() || !typeValue.isInt()) {
        return -1;
    }
    const int type = typeValue.asInt();

    switch (type) {
        case 1:  // quit
            COptions::GetInstance().m_exitRequest = 1;
            Post(WM_CLIENT_MSG_COME);
            break;
        case 2:
            ReplaceCookies(message);
            break;
        case 3:
            Post(WM_SHOW_HIDE);
            break;
        case 4:
            Post(WM_SHOW_TX_MANAGER);
            break;
        case 5:
            Post(WM_GO_OFFLINE);
            break;
        case 6:
            ReplaceCookies(message);
            Post(WM_GO_ONLINE);
            break;
        case 7:
            QueueDownloads(message);
            break;
        case 8:
            QueueUploadRequests(message);
            break;
        case 9:
            QueueUploadCancels(message);
            break;
        case 10:
            QueueLocalEdits(message);
            break;
        case 11:
            QueueBatchDownloads(message);
            break;
        case 12:
            SetProxy(message);
            break;
        case 13:
            StoreEditNames(message);
            break;
        case 14:
            Post(WM_OPEN_EDIT_DIR);
            break;
        case 15:
            SetClipboardList(message);
            break;
        case 16:
            Post(WM_SHOW_BACKUP_CONFIG);
            break;
        default:  // 0 (hello) and unknown types: nothing beyond the returned type
            break;
    }
    return type;
}

void ClientInterfaceMgr::ReplaceCookies(const Json::Value& message) {
    COptions& options = COptions::GetInstance();
    options.ClearCookies();
    for (const auto& cookie : ArrayMember(message, "values")) {
        // The domain and path belong to the browser; requests carry name=value only.
        options.AddCookie(StringMember(cookie, "name"), StringMember(cookie, "value"));
    }
    options.RebuildCookieStrings();
}

void ClientInterfaceMgr::QueueDownloads(const Json::Value& message) {
    FileDownloadMgr::DownloadMap downloads;
    for (const auto& file : ArrayMember(message, "files")) {
        FileDownloadMgr::DownloadRequest request;
        request.size = Int64Member(file, "size");
        request.url = StringMember(file, "url");
        std::string path = StringMember(file, "path");
        if (!IsUsableTarget(path)) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: download target '%s' skipped", path);
            continue;
        }
        request.path = fs::path(path);
        downloads.emplace(request.path, std::move(request));
    }
    if (!downloads.empty()) {
        FileDownloadMgr::GetInstance().addDownloads(downloads);
        Post(WM_C2L_DNLD_REQ);
    }
}

void ClientInterfaceMgr::QueueUploadRequests(const Json::Value& message) {
    bool queued = false;
    for (const auto& file : ArrayMember(message, "files")) {
        std::vector<fs::path> paths;
        for (const auto& path : ArrayMember(file, "paths")) {
            std::string text = AsString(path);
            if (IsUsablePath(text)) {
                paths.emplace_back(text);
            }
        }
        if (paths.empty()) {
            continue;
        }
        FileBackupMgr::RequestKey key{Int64Member(file, "pid"), Int32Member(file, "share")};
        FileBackupMgr::GetInstance().addWorkRequest(key, paths);
        queued = true;
    }
    if (queued) {
        Post(WM_C2L_UPLD_REQ);
    }
}

void ClientInterfaceMgr::QueueUploadCancels(const Json::Value& message) {
    const Json::Value& files = ArrayMember(message, "files");
    if (files.empty()) {
        return;
    }
    std::vector<int64_t> fids;
    int remove = 0;
    for (const auto& file : files) {
        for (const auto& fid : ArrayMember(file, "fids")) {
            if (fid.isString()) {
                if (auto value = CommonUtils::StringToInt64(fid.asString())) {
                    fids.push_back(*value);
                }
            } else if (fid.isInt64()) {
                fids.push_back(fid.asInt64());
            }
        }
        remove = Int32Member(file, "remove");
    }
    FileBackupMgr::GetInstance().addCancelFids(fids, remove);
    Post(WM_UPLD_CANCEL);
}

void ClientInterfaceMgr::QueueLocalEdits(const Json::Value& message) {
    std::vector<LocalEditMgr::EditRequest> requests;
    for (const auto& file : ArrayMember(message, "files")) {
        LocalEditMgr::EditRequest request;
        request.token = LinkMessageWriter::CompactJson(Member(file, "token"));
        request.share = Int32Member(file, "share");
        request.size = Int64Member(file, "size");
        request.pid = Int64Member(file, "pid");
        request.fid = Int64Member(file, "fid");
        request.name = StringMember(file, "name");
        request.hash = StringMember(file, "hash");
        if (!IsPlainName(request.name)) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: local edit name '%s' skipped", request.name);
            continue;
        }
        requests.push_back(std::move(request));
    }
    if (!requests.empty()) {
        LocalEditMgr::GetInstance().queueEditRequests(requests);
        Post(WM_LOCALEDIT_REQ);
    }
}

void ClientInterfaceMgr::QueueBatchDownloads(const Json::Value& message) {
    FileDownloadMgr::DownloadMap downloads;
    FileDownloadMgr::FolderMap folders;
    for (const auto& batch : ArrayMember(message, "files")) {
        std::string target = StringMember(batch, "path");
        if (!IsUsableTarget(target)) {
            LOGF(WARNING, "ClientInterfaceMgr::parseMsg: batch target '%s' skipped", target);
            continue;
        }
        const fs::path folder(target);
        std::vector<FileDownloadMgr::FolderItem> folderItems;
        for (const auto& item : ArrayMember(batch, "files")) {
            const int64_t fid = Int64Member(item, "fid");
            std::string name = StringMember(item, "name");
            if (!IsPlainName(name)) {
                LOGF(WARNING, "ClientInterfaceMgr::parseMsg: batch item name '%s' skipped", name);
                continue;
            }
            if (Int32Member(item, "type") == 1) {
                FileDownloadMgr::DownloadRequest request;
                request.path = folder / name;
                request.url = DownloadUrl(fid);
                request.size = Int64Member(item, "size");
                request.fid = fid;
                downloads.emplace(request.path, std::move(request));
            } else {
                folderItems.push_back({fid, std::move(name), Int32Member(item, "share")});
            }
        }
        if (!folderItems.empty()) {
            auto& list = folders[folder];
            list.insert(list.end(), folderItems.begin(), folderItems.end());
        }
    }
    if (!downloads.empty()) {
        FileDownloadMgr::GetInstance().addDownloads(downloads);
        Post(WM_C2L_DNLD_REQ);
    }
    if (!folders.empty()) {
        FileDownloadMgr::GetInstance().addBatchFolders(folders);
        Post(WM_BATCH_DNLD_REQ);
    }
}

void ClientInterfaceMgr::SetProxy(const Json::Value& message) {
    std::string proxy = StringMember(message, "values");
    if (!proxy.empty()) {
        COptions::GetInstance().SetProxy(proxy);
    }
    // Start-up waits for this message whether or not it names a proxy.
    m_readyEvent.Set();
}

void ClientInterfaceMgr::StoreEditNames(const Json::Value& message) {
    const Json::Value& files = ArrayMember(message, "files");
    if (files.empty()) {
        return;
    }
    std::vector<LocalEditMgr::FidName> list;
    for (const auto& file : files) {
        list.push_back({StringMember(file, "name"), Int64Member(file, "fid")});
    }
    LocalEditMgr::GetInstance().addFidNameList(list);
    Post(WM_LOCALEDIT_NAMES);
}

void ClientInterfaceMgr::SetClipboardList(const Json::Value& message) {
    std::vector<FileDownloadMgr::ClipboardItem> items;
    for (const auto& group : ArrayMember(message, "files")) {
        for (const auto& item : ArrayMember(group, "files")) {
            std::string name = StringMember(item, "name");
            if (!IsPlainName(name)) {
                LOGF(WARNING, "ClientInterfaceMgr::parseMsg: clipboard item name '%s' skipped", name);
                continue;
            }
            const bool isFile = Int32Member(item, "type") == 1;
            items.push_back({Int64Member(item, "fid"), std::move(name), Int32Member(item, "share"),
                             isFile ? Int64Member(item, "size") : -1});
        }
    }
    FileDownloadMgr::GetInstance().setClipboardList(items);
    Post(WM_CLIPBOARD_COPY);
}
