// The process entry: one copy per user, logging as "log.properties" says, the subsystems
// started in a fixed order, the two top-level windows, the message loop on the main thread,
// and after it everything stopped in a fixed order.
#include <curl/curl.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QtGlobal>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "autobackup/BackupExitTime.h"
#include "autobackup/CheckDirChangeMgr.h"
#include "autobackup/CheckDirChangeThreadMgr.h"
#include "cloud/MiscToolMgr.h"
#include "core/AtExitManager.h"
#include "core/CWriteDbMgr.h"
#include "core/CommandLine.h"
#include "core/FixedDelays.h"
#include "core/LogProperties.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/ProgramFiles.h"
#include "download/CDnldThreadMgr.h"
#include "download/FileDownloadMgr.h"
#include "download/LocalEditDnldMgr.h"
#include "link/ClientInterfaceMgr.h"
#include "localedit/DirFileChangeMgr.h"
#include "localedit/LocalEditMgr.h"
#include "localedit/LocalEditToolMgr.h"
#include "platform/ClipboardPlaceholder.h"
#include "platform/CrashHandler.h"
#include "platform/ProcessLimits.h"
#include "platform/SingleInstanceGuard.h"
#include "platform/SystemInfo.h"
#include "platform/TerminationSignals.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"
#include "ui/CAutoBackupUiDlg.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/QtMessageLoop.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirMgr.h"

namespace fs = std::filesystem;

namespace {

// Windows' code page number for UTF-8: every text this program writes is UTF-8.
constexpr int kUtf8CodePage = 65001;
constexpr uint64_t kOpenFileLimit = 2048;

// Set by the termination signal's thread; the entry looks at it once the drop window exists.
std::atomic<bool> g_quitRequested{false};

// $XDG_DATA_HOME/Quorva/User Data, where the crash report goes. Known before anything else
// runs, so that a crash during start-up is reported too.
fs::path UserDataDir() {
    fs::path base(platform::EnvOr("XDG_DATA_HOME", ""));
    if (base.empty() || !base.is_absolute()) {
        base = platform::HomeDir() / ".local" / "share";
    }
    return base / "Quorva" / "User Data";
}

const char* const kHelpText =
    "Usage: zorp [--help] [--version]\n"
    "\n"
    "zorp is the local companion of a web cloud disk. It starts with the desktop session,\n"
    "waits for the disk's web page on the local link (127.0.0.1, port 23175, or\n"
    "$ZORP_LINK_PORT) and carries out what the page asks: uploads, downloads, local edits,\n"
    "automatic backups and clipboard pastes against the disk's server. One copy runs per\n"
    "user; a second one leaves at once.\n"
    "\n"
    "Files, each read from the first place that has it: the program folder, then\n"
    "share/zorp beside the program's bin folder, then $XDG_CONFIG_HOME/zorp:\n"
    "  appConfig       {\"host\": \"web.example.org\"}: the server (web. and download. hosts)\n"
    "  log.properties  {\"enable\": 1, \"path\": \"/some/folder\"}: verbose log lines and\n"
    "                  the log file's folder\n"
    "Settings, unfinished transfers and the history: $XDG_DATA_HOME/Quorva/User Data.\n"
    "\n"
    "Options:\n"
    "  --help                 print this text and exit\n"
    "  --version              print the version and exit\n"
    "  --test-time-scale=F    tests only: every fixed delay times F, 0 < F <= 1\n";

// zorp reads no switch of its own but the test switch; these two say what it is and leave
// before anything starts (no lock taken, no log written). True when one was answered.
bool AnswerInfoSwitch(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "zorp " << ZORP_VERSION << "\n";
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kHelpText;
            return true;
        }
    }
    return false;
}

// SIGINT, SIGTERM and SIGHUP close the program the way its own quit does: through the drop
// window's close handling, on the main thread.
void OnTerminationSignal(int signalNumber) {
    g_quitRequested = true;
    platform::WindowHandle dnd = COptions::GetInstance().m_hDndWnd.load();
    if (dnd != platform::kNoWindow) {
        platform::PostMessage(dnd, platform::WM_CLOSE);
    } else {
        // Still waiting for the page: end that wait; start-up then leaves early.
        ClientInterfaceMgr::GetInstance().SetStopFlag();
    }
    (void)signalNumber;
}

