#include "AckSink.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace bench {

bool AckSink::Start(std::string writeTo) {
    m_writeTo = std::move(writeTo);
    std::string error;
    m_listener = platform::LoopbackListener::Listen(0, 16, &error);
    if (!m_listener) {
        std::fprintf(stderr, "sink: %s\n", error.c_str());
        return false;
    }
    m_acceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void AckSink::Stop() {
    m_stop = true;
    if (m_acceptor.joinable()) {
        m_acceptor.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& connection : m_connections) {
        connection->Shutdown();
    }
    for (auto& thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
    m_connections.clear();
}

void AckSink::AcceptLoop() {
    while (!m_stop) {
        if (!platform::WaitReadable({m_listener.get()}, 100)) {
            continue;
        }
        auto connection = m_listener->Accept();
        if (!connection) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        platform::TcpConnection* raw = connection.get();
        m_connections.push_back(std::move(connection));
        m_threads.emplace_back([this, raw] { Serve(*raw); });
    }
}

std::string AckSink::Param(const std::string& text, const std::string& name) {
    size_t at = text.find(name + "=");
    while (at != std::string::npos && at > 0 && text[at - 1] != '&' && text[at - 1] != '?') {
        at = text.find(name + "=", at + 1);
    }
    if (at == std::string::npos) {
        return std::string();
    }
    at += name.size() + 1;
    const size_t end = text.find_first_of("& \r\n", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

void AckSink::Serve(platform::TcpConnection& connection) {
    std::vector<char> buffer(1 << 20);
    size_t have = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> stored(nullptr, &std::fclose);
    for (;;) {
        // Headers.
        size_t headerEnd = std::string::npos;
        while (true) {
            std::string_view view(buffer.data(), have);
            headerEnd = view.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                break;
            }
            auto got = connection.Receive(buffer.data() + have, buffer.size() - have);
            if (got.status != platform::TcpConnection::ReceiveResult::kData) {
                return;
            }
            have += got.bytes;
        }
        const std::string head(buffer.data(), headerEnd);
        size_t length = 0;
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t lengthAt = lower.find("content-length:");
        if (lengthAt != std::string::npos) {
            length = std::strtoull(head.c_str() + lengthAt + 15, nullptr, 10);
        }
        // Body: what came with the headers, then the rest straight from the socket.
        size_t consumed = headerEnd + 4;
        const size_t inBuffer = std::min(length, have - consumed);
        std::string smallBody(buffer.data() + consumed, std::min<size_t>(inBuffer, 4096));
        const bool registration = head.find("breakPointUploadInitAction") != std::string::npos;
        if (!m_writeTo.empty() && registration) {
            stored.reset(std::fopen(m_writeTo.c_str(), "wb"));
        }
        std::FILE* writeTo = registration ? nullptr : stored.get();
        if (writeTo && std::fwrite(buffer.data() + consumed, 1, inBuffer, writeTo) != inBuffer) {
            return;
        }
        consumed += inBuffer;
        size_t left = length - inBuffer;
        std::memmove(buffer.data(), buffer.data() + consumed, have - consumed);
        have -= consumed;
        while (left > 0) {
            auto got = connection.Receive(buffer.data(), std::min(left, buffer.size()));
            if (got.status != platform::TcpConnection::ReceiveResult::kData) {
                return;
            }
            if (writeTo && std::fwrite(buffer.data(), 1, got.bytes, writeTo) != got.bytes) {
                return;
            }
            left -= got.bytes;
        }
        if (writeTo && std::fflush(writeTo) != 0) {
            return;
        }
        if (!connection.SendAll(Reply(head, smallBody))) {
            return;
        }
    }
}

std::string AckSink::Reply(const std::string& head, const std::string& body) {
    const std::string requestLine = head.substr(0, head.find("\r\n"));
    std::string json;
    if (requestLine.find("breakPointUploadInitAction") != std::string::npos) {
        const std::string size = Param(body, "size");
        json = "{\"status\":0,\"description\":\"OK\",\"data\":{\"file\":{\"id\":" +
               std::to_string(++m_lastId) + ",\"pid\":0,\"type\":1,\"status\":0,\"size\":" + size +
               ",\"breakPoint\":0,\"hash\":\"\"}}}";
    } else {
        const int64_t size = std::atoll(Param(requestLine, "size").c_str());
        const int64_t at = std::atoll(Param(requestLine, "breakPoint").c_str());
        const int64_t next = std::min<int64_t>(at + kChunkSize, size);
        json = "{\"status\":0,\"description\":\"OK\",\"data\":{\"file\":{\"id\":" +
               Param(requestLine, "fid") + ",\"pid\":0,\"type\":1,\"status\":" +
               (next == size ? "1" : "0") + ",\"size\":" + std::to_string(size) +
               ",\"breakPoint\":" + std::to_string(next) + ",\"hash\":\"" +
               Param(requestLine, "hash") + "\"}}}";
    }
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json;charset=UTF-8\r\n"
           "Content-Length: " +
           std::to_string(json.size()) + "\r\n\r\n" + json;
}

}  // namespace bench
