#include "support/ProxyServer.h"

#include "platform/LoopbackListener.h"
#include "platform/TcpConnection.h"
#include "support/WaitFor.h"

namespace zorp::test {

namespace {

namespace fs = std::filesystem;

const char* const kTinyproxy = "/usr/bin/tinyproxy";
const char* const kMicrosocks = "/usr/bin/microsocks";

fs::path NssWrapper() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
        fs::path library = fs::path(dir) / "libnss_wrapper.so";
        std::error_code ec;
        if (fs::exists(library, ec)) {
            return library;
        }
    }
    return {};
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

}  // namespace

ProxyServer::ProxyServer(Kind kind) : m_kind(kind), m_log(m_dir.path() / "proxy.log") {}

ProxyServer::~ProxyServer() {
    if (m_process) {
        m_process->Stop(2000);
    }
}

bool ProxyServer::Available(Kind kind, std::string* missing) {
    const char* program = kind == Kind::kHttp ? kTinyproxy : kMicrosocks;
    std::error_code ec;
    if (!fs::exists(program, ec)) {
        *missing = std::string(program) + " is missing (scripts/bootstrap installs it)";
        return false;
    }
    if (NssWrapper().empty()) {
        *missing = "libnss_wrapper.so is missing (scripts/bootstrap installs libnss-wrapper)";
        return false;
    }
    return true;
}

bool ProxyServer::Start() {
    auto listener = platform::LoopbackListener::Listen(0, 1);
    m_port = listener ? listener->Port() : 0;
    listener.reset();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }
    WriteFile(m_dir.path() / "hosts", "127.0.0.1 web.localhost download.localhost\n");
    if (m_kind == Kind::kHttp) {
        WriteFile(m_dir.path() / "tinyproxy.conf",
                  "Port " + std::to_string(m_port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                  "Timeout 600\nMaxClients 100\nLogLevel Info\nLogFile \"" + m_log.string() +
                  "\"\n");
    }
    return Launch();
}

bool ProxyServer::Launch() {
    m_error.clear();
    const std::string wrapped = "exec env LD_PRELOAD=" + Quoted(NssWrapper()) +
                                " NSS_WRAPPER_HOSTS=" + Quoted(m_dir.path() / "hosts") + " ";
    // tinyproxy writes the log file of its configuration; microsocks logs to standard error.
    const std::string command =
        m_kind == Kind::kHttp
            ? wrapped + kTinyproxy + " -d -c " + Quoted(m_dir.path() / "tinyproxy.conf") +
                  " 2>>" + Quoted(m_dir.path() / "stderr.txt")
            : wrapped + kMicrosocks + " -i 127.0.0.1 -p " + std::to_string(m_port) + " 2>>" +
                  Quoted(m_log);
    m_process = std::make_unique<platform::ChildProcess>();
    if (!m_process->Start({"/bin/sh", "-c", command})) {
        m_error = "cannot start " + command;
        return false;
    }
    const bool accepting = WaitFor(
        [&] {
            return platform::TcpConnection::ConnectLoopback(m_port) != nullptr ||
                   !m_process->IsRunning();
        },
        std::chrono::seconds(10), std::chrono::milliseconds(10));
    if (!accepting || !m_process->IsRunning()) {
        m_error = "the proxy did not accept connections on port " + std::to_string(m_port) +
                  ": " + ReadFile(m_dir.path() / "stderr.txt") + Log();
        m_process->Stop(0);
        return false;
    }
    return true;
}

void ProxyServer::Kill() {
    if (m_process) {
        m_process->Kill();
    }
}

bool ProxyServer::Restart() {
    Kill();
    return Launch();
}

std::string ProxyServer::ProxyText() const {
    return std::string(m_kind == Kind::kHttp ? "http" : "socks5") + "://127.0.0.1:" +
           std::to_string(m_port);
}

std::string ProxyServer::Log() const {
    std::error_code ec;
    return fs::exists(m_log, ec) ? ReadFile(m_log) : std::string();
}

int ProxyServer::LogCount(const std::string& text) const {
    const std::string log = Log();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace zorp::test
