#include "platform/SocketIo.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

SocketWait WaitFor(SocketHandle socket, short events, int timeoutMs) {
    pollfd entry{socket, events, 0};
    for (;;) {
        int rc = ::poll(&entry, 1, timeoutMs);
        if (rc > 0) {
            // Hang-up and errors count as ready: the next read or write reports them.
            return SocketWait::kReady;
        }
        if (rc == 0) {
            return SocketWait::kTimeout;
        }
        if (errno != EINTR) {
            return SocketWait::kError;
        }
    }
}

}  // namespace

SocketWait WaitSocketReadable(SocketHandle socket, int timeoutMs) {
    return WaitFor(socket, POLLIN, timeoutMs);
}

SocketWait WaitSocketWritable(SocketHandle socket, int timeoutMs) {
    return WaitFor(socket, POLLOUT, timeoutMs);
}

int64_t ReceiveSome(SocketHandle socket, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::recv(socket, buffer, size, 0);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

int64_t SendSome(SocketHandle socket, const char* data, size_t size) {
    for (;;) {
        ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

void SetTcpNoDelay(SocketHandle socket, bool on) {
    int value = on ? 1 : 0;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value));
}

void ShutdownSocket(SocketHandle socket) { ::shutdown(socket, SHUT_RDWR); }

void ShutdownSocketSending(SocketHandle socket) { ::shutdown(socket, SHUT_WR); }

void CloseSocket(SocketHandle socket) { ::close(socket); }

bool SocketAddress(SocketHandle socket, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    int rc = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                  : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (rc != 0) {
        return false;
    }
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof(host), service,
                      sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return false;
    }
    ip = host;
    port = std::atoi(service);
    return true;
}

}  // namespace platform
