#include "HttpConnectionServer.h"

#include "ConnectionStream.h"
#include "platform/SocketIo.h"

HttpConnectionServer::HttpConnectionServer() {
    // What the Keep-Alive reply header announces; the loop below keeps to it.
    set_keep_alive_timeout(kIdleMs / 1000);
    set_keep_alive_max_count(1000000);
    set_tcp_nodelay(true);
}

bool HttpConnectionServer::process_and_close_socket(socket_t sock) {
    platform::SetTcpNoDelay(sock, true);
    ConnectionStream stream(sock, kReadTimeoutMs, kWriteTimeoutMs);
    ConnectionStream::SetCurrent(&stream);
    bool ok = true;
    while (stream.WaitForRequest(kIdleMs, [this] { return !is_running(); })) {
        stream.BeginRequest();
        bool closed = false;
        ok = process_request(stream, false, closed, [&stream](httplib::Request& request) {
            stream.EndHeaders();
            auto type = request.headers.find("Content-Type");
            if (type != request.headers.end() &&
                type->second.rfind("multipart/form-data", 0) == 0) {
                std::string value = type->second;
                request.headers.erase(type);
                request.headers.emplace("X-Multipart-Content-Type", value);
            }
            request.ranges.clear();
        });
        // A reply cut short (the drop fault, a failed provider) still sends what it had.
        const bool flushed = stream.Flush();
        stream.RunAfterReply();
        if (!ok || !flushed || closed || stream.ShouldClose()) {
            break;
        }
    }
    ConnectionStream::SetCurrent(nullptr);
    stream.CloseGracefully();
    platform::CloseSocket(sock);
    return ok;
}
