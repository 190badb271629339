#pragma once

#include <cstdint>
#include <string>

// What one write-queue job writes: a batch of statements for one database file. The job owns
// it and it goes away with the job, whether the job ran or was cancelled.
struct CWriteDbParam {
    std::string dbPath;  // full path of the database file, UTF-8
    std::string sql;     // one or more statements, each ending with ";"
    // Place of the job among the jobs of the same database: they are written strictly in this
    // order even when several pool threads are free (see CWriteDbMgr).
    uint64_t sequence = 0;
};
