#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
    Stop();
    if (m_stdout >= 0) {
        ::close(m_stdout);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv) {
    if (argv.empty() || m_pid > 0) {
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the parent may have threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);  // the parent died before the death signal was armed
        }
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
        }
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_stdout = pipeFds[0];
    m_pid = pid;
    m_pending.clear();
    m_outputEnded = false;
    m_exitCode.reset();
    return true;
}

std::optional<std::string> ChildProcess::ReadLine(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (m_stdout < 0 || m_outputEnded) {
            return std::nullopt;
        }
        pollfd entry{m_stdout, POLLIN, 0};
        int rc = ::poll(&entry, 1, RemainingMs(deadline));
        if (rc == 0) {
            return std::nullopt;
        }
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        char buffer[4096];
        ssize_t n = ::read(m_stdout, buffer, sizeof(buffer));
        if (n > 0) {
            m_pending.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            m_outputEnded = true;
        }
    }
}

bool ChildProcess::Reap(bool block) {
    if (m_pid <= 0) {
        return true;
    }
    int status = 0;
    pid_t done = ::waitpid(static_cast<pid_t>(m_pid), &status, block ? 0 : WNOHANG);
    if (done == static_cast<pid_t>(m_pid)) {
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status)
                                       : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
        m_pid = -1;
        return true;
    }
    if (done < 0 && errno == ECHILD) {
        m_exitCode = -1;
        m_pid = -1;
        return true;
    }
    return false;
}

bool ChildProcess::IsRunning() { return m_pid > 0 && !Reap(false); }

std::optional<int> ChildProcess::Wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0 && !Reap(false)) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_exitCode;
}

int ChildProcess::Kill() {
    if (m_pid > 0 && !Reap(false)) {
        ::kill(static_cast<pid_t>(m_pid), SIGKILL);
        Reap(true);
    }
    return m_exitCode.value_or(-1);
}

int ChildProcess::Stop(int graceMs) {
    if (m_pid > 0 && !Reap(false)) {
        ::kill(static_cast<pid_t>(m_pid), SIGTERM);
        if (!Wait(graceMs)) {
            ::kill(static_cast<pid_t>(m_pid), SIGKILL);
            Reap(true);
        }
    }
    return m_exitCode.value_or(-1);
}

}  // namespace platform
