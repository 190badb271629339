#include "platform/CrashHandler.h"

#define BACKWARD_HAS_DW 1
#include <backward.hpp>
#include <cxxabi.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <typeinfo>

namespace platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE};
constexpr size_t kAltStackSize = 8u << 20;
constexpr unsigned kReportSeconds = 20;
constexpr size_t kSymboliseStackSize = 64u << 20;

// Everything the handler needs is prepared beforehand in fixed buffers: a crashed process
// cannot be trusted to build paths or look up strings.
char g_reportPath[4096];
char g_message[512];
char g_terminateReason[1024];
std::atomic<int> g_firstSignal{0};  // the signal being reported, 0 before any

void WriteAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void WriteText(int fd, const char* text) { WriteAll(fd, text, std::strlen(text)); }

void CopyText(char* target, size_t size, const std::string& text) {
    size_t n = std::min(size - 1, text.size());
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

void* FaultAddress(void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(REG_RIP)
    return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return nullptr;
#endif
}

void WriteReport(int signalNumber, siginfo_t* info, void* context) {
    int fd = open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    char header[512];
    std::time_t now = std::time(nullptr);
    std::snprintf(header, sizeof header,
                  "zorp crash report\nprocess %ld, thread %ld, time %ld\nsignal %d (%s), code %d, "
                  "address %p\n",
                  static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                  static_cast<long>(now), signalNumber, strsignal(signalNumber),
                  info ? info->si_code : 0, info ? info->si_addr : nullptr);
    WriteText(fd, header);
    if (g_terminateReason[0]) {
        WriteText(fd, g_terminateReason);
        WriteText(fd, "\n");
    }
    WriteText(fd, "\nStack of the faulting thread:\n");
    FILE* out = fdopen(fd, "w");
    if (!out) {
        close(fd);
        return;
    }
    backward::StackTrace trace;
    void* pc = context ? FaultAddress(context) : nullptr;
    if (pc) {
        trace.load_from(pc, 64, context, info ? info->si_addr : nullptr);
    } else {
        trace.load_here(64, context, info ? info->si_addr : nullptr);
    }
    // The bare addresses first: if symbolising faults in turn, these are still on record.
    std::fprintf(out, "Frames (addresses):");
    for (size_t i = 0; i < trace.size(); ++i) {
        std::fprintf(out, " %p", trace[i].addr);
    }
    std::fprintf(out, "\n\n");
    std::fflush(out);
    // Symbolising reads the debug information and needs far more stack than unwinding; the
    // faulting thread may have little left (or run under a sanitizer's larger frames), so it
    // is done on a thread of its own with a large stack, while this one waits.
    struct PrintJob {
        backward::StackTrace* trace;
        FILE* out;
    } job{&trace, out};
    auto print = [](void* arg) -> void* {
        auto* printJob = static_cast<PrintJob*>(arg);
        backward::Printer printer;
        printer.address = true;
        printer.object = true;
        printer.snippet = false;
        printer.color_mode = backward::ColorMode::never;
        printer.print(*printJob->trace, printJob->out);
        return nullptr;
    };
    pthread_attr_t attributes;
    pthread_t printer;
    bool started = pthread_attr_init(&attributes) == 0 &&
                   pthread_attr_setstacksize(&attributes, kSymboliseStackSize) == 0 &&
                   pthread_create(&printer, &attributes, print, &job) == 0;
    if (started) {
        pthread_join(printer, nullptr);
    } else {
        print(&job);
    }
    std::fclose(out);
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void* context) {
    int expected = 0;
    if (g_firstSignal.compare_exchange_strong(expected, signalNumber)) {
        // Symbolising is not async-signal-safe: a fault inside the allocator could hang it.
        // The alarm's default action ends the process then instead of leaving it hanging.
        alarm(kReportSeconds);
        // The message first: it reaches the user even when the report cannot be finished.
        WriteText(STDERR_FILENO, g_message);
        WriteText(STDERR_FILENO, "\n");
        WriteReport(signalNumber, info, context);
    } else {
        // A fault while reporting (or on another thread meanwhile): one report is enough, and
        // the process ends by the signal that started it, as the parent should see.
        char line[160];
        std::snprintf(line, sizeof line, "signal %d at %p (address %p) while reporting signal %d\n",
                      signalNumber, context ? FaultAddress(context) : nullptr,
                      info ? info->si_addr : nullptr, expected);
        WriteText(STDERR_FILENO, line);
        signalNumber = expected;
    }
    // SA_NODEFER leaves the signal unblocked, so with the default action back this ends the
    // process by that signal (and a core dump where enabled).
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

[[noreturn]] void OnTerminate() {
    std::string reason = "uncaught exception";
    if (std::type_info* type = abi::__cxa_current_exception_type()) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
        reason += std::string(" of type ") + (status == 0 && demangled ? demangled : type->name());
        std::free(demangled);
        try {
            std::rethrow_exception(std::current_exception());
        } catch (const std::exception& e) {
            reason += std::string(": ") + e.what();
        } catch (...) {
        }
    } else {
        reason = "std::terminate called without an active exception";
    }
    CopyText(g_terminateReason, sizeof g_terminateReason, reason);
    std::abort();  // reported by the SIGABRT handler, with this thread's stack
}

}  // namespace

void PrepareThreadForCrashReports() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= kAltStackSize) {
        return;
    }
    // Never freed: the thread may crash at any moment of its life.
    stack_t stack{};
    stack.ss_sp = std::malloc(kAltStackSize);
    stack.ss_size = kAltStackSize;
    stack.ss_flags = 0;
    if (stack.ss_sp) {
        sigaltstack(&stack, nullptr);
    }
}

void InstallCrashHandler(const std::filesystem::path& reportPath, const std::string& message) {
    CopyText(g_reportPath, sizeof g_reportPath, reportPath.string());
    SetCrashMessage(message);
    PrepareThreadForCrashReports();
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    // No SA_RESETHAND: a fault while reporting must come back here to end the process by the
    // first signal. SA_NODEFER lets that nested fault in, and lets the final raise through.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kFatalSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
    std::set_terminate(OnTerminate);
}

void SetCrashMessage(const std::string& message) {
    CopyText(g_message, sizeof g_message, message);
}

}  // namespace platform
