#include "platform/TcpConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/SystemInfo.h"

namespace platform {

namespace {

void SetError(std::string* error, const char* what, int number) {
    if (error) {
        *error = std::string(what) + ": " + ErrorText(number);
    }
}

void SetTimeoutOption(int fd, int option, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

}  // namespace

uint32_t TcpConnection::OwnUid() { return static_cast<uint32_t>(::getuid()); }

std::optional<uint32_t> TcpConnection::PeerUid() const {
    sockaddr_in self{}, peer{};
    socklen_t length = sizeof(self);
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
        return std::nullopt;
    }
    length = sizeof(peer);
    if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        return std::nullopt;
    }
    // The peer's socket is the line whose local end is our remote end and whose remote end is
    // our local end. Addresses are in the kernel's byte order, ports in host order, in hex.
    char wantedLocal[32], wantedRemote[32];
    std::snprintf(wantedLocal, sizeof(wantedLocal), "%08X:%04X", peer.sin_addr.s_addr,
                  ntohs(peer.sin_port));
    std::snprintf(wantedRemote, sizeof(wantedRemote), "%08X:%04X", self.sin_addr.s_addr,
                  ntohs(self.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) {
            continue;
        }
        if (local == wantedLocal && remote == wantedRemote) {
            try {
                return static_cast<uint32_t>(std::stoul(uid));
            } catch (...) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

TcpConnection::TcpConnection(int fd) : m_fd(fd) {
    // The link carries small messages that each want to leave at once.
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

TcpConnection::~TcpConnection() { Close(); }

std::unique_ptr<TcpConnection> TcpConnection::ConnectLoopback(uint16_t port, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetError(error, "socket", errno);
        return nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        SetError(error, "connect", errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd));
}

TcpConnection::ReceiveResult TcpConnection::Receive(char* buffer, size_t capacity) {
    ReceiveResult result;
    if (m_fd < 0) {
        result.error = "connection closed";
        return result;
    }
    ssize_t n;
    do {
        n = ::recv(m_fd, buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        result.status = ReceiveResult::kData;
        result.bytes = static_cast<size_t>(n);
    } else if (n == 0) {
        result.status = ReceiveResult::kClosed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        result.status = ReceiveResult::kTimeout;
    } else {
        result.status = ReceiveResult::kAborted;
        result.error = ErrorText(errno);
    }
    return result;
}

bool TcpConnection::SendAll(std::string_view data, std::string* error) {
    if (m_fd < 0) {
        if (error) {
            *error = "connection closed";
        }
        return false;
    }
    while (!data.empty()) {
        // MSG_NOSIGNAL: a peer that went away is a failed send, not a SIGPIPE.
        ssize_t n = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetError(error, "send", errno);
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void TcpConnection::SetSendTimeout(uint32_t ms) {
    if (m_fd >= 0) {
        SetTimeoutOption(m_fd, SO_SNDTIMEO, ms);
    }
}

void TcpConnection::SetReceiveTimeout(uint32_t ms) {
    if (m_fd >= 0) {
        SetTimeoutOption(m_fd, SO_RCVTIMEO, ms);
    }
}

void TcpConnection::Abort() {
    if (m_fd < 0) {
        return;
    }
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;  // close sends a reset
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    Close();
}

void TcpConnection::Shutdown() {
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RDWR);
    }
}

void TcpConnection::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
