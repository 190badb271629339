// A dropped tree of 20,000 small files in 500 folders on its way to the upload queue, against
// zorp-cloud on loopback, twice: first with nothing on the server (every folder is created,
// every file compared as new), then after the files were uploaded (every file found present
// and recorded as completed by the server). For each round and stage: seconds, files per
// second and the resident memory at the stage's peak (VmHWM, reset before each stage):
//   walk     TravelDirMgr as the dispatcher uses it (five threads, 150 ms after each batch of
//            101, cloud folders created), until the walk's last batch;
//   hash     ComputeShaMgr driven as the dispatcher drives it (at most five files in flight);
//   compare  CompareFileMgr over all hashed files, until its pass ends;
//   queue    UploadQueue as the transfer manager runs it (five listed, three running on the
//            upload pool) over the comparison's waiting records, until the list is empty:
//            every new file registered and sent; nothing to do in the present round.
// Beside it, the walk alone (listing and batching, no pause, folders known so no request)
// against `find -printf '%s %T@\n'` and a std::filesystem walk asking file_size() and
// last_write_time() over the same tree.
//
//     bench_walk_compare                         (ZORP_BENCH_FILES=2000 for a short run)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchCloud.h"
#include "cloud/CRequestContext.h"
#include "core/CWriteDbMgr.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/ChildProcess.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CalcShaResult.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaHandler.h"
#include "upload/ComputeShaMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 500;
constexpr int kGroups = 20;  // Drop/gNN/dNN: 20 groups of 25 folders holding the files

struct Stage {
    double seconds = 0;
    long peakKiB = 0;
};

struct Setup {
    fs::path home;
    fs::path drop;
    int files = 20000;
    std::unique_ptr<platform::ChildProcess> server;
    int port = 0;
    int64_t targetId = 0;
    std::map<std::string, Stage> stages;  // "new walk", "present hash", ...
    std::map<std::string, double> best;   // seconds of the listing comparisons
    size_t lastUploads = 0;
    size_t lastCompleted = 0;
    double historySeconds = 0;
    double newHistorySeconds = 0;
} g;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory since the last reset, in KiB.
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string FolderOf(int index) {
    char name[32];
    std::snprintf(name, sizeof(name), "g%02d/d%02d", index % kGroups, index / kGroups);
    return name;
}

bool MakeTree() {
    g.drop = g.home / "tree" / "Drop";
    uint64_t state = 0x9E3779B97F4A7C15ull;
    std::string content;
    for (int i = 0; i < g.files; ++i) {
        const fs::path folder = g.drop / FolderOf(i % kFolders);
        if (i < kFolders) {
            fs::create_directories(folder);
        }
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        content.assign(64 + state % 1985, static_cast<char>('a' + i % 26));
        content += std::to_string(i);
        std::ofstream(folder / ("file" + std::to_string(i) + ".txt"), std::ios::binary) << content;
    }
    return fs::exists(g.drop);
}

bool StartServer() {
    g.home = bench::MakeHome();
    if (g.home.empty()) {
        return false;
    }
    g.port = bench::StartCloud(g.server, g.home / "data", g.home / "config");
    if (g.port == 0) {
        return false;
    }
    COptions& options = COptions::GetInstance();
    options.SetWorkFolderMounts(std::vector<fs::path>{});
    if (!options.Load()) {
        return false;
    }
    options.SetUserId(1);
    CRequestContext context;
    auto reply = context.performRequest(RequestKind::kCreatePath,
                                        RequestParams("").AddText("path", "Target").Add("pid", 0));
    g.targetId = reply.Succeeded() ? reply.File()["id"].asInt64() : 0;
    return g.targetId > 0;
}

