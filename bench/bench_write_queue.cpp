// Rows per second through the database write queue, database files on disk:
//   dl_undo   10,000 unfinished-download rows, written in batches of 10 (1,000 jobs)
//   history   1,000 history rows, one job each
// each with SQLite's default rollback journal and with write-ahead log + synchronous=NORMAL.
// Time runs from the first statement handed to the queue until the queue reports all written.
//
// The files go under $ZORP_BENCH_DIR, else the system temporary folder: check with `df` that it
// is a real disk and not tmpfs, or the figures mean nothing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Options.h"

namespace fs = std::filesystem;

namespace {

enum Journal { kRollbackJournal = 0, kWriteAheadLog = 1 };

fs::path BenchRoot() {
    const char* dir = std::getenv("ZORP_BENCH_DIR");
    return dir && *dir ? fs::path(dir) : fs::temp_directory_path();
}

// A fresh user data folder with the three databases, in the journal mode being measured.
fs::path PrepareDatabases(int run, Journal journal) {
    fs::path root = BenchRoot() / ("zorp-bench-write-queue-" + std::to_string(run));
    CommonUtils::DeleteFolderTree(root, true);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        fs::create_directories(root / name);
        ::setenv(name, (root / name).c_str(), 1);
    }
    DBWrapper::SetUseWriteAheadLog(journal == kWriteAheadLog);
    COptions& options = COptions::GetInstance();
    options.SetWorkFolderMounts(std::vector<fs::path>{});  // never touch the machine's disks
    if (!options.Load()) {
        std::abort();
    }
    options.SetUserId(1);
    return root;
}

void RunWorkload(benchmark::State& state, bool history) {
    const Journal journal = static_cast<Journal>(state.range(0));
    const int rows = history ? 1000 : 10000;
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::path root = PrepareDatabases(run++, journal);
        CWriteDbMgr queue;
        queue.Start();
        std::vector<CWriteDbMgr::DlUndoRecord> records;
        for (int i = 0; i < rows && !history; ++i) {
            records.push_back({1 << 20, i * 4096, "/home/u/Downloads/file-" + std::to_string(i) + ".bin",
                               "http://download.localhost:18080/qcd/fileshare/downloadFileAction.json?fid=" +
                                   std::to_string(i),
                               8});
        }
        state.ResumeTiming();

        if (history) {
            for (int i = 0; i < rows; ++i) {
                queue.AddLog("file-" + std::to_string(i) + ".txt", "/home/u/Documents", i, 1);
            }
        } else {
            queue.AddInDlUndoLog(records);
            queue.WriteTxBatch();
        }
        if (!queue.Flush(600000) || queue.GetDroppedJobCount() != 0) {
            state.SkipWithError("rows were not written");
        }

        state.PauseTiming();
        queue.Stop();
        CommonUtils::DeleteFolderTree(root, true);
        state.ResumeTiming();
    }
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(rows) * state.iterations(), benchmark::Counter::kIsRate);
    state.SetLabel(journal == kWriteAheadLog ? "WAL + synchronous=NORMAL" : "rollback journal");
}

void BM_DlUndoBatchesOfTen(benchmark::State& state) { RunWorkload(state, false); }
void BM_HistoryOnePerJob(benchmark::State& state) { RunWorkload(state, true); }

}  // namespace

BENCHMARK(BM_DlUndoBatchesOfTen)
    ->Arg(kRollbackJournal)->Arg(kWriteAheadLog)
    ->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HistoryOnePerJob)
    ->Arg(kRollbackJournal)->Arg(kWriteAheadLog)
    ->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