// Qt's own warnings (a skin it cannot read, a missing platform plugin) belong in our log.
void QtMessageToLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    const char* file = context.file ? context.file : "qt";
    // The offscreen platform says so for every window it cannot raise or resize as asked;
    // that is expected without a display and only worth a verbose line.
    const bool offscreenNotice = text.startsWith("This plugin does not support");
    if (type == QtDebugMsg || type == QtInfoMsg || (type == QtWarningMsg && offscreenNotice)) {
        if (logging::VlogIsOn(1)) {
            logging::LogText(file, context.line, -1, text.toStdString());
        }
        return;
    }
    switch (type) {
        case QtWarningMsg:
            logging::LogText(file, context.line, logging::LOG_WARNING, text.toStdString());
            break;
        default: logging::LogText(file, context.line, logging::LOG_ERROR, text.toStdString()); break;
    }
}

// Without a display the windows still exist, on Qt's offscreen platform: zorp works headless.
void ChooseQtPlatform() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

void InitLogging(const fs::path& programDir, const std::string& logFileName) {
    LogProperties props = LogProperties::Read(ProgramFiles::Candidates(programDir, "log.properties"));
    CommandLine* commandLine = CommandLine::ForCurrentProcess();
    if (props.enable && commandLine) {
        commandLine->AppendSwitch("enable-logging");
        commandLine->AppendSwitchASCII("v", "1");
    }
    logging::LoggingSettings settings;
    settings.logging_dest = logging::LOG_TO_ALL;
    settings.log_file = props.LogFilePath(logFileName).string();
    settings.delete_old = logging::APPEND_TO_OLD_LOG_FILE;
    if (!logging::InitLogging(settings)) {
        LOG(ERROR) << "Cannot open the log file " << settings.log_file;
    }
    logging::SetLogItems(true, true, true, true);
}

