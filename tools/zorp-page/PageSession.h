#pragma once

#include <json/value.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/LinkProtocol.h"
#include "platform/TcpConnection.h"

// One page session over the link: the connection, a reader thread that splits what zorp sends
// into messages, and the waits the command line offers on top of them.
class PageSession {
public:
    ~PageSession();

    // Tries to connect until the time passes (zorp may still be starting).
    bool Connect(uint16_t port, uint32_t timeoutMs, std::string* error);
    // Sends one message as compact JSON text.
    bool Send(const Json::Value& message);
    bool SendText(const std::string& text);

    // With watch on, every received message is printed as one JSON line.
    void SetWatch(bool watch) { m_watch = watch; }

    // The next message of one of the types (any type when `types` is empty). Nothing when the
    // time passes (timeoutMs 0 = wait for ever) or zorp closes the link first.
    std::optional<std::string> WaitFor(const std::vector<LinkProtocol::Out>& types,
                                       uint32_t timeoutMs);
    // Takes every message until the time passes (0 = for ever) or zorp closes the link.
    void Watch(uint32_t timeoutMs);
    bool IsClosed();

    // The message's type; nothing when it does not parse or has no integer "type".
    static std::optional<LinkProtocol::Out> TypeOf(const std::string& message);
    // The message as one line of compact JSON.
    static std::string OneLine(const std::string& message);

private:
    void ReadLoop();
    std::optional<std::string> WaitMatching(const std::function<bool(const std::string&)>& matches,
                                            uint32_t timeoutMs);

    std::unique_ptr<platform::TcpConnection> m_connection;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::string> m_messages;
    bool m_closed = false;
    bool m_watch = false;
};
