// The edit folder watcher (DirFileChangeMgr on the inotify folder watcher) while an editor
// saves: its processor time while a 1 MiB file is saved 10 times a second for 10 seconds, and
// the time from a save to the hand-over reaching the manager's window, with the real quiet
// second, for saves in place and safe saves (a temporary file renamed over the original).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/WindowMessages.h"
#include "localedit/DirFileChangeMgr.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/SystemInfo.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr int kSavesPerSecond = 10;
constexpr int kSeconds = 10;

class Sink : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_LOCALEDIT_FILE_CHANGE) {
            arrivals.push_back(Clock::now());
        }
        return 0;
    }
    std::vector<Clock::time_point> arrivals;
};

void Save(const fs::path& path, const std::string& content, bool safe) {
    const fs::path written = safe ? path.parent_path() / (".goutputstream-" + path.filename().string())
                                  : path;
    {
        std::ofstream out(written, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    if (safe) {
        fs::rename(written, path);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main() {
    const fs::path home = fs::temp_directory_path() / "zorp-bench-edit-watch";
    fs::remove_all(home);
    const fs::path edit = home / "edit";
    const fs::path doc = edit / "20240105093000" / "report.bin";
    fs::create_directories(doc.parent_path());
    std::string content(kFileSize, 'a');
    Save(doc, content, false);

    platform::PlainMessageLoop loop;
    Sink sink;
    sink.Attach(&loop);
    DirFileChangeMgr watcher(edit);
    watcher.SetNotifyWindow(sink.GetHandle());
    watcher.start();

    // Processor time of everything but the saving thread and the window's thread.
    const uint64_t processBefore = platform::ProcessCpuMicros();
    const uint64_t mainBefore = platform::ThreadCpuMicros();
    uint64_t saverMicros = 0;
    const auto begin = Clock::now();
    std::thread saver([&] {
        const uint64_t before = platform::ThreadCpuMicros();
        const auto period = std::chrono::milliseconds(1000 / kSavesPerSecond);
        for (int i = 0; i < kSavesPerSecond * kSeconds; ++i) {
            std::this_thread::sleep_until(begin + i * period);
            content[static_cast<size_t>(i) % kFileSize] = static_cast<char>('b' + i % 20);
            Save(doc, content, i % 2 == 1);
        }
        saverMicros = platform::ThreadCpuMicros() - before;
    });
    saver.join();
    const auto lastSave = Clock::now();
    loop.RunUntil([&] { return !sink.arrivals.empty(); }, 10000);
    const double saving = std::chrono::duration<double>(lastSave - begin).count();
    const double watcherMs =
        static_cast<double>(platform::ProcessCpuMicros() - processBefore - saverMicros -
                            (platform::ThreadCpuMicros() - mainBefore)) /
        1000.0;
    std::printf("%d saves of 1 MiB in %.1f s (in place and safe saves in turn)\n",
                kSavesPerSecond * kSeconds, saving);
    std::printf("  watcher CPU: %.1f ms in all, %.3f%% of one core; %zu hand-over(s)\n", watcherMs,
                100.0 * watcherMs / 1000.0 / saving, sink.arrivals.size());
    if (!sink.arrivals.empty()) {
        std::printf("  last save to hand-over: %.1f ms\n",
                    std::chrono::duration<double, std::milli>(sink.arrivals.front() - lastSave)
                        .count());
    }

    for (const bool safe : {false, true}) {
        std::vector<double> latencies;
        for (int round = 0; round < 10; ++round) {
            const size_t before = sink.arrivals.size();
            content[static_cast<size_t>(round)] = static_cast<char>('x' + round % 3);
            Save(doc, content, safe);
            const auto saved = Clock::now();
            if (!loop.RunUntil([&] { return sink.arrivals.size() > before; }, 10000)) {
                std::printf("  no hand-over after a save\n");
                return 1;
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(sink.arrivals[before] - saved).count());
        }
        std::printf("%s save to hand-over (quiet second included), 10 saves: "
                    "min %.1f ms, median %.1f ms, max %.1f ms\n",
                    safe ? "safe" : "in-place",
                    *std::min_element(latencies.begin(), latencies.end()), Median(latencies),
                    *std::max_element(latencies.begin(), latencies.end()));
    }
    watcher.Stop();
    fs::remove_all(home);
    return 0;
}
