#include "platform/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemInfo.h"

namespace platform {

namespace {

void SetError(std::string* error, const char* what, int number) {
    if (error) {
        *error = std::string(what) + ": " + ErrorText(number);
    }
}

}  // namespace

std::unique_ptr<LoopbackListener> LoopbackListener::Listen(uint16_t port, int backlog,
                                                          std::string* error) {
    // Non-blocking, so that a connection that is reset between the readiness report and
    // Accept cannot leave the caller blocked in accept.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetError(error, "socket", errno);
        return nullptr;
    }
    // Lets a restarted server take its port back while old connections linger in TIME_WAIT;
    // on Linux it does not let two listeners share the port.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        SetError(error, "bind", errno);
        ::close(fd);
        return nullptr;
    }
    if (::listen(fd, backlog) < 0) {
        SetError(error, "listen", errno);
        ::close(fd);
        return nullptr;
    }
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        SetError(error, "getsockname", errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LoopbackListener>(new LoopbackListener(fd, ntohs(address.sin_port)));
}

LoopbackListener::~LoopbackListener() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::unique_ptr<TcpConnection> LoopbackListener::Accept(std::string* error) {
    int fd;
    do {
        // The accepted socket is blocking (no SOCK_NONBLOCK), whatever the listener is.
        fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            SetError(error, "accept", errno);
        }
        return nullptr;
    }
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd));
}

}  // namespace platform
