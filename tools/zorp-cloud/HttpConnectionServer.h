#pragma once

#include <httplib.h>

#include <functional>

// cpp-httplib's server with our own connection loop. Debian's cpp-httplib is a shared library
// built with its defaults: Nagle's algorithm on (each small reply then waits ~40 ms for the
// client's delayed acknowledgement), at most 5 requests per connection, and a multipart parser
// far slower than the network. The library lets a subclass take over an accepted socket
// (process_and_close_socket) and run its requests one by one (process_request); this class
// does that with TCP_NODELAY, keep-alive for as long as the client wants, and a
// ConnectionStream. Before routing it also
// - moves a multipart Content-Type aside (to X-Multipart-Content-Type), so the chunk upload
//   receives the raw body and finds its one part itself (MultipartBody);
// - forgets the parsed Range header, so the download action answers ranges by its own rules.
//
// Request header lines without a colon ("Host web.localhost:18080", which the client sends
// on purpose) need nothing here: cpp-httplib 0.11 skips a line without a colon and splits a
// line with one at its first colon, so such a line never makes a request fail; the real Host
// header that libcurl adds is the one the server reads.
class HttpConnectionServer : public httplib::Server {
public:
    static constexpr int kIdleMs = 60000;
    static constexpr int kReadTimeoutMs = 30000;
    static constexpr int kWriteTimeoutMs = 30000;

    HttpConnectionServer();

private:
    bool process_and_close_socket(socket_t sock) override;
};
