#include "support/LinkTestPage.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "link/LinkDecoder.h"
#include "link/LinkMessages.h"
#include "link/LinkRequestEncoder.h"

namespace zorp::test {

namespace {
using Clock = std::chrono::steady_clock;

uint32_t MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}
}  // namespace

bool LinkTestPage::Connect(uint16_t port) {
    m_connection = platform::TcpConnection::ConnectLoopback(port);
    m_closed = !m_connection;
    return m_connection != nullptr;
}

bool LinkTestPage::Send(const std::string& bytes) {
    return m_connection && m_connection->SendAll(bytes);
}

bool LinkTestPage::SendRequest(const Json::Value& message) {
    return Send(LinkProtocol::RequestText(message));
}

bool LinkTestPage::SendRequest(LinkProtocol::In type) {
    return SendRequest(LinkProtocol::EncodeRequest(type));
}

bool LinkTestPage::ReceiveSome(uint32_t timeoutMs) {
    if (!m_connection || m_closed) {
        return false;
    }
    if (platform::WaitReadable({m_connection.get()}, timeoutMs) == 0) {
        return false;
    }
    std::vector<char> buffer(64 * 1024);
    auto received = m_connection->Receive(buffer.data(), buffer.size());
    if (received.status != platform::TcpConnection::ReceiveResult::kData) {
        m_closed = true;
        return false;
    }
    auto result = m_splitter.Feed(std::string_view(buffer.data(), received.bytes));
    for (auto& message : result.messages) {
        m_messages.push_back(std::move(message));
    }
    return true;
}

std::optional<std::string> LinkTestPage::NextMessage(uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_messages.empty()) {
        if (!ReceiveSome(MsLeft(deadline)) && (m_closed || MsLeft(deadline) == 0)) {
            return std::nullopt;
        }
    }
    std::string message = std::move(m_messages.front());
    m_messages.pop_front();
    return message;
}

std::optional<std::string> LinkTestPage::WaitFor(LinkProtocol::Out type, uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto message = NextMessage(MsLeft(deadline));
        if (!message || TypeOf(*message) == type) {
            return message;
        }
    }
}

std::optional<std::string> LinkTestPage::WaitForAny(const std::set<LinkProtocol::Out>& types,
                                                    uint32_t timeoutMs,
                                                    std::vector<std::string>* seen) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (MsLeft(deadline) > 0) {
        auto message = NextMessage(std::max<uint32_t>(MsLeft(deadline), 1));
        if (!message) {
            if (m_closed) {
                return std::nullopt;
            }
            continue;
        }
        if (seen) {
            seen->push_back(*message);
        }
        const auto type = TypeOf(*message);
        if (type && types.count(*type)) {
            return message;
        }
    }
    return std::nullopt;
}

bool LinkTestPage::WaitForClose(uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_closed && MsLeft(deadline) > 0) {
        ReceiveSome(MsLeft(deadline));
    }
    return m_closed;
}

std::optional<LinkProtocol::Out> LinkTestPage::TypeOf(const std::string& message) {
    return LinkProtocol::OutTypeOf(message);
}

std::string LinkTestPage::UploadRequest(const std::vector<std::filesystem::path>& paths,
                                       int64_t pid, int share) {
    LinkProtocol::UploadObject upload{pid, share, {}};
    for (const auto& path : paths) {
        upload.paths.push_back(path.string());
    }
    return Json::FastWriter().write(LinkProtocol::EncodeUploads({upload}));
}

void LinkTestPage::Close() {
    if (m_connection) {
        m_connection->Close();
    }
    m_closed = true;
}

void LinkTestPage::Abort() {
    if (m_connection) {
        m_connection->Abort();
    }
    m_closed = true;
}

}  // namespace zorp::test
