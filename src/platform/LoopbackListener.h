#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Pollable.h"
#include "platform/TcpConnection.h"

namespace platform {

// A TCP listening socket bound to 127.0.0.1 only: nothing outside this machine can connect.
class LoopbackListener : public Pollable {
public:
    // Binds 127.0.0.1:port (0 = any free port) and listens. Null, with the reason in `error`,
    // when the port is taken or the socket cannot be made.
    static std::unique_ptr<LoopbackListener> Listen(uint16_t port, int backlog,
                                                    std::string* error = nullptr);
    ~LoopbackListener() override;

    // The port actually bound.
    uint16_t Port() const { return m_port; }

    // Takes one pending connection without blocking; null when none is pending.
    std::unique_ptr<TcpConnection> Accept(std::string* error = nullptr);

protected:
    int PollHandle() const override { return m_fd; }

private:
    LoopbackListener(int fd, uint16_t port) : m_fd(fd), m_port(port) {}
    int m_fd;
    uint16_t m_port;
};

}  // namespace platform
