#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "support/LinkTestPage.h"

namespace zorp::test {

// The zorp program run as a black box: its own environment (the test's XDG folders plus
// overrides), its own current folder, standard output and error captured to files.
class ZorpProcess {
public:
    struct Exit {
        bool signalled = false;
        int code = -1;  // exit code, or the signal number when signalled
    };

    explicit ZorpProcess(std::filesystem::path program = DefaultProgram());
    ~ZorpProcess();  // kills a copy still running

    static std::filesystem::path DefaultProgram();

    void SetEnv(const std::string& name, const std::string& value) { m_env[name] = value; }
    void UnsetEnv(const std::string& name) { m_env[name] = std::nullopt; }
    void SetWorkingDir(const std::filesystem::path& dir) { m_cwd = dir; }
    // Runs the program under another user (a test running as root that needs file permissions
    // to be enforced). The caller makes the program's folders usable for that user.
    void RunAsUser(uid_t uid, gid_t gid) {
        m_runAsUid = uid;
        m_runAsGid = gid;
    }

    bool Start(const std::filesystem::path& outputDir);
    // Plays the page as a browser would at start-up: connects to this copy's link port (a free
    // one chosen per copy), says hello and sends the proxy setting, which releases zorp's
    // start-up wait. The page stays connected for the test's further use.
    bool ConnectPage(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    LinkTestPage& Page() { return m_page; }
    uint16_t LinkPort() const { return m_linkPort; }
    void Signal(int signalNumber);
    // To the main thread alone, as a fault of that thread would come.
    void SignalMainThread(int signalNumber);
    std::optional<Exit> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    pid_t Pid() const { return m_pid; }
    // True while the main thread sleeps in the event loop's poll (not in the middle of work).
    bool MainThreadIsIdle() const;
    std::string Stderr() const;

private:
    std::filesystem::path m_program;
    std::map<std::string, std::optional<std::string>> m_env;
    std::filesystem::path m_cwd;
    std::filesystem::path m_outputDir;
    pid_t m_pid = -1;
    uid_t m_runAsUid = static_cast<uid_t>(-1);
    gid_t m_runAsGid = static_cast<gid_t>(-1);
    uint16_t m_linkPort = 0;
    LinkTestPage m_page;
};

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort();

// True while some process holds the lock file (tries a non-blocking lock of its own).
bool IsLocked(const std::filesystem::path& lockFile);

}  // namespace zorp::test
