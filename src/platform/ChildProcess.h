#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Another program run by this one whose standard output this one reads line by line (test
// fixtures and benchmarks start zorp-cloud and zorp this way). Standard input is /dev/null and
// standard error is shared. The child is killed when this process dies, so a crashed test
// leaves no server behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // stops the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path (not looked up on PATH). False when it could not start.
    bool Start(const std::vector<std::string>& argv);

    // The next line of the child's standard output without its line end; nullopt when the
    // output ended or nothing complete arrived within the time.
    std::optional<std::string> ReadLine(int timeoutMs);

    bool IsRunning();
    int64_t Pid() const { return m_pid; }

    // Asks the child to end (SIGTERM), kills it after `graceMs`, and reaps it. Returns its exit
    // code, 128 + the signal number when a signal ended it, or -1 when nothing ran.
    int Stop(int graceMs = 5000);
    // Kills the child at once (SIGKILL), as a crash would end it, and reaps it.
    int Kill();

    // Waits for the child to end by itself; nullopt when it still runs after the time.
    std::optional<int> Wait(int timeoutMs);

private:
    bool Reap(bool block);

    int64_t m_pid = -1;
    int m_stdout = -1;
    std::string m_pending;  // output read past the last returned line
    bool m_outputEnded = false;
    std::optional<int> m_exitCode;
};

}  // namespace platform