// What the dispatcher does with the workers' messages, reduced to this benchmark's needs. It
// also stands in for the transfer manager: it owns the upload queue and hands it the upload
// tasks' messages, and as the drop window it hears the queue's end.
class Dispatcher : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (queue.HandleMessage(message)) {
            return 0;
        }
        switch (message.id) {
            case WM_TRAVEL_BATCH:
                if (message.lValue == TravelDirHandler::kLastBatch) {
                    walkEnded = true;
                }
                break;
            case WM_CALC_SHA_FINISH:
                --inFlight;
                if (auto* result = message.W<CalcShaResult>()) {
                    FileBackupMgr& list = FileBackupMgr::GetInstance();
                    auto useful = list.getUsefulPath(result->path);
                    list.addShaFile(CmpWaitingFile{result->path, useful.usefulPath, useful.prefix,
                                                   result->hash, result->size});
                    ++hashed;
                }
                startCalcSha();
                break;
            case WM_CMP_UPLOAD: ++toUpload; break;
            case WM_CMP_LOOP_OVER: compareEnded = true; break;
            case WM_UPLD_ALL_DONE: queueEnded = true; break;
            case WM_NETWORK_ERROR: ++networkErrors; break;
            default: break;
        }
        return 0;
    }
    void Reset() {
        walkEnded = compareEnded = queueEnded = false;
        inFlight = hashed = toUpload = networkErrors = 0;
        waiting.clear();
    }
    // At most five hash jobs in flight, as the dispatcher keeps them.
    void startCalcSha() {
        while (inFlight < 5 && !waiting.empty()) {
            CalcShaParam param{GetHandle(), waiting.front()};
            waiting.pop_front();
            if (ComputeShaMgr::GetInstance().AddJob(param)) {
                ++inFlight;
            }
        }
    }

    bool walkEnded = false;
    bool compareEnded = false;
    bool queueEnded = false;
    UploadQueue queue;
    int inFlight = 0;
    int hashed = 0;
    int toUpload = 0;
    int networkErrors = 0;
    std::deque<fs::path> waiting;
};

platform::PlainMessageLoop* g_loop = nullptr;
Dispatcher* g_dispatcher = nullptr;
CompareFileMgr* g_compare = nullptr;

// One round: walk, hash, compare. `name` is "new" or "present".
bool RunRound(const std::string& name, benchmark::State& state) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    Dispatcher& d = *g_dispatcher;
    list.reset();
    list.setBatchTarget(g.targetId, 0);
    list.addDroppedRoot(g.drop);
    d.Reset();

    ResetPeak();
    auto start = Clock::now();
    TravelDirMgr& walker = TravelDirMgr::GetInstance();
    if (!walker.AddJob(g_dispatcher->GetHandle(), g.drop) ||
        !g_loop->RunUntil([&] { return d.walkEnded; }, 600000)) {
        state.SkipWithError("the walk did not end");
        return false;
    }
    g.stages[name + " 1 walk"] = Stage{Since(start), PeakKiB()};
    const auto paths = list.takeSubFiles(static_cast<size_t>(g.files) * 2);
    if (static_cast<int>(paths.size()) != g.files) {
        state.SkipWithError("the walk did not hand on every file");
        return false;
    }

    ResetPeak();
    start = Clock::now();
    d.waiting.assign(paths.begin(), paths.end());
    d.startCalcSha();
    if (!g_loop->RunUntil([&] { return d.hashed == g.files; }, 3600000)) {
        state.SkipWithError("hashing did not end");
        return false;
    }
    g.stages[name + " 2 hash"] = Stage{Since(start), PeakKiB()};

    ResetPeak();
    start = Clock::now();
    g_compare->SignalWork();
    if (!g_loop->RunUntil([&] { return d.compareEnded; }, 3600000)) {
        state.SkipWithError("the comparison did not end");
        return false;
    }
    g.stages[name + " 3 compare"] = Stage{Since(start), PeakKiB()};
    g.lastUploads = list.getUploadListSize();

    // As the dispatcher does when compared files come back: resume, then hand them over.
    ResetPeak();
    start = Clock::now();
    d.queue.takeFinishedNames();
    d.queue.resume();
    d.queue.upldNewFiles();
    if (!g_loop->RunUntil([&] { return d.queueEnded; }, 3600000)) {
        state.SkipWithError("the upload queue did not end");
        return false;
    }
    g.stages[name + " 4 queue"] = Stage{Since(start), PeakKiB()};
    g.lastCompleted = d.queue.takeFinishedNames().size();
    if (d.queue.HasFailedItems() || g.lastCompleted != g.lastUploads) {
        state.SkipWithError("not every upload completed");
        return false;
    }
    if (d.networkErrors > 0) {
        state.SkipWithError("network errors");
        return false;
    }
    return true;
}

