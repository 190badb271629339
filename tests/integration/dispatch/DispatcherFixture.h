#pragma once

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <json/value.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cloud/CloudFileEntry.h"
#include "cloud/MiscToolMgr.h"
#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "dispatch/IDispatcherView.h"
#include "download/CDnldThreadMgr.h"
#include "download/DownloadQueue.h"
#include "download/FileDownloadMgr.h"
#include "dispatch/RequestDispatcher.h"
#include "integration/cloud/CloudFixture.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "platform/WindowRegistry.h"
#include "support/CloudTree.h"
#include "support/LinkTestPage.h"
#include "support/ProcessStateTestAccess.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"
#include "upload/UploadQueue.h"

namespace zorp::test {

// The floating drop window without Qt: a window on the test thread's loop that hands every
// message to the dispatcher it owns, and remembers what the dispatcher showed.
class DispatcherTestWindow : public platform::MessageTarget, public IDispatcherView {
public:
    DispatcherTestWindow() : dispatcher(*this) {}

    int64_t HandleMessage(platform::Message& message) override {
        dispatcher.HandleMessage(message);
        return 0;
    }

    void SetWindowMode(int m) override { mode = m; }
    int GetWindowMode() const override { return mode; }
    void ShowStatusText(const std::string& text) override { texts.push_back(text); }
    void StartIconAlternation() override { ++iconAlternations; }
    void RefreshSpeedText() override {}
    void ZeroSpeeds() override {}
    bool IsWindowVisible() const override { return visible; }
    void SetWindowVisible(bool v) override { visible = v; }
    void CloseAuxiliaryWindows() override {}
    void ShowTransferManager(int page) override { managerPage = page; }
    void ShowBackupSettings() override {}
    void OfferClipboardFile(const std::string& path) override { offered.push_back(path); }
    void HideAllWindows() override { visible = false; }
    void QuitMessageLoop(int exitCode) override { quitCode = exitCode; }

    RequestDispatcher dispatcher;
    std::vector<std::string> offered;  // clipboard offers, in order
    int mode = kIdleMode;
    std::vector<std::string> texts;
    int iconAlternations = 0;
    bool visible = true;
    int managerPage = -1;
    int quitCode = -1;
};

// The transfer manager without Qt: owns the upload and download queues and hands them the
// tasks' messages.
class QueueTestWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (!queue.HandleMessage(message)) {
            dnldQueue.HandleMessage(message);
        }
        return 0;
    }
    UploadQueue queue;
    DownloadQueue dnldQueue;
};

// The whole upload path on the test thread's loop: zorp-cloud with a "Target" folder, the
// real pools and worker threads, the link with a page connected, the dispatcher in a drop
// window and the upload queue in a transfer manager window. Timers are short so that retries
// and network checks take milliseconds.
class DispatcherFixture : public CloudFixture {
protected:
    // Databases of the test's own: what one test stores is not restored by the next.
    ScopedXdgHome xdgHome;

    static RequestDispatcher::Timings FastTimings() {
        RequestDispatcher::Timings timings;
        timings.networkErrorMs = 100;
        timings.networkRecheckMs = 100;
        timings.retryStepMs = 100;
        timings.saveIntervalMs = 200;
        return timings;
    }

    void SetUp() override {
        CloudFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        COptions& options = COptions::GetInstance();
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(4));
        ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
        options.m_lastTxStatus = 5;
        options.m_exitRequest = 17;
        FileBackupMgr::GetInstance().reset();
        CRequestContext context;
        targetId = CreateFolder(context, "Target");
        ASSERT_GT(targetId, 0);

        dropWindow = drop.Attach();
        managerWindow = manager.Attach();
        options.m_hDndWnd = dropWindow;
        options.m_hMainWnd = managerWindow;
        manager.queue.SetWindow(managerWindow);
        manager.dnldQueue.SetWindow(managerWindow);
        FileDownloadMgr::GetInstance().clearAll();
        ASSERT_TRUE(CDnldThreadMgr::GetInstance().Start());
        MiscToolMgr::GetInstance().SetFolderListingStore(&FileDownloadMgr::GetInstance());

        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
        ASSERT_TRUE(ComputeShaMgr::GetInstance().Start());
        ComputeShaMgr::GetInstance().SetNotifyWindow(dropWindow);
        ASSERT_TRUE(TravelDirMgr::GetInstance().Start());
        TravelDirMgr::GetInstance().SetNotifyWindow(dropWindow);
        ASSERT_TRUE(CUpldThreadMgr::GetInstance().Start());
        CompareFileMgr& compare = CompareFileMgr::GetInstance();
        compare.SetNotifyWindow(dropWindow);
        ASSERT_TRUE(compare.Start());
        ASSERT_TRUE(compare.WaitForStarted(5000));
        MiscToolMgr::GetInstance().SetNotifyWindow(dropWindow);
        ASSERT_TRUE(MiscToolMgr::GetInstance().Start());