// Options could not be loaded: stop what was started and leave without a window.
int EarlyShutdown() {
    LOG(ERROR) << "The options cannot be loaded; zorp ends.";
    ComputeShaMgr::GetInstance().Stop();
    CWriteDbMgr::GetInstance().Stop();
    ClientInterfaceMgr::GetInstance().Shutdown(5000);
    curl_global_cleanup();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerInfoSwitch(argc, argv)) {
        return 0;
    }
    // Crash reports, before anything can crash. The message is English until the
    // language is known.
    const fs::path userDataDir = UserDataDir();
    platform::InstallCrashHandler(userDataDir / "QuorvaLocalProcess.dmp",
                                  CMultiLanguageMgr::LoadString(150, CMultiLanguageMgr::kEnglish));

    // Blocks the termination signals for every thread started from here on. Before the lock:
    // whoever sees the lock held may ask this copy to close, and must not kill it half-way.
    platform::InstallTerminationHandler(OnTerminationSignal);

    // One copy per user. A second copy leaves at once, silently: no log, no window.
    platform::SingleInstanceGuard instance;
    const auto instanceResult = instance.Acquire();
    if (instanceResult == platform::SingleInstanceGuard::Result::kAlreadyRunning) {
        return 0;
    }

    // The command line holds only what logging adds, and the test switch that shortens
    // the fixed delays (FixedDelays; the environment variable does the same).
    for (int i = 1; i < argc; ++i) {
        const std::string prefix = std::string("--") + FixedDelays::kTestScaleSwitch + "=";
        double scale = 1.0;
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0 &&
            FixedDelays::ParseScale(argv[i] + prefix.size(), &scale)) {
            FixedDelays::SetScale(scale);
        }
    }
    base::AtExitManager exitManager;
    const char* const programOnly[] = {argv[0]};
    CommandLine::Init(1, programOnly);

    // Program folder, dates and log file name.
    COptions& options = COptions::GetInstance();

    // "log.properties" beside the program, else in the installed data folder, else in the
    // user's configuration folder.
    InitLogging(options.GetProgramDir(), options.GetLogFileName());
    if (FixedDelays::Scale() != 1.0) {
        LOG(WARNING) << "Test switch: every fixed delay is scaled by " << FixedDelays::Scale();
    }
    if (instanceResult == platform::SingleInstanceGuard::Result::kFailed) {
        // No safe place for the lock: run unguarded rather than not at all.
        LOG(ERROR) << "Single-instance lock unavailable: " << instance.GetError();
    }
    std::error_code ec;
    fs::create_directories(userDataDir, ec);  // the crash report needs its folder

    // UI language; the crash message follows it.
    CMultiLanguageMgr& language = CMultiLanguageMgr::GetInstance();
    language.DetectUILanguage();
    platform::SetCrashMessage(language.LoadString(150));

    // Hashes, transfers and watches keep many files open at once.
    platform::RaiseOpenFileLimit(kOpenFileLimit);

    // The local message server; nothing else starts before the page has sent its proxy
    // setting. A port that cannot be bound would make that wait endless: say so and leave.
    ClientInterfaceMgr& link = ClientInterfaceMgr::GetInstance();
    link.init();
    link.start();
    if (g_quitRequested) {
        link.SetStopFlag();  // the signal came before the server ran: end its wait too
    }
    VLOG(1) << "ZORP wait for event from CIMG";
    switch (link.WaitForPage()) {
        case ClientInterfaceMgr::StartupResult::kPageReady:
            break;
        case ClientInterfaceMgr::StartupResult::kBindFailed:
            LOG(ERROR) << "The link port cannot be bound: " << link.GetBindError();
            std::cerr << "zorp: cannot listen for the web page: " << link.GetBindError() << "\n";
            link.Shutdown(5000);
            return 1;
        default:
            // The page left before it was ready, or a termination signal came.
            VLOG(1) << "ZORP no page to serve, exit";
            link.Shutdown(5000);
            return 0;
    }
    if (g_quitRequested) {
        link.Shutdown(5000);
        return 0;
    }
    VLOG(1) << "ZORP now begin to work-";

    curl_global_init(CURL_GLOBAL_ALL);

    // The write queue's pool and the hash pool.
    CWriteDbMgr& writeDb = CWriteDbMgr::GetInstance();
    writeDb.Init();
    writeDb.Start();
    ComputeShaMgr& shaMgr = ComputeShaMgr::GetInstance();
    shaMgr.Init();
    shaMgr.Start();

    // Options from the configuration database; a second attempt rebuilds the databases.
    if (!options.Load() && !options.ResetAndLoad()) {
        return EarlyShutdown();
    }
    // The signed-in user (the page's cookies named the account).
    if (!options.LookupUser()) {
        options.InsertUser();
    }

    // The backup file list and the file download manager.
    FileBackupMgr::GetInstance();
    FileDownloadMgr::GetInstance();
    // The folder walk, the upload pool and the download pool; the comparison thread, waited
    // for until it is ready; the server actions worker, which lists the folders of folder
    // downloads into the file download manager; the local-edit download pool.
    TravelDirMgr& travelMgr = TravelDirMgr::GetInstance();
    travelMgr.Init();
    travelMgr.Start();
    CUpldThreadMgr& upldMgr = CUpldThreadMgr::GetInstance();
    upldMgr.Init();
    upldMgr.Start();
    CDnldThreadMgr& dnldMgr = CDnldThreadMgr::GetInstance();
    dnldMgr.Init();
    dnldMgr.Start();
    CompareFileMgr& compareMgr = CompareFileMgr::GetInstance();
    compareMgr.Start();
    compareMgr.WaitForStarted(platform::kInfinite);
    MiscToolMgr& miscMgr = MiscToolMgr::GetInstance();
    miscMgr.SetFolderListingStore(&FileDownloadMgr::GetInstance());
    // The backup monitor's hand-overs get their cloud folders on the server actions worker.
    miscMgr.SetFolderIdsWork([](CRequestContext& context) {
        return AutoBackupMonitorMgr::GetInstance().HandOverOutgoing(context);
    });
    miscMgr.Start();
    // The placeholder that file managers read when they paste cloud files copied in the page.
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const fs::path clipboardDir =
        (runtimeDir && *runtimeDir ? fs::path(runtimeDir) : options.GetUserDataDir()) / "zorp-clipboard";
    platform::ClipboardPlaceholder placeholder(
        CMultiLanguageMgr::PlaceholderText(language.GetUILanguage()),
        [&miscMgr](const fs::path& folder) { miscMgr.requestPasteTarget(folder); },
        [](int64_t pid) {
            LOGF(WARNING, "HttpStreamDownloader::read - process %lld read the clipboard "
                 "placeholder without writing a copy of it that could be found: no paste",
                 static_cast<long long>(pid));
        });
    // ZORP_CLIPBOARD_NO_FUSE: for a machine whose FUSE misbehaves, the plain file instead.
    if (placeholder.Start(clipboardDir, std::getenv("ZORP_CLIPBOARD_NO_FUSE") == nullptr)) {
        LOGF(INFO, "The clipboard placeholder %s is served by %s.", placeholder.GetPath().string(),
             platform::ClipboardPlaceholder::ModeName(placeholder.GetMode()));
    } else {
        LOG(ERROR) << "The clipboard placeholder cannot be served in " << clipboardDir.string()
                   << ": cloud files copied in the page cannot be pasted.";
    }
    LocalEditDnldMgr& editDnldMgr = LocalEditDnldMgr::GetInstance();
    editDnldMgr.Init();
    editDnldMgr.Start();
    // The local edits: what the last run left in the edit folder is sorted out (pending edits
    // stay, the rest goes to "ledir"); the folder watcher and the helper that hashes saves and
    // keeps their server locks.
    LocalEditMgr& editMgr = LocalEditMgr::GetInstance();
    editMgr.Init();
    DirFileChangeMgr& editWatcher = DirFileChangeMgr::GetInstance();
    LocalEditToolMgr& editTool = LocalEditToolMgr::GetInstance();
    // The start-up check of the backup folders: its walk pool only when there are some, its
    // thread in any case. The stored exit time never passes a change not handed over.
    CheckDirChangeThreadMgr& checkPool = CheckDirChangeThreadMgr::GetInstance();
    if (!options.GetBackupRecords().empty()) {
        checkPool.Start();
    }
    CheckDirChangeMgr& checker = CheckDirChangeMgr::GetInstance();
    checker.Start();
    AutoBackupMonitorMgr& backupMonitor = AutoBackupMonitorMgr::GetInstance();
    options.SetExitTimeLimit([](int64_t now) { return BackupExitTime::GetInstance().Limit(now); });

    // The window system.
    ChooseQtPlatform();
    QApplication application(argc, argv);
    qInstallMessageHandler(QtMessageToLog);
    // The loop ends with the drop window's close handling, not with the last window.
    QApplication::setQuitOnLastWindowClosed(false);
    QtMessageLoop loop;

    // Skins: "ui" beside the program, then in the installed data folder.
    const fs::path programDir = options.GetProgramDir();
    CPaintManagerUI::SetInstancePath(programDir);
    CPaintManagerUI::SetResourcePath(programDir / "ui");
    for (const auto& folder : CPaintManagerUI::InstallSkinFolders()) {
        CPaintManagerUI::AddResourceSearchPath(folder);
    }
    const QRect available = QGuiApplication::primaryScreen()
                                ? QGuiApplication::primaryScreen()->availableGeometry()
                                : QRect(0, 0, 1024, 768);

    // The transfer manager, hidden.
    auto mainDlg = std::make_unique<CMainUiDlg>();
    WindowImplBase::Style mainStyle;
    mainDlg->Create(language.LoadString(104), CMainUiDlg::DefaultGeometry(available), mainStyle);
    options.m_hMainWnd = mainDlg->GetHandle();

    // The drop window: frameless, always on top, no task bar entry, accepts files.
    auto dndDlg = std::make_unique<CDndUiDlg>();
    WindowImplBase::Style dndStyle;
    dndStyle.frameless = true;
    dndStyle.topmost = true;
    dndStyle.toolWindow = true;
    dndStyle.acceptFiles = true;
    dndStyle.translucent = true;
    dndDlg->Create(language.LoadString(115), CDndUiDlg::DefaultGeometry(available), dndStyle);
    if (options.IsFloatWndShow()) {
        dndDlg->ShowWindow(true, false);
    } else {
        dndDlg->HideFloatWindow();
    }

    // The backup settings, hidden, centred on the whole screen; the drop window owns them.
    auto backupDlg = std::make_unique<CAutoBackupUiDlg>();
    const QRect screenArea = QGuiApplication::primaryScreen()
                                 ? QGuiApplication::primaryScreen()->geometry()
                                 : available;
    backupDlg->Init(screenArea, dndDlg->GetHandle());
    dndDlg->SetAutoBackupDlg(std::move(backupDlg));

    // Each window knows the other; the drop window is where workers report.
    dndDlg->SetMainDlg(mainDlg.get());
    mainDlg->SetDndDlg(dndDlg.get(), dndDlg->GetHandle());
    options.m_hDndWnd = dndDlg->GetHandle();
    dndDlg->GetDispatcher().SetClipboardPlaceholder(&placeholder);
    mainDlg->GetUploadQueue().SetServerFileRemover(
        [&miscMgr](int64_t fid) { miscMgr.queueDeleteFile(fid); });
    shaMgr.SetNotifyWindow(dndDlg->GetHandle());
    travelMgr.SetNotifyWindow(dndDlg->GetHandle());
    link.SetNotifyWindow(dndDlg->GetHandle());
    compareMgr.SetNotifyWindow(dndDlg->GetHandle());
    miscMgr.SetNotifyWindow(dndDlg->GetHandle());
    editTool.SetNotifyWindow(dndDlg->GetHandle());
    editWatcher.SetNotifyWindow(dndDlg->GetHandle());
    editMgr.SetNotifyWindow(dndDlg->GetHandle());
    checkPool.SetNotifyWindow(dndDlg->GetHandle());
    checker.SetNotifyWindow(dndDlg->GetHandle());
    backupMonitor.SetNotifyWindow(dndDlg->GetHandle());
    if (!editTool.Start()) {
        LOG(ERROR) << "The local edit helper cannot be started.";
    }

    // The drop window's start restores the unfinished uploads, then the unfinished downloads.
    mainDlg->changeBtns(0, 0);
    dndDlg->InitDlg();
    // What changed in the backup folders while the process did not run; the folder monitor
    // starts when that is over (WM_CHECK_DIR_EXIT).
    checker.QueueStartupCheck(checkPool);

    // A termination signal that came during start-up found no window to close yet.
    if (g_quitRequested) {
        dndDlg->Close();
    }

    VLOG(1) << "ZORP message loop running";
    CPaintManagerUI::MessageLoop();

    // Normal shutdown. The backup monitor and the change checker end first: what they hold
    // was kept out of the stored exit time, so the next start-up check finds it.
    backupMonitor.Stop();
    checkPool.Stop();
    if (!checker.Shutdown(15000)) {
        LOG(ERROR) << "The backup change checker did not end within 15 s.";
    }
    dndDlg.reset();
    mainDlg.reset();
    placeholder.Stop();
    VLOGF(1, "Process will exit %d", kUtf8CodePage);
    // The write queue writes out its batches (configuration, transfers, log); its pool stops
    // once everything submitted is written, so no write is dropped by the stop.
    writeDb.WriteAllBatches();
    if (!writeDb.Flush(10000)) {
        LOG(ERROR) << "The write queue did not finish within 10 s; unwritten batches are lost.";
    }
    // The comparison and the server actions worker were told to quit by the close handling;
    // each ends within its current request.
    if (!compareMgr.Shutdown(15000)) {
        LOG(ERROR) << "The comparison thread did not end within 15 s.";
    }
    if (!miscMgr.Shutdown(15000)) {
        LOG(ERROR) << "The server actions worker did not end within 15 s.";
    }
    // A history row the comparison wrote while it ended is written too; only then does the
    // write queue stop.
    writeDb.WriteAllBatches();
    if (!writeDb.Flush(10000)) {
        LOG(ERROR) << "The write queue did not finish within 10 s; unwritten batches are lost.";
    }
    writeDb.Stop();
    // The close handling joined the download pools; a close that never ran (the loop ended
    // otherwise) leaves nothing running either.
    dnldMgr.Stop();
    editDnldMgr.Stop();
    // The local edit helper was told to end by the close handling (an unlock it could not
    // send is stored for the next start); the watcher stops with it.
    if (!editTool.Shutdown(5000)) {
        LOG(ERROR) << "The local edit helper did not end within 5 s.";
    }
    editWatcher.Stop();
    link.Shutdown(5000);
    curl_global_cleanup();
    logging::Flush();
    instance.Release();
    return 0;
}
