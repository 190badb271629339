#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <iterator>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <optional>
#include <string>
#include <vector>

#include "core/FixedDelays.h"
#include "support/LinkTestPage.h"

namespace zorp::test {

// The zorp program run as a black box: its own environment (the test's XDG folders plus
// overrides), its own current folder, standard output and error captured to files.
//
// Every copy runs with the test switch of the fixed delays on (ZORP_TEST_TIME_SCALE, see
// core/FixedDelays.h): each retry delay, network check, keep-alive, walk pause and quiet period
// is kDefaultTimeScale of its real length (the transfer stall limit, counted in whole seconds,
// never below one), so that a test sees the program's real timers fire in milliseconds instead
// of waiting out seconds. A test that needs the real timing calls SetTimeScale(1). Tests wait
// for what the program does (WaitFor on a page message, a server request, a file, the process
// state), never for a fixed time; a test that checks how long the program waited compares with
// Delay(), never with a number of its own.
class ZorpProcess {
public:
    static constexpr double kDefaultTimeScale = 0.05;

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
    // The factor of the fixed delays for the next Start, in (0, 1].
    void SetTimeScale(double scale);
    double TimeScale() const { return m_timeScale; }
    // A fixed delay as this copy waits it (the table's value times the factor, as the program
    // rounds it).
    std::chrono::milliseconds Delay(FixedDelay delay) const;
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
    // The proxy text ConnectPage hands over (empty by default: no proxy).
    void SetPageProxy(const std::string& proxy) { m_pageProxy = proxy; }
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
    double m_timeScale = kDefaultTimeScale;
    pid_t m_pid = -1;
    uid_t m_runAsUid = static_cast<uid_t>(-1);
    gid_t m_runAsGid = static_cast<gid_t>(-1);
    uint16_t m_linkPort = 0;
    std::string m_pageProxy;
    LinkTestPage m_page;
};

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort();

// True while some process holds the lock file (tries a non-blocking lock of its own).
bool IsLocked(const std::filesystem::path& lockFile);

// The rows a query gives on one of the databases of a zorp whose home is `home`, read from a
// copy of the database and its write-ahead log made in `scratch`: the test takes no part in
// the locking of a running zorp's files, so it can neither hold up nor disturb zorp's writes.
// A copy taken in the middle of a write shows the state before it or does not open (no rows);
// the next look sees more.
std::vector<std::vector<std::string>> StoredRowsOf(const std::filesystem::path& home,
                                                   const std::filesystem::path& scratch,
                                                   const char* db, const std::string& sql);

// How many times the pattern occurs in the text (a log, say).
inline std::ptrdiff_t CountMatches(const std::string& text, const std::regex& pattern) {
    return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                         std::sregex_iterator());
}

}  // namespace zorp::test
