#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <filesystem>
#include <memory>
#include <vector>

#include "UiTestApp.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadProgressInfo.h"
#include "download/FileDownloadMgr.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/TransferRow.h"

namespace {

// The transfer manager drawing its download queue. The download pool is not running, so no
// task starts; the task messages are the ones a download job sends, delivered through the
// window's own message handling.
class MainUiDownloadRowsTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        FileDownloadMgr::GetInstance().clearAll();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        dlg = std::make_unique<CMainUiDlg>();
        dlg->Create("Transmission Manager", CMainUiDlg::DefaultGeometry(screen), {});
        dnd = std::make_unique<CDndUiDlg>();
        dnd->Create("Upload", CDndUiDlg::DefaultGeometry(screen), {});
        dlg->SetDndDlg(dnd.get(), dnd->GetHandle());
        list = dlg->FindControl<QListWidget>("dnld_list_tab");
        label = dlg->FindControl<QLabel>("dnldNumLabel");
    }
    void TearDown() override {
        dlg.reset();
        dnd.reset();
        FileDownloadMgr::GetInstance().clearAll();
    }

    void Queue(int count) {
        FileDownloadMgr::DownloadMap requests;
        for (int i = 0; i < count; ++i) {
            FileDownloadMgr::DownloadRequest request;
            request.path = "/nowhere/f" + std::to_string(i) + ".txt";
            request.size = int64_t{100} << 20;
            request.url = "http://download.localhost:1/x?fid=" + std::to_string(i);
            requests.emplace(request.path, request);
        }
        FileDownloadMgr::GetInstance().addDownloads(requests);
        dlg->GetDownloadQueue().dnldNewFiles();
    }

    void Post(platform::Message message) {
        platform::PostMessage(dlg->GetHandle(), std::move(message));
        zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    }

    template <typename T>
    T* InRow(int32_t taskId, const char* name) {
        QWidget* row = dlg->GetDownloadPage().RowOf(taskId);
        return row ? row->findChild<T*>(name) : nullptr;
    }

    std::unique_ptr<CMainUiDlg> dlg;
    std::unique_ptr<CDndUiDlg> dnd;
    QListWidget* list = nullptr;
    QLabel* label = nullptr;
};

TEST_F(MainUiDownloadRowsTest, RowsShowNameSizeStateAndProgressAndFollowTheQueue) {
    ASSERT_TRUE(list);
    ASSERT_TRUE(label);
    DownloadQueue& queue = dlg->GetDownloadQueue();
    EXPECT_EQ(queue.GetWindow(), dlg->GetHandle());
    Queue(7);
    ASSERT_EQ(list->count(), 5);
    EXPECT_EQ(label->text(), "  File Left:7");
    const int32_t first = queue.GetTaskList()[0]->taskId;
    ASSERT_TRUE(InRow<QLabel>(first, "dnld_name"));
    EXPECT_EQ(InRow<QLabel>(first, "dnld_name")->text(), "f0.txt");
    EXPECT_EQ(InRow<QLabel>(first, "dnld_size")->text(), "100MB");
    EXPECT_EQ(InRow<QLabel>(first, "dnld_status")->text(), "Ready");
    ASSERT_TRUE(InRow<QPushButton>(first, "ctrl_btn"));
    EXPECT_FALSE(InRow<QPushButton>(first, "ctrl_btn")->isEnabled()) << "until it runs";
    ASSERT_TRUE(InRow<QPushButton>(first, "del_btn"));

    // Progress of a running row: the bar and the line with time left, bytes and speed.
    platform::Message status(WM_DNLD_STATUS, nullptr,
                             platform::MakePayload<DownloadStatus>(DownloadStatus{TSE_TRANSFERRING, {}}));
    status.wValue = first;
    platform::SendMessage(dlg->GetHandle(), std::move(status));
    DnldTaskInfo* info = const_cast<DnldTaskInfo*>(queue.FindTask(first));
    info->running = true;  // the queue marks a run it started; this test starts none
    DownloadProgressInfo progress;
    progress.taskId = first;
    progress.size = int64_t{102400} * 1024;
    progress.done = int64_t{12760} * 1024;
    progress.timeLeftMs = 1'023'000;
    progress.speed = 0;
    Post(platform::Message(WM_DNLD_PROGRESS, platform::MakePayload<DownloadProgressInfo>(progress)));
    EXPECT_EQ(InRow<QLabel>(first, "dnld_status")->text(),
              "Time Left:17M3S   12.46MB/100MB(0B/S)");
    EXPECT_EQ(InRow<QProgressBar>(first, "dnld_progress")->value(), 12);

    // A completed end turns the row into a finished row below the listed ones; the next
    // waiting request takes its place in the list.
    info->running = false;
    Post(platform::Message(WM_DNLD_END,
                           platform::MakePayload<DownloadEndInfo>(DownloadEndInfo{first, kDlTransferRan, 5}),
                           platform::MakePayload<DownloadStatus>(DownloadStatus{TSE_COMPLETED, {}})));
    EXPECT_EQ(dlg->GetDownloadPage().GetActiveRowCount(), 5u);
    ASSERT_TRUE(dlg->GetDownloadPage().FinishedRowOf(first));
    EXPECT_EQ(list->itemWidget(list->item(5)), dlg->GetDownloadPage().FinishedRowOf(first));
    EXPECT_EQ(label->text(), "  File Left:6");
    EXPECT_EQ(queue.takeFinishedNames(), std::vector<std::string>{"f0.txt"});

    // The row's delete button takes the row away (from inside its own click).
    const int32_t second = queue.GetTaskList()[0]->taskId;
    InRow<QPushButton>(second, "del_btn")->click();
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_EQ(dlg->GetDownloadPage().RowOf(second), nullptr);
    EXPECT_EQ(dlg->GetDownloadPage().GetActiveRowCount(), 5u);
    EXPECT_EQ(label->text(), "  File Left:5");

    // Cancel all empties the listed downloads; the finished row stays.
    dlg->FindControl<QPushButton>("cancelBtn")->click();
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(dlg->GetDownloadPage().GetFinishedRowCount(), 1u);
    EXPECT_EQ(label->text(), "");
}

