#include "PageSession.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "link/LinkDecoder.h"
#include "link/LinkMessageSplitter.h"
#include "link/LinkRequestEncoder.h"

namespace {
using Clock = std::chrono::steady_clock;
}

PageSession::~PageSession() {
    if (m_connection) {
        m_connection->Shutdown();  // wakes the reader, which then sees the link closed
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    if (m_connection) {
        m_connection->Close();
    }
}

bool PageSession::Connect(uint16_t port, uint32_t timeoutMs, std::string* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        m_connection = platform::TcpConnection::ConnectLoopback(port, error);
        if (m_connection || Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!m_connection) {
        return false;
    }
    m_reader = std::thread(&PageSession::ReadLoop, this);
    return true;
}

bool PageSession::Send(const Json::Value& message) {
    return SendText(LinkProtocol::RequestText(message));
}

bool PageSession::SendText(const std::string& text) {
    return m_connection && m_connection->SendAll(text);
}

void PageSession::ReadLoop() {
    LinkMessageSplitter splitter;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        if (platform::WaitReadable({m_connection.get()}) == 0) {
            continue;
        }
        auto received = m_connection->Receive(buffer.data(), buffer.size());
        if (received.status == platform::TcpConnection::ReceiveResult::kTimeout) {
            continue;
        }
        if (received.status != platform::TcpConnection::ReceiveResult::kData) {
            break;
        }
        auto result = splitter.Feed(std::string_view(buffer.data(), received.bytes));
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& message : result.messages) {
            if (m_watch) {
                std::printf("%s\n", OneLine(message).c_str());
                std::fflush(stdout);
            }
            m_messages.push_back(std::move(message));
        }
        m_cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_cv.notify_all();
}

std::optional<std::string> PageSession::WaitFor(const std::vector<LinkProtocol::Out>& types,
                                                uint32_t timeoutMs) {
    return WaitMatching(
        [&](const std::string& message) {
            if (types.empty()) {
                return true;
            }
            auto type = TypeOf(message);
            return type && std::find(types.begin(), types.end(), *type) != types.end();
        },
        timeoutMs);
}

void PageSession::Watch(uint32_t timeoutMs) {
    WaitMatching([](const std::string&) { return false; }, timeoutMs);
}

std::optional<std::string> PageSession::WaitMatching(
    const std::function<bool(const std::string&)>& matches, uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_messages.empty()) {
            std::string message = std::move(m_messages.front());
            m_messages.pop_front();
            if (matches(message)) {
                return message;
            }
        }
        if (m_closed) {
            return std::nullopt;
        }
        if (timeoutMs == 0) {
            m_cv.wait(lock);
        } else if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout && m_messages.empty()) {
            return std::nullopt;
        }
    }
}

bool PageSession::IsClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

std::optional<LinkProtocol::Out> PageSession::TypeOf(const std::string& message) {
    return LinkProtocol::OutTypeOf(message);
}

std::string PageSession::OneLine(const std::string& message) {
    Json::CharReaderBuilder readerBuilder;
    std::unique_ptr<Json::CharReader> reader(readerBuilder.newCharReader());
    Json::Value value;
    std::string errors;
    if (reader->parse(message.data(), message.data() + message.size(), &value, &errors)) {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        return Json::writeString(builder, value);
    }
    std::string line = message;  // not JSON: shown as it came, on one line
    for (auto& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}
