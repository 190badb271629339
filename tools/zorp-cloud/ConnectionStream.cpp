#include "ConnectionStream.h"

#include <algorithm>
#include <cstring>

namespace {
thread_local ConnectionStream* t_current = nullptr;
}

ConnectionStream::ConnectionStream(platform::SocketHandle socket, int readTimeoutMs,
                                   int writeTimeoutMs)
    : m_socket(socket),
      m_readTimeoutMs(readTimeoutMs),
      m_writeTimeoutMs(writeTimeoutMs),
      m_buffer(kBufferSize) {
    // Asked for by the library on every request; they never change.
    platform::SocketAddress(m_socket, true, m_remoteIp, m_remotePort);
    platform::SocketAddress(m_socket, false, m_localIp, m_localPort);
    m_out.reserve(kWriteBuffer);
}

// A job left by a request that ended the connection early still runs: a queued hash that
// never ran would hold its file unfinished for good.
ConnectionStream::~ConnectionStream() {
    RunAfterReply();
}

ConnectionStream* ConnectionStream::Current() { return t_current; }

void ConnectionStream::SetCurrent(ConnectionStream* stream) { t_current = stream; }

bool ConnectionStream::is_readable() const {
    if (m_dropped) {
        return false;
    }
    return m_begin < m_end ||
           platform::WaitSocketReadable(m_socket, m_readTimeoutMs) == platform::SocketWait::kReady;
}

bool ConnectionStream::is_writable() const {
    return !m_dropped &&
           platform::WaitSocketWritable(m_socket, m_writeTimeoutMs) == platform::SocketWait::kReady;
}

ssize_t ConnectionStream::Fill() {
    m_begin = 0;
    m_end = 0;
    m_captureFrom = 0;
    int64_t n = platform::ReceiveSome(m_socket, m_buffer.data(), m_buffer.size());
    if (n > 0) {
        m_end = static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (m_dropped) {
        return -1;
    }
    if (m_begin == m_end) {
        // Whatever was written must be on its way before waiting for the peer (a "100
        // Continue" is answered this way).
        if (!Flush()) {
            return -1;
        }
        if (!is_readable()) {
            return -1;
        }
        // A large read goes straight into the caller's memory.
        if (size >= m_buffer.size() && !m_capturing) {
            return static_cast<ssize_t>(platform::ReceiveSome(m_socket, ptr, size));
        }
        Capture();
        ssize_t n = Fill();
        if (n <= 0) {
            return n;
        }
    }
    size_t n = std::min(size, m_end - m_begin);
    std::memcpy(ptr, m_buffer.data() + m_begin, n);
    m_begin += n;
    return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    if (m_dropped) {
        return -1;
    }
    if (m_out.size() + size <= kWriteBuffer) {
        m_out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    if (!Flush()) {
        return -1;
    }
    if (size < kWriteBuffer) {
        m_out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    if (!is_writable()) {
        return -1;
    }
    return static_cast<ssize_t>(platform::SendSome(m_socket, ptr, size));
}

bool ConnectionStream::SendAll(const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        if (!is_writable()) {
            return false;
        }
        int64_t n = platform::SendSome(m_socket, data + sent, size - sent);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ConnectionStream::Flush() {
    if (m_out.empty()) {
        return !m_dropped;
    }
    bool ok = !m_dropped && SendAll(m_out.data(), m_out.size());
    m_out.clear();
    return ok;
}

size_t ConnectionStream::ReadBody(char* out, size_t size) { return ReadBody(out, size, nullptr); }

size_t ConnectionStream::ReadBody(char* out, size_t size,
                                  const std::function<void(size_t)>& arrived) {
    size_t done = 0;
    const size_t buffered = std::min(size, m_end - m_begin);
    std::memcpy(out, m_buffer.data() + m_begin, buffered);
    m_begin += buffered;
    done += buffered;
    if (arrived && done > 0) {
        arrived(done);
    }
    while (done < size && !m_dropped) {
        if (platform::WaitSocketReadable(m_socket, m_readTimeoutMs) != platform::SocketWait::kReady) {
            break;
        }
        int64_t n = platform::ReceiveSome(m_socket, out + done, size - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
        if (arrived) {
            arrived(done);
        }
    }
    return done;
}

bool ConnectionStream::DiscardBody(size_t size) {
    std::vector<char> scratch(64 * 1024);
    size_t done = 0;
    while (done < size) {
        const size_t want = std::min(scratch.size(), size - done);
        const size_t got = ReadBody(scratch.data(), want);
        done += got;
        if (got < want) {
            return false;
        }
    }
    return true;
}

void ConnectionStream::CloseGracefully() {
    if (!m_dropped) {
        Flush();
        platform::ShutdownSocketSending(m_socket);
        // Bounded: at most a moment and a few chunks' worth of input.
        size_t drained = 0;
        while (drained < (4u << 20) &&
               platform::WaitSocketReadable(m_socket, 250) == platform::SocketWait::kReady) {
            int64_t n = platform::ReceiveSome(m_socket, m_buffer.data(), m_buffer.size());
            if (n <= 0) {
                break;
            }
            drained += static_cast<size_t>(n);
        }
    }
    platform::ShutdownSocket(m_socket);
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = m_remoteIp;
    port = m_remotePort;
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = m_localIp;
    port = m_localPort;
}

void ConnectionStream::BeginRequest() {
    m_rawHeaders.clear();
    m_capturing = true;
    m_captureFrom = m_begin;
    m_closeAfterReply = false;
}

void ConnectionStream::EndHeaders() {
    Capture();
    m_capturing = false;
}

void ConnectionStream::Capture() {
    // The library reads headers a byte at a time: they are kept from the buffer in one piece
    // when it is refilled and when they end, not a byte at a time.
    if (m_capturing && m_captureFrom < m_begin && m_rawHeaders.size() < kMaxCapture) {
        m_rawHeaders.append(m_buffer.data() + m_captureFrom,
                            std::min(m_begin - m_captureFrom, kMaxCapture - m_rawHeaders.size()));
    }
    m_captureFrom = m_begin;
}

void ConnectionStream::RunAfterReply() {
    // A job may add another; each runs once.
    while (!m_afterReply.empty()) {
        auto jobs = std::move(m_afterReply);
        m_afterReply.clear();
        for (auto& job : jobs) {
            job();
        }
    }
}

void ConnectionStream::Drop() {
    m_dropped = true;
    m_out.clear();
    platform::ShutdownSocket(m_socket);
}
