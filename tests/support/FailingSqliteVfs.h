#pragma once

#include <filesystem>
#include <string>

namespace zorp::test {

// A SQLite file system for tests that passes everything on to the default one and makes the
// N-th write (or sync, or truncate) of the database files under one folder fail, as a full or
// failing disk would. While the object lives it is the default file system of every new
// connection in the process; the previous default is restored when it goes.
//
// Calls are counted from the last Arm() or Count(): run a scenario once with Count() to learn
// how many writes it makes, then once for every N with Arm(..., N).
class FailingSqliteVfs {
public:
    enum class Operation { kWrite, kSync, kTruncate };
    // Only files whose path begins with `folder` are counted and failed; an empty folder takes
    // every named file.
    explicit FailingSqliteVfs(std::filesystem::path folder = {});
    ~FailingSqliteVfs();
    FailingSqliteVfs(const FailingSqliteVfs&) = delete;
    FailingSqliteVfs& operator=(const FailingSqliteVfs&) = delete;

    // Counts every operation, fails none; the counters start again at 0.
    void Count();
    // The `n`-th call (1-based) of `operation` from now on returns `code` (SQLITE_IOERR_WRITE,
    // SQLITE_FULL, ...) without touching the file; with `sticky` every later one does too, as
    // a disk that stays full.
    void Arm(Operation operation, int n, int code, bool sticky = false);
    // Lets every later call through (the counters go on).
    void Disarm();

    int Calls(Operation operation) const;
    // How many calls were made to fail since the last Arm().
    int Failures() const;

    static const char* Name(Operation operation);
};

}  // namespace zorp::test
