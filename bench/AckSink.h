#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/LoopbackListener.h"
#include "platform/TcpConnection.h"

namespace bench {

// An upload server that does nothing but read: every request is read whole and answered
// "accepted" (an upload registration with a new id, a chunk with the break point after it,
// the last one as complete). What a client reaches against it is the client's own cost, and
// the ceiling of any server on this machine.
//
// Started with a file, it also writes each request's body to that file before it answers
// (started over at each registration): the ceiling of a server that has stored what it
// acknowledges, with nothing else to do (no hash, no records).
class AckSink {
public:
    static constexpr int64_t kChunkSize = 131072;

    bool Start(std::string writeTo = std::string());
    void Stop();
    uint16_t Port() const { return m_listener ? m_listener->Port() : 0; }

private:
    void AcceptLoop();
    void Serve(platform::TcpConnection& connection);
    std::string Reply(const std::string& head, const std::string& body);
    static std::string Param(const std::string& text, const std::string& name);

    std::string m_writeTo;
    std::unique_ptr<platform::LoopbackListener> m_listener;
    std::thread m_acceptor;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_lastId{0};
    std::mutex m_mutex;
    std::vector<std::unique_ptr<platform::TcpConnection>> m_connections;
    std::vector<std::thread> m_threads;
};

}  // namespace bench
