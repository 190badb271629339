// zorp-cloud: a small, self-hostable server of the cloud disk's HTTP actions, with metadata in
// SQLite and file contents in a content-addressed store. Tests, benchmarks and demos run it on
// loopback; "--listen 127.0.0.1:0" picks a free port, announced on standard output as
// "listening on 127.0.0.1:PORT" once connections are accepted. "--list" prints the tree the
// data folder holds and leaves (a server may be running on it meanwhile).
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <mutex>

#include "CloudService.h"
#include "MetadataStore.h"
#include "TreeListing.h"
#include "platform/TerminationSignals.h"

namespace {

// The signal thread stops the service under this lock, so main never destroys the service
// while a stop is still running on it.
std::mutex g_serviceMutex;
CloudService* g_service = nullptr;
bool g_stopRequested = false;

// "host:port", "[v6 address]:port".
bool ParseListen(const std::string& text, ServerConfig& config) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    try {
        size_t used = 0;
        int port = std::stoi(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1 || port < 0 || port > 65535) {
            return false;
        }
        config.host = host;
        config.port = port;
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("zorp-cloud: the reference cloud-disk server");
    app.set_version_flag("--version", std::string("zorp-cloud ") + ZORP_VERSION);
    std::string listen = "127.0.0.1:18080";
    ServerConfig config;
    std::string dataDir;
    app.add_option("--listen", listen, "address and port to bind (port 0: any free port)");
    app.add_option("--data", dataDir, "folder for the metadata and the stored files")->required();
    app.add_option("--quota", config.quota, "bytes all files may take (default: no limit)");
    app.add_option("--session", config.session, "accept only requests of this session id");
    bool list = false;
    app.add_flag("--list", list, "print the files and folders the data folder holds, then exit");
    bool ids = false;
    app.add_flag("--ids", ids, "with --list: end each line with the entry's id");
    CLI11_PARSE(app, argc, argv);
    if (list) {
        MetadataStore metadata;
        std::string error;
        if (!std::filesystem::exists(std::filesystem::path(dataDir) / "metadata.db") ||
            !metadata.Open(std::filesystem::path(dataDir) / "metadata.db", &error)) {
            std::cerr << "zorp-cloud: no disk in " << dataDir << (error.empty() ? "" : ": ") << error
                      << "\n";
            return 1;
        }
        TreeListing::Print(metadata, std::cout, ids);
        return 0;
    }
    if (!ParseListen(listen, config)) {
        std::cerr << "zorp-cloud: --listen wants HOST:PORT, got " << listen << "\n";
        return 2;
    }
    config.dataDir = dataDir;
    // Before any thread starts: the signal is then routed to the handler's own thread.
    platform::InstallTerminationHandler([](int) {
        std::lock_guard<std::mutex> lock(g_serviceMutex);
        g_stopRequested = true;
        if (g_service) {
            g_service->Stop();
        }
    });

    CloudService service(config);
    std::string error;
    if (!service.Start(&error)) {
        std::cerr << "zorp-cloud: " << error << "\n";
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(g_serviceMutex);
        if (g_stopRequested) {
            return 0;
        }
        g_service = &service;
    }
    const bool v6 = config.host.find(':') != std::string::npos;
    std::cout << "listening on " << (v6 ? "[" + config.host + "]" : config.host) << ":"
              << service.Port() << std::endl;
    service.Run();
    {
        std::lock_guard<std::mutex> lock(g_serviceMutex);
        g_service = nullptr;
    }
    return 0;
}
