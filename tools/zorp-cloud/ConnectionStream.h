#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/SocketIo.h"

// One accepted connection, as cpp-httplib reads and writes it. It replaces the library's own
// socket stream so that the server can: read in large blocks (the library asks for the
// request line and headers one byte at a time and for bodies 4 KiB at a time), send a small
// reply's status line, headers and body in one packet (the library writes them separately),
// keep the raw
// header lines of each request exactly as they came (tests check the client's header sets,
// order included), close the connection after a reply, and cut it on purpose for the drop
// fault. The request running on a thread finds its connection through Current().
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(platform::SocketHandle socket, int readTimeoutMs, int writeTimeoutMs);
    ~ConnectionStream() override;

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_socket; }

    // Waits for the first byte of the next request, in short steps so that a stopping server
    // is seen; false when the peer closed, the idle time passed, or `stopping` turned true.
    template <typename StopFn>
    bool WaitForRequest(int idleMs, StopFn stopping) {
        for (int waited = 0; waited < idleMs; waited += kPollStepMs) {
            if (stopping() || m_dropped) {
                return false;
            }
            if (m_begin < m_end) {
                return true;
            }
            auto ready = platform::WaitSocketReadable(m_socket, kPollStepMs);
            if (ready == platform::SocketWait::kReady) {
                return Fill() > 0;
            }
            if (ready == platform::SocketWait::kError) {
                return false;
            }
        }
        return false;
    }

    // Sends what small writes left in the buffer. False when the connection failed.
    bool Flush();

    // Reads up to `size` bytes of the current request's body straight into `out`, in as few
    // receives as the data allows (the library's reader goes 4 KiB at a time through a
    // buffer of its own). Returns the bytes read; fewer than `size` when the peer stopped
    // sending or the connection failed.
    size_t ReadBody(char* out, size_t size);
    // The same, telling `arrived` the count read so far after each receive.
    size_t ReadBody(char* out, size_t size, const std::function<void(size_t)>& arrived);

    // Reads and forgets `size` bytes of the current request's body; false when they did not
    // all arrive.
    bool DiscardBody(size_t size);

    // Closes without losing the last reply: a socket closed with unread input resets the
    // connection, and the peer may then lose the reply it has not read yet. So the sending
    // side ends first and what the peer still sends is read away for a short while.
    void CloseGracefully();

    // Header capture: from the start of a request to the end of its headers.
    void BeginRequest();
    void EndHeaders();
    const std::string& RawHeaders() const { return m_rawHeaders; }

    // Runs `job` on this connection's thread once the current request's reply is sent (or
    // could not be), before the next request is read.
    void AfterReply(std::function<void()> job) { m_afterReply.push_back(std::move(job)); }
    void RunAfterReply();

    // The reply of the current request is the last one on this connection.
    void CloseAfterReply() { m_closeAfterReply = true; }
    bool ShouldClose() const { return m_closeAfterReply || m_dropped; }
    // Ends the connection now, without a reply: every later read and write fails.
    void Drop();

    static ConnectionStream* Current();
    static void SetCurrent(ConnectionStream* stream);

private:
    static constexpr int kPollStepMs = 100;
    static constexpr size_t kBufferSize = 256 * 1024;
    static constexpr size_t kMaxCapture = 64 * 1024;
    static constexpr size_t kWriteBuffer = 16 * 1024;

    ssize_t Fill();
    // Keeps the header bytes read from the buffer since the last call.
    void Capture();
    bool SendAll(const char* data, size_t size);

    platform::SocketHandle m_socket;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    std::vector<char> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    bool m_capturing = false;
    size_t m_captureFrom = 0;  // buffer offset where the headers not yet kept begin
    std::string m_rawHeaders;
    std::string m_out;  // small writes not sent yet
    std::string m_remoteIp;
    int m_remotePort = 0;
    std::string m_localIp;
    int m_localPort = 0;
    bool m_closeAfterReply = false;
    std::vector<std::function<void()>> m_afterReply;
    std::atomic<bool> m_dropped{false};
};
