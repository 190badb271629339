#include "ZorpProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <fstream>
#include <vector>

#include "core/DBWrapper.h"
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "platform/LoopbackListener.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

extern char** environ;

namespace zorp::test {

ZorpProcess::ZorpProcess(std::filesystem::path program) : m_program(std::move(program)) {
    // Never a real display: the program must find its way to the offscreen platform itself.
    UnsetEnv("DISPLAY");
    UnsetEnv("WAYLAND_DISPLAY");
    UnsetEnv("QT_QPA_PLATFORM");
    SetEnv("LANG", "en_US.UTF-8");
    m_linkPort = FreeLoopbackPort();
    SetEnv("ZORP_LINK_PORT", std::to_string(m_linkPort));
    UnsetEnv("LC_ALL");
    UnsetEnv("LC_MESSAGES");
    SetTimeScale(kDefaultTimeScale);
}

void ZorpProcess::SetTimeScale(double scale) {
    m_timeScale = scale;
    char text[32];
    const auto end = std::to_chars(text, text + sizeof(text), scale).ptr;
    SetEnv(FixedDelays::kTestScaleEnv, std::string(text, end));
}

std::chrono::milliseconds ZorpProcess::Delay(FixedDelay delay) const {
    const double ms = std::round(FixedDelays::NominalMs(delay) * m_timeScale);
    return std::chrono::milliseconds(ms < 1.0 ? 1 : static_cast<int64_t>(ms));
}

ZorpProcess::~ZorpProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

uint16_t FreeLoopbackPort() {
    auto listener = platform::LoopbackListener::Listen(0, 1);
    return listener ? listener->Port() : 0;
}

bool ZorpProcess::ConnectPage(std::chrono::milliseconds timeout) {
    if (!WaitFor([&] { return m_page.Connect(m_linkPort); }, timeout,
                 std::chrono::milliseconds(20))) {
        return false;
    }
    if (!m_page.SendRequest(LinkProtocol::In::kHello) ||
        !m_page.WaitFor(LinkProtocol::Out::kHelloReply, 10000)) {
        return false;
    }
    return m_page.SendRequest(LinkProtocol::EncodeProxy(m_pageProxy));
}

std::filesystem::path ZorpProcess::DefaultProgram() {
    return std::filesystem::path(ZORP_BIN_DIR) / "zorp";
}

bool ZorpProcess::Start(const std::filesystem::path& outputDir) {
    m_outputDir = outputDir;
    std::filesystem::create_directories(outputDir);
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& [name, value] : m_env) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : env) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = m_program.string();
    std::string out = (outputDir / "stdout.txt").string();
    std::string err = (outputDir / "stderr.txt").string();
    std::string cwd = m_cwd.empty() ? outputDir.string() : m_cwd.string();

    m_pid = fork();
    if (m_pid == 0) {
        // A crash test must not leave core files behind.
        struct rlimit noCore {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outFd < 0 || errFd < 0 || chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        dup2(outFd, 1);
        dup2(errFd, 2);
        int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, 0);
        if (m_runAsUid != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(m_runAsGid) != 0 || setuid(m_runAsUid) != 0)) {
            _exit(125);
        }
        // The test process blocks no signals the program relies on.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        char* argv[] = {program.data(), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    return m_pid > 0;
}

void ZorpProcess::Signal(int signalNumber) {
    if (m_pid > 0) {
        kill(m_pid, signalNumber);
    }
}

void ZorpProcess::SignalMainThread(int signalNumber) {
    if (m_pid > 0) {
        syscall(SYS_tgkill, m_pid, m_pid, signalNumber);
    }
}

std::optional<ZorpProcess::Exit> ZorpProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) {
        return std::nullopt;
    }
    std::optional<Exit> exit;
    WaitFor(
        [&] {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) != m_pid) {
                return false;
            }
            m_pid = -1;
            exit = Exit{WIFSIGNALED(status),
                        WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)};
            return true;
        },
        timeout);
    return exit;
}

bool ZorpProcess::MainThreadIsIdle() const {
    // The system call the thread is blocked in: 7 is poll, 271 ppoll on x86-64.
    std::ifstream syscallFile("/proc/" + std::to_string(m_pid) + "/syscall");
    std::string number;
    syscallFile >> number;
    return number == "7" || number == "271";
}

std::string ZorpProcess::Stderr() const { return ReadFile(m_outputDir / "stderr.txt"); }

bool IsLocked(const std::filesystem::path& lockFile) {
    // Read from /proc/locks: taking the lock ourselves, even briefly, could make a starting
    // copy believe another one runs.
    struct stat st {};
    if (stat(lockFile.c_str(), &st) != 0) {
        return false;
    }
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    while (std::getline(locks, line)) {
        if (line.find("FLOCK") != std::string::npos && line.find(inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::vector<std::vector<std::string>> StoredRowsOf(const std::filesystem::path& home,
                                                   const std::filesystem::path& scratch,
                                                   const char* db, const std::string& sql) {
    namespace fs = std::filesystem;
    const fs::path live = home / "data" / "Quorva" / "User Data" / db;
    const fs::path copy = scratch / "db-copy" / "copy";
    std::error_code ec;
    fs::remove_all(copy.parent_path(), ec);
    fs::create_directories(copy.parent_path(), ec);
    if (!fs::copy_file(live, copy, ec)) {
        return {};
    }
    fs::copy_file(fs::path(live.string() + "-wal"), fs::path(copy.string() + "-wal"), ec);
    DBWrapper wrapper(copy);
    if (!wrapper.open() || !wrapper.query(sql)) {
        return {};
    }
    return wrapper.rows();
}

}  // namespace zorp::test
