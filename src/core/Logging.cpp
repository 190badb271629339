#include "core/Logging.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/CommandLine.h"
#include "platform/SystemInfo.h"

namespace logging {

namespace {

struct State {
    std::mutex mutex;  // guards the loggers and the captures
    std::shared_ptr<spdlog::logger> file;
    std::shared_ptr<spdlog::logger> stderrLogger;
    std::string filePath;
    std::vector<ScopedLogCapture*> captures;
    int destination = LOG_TO_SYSTEM_DEBUG_LOG;
};

State& GetState() {
    static State* state = new State();  // usable until the very end of the process
    return *state;
}

std::atomic<int> g_vlogLevel{0};
std::atomic<int> g_minStderrSeverity{LOG_INFO};
std::atomic<bool> g_logProcessId{true};
std::atomic<bool> g_logThreadId{true};
std::atomic<bool> g_logTimestamp{true};
std::atomic<bool> g_logTickcount{true};

const char* SeverityName(LogSeverity severity) {
    switch (severity) {
        case LOG_INFO: return "INFO";
        case LOG_WARNING: return "WARNING";
        case LOG_ERROR: return "ERROR";
        case LOG_FATAL: return "FATAL";
        default: return "VERBOSE";
    }
}

const char* BaseName(const char* file) {
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

std::string FormatLine(const char* file, int line, LogSeverity severity, const std::string& text) {
    std::string prefix = "[";
    if (g_logProcessId) {
        prefix += std::to_string(platform::ProcessId()) + ":";
    }
    if (g_logThreadId) {
        prefix += std::to_string(platform::CurrentThreadId()) + ":";
    }
    if (g_logTimestamp) {
        auto now = std::chrono::system_clock::now();
        std::time_t t = std::chrono::system_clock::to_time_t(now);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
        std::tm local{};
        localtime_r(&t, &local);
        prefix += fmt::sprintf("%02d%02d/%02d%02d%02d.%03d:", local.tm_mon + 1, local.tm_mday,
                               local.tm_hour, local.tm_min, local.tm_sec,
                               static_cast<int>(ms.count()));
    }
    if (g_logTickcount) {
        prefix += std::to_string(platform::TickCountMs()) + ":";
    }
    if (severity < 0) {
        prefix += "VERBOSE" + std::to_string(-severity);
    } else {
        prefix += SeverityName(severity);
    }
    prefix += ":";
    prefix += BaseName(file);
    prefix += "(" + std::to_string(line) + ")] ";
    std::string result = prefix + text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result;
}

std::shared_ptr<spdlog::logger> MakeStderrLogger() {
    auto logger = std::make_shared<spdlog::logger>("zorp-stderr",
                                                   std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_pattern("%v");
    logger->set_level(spdlog::level::trace);
    return logger;
}

}  // namespace

bool BaseInitLoggingImpl_built_with_NDEBUG(const LoggingSettings& settings) {
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.destination = settings.logging_dest;
    s.file.reset();
    s.filePath.clear();
    bool ok = true;
    if ((settings.logging_dest & LOG_TO_FILE) && !settings.log_file.empty()) {
        try {
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
                settings.log_file, settings.delete_old == DELETE_OLD_LOG_FILE);
            s.file = std::make_shared<spdlog::logger>("zorp-file", sink);
            s.file->set_pattern("%v");
            s.file->set_level(spdlog::level::trace);
            s.file->flush_on(spdlog::level::trace);
            s.filePath = settings.log_file;
        } catch (const spdlog::spdlog_ex&) {
            ok = false;
        }
    }
    if (!s.stderrLogger) {
        s.stderrLogger = MakeStderrLogger();
    }
    int level = 0;
    if (CommandLine* cl = CommandLine::ForCurrentProcess(); cl && cl->HasSwitch("v")) {
        try {
            level = std::stoi(cl->GetSwitchValueASCII("v"));
        } catch (...) {
            level = 0;
        }
    }
    g_vlogLevel = level;
    return ok;
}

void SetLogItems(bool enableProcessId, bool enableThreadId, bool enableTimestamp,
                 bool enableTickcount) {
    g_logProcessId = enableProcessId;
    g_logThreadId = enableThreadId;
    g_logTimestamp = enableTimestamp;
    g_logTickcount = enableTickcount;
}

int GetVlogLevelHelper(const char*, size_t) { return g_vlogLevel.load(std::memory_order_relaxed); }

void SetVlogLevel(int level) { g_vlogLevel = level; }

bool VlogIsOn(int level) { return g_vlogLevel.load(std::memory_order_relaxed) >= level; }

void SetMinStderrSeverity(LogSeverity severity) { g_minStderrSeverity = severity; }

std::string GetLogFilePath() {
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.filePath;
}

void Flush() {
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file) {
        s.file->flush();
    }
    if (s.stderrLogger) {
        s.stderrLogger->flush();
    }
}

void ShutdownLogging() {
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file) {
        s.file->flush();
        s.file.reset();
    }
    s.filePath.clear();
}

void LogText(const char* file, int line, LogSeverity severity, const std::string& text) {
    std::string formatted = FormatLine(file, line, severity, text);
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (ScopedLogCapture* capture : s.captures) {
        capture->Add(formatted);
    }
    if (s.file) {
        s.file->info(formatted);
    }
    // Verbose lines count as information for the standard error threshold.
    LogSeverity effective = severity < 0 ? LOG_INFO : severity;
    if ((s.destination & LOG_TO_SYSTEM_DEBUG_LOG) && effective >= g_minStderrSeverity) {
        if (!s.stderrLogger) {
            s.stderrLogger = MakeStderrLogger();
        }
        s.stderrLogger->info(formatted);
    }
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : m_file(file), m_line(line), m_severity(severity) {}

LogMessage::~LogMessage() { LogText(m_file, m_line, m_severity, m_stream.str()); }

ScopedLogCapture::ScopedLogCapture(int verboseLevel) : m_previousLevel(g_vlogLevel) {
    g_vlogLevel = std::max(verboseLevel, m_previousLevel);
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.captures.push_back(this);
}

ScopedLogCapture::~ScopedLogCapture() {
    {
        State& s = GetState();
        std::lock_guard<std::mutex> lock(s.mutex);
        std::erase(s.captures, this);
    }
    g_vlogLevel = m_previousLevel;
}

void ScopedLogCapture::Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
}

std::vector<std::string> ScopedLogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool ScopedLogCapture::Contains(const std::string& text) const { return Count(text) > 0; }

size_t ScopedLogCapture::Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& line : m_lines) {
        if (line.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

}  // namespace logging
