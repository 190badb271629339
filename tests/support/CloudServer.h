#pragma once

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "support/TempDir.h"

namespace zorp::test {

// A zorp-cloud of a test's own: the real server program (from the build's bin folder),
// started on a free loopback port with a fresh data folder, and stopped when the object goes,
// also when the test fails (and killed with the test process if that crashes). Every
// integration and end-to-end test that needs the cloud disk uses it.
//
//     CloudServer server;
//     ASSERT_TRUE(server.Start()) << server.Error();
//     server.UseForOptions();                 // COptions' URLs now point at it
//     server.SetFault("upload", "drop", {{"bytes", "65536"}});
class CloudServer {
public:
    struct Config {
        int64_t quota = -1;       // bytes; negative: no limit
        std::string session;      // when set, requests must carry this session id
    };

    CloudServer();
    explicit CloudServer(Config config);
    ~CloudServer();
    CloudServer(const CloudServer&) = delete;
    CloudServer& operator=(const CloudServer&) = delete;

    // Starts the server and waits (10 s at most) for its "listening on" line.
    bool Start();
    // Ends the server the way a signal does (SIGTERM), or at once (SIGKILL) with `kill`.
    void Stop(bool kill = false);
    // Starts it again on the same port and data folder, as after a crash or a reboot.
    bool Restart();
    bool IsRunning();
    const std::string& Error() const { return m_error; }

    int Port() const { return m_port; }
    std::string WebHost() const;         // "web.localhost:PORT"
    std::string WebBaseUrl() const;      // "http://web.localhost:PORT"
    std::string DownloadBaseUrl() const; // "http://download.localhost:PORT"
    std::string DownloadUrl(int64_t fid) const;  // the address a download task carries
    const std::filesystem::path& DataDir() const { return m_dataDir; }

    // Points COptions at this server: writes "appConfig" with {"host": WebHost()} into
    // $XDG_CONFIG_HOME/zorp (the test's own) and rebuilds the options' URLs.
    void UseForOptions() const;

    // Switches a fault on (kinds and values: tools/zorp-cloud/AdminActions.h).
    bool SetFault(const std::string& action, const std::string& kind,
                  const std::map<std::string, std::string>& values = {});
    // Switches every fault off and forgets the logged requests.
    bool ClearFaults();
    // The header lines (request line first) of the logged requests of `action`, oldest first.
    std::vector<std::vector<std::string>> RequestHeaderLines(const std::string& action);
    // What the logged requests of `action` carried, oldest first: the request line ("POST
    // /qcd/...? HTTP/1.1", a GET's parameters in it) and the form body (empty for GET and
    // for chunks).
    struct RequestText {
        std::string line;
        std::string body;
    };
    std::vector<RequestText> RequestTexts(const std::string& action);
    // The break point of each GET of the download action, oldest first (0 for one without);
    // header probes (HEAD) are left out, and counted by ProbeCount.
    std::vector<int64_t> DownloadBreakPoints();
    size_t ProbeCount();
    // File count, bytes used, live faults.
    Json::Value State();
    // A complete file made on the server at once (AdminActions::Plant): `fill` "zero" (sparse)
    // or "random" (bytes of `seed`). The file's record ("id", "hash", "size"), null on failure.
    Json::Value Plant(const std::string& name, int64_t size, int64_t pid = 0,
                      const std::string& fill = "random", int64_t seed = 1);

    // GET of an admin path ("/admin/state"); the parsed envelope, null when unreachable.
    Json::Value Admin(const std::string& pathAndQuery);

private:
    bool Launch(int port);

    Config m_config;
    TempDir m_home{"zorp-cloud"};
    std::filesystem::path m_dataDir;
    std::unique_ptr<platform::ChildProcess> m_process;
    int m_port = 0;
    std::string m_error;
};

}  // namespace zorp::test
