#include "localedit/LocalEditMgr.h"

#include <algorithm>
#include <ctime>
#include <system_error>
#include <utility>

#include "cloud/CloudApi.h"
#include "core/CommonUtils.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/TaskIndexCounter.h"
#include "core/TaskState.h"
#include "download/CDownloadParam.h"
#include "download/CDownloaderMgr.h"
#include "localedit/DirFileChangeMgr.h"
#include "localedit/LocalEditToolMgr.h"
#include "platform/Shell.h"

namespace fs = std::filesystem;

namespace {

LocalEditMgr::Workers ProcessWorkers() {
    LocalEditMgr::Workers workers;
    workers.hash = [](const std::vector<fs::path>& paths) {
        LocalEditToolMgr::GetInstance().addCalcShaFiles(paths);
    };
    workers.unlock = [](int64_t fid, const std::string& key) {
        LocalEditToolMgr::GetInstance().unlockFile(fid, key);
    };
    workers.unansweredUnlocks = [] { return LocalEditToolMgr::GetInstance().UnansweredUnlocks(); };
    workers.startWatcher = [] { DirFileChangeMgr::GetInstance().start(); };
    workers.stopWatcher = [] { DirFileChangeMgr::GetInstance().Stop(); };
    workers.open = [](const fs::path& path) {
        platform::OpenWithAssociatedProgramAsync(path, [path](const std::string& opener, int rc) {
            if (rc == 0) {
                VLOGF(1, "LocalEditMgr: %s %s ended", opener, path.string());
            } else {
                LOGF(ERROR, "LocalEditMgr: %s %s failed, exit status %d", opener, path.string(),
                     rc);
            }
        });
    };
    return workers;
}

}  // namespace

LocalEditMgr& LocalEditMgr::GetInstance() {
    static LocalEditMgr* instance = new LocalEditMgr();  // lives until process exit
    return *instance;
}

LocalEditMgr::LocalEditMgr() : LocalEditMgr(fs::path(), ProcessWorkers(), nullptr) {
    m_followsOptions = true;
}

LocalEditMgr::LocalEditMgr(fs::path workDir, Workers workers, CWriteDbMgr* writeQueue)
    : m_workers(std::move(workers)), m_writeQueue(writeQueue) {
    SetFolders(workDir);
}

void LocalEditMgr::SetFolders(const fs::path& workDir) {
    m_workDir = workDir;
    m_dnldDir = workDir / "dnld";
    m_upldDir = workDir / "upld";
    m_editDir = workDir / "edit";
    m_shaDir = workDir / "sha";
    m_ledirDir = workDir / "ledir";
}

LocalEditMgr::~LocalEditMgr() = default;

CWriteDbMgr& LocalEditMgr::WriteQueue() {
    return m_writeQueue ? *m_writeQueue : CWriteDbMgr::GetInstance();
}

std::string LocalEditMgr::StampName(const std::tm& local) {
    return fmt::sprintf("%d%.2d%.2d%.2d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// ---- the link thread's deposits ----

void LocalEditMgr::queueEditRequests(const std::vector<EditRequest>& requests) {
    platform::CriticalSectionGuard guard(m_cs);
    m_editRequests.insert(m_editRequests.end(), requests.begin(), requests.end());
}

std::vector<LocalEditMgr::EditRequest> LocalEditMgr::takeEditRequests() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_editRequests, {});
}

void LocalEditMgr::addFidNameList(const std::vector<FidName>& list) {
    platform::CriticalSectionGuard guard(m_cs);
    m_fidNames = list;
}

std::vector<LocalEditMgr::FidName> LocalEditMgr::takeFidNameList() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_fidNames, {});
}

// ---- downloads ----

