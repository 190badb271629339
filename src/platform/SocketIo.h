#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Blocking calls on a connected stream socket, for servers built on a library that hands them
// accepted sockets (zorp-cloud). Every call retries when a signal interrupts it.
namespace platform {

using SocketHandle = int;

enum class SocketWait { kReady, kTimeout, kError };

// Waits until the socket has data (or end of stream) to read, or room to write.
SocketWait WaitSocketReadable(SocketHandle socket, int timeoutMs);
SocketWait WaitSocketWritable(SocketHandle socket, int timeoutMs);

// Bytes received (> 0), 0 when the peer closed its side, -1 on an error.
int64_t ReceiveSome(SocketHandle socket, char* buffer, size_t size);
// Bytes sent (> 0) or -1 on an error; a closed peer never raises SIGPIPE.
int64_t SendSome(SocketHandle socket, const char* data, size_t size);

// Small replies go out at once instead of waiting for the peer's acknowledgement (Nagle).
void SetTcpNoDelay(SocketHandle socket, bool on);

// Ends both directions: a read or write blocked on the socket in another thread returns, and
// the peer sees the connection end. The handle stays open until CloseSocket.
void ShutdownSocket(SocketHandle socket);
// Ends the sending direction only: the peer reads the end of the stream after what was sent.
void ShutdownSocketSending(SocketHandle socket);
void CloseSocket(SocketHandle socket);

// Numeric address and port of the peer (peer = true) or of the local end.
bool SocketAddress(SocketHandle socket, bool peer, std::string& ip, int& port);

}  // namespace platform
