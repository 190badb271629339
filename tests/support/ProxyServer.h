#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/ChildProcess.h"
#include "support/TempDir.h"

namespace zorp::test {

// A real proxy from Debian on a free loopback port of the test's own: tinyproxy as the HTTP
// proxy, microsocks as the SOCKS5 server. Each writes its own log, which the test reads to see
// what went through it.
//
// The proxy resolves the names it is given itself (an HTTP proxy always does, and a SOCKS5
// client that says "socks5h" leaves the name to the proxy too). No name service here knows
// web.localhost and download.localhost (libcurl alone treats *.localhost as loopback), so the
// proxy runs under nss_wrapper with a hosts file of the test's own that maps both to 127.0.0.1:
// the system's /etc/hosts stays as it is.
//
//     ProxyServer proxy(ProxyServer::Kind::kSocks5);
//     if (!ProxyServer::Available(proxy.kind(), &missing)) GTEST_SKIP() << missing;
//     ASSERT_TRUE(proxy.Start()) << proxy.Error();
//     options.SetProxy(proxy.ProxyText());          // "socks5://127.0.0.1:PORT"
class ProxyServer {
public:
    enum class Kind { kHttp, kSocks5 };

    explicit ProxyServer(Kind kind);
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Whether the proxy's program and nss_wrapper are installed; names what is missing.
    static bool Available(Kind kind, std::string* missing);

    // Starts the proxy on a free port and waits (10 s at most) until it accepts connections.
    bool Start();
    // Ends it at once (SIGKILL): its port refuses connections, transfers through it break.
    void Kill();
    // Starts it again on the same port, with the same log.
    bool Restart();
    const std::string& Error() const { return m_error; }

    Kind kind() const { return m_kind; }
    uint16_t Port() const { return m_port; }
    // The proxy text as the page hands it over: "http://127.0.0.1:PORT" or
    // "socks5://127.0.0.1:PORT".
    std::string ProxyText() const;
    // Everything the proxy logged so far.
    std::string Log() const;
    // How many times the log holds `text`.
    int LogCount(const std::string& text) const;

private:
    bool Launch();

    Kind m_kind;
    TempDir m_dir{"zorp-proxy"};
    std::filesystem::path m_log;
    std::unique_ptr<platform::ChildProcess> m_process;
    uint16_t m_port = 0;
    std::string m_error;
};

}  // namespace zorp::test