void LocalEditMgr::addEditRequest(const EditRequest& request) {
    if (!CommonUtils::IsPlainName(request.name) || request.fid <= 0) {
        LOGF(ERROR, "LocalEditMgr: edit of '%s' (%d) refused", request.name, request.fid);
        return;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string stamp = StampName(local);
    // Two edits within one second get folders of their own all the same.
    for (int n = 1; fs::exists(m_editDir / stamp); ++n) {
        stamp = StampName(local) + "_" + std::to_string(n);
    }
    const fs::path folder = m_editDir / stamp;
    if (!CommonUtils::MakeFolderPath(folder)) {
        LOGF(ERROR, "LocalEditMgr: can't create %s", folder.string());
        return;
    }
    const fs::path path = folder / request.name;
    EditedFile file;
    file.fid = request.fid;
    file.pid = request.pid;
    file.share = request.share;
    file.token = request.token;
    file.name = request.name;
    file.hash = request.hash;
    file.size = request.size;
    file.uploadedHash = request.hash;
    file.uploadedSize = request.size;
    m_files[path] = std::move(file);

    DnldEntry entry;
    entry.path = path;
    entry.url = CloudApi::DownloadUrl(request.fid);
    entry.size = request.size;
    entry.fid = request.fid;
    entry.token = request.token;
    entry.share = request.share;
    m_waiting.push_back(std::move(entry));
}

void LocalEditMgr::dnldFileForEdit() {
    LOG(INFO) << "CMainUiDlg::dnldFileForEdit\n";
    for (const auto& request : takeEditRequests()) {
        addEditRequest(request);
    }
    startNextDownload();
}

void LocalEditMgr::startNextDownload() {
    if (m_running >= 1 || m_waiting.empty()) {
        return;
    }
    DnldEntry entry = std::move(m_waiting.front());
    m_waiting.pop_front();
    entry.taskId = TaskIndexCounter::Next();
    m_active.push_back(std::move(entry));
    ++m_running;
    startOneTxDl(m_active.back());
}

void LocalEditMgr::startOneTxDl(DnldEntry& entry) {
    LOG(INFO) << "LocalEditMgr::startOneTxDl\n";
    CDownloadParam param;
    param.taskId = entry.taskId;
    param.window = m_notifyWindow;
    param.url = entry.url;
    param.name = entry.path.filename().string();
    param.folder = entry.path.parent_path();
    param.size = entry.size;
    param.position = 0;
    param.fid = entry.fid;
    param.token = entry.token;
    param.localEdit = true;
    if (!entry.task) {
        entry.task = CDownloaderMgr::Create(param);
    }
    entry.task->SetParam(param);
    const int32_t taskId = entry.taskId;
    if (entry.task->Start() != 0) {
        LOGF(ERROR, "[LocalEditMgr::startOneTxDl]: The task [%02d] can't be started twice\n",
             taskId);
        // Nothing will end it: it is given up like a failed download.
        dnldFinished(taskId, TSE_FAILED);
        return;
    }
    entry.lastState = TSE_TRANSFERRING;
}

void LocalEditMgr::dnldFinished(int32_t taskId, int32_t state) {
    auto entry = std::find_if(m_active.begin(), m_active.end(),
                              [&](const DnldEntry& e) { return e.taskId == taskId; });
    if (entry == m_active.end()) {
        LOGF(INFO, "LocalEditMgr::dnldFinished: The task [%02d] is in destroying. Status=0x%08X\n",
             taskId, state);
        return;
    }
    const fs::path path = entry->path;
    LOGF(INFO, "LocalEditMgr::dnldFinished: %s Status=0x%08X", path.filename().string(), state);
    if (m_running > 0) {
        --m_running;
    }
    clearDnldDoneTask(taskId);
    auto file = m_files.find(path);
    if (file != m_files.end()) {
        IPageNotifier::Get().pushEditDnldResult(file->second.fid, file->second.name,
                                                file->second.token, state);
        if (state == TSE_COMPLETED) {
            const Version version = VersionOf(path);
            file->second.inStepSize = version.size;
            file->second.inStepMtimeNs = version.mtimeNs;
            m_workers.startWatcher();
            m_workers.open(path);
        } else {
            DropEdit(path);
        }
    }
    SavePending();
    startNextDownload();
}

void LocalEditMgr::clearDnldDoneTask(int32_t taskId) {
    LOGF(INFO, "[LocalEditMgr::clearDnldDoneTask]: The task [%d] is cleaned\n", taskId);
    std::erase_if(m_active, [&](const DnldEntry& e) { return e.taskId == taskId; });
}

void LocalEditMgr::cancelDlItem(DnldEntry& entry) {
    if (entry.task && entry.lastState != TSE_PAUSED) {
        entry.pausedByUser = true;
        entry.task->Pause();
    }
}

void LocalEditMgr::cancelDnlds() {
    for (const auto& pair : takeFidNameList()) {
        auto matches = [&](const DnldEntry& e) {
            return e.fid == pair.fid && e.path.filename() == pair.name;
        };
        bool found = false;
        for (auto& entry : m_active) {
            if (matches(entry)) {
                found = true;
                cancelDlItem(entry);
                DropEdit(entry.path);
            }
        }
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            if (matches(*it)) {
                found = true;
                DropEdit(it->path);
                it = m_waiting.erase(it);
            } else {
                ++it;
            }
        }
        if (!found) {
            LOGF(INFO, "[cancelDlItem]: The task [%d] is in destroying.\n", pair.fid);
        }
    }
    SavePending();
}

void LocalEditMgr::DropEdit(const fs::path& path) {
    m_files.erase(path);
    CommonUtils::DeleteFolderTree(path.parent_path(), true);
}

void LocalEditMgr::quitTasks() {
    LOG(INFO) << "LocalEditMgr::quitTasks";
    for (auto& entry : m_active) {
        if (entry.task) {
            entry.task->Stop();
        }
    }
    m_active.clear();
    m_waiting.clear();
    m_running = 0;
    m_workers.stopWatcher();
    // What is pending stays stored: the next start takes it up again. An unlock the server
    // has not answered yet is stored as a lock to let go then.
    std::vector<int64_t> unanswered =
        m_workers.unansweredUnlocks ? m_workers.unansweredUnlocks() : std::vector<int64_t>{};
    for (auto& [path, file] : m_files) {
        if (file.status == kInStep || file.status == kOpened) {
            file.lockMayBeHeld =
                std::find(unanswered.begin(), unanswered.end(), file.fid) != unanswered.end();
        }
    }
    SavePending();
    m_files.clear();
    takeEditRequests();
    takeFidNameList();
}

// ---- state ----

std::optional<LocalEditMgr::EditedFile> LocalEditMgr::GetEditedFile(const fs::path& path) const {
    auto it = m_files.find(path);
    if (it == m_files.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<fs::path> LocalEditMgr::EditedPaths() const {
    std::vector<fs::path> paths;
    for (const auto& [path, file] : m_files) {
        paths.push_back(path);
    }
    return paths;
}

size_t LocalEditMgr::WaitingRequests() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_editRequests.size() + m_waiting.size();
}

