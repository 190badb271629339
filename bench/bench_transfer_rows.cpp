// What the window thread spends on the rows of one file of a large drop: the transfer manager
// (hidden, as it usually is during a drop) lists the file's row, may show it running, and turns
// it into a finished row, with five listed rows and a hundred finished ones around it as in a
// drop of thousands of files. Each cycle also lets the event loop run once, so that the
// deferred deletions and the list's delayed layout are counted where they happen.
// Run: build/default/bin/bench_transfer_rows (about a minute per benchmark before the rows got
// cheaper).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/CommonUtils.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "platform/SystemInfo.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/QtMessageLoop.h"
#include "upload/UpldTaskInfo.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kListed = 5;  // UploadQueue::kMaxListed

void PrepareProcess() {
    static bool prepared = [] {
        const char* dir = std::getenv("ZORP_BENCH_DIR");
        const fs::path root =
            (dir && *dir ? fs::path(dir) : fs::temp_directory_path()) / "zorp-bench-transfer-rows";
        CommonUtils::DeleteFolderTree(root, true);
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
            fs::create_directories(root / name);
            ::setenv(name, (root / name).c_str(), 1);
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "bench_transfer_rows";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        new QtMessageLoop();
        CPaintManagerUI::SetResourcePath(platform::ExecutableDir() / "ui");
        COptions::GetInstance().m_uiLanguage = 1033;
        return true;
    }();
    (void)prepared;
}

UpldTaskInfo Info(int32_t id) {
    UpldTaskInfo info;
    info.taskIndex = id;
    info.folder = "/nowhere/drop";
    // A few kinds of file, so that the rows do not all show one icon.
    static const char* const kExtensions[] = {".txt", ".jpg", ".pdf", ".zip", ".doc", ".mp3"};
    info.name = "file" + std::to_string(id) + kExtensions[id % 6];
    info.fileSize = 4096 + id;
    return info;
}

// `running`: the row is shown running once between being listed and finishing, as a started
// upload's first status does.
void RowCycles(benchmark::State& state, bool running, bool shown) {
    PrepareProcess();
    CMainUiDlg dlg;
    dlg.Create("Transmission Manager",
               CMainUiDlg::DefaultGeometry(QGuiApplication::primaryScreen()->availableGeometry()),
               {});
    if (shown) {
        dlg.ShowWindow(true, false);
    }
    CUpldPage& page = dlg.GetUploadPage();
    int32_t next = 1;
    for (; next <= kListed; ++next) {
        page.OnUpldRowAdded(Info(next));
    }
    // The oldest listed row finishes as the next file is listed.
    const auto cycle = [&] {
        page.OnUpldRowAdded(Info(next));
        UpldTaskInfo done = Info(next - kListed);
        if (running) {
            done.running = true;
            done.state = TSE_TRANSFERRING;
            page.OnUpldRowChanged(done);
        }
        done.running = false;
        done.state = TSE_COMPLETED;
        done.breakPoint = done.fileSize;
        page.OnUpldRowFinished(done, false);
        ++next;
        QCoreApplication::processEvents();
        // Outside a running event loop processEvents leaves the deferred deletions waiting.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    // A full list first: the steady state of a long drop.
    while (page.GetFinishedRowCount() < TransferPage::kMaxFinishedRows) {
        cycle();
    }
    for (auto _ : state) {
        cycle();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_AddAndFinishRow(benchmark::State& state) { RowCycles(state, false, false); }
void BM_AddRunAndFinishRow(benchmark::State& state) { RowCycles(state, true, false); }
void BM_AddRunAndFinishRowShown(benchmark::State& state) { RowCycles(state, true, true); }

}  // namespace

BENCHMARK(BM_AddAndFinishRow)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddRunAndFinishRow)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddRunAndFinishRowShown)->Iterations(10000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
