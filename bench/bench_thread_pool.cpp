// Jobs per second through a 5-thread pool: empty jobs (the pool's own cost per job) and jobs
// that hash one 128 KiB block each (the size the hash and upload workers use).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <atomic>
#include <vector>

#include "core/CFThreadPool.h"
#include "platform/Event.h"

namespace {

struct Counter {
    std::atomic<int64_t> done{0};
    platform::Event allDone{true, false};
    int64_t target = 0;
    void Finish() {
        if (++done == target) {
            allDone.Set();
        }
    }
};

class EmptyJob : public CFJobBase<Counter*> {
public:
    explicit EmptyJob(Counter* c) : CFJobBase<Counter*>(c) {}
    void Run() override {}
    void OnFinalize() override { GetParam()->Finish(); }
};

const std::vector<unsigned char>& Block() {
    static std::vector<unsigned char> block(128 * 1024, 0x5A);
    return block;
}

class HashBlockJob : public CFJobBase<Counter*> {
public:
    explicit HashBlockJob(Counter* c) : CFJobBase<Counter*>(c) {}
    void Run() override {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(Block().data(), Block().size(), digest, &length, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    void OnFinalize() override { GetParam()->Finish(); }
};

template <typename JobType>
void RunJobs(benchmark::State& state) {
    const int64_t jobs = state.range(0);
    auto pool = CFThreadPool<Counter*>::Create(nullptr);
    pool->Start(5, 5);
    for (auto _ : state) {
        Counter counter;
        counter.target = jobs;
        for (int64_t i = 0; i < jobs; ++i) {
            pool->SubmitJob(std::make_unique<JobType>(&counter));
        }
        counter.allDone.Wait();
    }
    pool->Destroy();
    state.SetItemsProcessed(state.iterations() * jobs);
    state.counters["jobs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * jobs), benchmark::Counter::kIsRate);
}

void BM_EmptyJobs(benchmark::State& state) { RunJobs<EmptyJob>(state); }
void BM_Hash128KiBJobs(benchmark::State& state) {
    RunJobs<HashBlockJob>(state);
    state.SetBytesProcessed(state.iterations() * state.range(0) * 128 * 1024);
}

}  // namespace

BENCHMARK(BM_EmptyJobs)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hash128KiBJobs)->Arg(2000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
