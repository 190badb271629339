#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Pollable.h"

namespace platform {

// One connected TCP stream on the loopback interface, in blocking mode. Readiness is waited
// for with WaitReadable; Receive and SendAll then do the transfer.
class TcpConnection : public Pollable {
public:
    // Connects to 127.0.0.1:port. Null (and the reason in `error`) when nobody listens.
    static std::unique_ptr<TcpConnection> ConnectLoopback(uint16_t port, std::string* error = nullptr);

    ~TcpConnection() override;

    struct ReceiveResult {
        enum Status {
            kData,     // `bytes` bytes were received
            kClosed,   // the peer closed the connection in order
            kAborted,  // the connection was reset or failed
            kTimeout,  // nothing arrived within the receive time-out
        };
        Status status = kAborted;
        size_t bytes = 0;
        std::string error;  // for kAborted
    };
    // Receives at most `capacity` bytes; blocks until something arrives.
    ReceiveResult Receive(char* buffer, size_t capacity);

    // Sends every byte, however many calls the kernel needs. False when the connection failed
    // or the send time-out passed with bytes left (the reason in `error`).
    bool SendAll(std::string_view data, std::string* error = nullptr);

    // The user owning the socket at the other end of this loopback connection, as
    // /proc/net/tcp shows it; nothing when it cannot be told.
    std::optional<uint32_t> PeerUid() const;
    static uint32_t OwnUid();

    // 0 = wait for ever (the default).
    void SetSendTimeout(uint32_t ms);
    void SetReceiveTimeout(uint32_t ms);

    // Ends the connection with a reset instead of an orderly close, as a crashing peer would.
    void Abort();
    // Ends both directions but keeps the descriptor: a thread waiting on the connection wakes
    // up and sees it closed. Close afterwards, once that thread is done.
    void Shutdown();
    // Orderly close; safe to call twice.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

protected:
    int PollHandle() const override { return m_fd; }

private:
    friend class LoopbackListener;
    explicit TcpConnection(int fd);
    int m_fd;
};

}  // namespace platform