void BM_DropAllNew(benchmark::State& state) {
    for (auto _ : state) {
        if (!RunRound("new", state)) {
            return;
        }
        state.SetIterationTime(g.stages["new 1 walk"].seconds + g.stages["new 2 hash"].seconds +
                               g.stages["new 3 compare"].seconds + g.stages["new 4 queue"].seconds);
        state.counters["to upload"] = static_cast<double>(g.lastUploads);
        state.counters["uploaded"] = static_cast<double>(g.lastCompleted);
        if (g.lastUploads != static_cast<size_t>(g.files)) {
            state.SkipWithError("not every file was to upload");
            return;
        }
        const auto start = Clock::now();
        CWriteDbMgr::GetInstance().WriteAllBatches();
        CWriteDbMgr::GetInstance().Flush(600000);
        g.newHistorySeconds = Since(start);
    }
}

void BM_DropAllPresent(benchmark::State& state) {
    for (auto _ : state) {
        if (!RunRound("present", state)) {
            return;
        }
        state.SetIterationTime(g.stages["present 1 walk"].seconds +
                               g.stages["present 2 hash"].seconds +
                               g.stages["present 3 compare"].seconds +
                               g.stages["present 4 queue"].seconds);
        state.counters["to upload"] = static_cast<double>(g.lastUploads);
        const auto start = Clock::now();
        CWriteDbMgr::GetInstance().WriteAllBatches();
        CWriteDbMgr::GetInstance().Flush(600000);
        g.historySeconds = Since(start);
    }
}

// The walk alone: every cloud folder already known, so no request; no pause between batches.
void BM_WalkAlone(benchmark::State& state) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    for (auto _ : state) {
        list.reset();
        list.setBatchTarget(g.targetId, 0);
        list.addDroppedRoot(g.drop);
        list.setFolderId(FileBackupMgr::folderKey(g.targetId, "Drop"), 1);
        for (int i = 0; i < kFolders; ++i) {
            list.setFolderId(FileBackupMgr::folderKey(g.targetId, "Drop/" + FolderOf(i)), 1);
        }
        const auto start = Clock::now();
        TravelDirHandler job(std::make_unique<TravelDirParam>(TravelDirParam{platform::kNoWindow, g.drop}), 0);
        job.Run();
        const double seconds = Since(start);
        if (list.getSubFileCount() != static_cast<size_t>(g.files)) {
            state.SkipWithError("the walk missed files");
            return;
        }
        state.SetIterationTime(seconds);
        g.best["walk alone"] = std::min(g.best.count("walk alone") ? g.best["walk alone"] : 1e9, seconds);
    }
    list.reset();
}

void BM_FindPrintf(benchmark::State& state) {
    const std::string command = "find '" + g.drop.string() + "' -printf '%s %T@\\n' > /dev/null";
    for (auto _ : state) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("find failed");
            return;
        }
        const double seconds = Since(start);
        state.SetIterationTime(seconds);
        g.best["find -printf"] = std::min(g.best.count("find -printf") ? g.best["find -printf"] : 1e9, seconds);
    }
}

// The start of sh and find alone (over an empty folder), to set against find's time.
void BM_FindStartOnly(benchmark::State& state) {
    fs::create_directories(g.home / "empty");
    const std::string command = "find '" + (g.home / "empty").string() + "' -printf '%s %T@\\n' > /dev/null";
    for (auto _ : state) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("find failed");
            return;
        }
        const double seconds = Since(start);
        state.SetIterationTime(seconds);
        g.best["find start"] = std::min(g.best.count("find start") ? g.best["find start"] : 1e9, seconds);
    }
}

// What a walk costs that asks libstdc++ for size and time: each call stats the file again.
void BM_StdFilesystemSizeAndTime(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        uintmax_t bytes = 0;
        int64_t times = 0;
        for (const auto& entry : fs::recursive_directory_iterator(g.drop)) {
            if (entry.is_regular_file()) {
                bytes += fs::file_size(entry.path());
                times += fs::last_write_time(entry.path()).time_since_epoch().count() & 1;
            }
        }
        benchmark::DoNotOptimize(bytes + static_cast<uintmax_t>(times));
        const double seconds = Since(start);
        state.SetIterationTime(seconds);
        g.best["std::filesystem"] = std::min(g.best.count("std::filesystem") ? g.best["std::filesystem"] : 1e9, seconds);
    }
}

}  // namespace

