#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <memory>

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
    EXPECT_EQ(InRow<QLabel>(first, "dnld_size")->text(), "100.40MB");
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
              "Time Left:17M3S   12.76MB/100.40MB(0B/S)");
    EXPECT_EQ(InRow<QProgressBar>(first, "dnld_progress")->value(), 12);

    // A completed end lets the row go, the next waiting request takes its place.
    info->running = false;
    Post(platform::Message(WM_DNLD_END,
                           platform::MakePayload<DownloadEndInfo>(DownloadEndInfo{first, kDlTransferRan, 5}),
                           platform::MakePayload<DownloadStatus>(DownloadStatus{TSE_COMPLETED, {}})));
    EXPECT_EQ(list->count(), 5);
    EXPECT_EQ(label->text(), "  File Left:6");
    EXPECT_EQ(queue.takeFinishedNames(), std::vector<std::string>{"f0.txt"});

    // The row's delete button takes the row away (from inside its own click).
    const int32_t second = queue.GetTaskList()[0]->taskId;
    InRow<QPushButton>(second, "del_btn")->click();
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_EQ(dlg->GetDownloadPage().RowOf(second), nullptr);
    EXPECT_EQ(list->count(), 5);
    EXPECT_EQ(label->text(), "  File Left:5");

    // Cancel all empties the page.
    dlg->FindControl<QPushButton>("cancelBtn")->click();
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(label->text(), "");
}

}  // namespace
