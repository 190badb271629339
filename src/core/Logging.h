#pragma once

#include <fmt/printf.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

// The program's logging layer. Every line carries the process id, the thread id, a time stamp,
// the tick count, the source file and the line. Verbose lines (VLOG) are written only when the
// "v" switch of the process command line is at least their level.
namespace logging {

using LogSeverity = int;
inline constexpr LogSeverity LOG_VERBOSE = -1;  // verbose level n is written as -n
inline constexpr LogSeverity LOG_INFO = 0;
inline constexpr LogSeverity LOG_WARNING = 1;
inline constexpr LogSeverity LOG_ERROR = 2;
inline constexpr LogSeverity LOG_FATAL = 3;

enum LoggingDestination : int {
    LOG_NONE = 0,
    LOG_TO_FILE = 1,
    LOG_TO_SYSTEM_DEBUG_LOG = 2,  // standard error
    LOG_TO_ALL = LOG_TO_FILE | LOG_TO_SYSTEM_DEBUG_LOG,
};

enum OldFileDeletionState : int { APPEND_TO_OLD_LOG_FILE = 0, DELETE_OLD_LOG_FILE = 1 };

struct LoggingSettings {
    int logging_dest = LOG_TO_ALL;
    std::string log_file;
    int delete_old = APPEND_TO_OLD_LOG_FILE;
};

// Opens the log file and reads the verbose level from the "v" switch of the process command
// line. Returns false when the log file cannot be opened (standard error still works).
bool BaseInitLoggingImpl_built_with_NDEBUG(const LoggingSettings& settings);
inline bool InitLogging(const LoggingSettings& settings) {
    return BaseInitLoggingImpl_built_with_NDEBUG(settings);
}

// Which items prefix every line.
void SetLogItems(bool enableProcessId, bool enableThreadId, bool enableTimestamp,
                 bool enableTickcount);

// The verbose level in force; the file name is accepted for per-file levels, which this
// program does not use.
int GetVlogLevelHelper(const char* file, size_t length);
void SetVlogLevel(int level);
bool VlogIsOn(int level);

// Minimum severity written to standard error (the file gets every enabled line).
void SetMinStderrSeverity(LogSeverity severity);

// Flushes and closes the log file.
void ShutdownLogging();
void Flush();

// The file that InitLogging opened, empty when none.
std::string GetLogFilePath();

// One log line, written when the object is destroyed.
class LogMessage {
public:
    LogMessage(const char* file, int line, LogSeverity severity);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    std::ostream& stream() { return m_stream; }

private:
    const char* m_file;
    int m_line;
    LogSeverity m_severity;
    std::ostringstream m_stream;
};

void LogText(const char* file, int line, LogSeverity severity, const std::string& text);

// Collects every line written while it exists (tests read the log this way). Verbose lines are
// enabled at `verboseLevel` meanwhile.
class ScopedLogCapture {
public:
    explicit ScopedLogCapture(int verboseLevel = 1);
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Contains(const std::string& text) const;
    size_t Count(const std::string& text) const;

private:
    friend void LogText(const char*, int, LogSeverity, const std::string&);
    void Add(const std::string& line);
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    int m_previousLevel;
};

}  // namespace logging

#define LOG(severity) ::logging::LogMessage(__FILE__, __LINE__, ::logging::LOG_##severity).stream()
#define VLOG(level)                   \
    if (!::logging::VlogIsOn(level)) \
        ;                             \
    else                              \
        ::logging::LogMessage(__FILE__, __LINE__, -(level)).stream()

// printf-style forms: the log texts of this program are printf formats.
#define LOGF(severity, ...) \
    ::logging::LogText(__FILE__, __LINE__, ::logging::LOG_##severity, ::fmt::sprintf(__VA_ARGS__))
#define VLOGF(level, ...)                                                                  \
    do {                                                                                   \
        if (::logging::VlogIsOn(level))                                                    \
            ::logging::LogText(__FILE__, __LINE__, -(level), ::fmt::sprintf(__VA_ARGS__)); \
    } while (0)