BENCHMARK(BM_WalkAlone)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPrintf)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindStartOnly)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdFilesystemSizeAndTime)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DropAllNew)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DropAllPresent)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (const char* files = std::getenv("ZORP_BENCH_FILES")) {
        g.files = std::max(kFolders, std::atoi(files));
    }
    benchmark::Initialize(&argc, argv);
    platform::PlainMessageLoop loop;
    Dispatcher dispatcher;
    dispatcher.queue.SetWindow(dispatcher.Attach());
    COptions::GetInstance().m_hDndWnd = dispatcher.GetHandle();
    g_loop = &loop;
    g_dispatcher = &dispatcher;
    const bool ready = StartServer() && MakeTree();
    std::unique_ptr<CompareFileMgr> compare;
    if (ready) {
        CWriteDbMgr::GetInstance().Start();
        CUpldThreadMgr::GetInstance().Start();
        ComputeShaMgr::GetInstance().Start();
        TravelDirMgr::GetInstance().Start();
        compare = std::make_unique<CompareFileMgr>();
        compare->SetNotifyWindow(dispatcher.GetHandle());
        compare->Start();
        compare->WaitForStarted(5000);
        g_compare = compare.get();
        benchmark::RunSpecifiedBenchmarks();
        compare->Shutdown(10000);
        TravelDirMgr::GetInstance().Stop();
        ComputeShaMgr::GetInstance().Stop();
        CUpldThreadMgr::GetInstance().Stop();
        CWriteDbMgr::GetInstance().Stop();
    }
    benchmark::Shutdown();
    bench::EndCloud(g.server, g.home);
    if (!ready) {
        std::fprintf(stderr, "could not start zorp-cloud or make the tree\n");
        return 1;
    }

    std::printf("\n%d files in %d folders\n", g.files, kFolders);
    std::printf("%-20s %10s %12s %14s\n", "stage", "seconds", "files/s", "peak RSS KiB");
    std::map<std::string, double> totals;
    long peak = 0;
    for (const auto& [name, stage] : g.stages) {
        totals[name.substr(0, name.find(' '))] += stage.seconds;
        peak = std::max(peak, stage.peakKiB);
        if (stage.seconds < 0.001) {  // nothing went through (the present round's queue)
            std::printf("%-20s %10.2f %12s %14ld\n", name.c_str(), stage.seconds, "-",
                        stage.peakKiB);
            continue;
        }
        std::printf("%-20s %10.2f %12.0f %14ld\n", name.c_str(), stage.seconds,
                    g.files / stage.seconds, stage.peakKiB);
    }
    for (const auto& [round, seconds] : totals) {
        std::printf("%-20s %10.2f %12.0f\n", (round + " in all").c_str(), seconds,
                    seconds > 0 ? g.files / seconds : 0.0);
    }
    std::printf("peak RSS of any stage: %ld KiB\n", peak);
    std::printf("history rows of the new round written %.2f s after its queue stage\n",
                g.newHistorySeconds);
    std::printf("history rows of the present round written %.2f s after its comparison\n",
                g.historySeconds);
    std::printf("\nwalk alone (best of 5)   %8.1f ms  %10.0f files/s\n", g.best["walk alone"] * 1e3,
                g.files / g.best["walk alone"]);
    std::printf("find -printf (best of 5) %8.1f ms  %10.0f files/s\n", g.best["find -printf"] * 1e3,
                g.files / g.best["find -printf"]);
    const double findOwn = std::max(1e-6, g.best["find -printf"] - g.best["find start"]);
    std::printf("  of which sh+find start %8.1f ms; find's own work %.1f ms, %.0f files/s\n",
                g.best["find start"] * 1e3, findOwn * 1e3, g.files / findOwn);
    std::printf("std::filesystem size+time%8.1f ms  %10.0f files/s\n",
                g.best["std::filesystem"] * 1e3, g.files / g.best["std::filesystem"]);
    std::printf("ratio walk/find: %.2f (find without its start: %.2f), std::filesystem/walk: %.2f\n",
                g.best["walk alone"] / g.best["find -printf"], g.best["walk alone"] / findOwn,
                g.best["std::filesystem"] / g.best["walk alone"]);
    return 0;
}
