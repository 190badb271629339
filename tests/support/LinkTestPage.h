#pragma once

#include <json/value.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "link/LinkMessageSplitter.h"
#include "link/LinkProtocol.h"
#include "platform/TcpConnection.h"

namespace zorp::test {

// The page's end of the link for tests: a real loopback connection that sends raw bytes and
// reads back the messages the process sends, one complete JSON object at a time.
class LinkTestPage {
public:
    bool Connect(uint16_t port);
    bool Send(const std::string& bytes);
    // A request of the page (LinkRequestEncoder.h), as compact JSON text.
    bool SendRequest(const Json::Value& message);
    // A request that carries nothing but its type.
    bool SendRequest(LinkProtocol::In type);

    // The next message, or nothing when none arrives within the time or the link closed.
    std::optional<std::string> NextMessage(uint32_t timeoutMs = 5000);
    // Skips messages until one of the type arrives (keep-alives are skipped unless asked for).
    std::optional<std::string> WaitFor(LinkProtocol::Out type, uint32_t timeoutMs = 5000);
    // Skips messages until one of any of the types arrives; every message read on the way
    // (the one returned too) is appended to `seen` when given. Nothing on time-out or close.
    std::optional<std::string> WaitForAny(const std::set<LinkProtocol::Out>& types,
                                          uint32_t timeoutMs,
                                          std::vector<std::string>* seen = nullptr);
    // True when the process closed the link within the time.
    bool WaitForClose(uint32_t timeoutMs = 5000);
    bool IsClosed() const { return m_closed; }

    // The "type" of a message; nothing when it has none or does not parse.
    static std::optional<LinkProtocol::Out> TypeOf(const std::string& message);
    // The page's upload request (In::kUpload) of `paths` into the cloud folder `pid`.
    static std::string UploadRequest(const std::vector<std::filesystem::path>& paths, int64_t pid,
                                     int share = 0);

    void Close();
    void Abort();

private:
    // Receives once (waiting at most timeoutMs); false on time-out or close.
    bool ReceiveSome(uint32_t timeoutMs);

    std::unique_ptr<platform::TcpConnection> m_connection;
    LinkMessageSplitter m_splitter;
    std::deque<std::string> m_messages;
    bool m_closed = false;
};

}  // namespace zorp::test

namespace LinkProtocol {
// Test failures show a type as its number.
inline void PrintTo(Out type, std::ostream* os) {
    *os << Number(type);
}
inline void PrintTo(In type, std::ostream* os) {
    *os << Number(type);
}
}  // namespace LinkProtocol