// Progress for a download whose row is gone is dropped and leaves the other rows as they are.
TEST_F(MainUiDownloadRowsTest, AProgressMessageForADeletedRowIsIgnored) {
    DownloadQueue& queue = dlg->GetDownloadQueue();
    Queue(2);
    const int32_t gone = queue.GetTaskList()[0]->taskId;
    const int32_t other = queue.GetTaskList()[1]->taskId;
    DownloadProgressInfo progress;
    progress.taskId = other;
    progress.size = int64_t{100} << 20;
    progress.done = int64_t{30} << 20;
    Post(platform::Message(WM_DNLD_PROGRESS, platform::MakePayload<DownloadProgressInfo>(progress)));
    ASSERT_EQ(InRow<QProgressBar>(other, "dnld_progress")->value(), 30);
    queue.deleteDnldItem(gone);
    ASSERT_FALSE(queue.FindTask(gone));
    progress.taskId = gone;
    progress.done = 0;
    Post(platform::Message(WM_DNLD_PROGRESS, platform::MakePayload<DownloadProgressInfo>(progress)));
    EXPECT_FALSE(dlg->GetDownloadPage().RowOf(gone));
    EXPECT_FALSE(dlg->GetDownloadPage().FinishedRowOf(gone));
    EXPECT_EQ(InRow<QProgressBar>(other, "dnld_progress")->value(), 30);
    EXPECT_EQ(list->count(), 1);
}

// A finished download keeps its row with "Open" and "Folder"; a failed one has no file to open.
TEST_F(MainUiDownloadRowsTest, FinishedRowsOpenTheDeliveredFileAndItsFolder) {
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> explored;
    RowFileActions recorder;
    recorder.openFile = [&](const std::filesystem::path& file) { opened.push_back(file); };
    recorder.openFolder = [&](const std::filesystem::path& folder) { explored.push_back(folder); };
    dlg->GetDownloadPage().SetFileActions(recorder);
    DownloadQueue& queue = dlg->GetDownloadQueue();
    Queue(2);
    const int32_t done = queue.GetTaskList()[0]->taskId;
    const int32_t failed = queue.GetTaskList()[1]->taskId;
    Post(platform::Message(WM_DNLD_END,
                           platform::MakePayload<DownloadEndInfo>(DownloadEndInfo{done, kDlTransferRan, 5}),
                           platform::MakePayload<DownloadStatus>(DownloadStatus{TSE_COMPLETED, {}})));
    Post(platform::Message(WM_DNLD_END,
                           platform::MakePayload<DownloadEndInfo>(DownloadEndInfo{failed, kDlTransferRan, 0}),
                           platform::MakePayload<DownloadStatus>(DownloadStatus{TSE_FAILED, {}})));
    const auto inFinished = [&](int32_t id, const char* name) {
        return TransferRow::Find(dlg->GetDownloadPage().FinishedRowOf(id), name);
    };
    ASSERT_TRUE(inFinished(done, "open_file"));
    ASSERT_TRUE(inFinished(done, "foldOpen"));
    EXPECT_TRUE(inFinished(done, "del_btn"));
    EXPECT_FALSE(inFinished(done, "ctrl_btn"));
    EXPECT_FALSE(inFinished(done, "re_upld")) << "downloads have no per-file retry";
    EXPECT_EQ(qobject_cast<QLabel*>(inFinished(done, "dnld_status"))->text(), "Completed");
    EXPECT_EQ(qobject_cast<QProgressBar*>(inFinished(done, "dnld_progress"))->value(), 100);
    EXPECT_FALSE(inFinished(failed, "open_file"));
    EXPECT_TRUE(inFinished(failed, "no_file"));
    EXPECT_TRUE(inFinished(failed, "foldOpen"));
    EXPECT_EQ(label->text(), "  Failed Files:1");

    qobject_cast<QPushButton*>(inFinished(done, "open_file"))->click();
    qobject_cast<QPushButton*>(inFinished(failed, "foldOpen"))->click();
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/nowhere/f0.txt"});
    EXPECT_EQ(explored, std::vector<std::filesystem::path>{"/nowhere"});

    qobject_cast<QPushButton*>(inFinished(done, "del_btn"))->click();
    EXPECT_FALSE(dlg->GetDownloadPage().FinishedRowOf(done));
    EXPECT_EQ(queue.GetFailedList().size(), 1u) << "deleting a finished row changes no queue";
}

}  // namespace