        ClientInterfaceMgr& link = ClientInterfaceMgr::GetInstance();
        link.SetNotifyWindow(dropWindow);
        link.SetListenPort(0);
        ASSERT_EQ(link.start(), 0);
        ASSERT_TRUE(link.WaitForListening(5000));
        ASSERT_TRUE(page.Connect(link.GetListenPort()));
        ASSERT_TRUE(page.SendRequest(LinkProtocol::In::kHello));
        ASSERT_TRUE(page.WaitFor(LinkProtocol::Out::kHelloReply, 5000));

        dispatcher().SetWindow(dropWindow);
        dispatcher().SetUploadQueue(&manager.queue);
        dispatcher().SetDownloadQueue(&manager.dnldQueue);
        dispatcher().SetTimings(FastTimings());
        dispatcher().InitDispatcher();
    }

    void TearDown() override {
        if (!dispatcher().IsClosing()) {
            dispatcher().OnClose();
        }
        CompareFileMgr::GetInstance().Shutdown(15000);
        MiscToolMgr::GetInstance().Shutdown(15000);
        ClientInterfaceMgr::GetInstance().Shutdown(5000);
        ClientInterfaceMgr::GetInstance().SetConnected(false);
        CWriteDbMgr::GetInstance().WriteAllBatches();
        CWriteDbMgr::GetInstance().Flush(10000);
        CWriteDbMgr::GetInstance().Stop();
        FileBackupMgr::GetInstance().reset();
        FileDownloadMgr::GetInstance().clearAll();
        COptions& options = COptions::GetInstance();
        options.m_hDndWnd = platform::kNoWindow;
        options.m_hMainWnd = platform::kNoWindow;
        options.SetWorkFolderMounts(std::nullopt);
        // The workers' kept connections would hold a graceful stop for the server's idle time.
        server.Stop(true);
    }

    RequestDispatcher& dispatcher() { return drop.dispatcher; }
    ::WorkState WorkState() const { return ProcessState::GetInstance().GetWorkState(); }

    // The page asks for an upload (In::kUpload) into `pid` (the Target folder unless given).
    void RequestUpload(const std::vector<std::filesystem::path>& paths, int64_t pid = -1) {
        ASSERT_TRUE(page.Send(LinkTestPage::UploadRequest(paths, pid < 0 ? targetId : pid)));
    }

    // Runs the loop until the page receives a message of the type; every message the page
    // got meanwhile is kept in `received`.
    std::optional<std::string> RunUntilPageGets(LinkProtocol::Out type,
                                                uint32_t timeoutMs = 30000) {
        std::optional<std::string> found;
        loop.RunUntil(
            [&] {
                while (auto message = page.NextMessage(0)) {
                    received.push_back(*message);
                    if (LinkTestPage::TypeOf(*message) == type) {
                        found = *message;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    // Runs the loop for a while and collects what the page got.
    void RunAndCollect(uint32_t ms) {
        loop.RunFor(ms);
        while (auto message = page.NextMessage(0)) {
            received.push_back(*message);
        }
    }

    int CountReceived(LinkProtocol::Out type) const {
        int count = 0;
        for (const auto& message : received) {
            count += LinkTestPage::TypeOf(message) == type ? 1 : 0;
        }
        return count;
    }

    std::vector<std::vector<std::string>> UndoRows() {
        DBWrapper db(COptions::GetInstance().GetDatabasePath(DBWrapper::kTxlogDb));
        if (!db.open() || !db.query("SELECT name, fid, pid FROM undo_files ORDER BY id;")) {
            return {};
        }
        return db.rows();
    }

    DispatcherTestWindow drop;
    QueueTestWindow manager;
    platform::WindowHandle dropWindow = platform::kNoWindow;
    platform::WindowHandle managerWindow = platform::kNoWindow;
    LinkTestPage page;
    std::vector<std::string> received;
    int64_t targetId = 0;
    TempDir local{"dispatch"};
};

}  // namespace zorp::test
