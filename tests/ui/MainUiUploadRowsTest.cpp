#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <filesystem>
#include <algorithm>
#include <memory>
#include <vector>

#include "UiTestApp.h"
#include "upload/FileBackupMgr.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/TransferRow.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldProgressInfo.h"
#include "upload/UpldStatusInfo.h"

namespace {

// The transfer manager drawing its upload queue. The upload pool is not running, so no task
// can start and every row stays where the test puts it; the task messages are the ones a
// transfer sends, delivered through the window's own message handling.
class MainUiUploadRowsTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        FileBackupMgr::GetInstance().reset();
        dlg = std::make_unique<CMainUiDlg>();
        dlg->Create(
            "Transmission Manager",
            CMainUiDlg::DefaultGeometry(QGuiApplication::primaryScreen()->availableGeometry()), {});
        // The drop window holds the dispatcher, which the manager's buttons tell.
        dnd = std::make_unique<CDndUiDlg>();
        dnd->Create("Upload", CDndUiDlg::DefaultGeometry(
                                  QGuiApplication::primaryScreen()->availableGeometry()), {});
        dlg->SetDndDlg(dnd.get(), dnd->GetHandle());
        list = dlg->FindControl<QListWidget>("upld_list_tab");
        label = dlg->FindControl<QLabel>("upldNumLabel");
        RowFileActions recorder;
        recorder.openFile = [this](const std::filesystem::path& file) { opened.push_back(file); };
        recorder.openFolder = [this](const std::filesystem::path& folder) {
            explored.push_back(folder);
        };
        dlg->GetUploadPage().SetFileActions(recorder);
    }
    void TearDown() override {
        dlg.reset();
        dnd.reset();
        FileBackupMgr::GetInstance().reset();
    }

    void End(int32_t taskIndex, int32_t state, int64_t code = 0) {
        UpldEndInfo end;
        end.taskIndex = taskIndex;
        end.fid = end.breakPoint = code;
        end.isErrorCode = code != 0;
        platform::PostMessage(
            dlg->GetHandle(),
            platform::Message(WM_UPLD_END, platform::MakePayload<UpldEndInfo>(end),
                              platform::MakePayload<UpldStatusInfo>(UpldStatusInfo{state, {}})));
        zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    }

    void Queue(int count) {
        for (int i = 0; i < count; ++i) {
            UpldWaitingFile record;
            record.path = "/nowhere/file" + std::to_string(i) + ".txt";
            record.size = int64_t{100} << 20;
            FileBackupMgr::GetInstance().addUploadRecord(record);
        }
        dlg->GetUploadQueue().upldNewFiles();
    }

    // The status a starting task sends; the queue marks a run it started, this test starts none.
    void Running(int32_t taskIndex) {
        platform::Message status(
            WM_UPLD_STATUS, nullptr,
            platform::MakePayload<UpldStatusInfo>(UpldStatusInfo{TSE_TRANSFERRING, {}}));
        status.wValue = taskIndex;
        platform::SendMessage(dlg->GetHandle(), std::move(status));
        const_cast<UpldTaskInfo*>(dlg->GetUploadQueue().FindTask(taskIndex))->running = true;
    }

    void Progress(int32_t taskIndex, int64_t done) {
        UpldProgressInfo progress;
        progress.taskIndex = taskIndex;
        progress.breakPoint = done;
        progress.timeLeftMs = 1'023'000;
        platform::PostMessage(dlg->GetHandle(),
                              platform::Message(WM_UPLD_PROGRESS,
                                                platform::MakePayload<UpldProgressInfo>(progress)));
        zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    }

    void Click(QWidget* control) {
        ASSERT_TRUE(control);
        auto* button = qobject_cast<QPushButton*>(control);
        ASSERT_TRUE(button);
        button->click();
        zorp::test::UiLoop().RunUntil([] { return false; }, 20);
    }

    QWidget* InRow(int32_t taskIndex, const char* name) {
        return TransferRow::Find(dlg->GetUploadPage().RowOf(taskIndex), name);
    }
    QWidget* InFinished(int32_t taskIndex, const char* name) {
        return TransferRow::Find(dlg->GetUploadPage().FinishedRowOf(taskIndex), name);
    }
    QString TextOf(QWidget* widget) {
        auto* label = qobject_cast<QLabel*>(widget);
        return label ? label->text() : QStringLiteral("<no label>");
    }

    std::unique_ptr<CMainUiDlg> dlg;
    std::unique_ptr<CDndUiDlg> dnd;
    QListWidget* list = nullptr;
    QLabel* label = nullptr;
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> explored;
};

TEST_F(MainUiUploadRowsTest, ASavedVersionOfAnEditedFileIsMarkedInItsRow) {
    UpldTaskInfo edit;
    edit.name = "notes.txt";
    edit.lockFlag = true;
    UpldTaskInfo plain = edit;
    plain.lockFlag = false;
    EXPECT_EQ(CUpldPage::NameText(edit), "notes.txt (Auto Saved)");
    EXPECT_EQ(CUpldPage::NameText(plain), "notes.txt");
}

TEST_F(MainUiUploadRowsTest, RowsHaveEveryControlAndFollowTheQueue) {
    UploadQueue& queue = dlg->GetUploadQueue();
    EXPECT_EQ(queue.GetWindow(), dlg->GetHandle());
    ASSERT_TRUE(list);
    ASSERT_TRUE(label);
    Queue(7);
    ASSERT_EQ(list->count(), 5);
    EXPECT_EQ(label->text(), "  File Left:7");
    EXPECT_EQ(dlg->GetStartBtnState(), CMainUiDlg::kNothingToStart);
    const int32_t first = queue.GetTaskList()[0]->taskIndex;
    QWidget* row = dlg->GetUploadPage().RowOf(first);
    ASSERT_TRUE(row);
    EXPECT_EQ(list->itemWidget(list->item(0)), row) << "rows in the queue's order";
    EXPECT_EQ(row->height(), TransferRow::kItemHeight);
    for (const char* name : {"upld_icon", "upld_name", "upld_size", "upld_progress",
                             "upld_direction", "upld_status", "ctrl_btn", "del_btn", "row_sep"}) {
        EXPECT_TRUE(InRow(first, name)) << name;
    }
    EXPECT_EQ(TextOf(InRow(first, "upld_name")), "file0.txt");
    EXPECT_EQ(TextOf(InRow(first, "upld_size")), "100MB");
    EXPECT_EQ(TextOf(InRow(first, "upld_status")), "Ready");
    EXPECT_FALSE(InRow(first, "ctrl_btn")->isEnabled()) << "until it runs";
    EXPECT_TRUE(InRow(first, "del_btn")->isEnabled());
    EXPECT_FALSE(InRow(first, "re_upld"));

    // Running: the progress line, the bar and the pause image.
    Running(first);
    Progress(first, int64_t{12760} * 1024);
    EXPECT_EQ(TextOf(InRow(first, "upld_status")), "Time Left:17M3S   12.46MB/100MB(0B/S)");
    EXPECT_EQ(qobject_cast<QProgressBar*>(InRow(first, "upld_progress"))->value(), 12);
    EXPECT_TRUE(InRow(first, "ctrl_btn")->isEnabled());
    EXPECT_EQ(InRow(first, "ctrl_btn")->accessibleName(), "Pause");

    // ctrl_btn pauses it: held by the user, the button offers to start it again.
    Click(InRow(first, "ctrl_btn"));
    EXPECT_TRUE(queue.FindTask(first)->held);
    EXPECT_EQ(InRow(first, "ctrl_btn")->accessibleName(), "Start");

    // del_btn of a row that does not run removes the entry; the next waiting file comes in.
    const int32_t second = queue.GetTaskList()[1]->taskIndex;
    Click(InRow(second, "del_btn"));
    EXPECT_FALSE(queue.FindTask(second));
    EXPECT_FALSE(dlg->GetUploadPage().RowOf(second));
    EXPECT_EQ(list->count(), 5);
    EXPECT_EQ(label->text(), "  File Left:6");

    // Cancel empties the list of listed uploads; the one that runs goes when its end arrives,
    // and a deleted upload leaves no finished row.
    dlg->FindControl<QPushButton>("cancelBtn")->click();
    EXPECT_EQ(dlg->GetUploadPage().GetActiveRowCount(), 1u);
    EXPECT_FALSE(InRow(first, "ctrl_btn")->isEnabled()) << "being deleted";
    End(first, TSE_PAUSED);
    EXPECT_EQ(dlg->GetUploadPage().GetActiveRowCount(), 0u);
    EXPECT_EQ(dlg->GetUploadPage().GetFinishedRowCount(), 0u);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(ProcessState::GetInstance().GetWorkState(), WorkState::kWsCancelled);
}

TEST_F(MainUiUploadRowsTest, FinishedRowsStayWithTheirLinksAndRetryOnlyOnFailures) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(7);
    const int32_t done = queue.GetTaskList()[0]->taskIndex;
    const int32_t held = queue.GetTaskList()[1]->taskIndex;
    const int32_t failed = queue.GetTaskList()[2]->taskIndex;
    End(done, TSE_COMPLETED);
    End(held, TSE_SERVER_COMPLETED);
    End(failed, TSE_FAILED, 102012);

    // The listed rows come first, the finished ones below them, newest first.
    EXPECT_EQ(dlg->GetUploadPage().GetActiveRowCount(), 4u);
    EXPECT_EQ(dlg->GetUploadPage().GetFinishedRowCount(), 3u);
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(list->itemWidget(list->item(4)), dlg->GetUploadPage().FinishedRowOf(failed));
    EXPECT_EQ(list->itemWidget(list->item(6)), dlg->GetUploadPage().FinishedRowOf(done));
    EXPECT_EQ(label->text(), "  File Left:4");

    EXPECT_EQ(TextOf(InFinished(done, "upld_status")), "Completed");
    EXPECT_EQ(TextOf(InFinished(held, "upld_status")), "Completed") << "string 155";
    EXPECT_TRUE(TextOf(InFinished(failed, "upld_status")).endsWith("0KB/100MB"))
        << TextOf(InFinished(failed, "upld_status")).toStdString();
    for (const int32_t id : {done, held, failed}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(InFinished(id, "ctrl_btn"));
        ASSERT_TRUE(InFinished(id, "open_file"));
        ASSERT_TRUE(InFinished(id, "foldOpen"));
        ASSERT_TRUE(InFinished(id, "del_btn"));
        EXPECT_EQ(qobject_cast<QPushButton*>(InFinished(id, "open_file"))->text(), "Open");
        EXPECT_EQ(qobject_cast<QPushButton*>(InFinished(id, "foldOpen"))->text(), "Folder");
    }
    EXPECT_FALSE(InFinished(done, "re_upld"));
    EXPECT_FALSE(InFinished(held, "re_upld"));
    ASSERT_TRUE(InFinished(failed, "re_upld"));
    EXPECT_EQ(qobject_cast<QPushButton*>(InFinished(failed, "re_upld"))->text(), "Retry");

    // The links open the local file and the folder that holds it.
    Click(InFinished(done, "open_file"));
    Click(InFinished(done, "foldOpen"));
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/nowhere/file0.txt"});
    EXPECT_EQ(explored, std::vector<std::filesystem::path>{"/nowhere"});

    // del_btn of a finished row only removes the row.
    const size_t failures = queue.GetFailedList().size();
    Click(InFinished(done, "del_btn"));
    EXPECT_FALSE(dlg->GetUploadPage().FinishedRowOf(done));
    EXPECT_EQ(queue.GetFailedList().size(), failures);
    EXPECT_EQ(label->text(), "  File Left:4");

    // Retry takes the one failure out of the failed list and queues its file again.
    ASSERT_EQ(queue.GetFailedList().size(), 1u);
    Click(InFinished(failed, "re_upld"));
    EXPECT_FALSE(dlg->GetUploadPage().FinishedRowOf(failed));
    EXPECT_TRUE(queue.GetFailedList().empty());
    const std::vector<std::string> queued = queue.GetQueuedNames();
    EXPECT_EQ(std::count(queued.begin(), queued.end(), "file2.txt"), 1);
    EXPECT_EQ(label->text(), "  File Left:5");
    EXPECT_FALSE(queue.retryFailedItem(failed)) << "a failure is retried once";
}

TEST_F(MainUiUploadRowsTest, ASecondListFailureOffersNoRetry) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(1);
    const int32_t task = queue.GetTaskList()[0]->taskIndex;
    End(task, TSE_FAILED, 102004);
    ASSERT_EQ(queue.GetFailedList2().size(), 1u);
    ASSERT_TRUE(dlg->GetUploadPage().FinishedRowOf(task));
    EXPECT_FALSE(InFinished(task, "re_upld")) << "a retry does not mend it";
    EXPECT_TRUE(InFinished(task, "open_file"));
    EXPECT_EQ(label->text(), "  Failed Files:1");
}

TEST_F(MainUiUploadRowsTest, ARetryAfterEverythingEndedStartsTheUploadsAgain) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(1);
    const int32_t task = queue.GetTaskList()[0]->taskIndex;
    End(task, TSE_FAILED, 102012);
    ASSERT_TRUE(queue.IsStopped()) << "nothing ran any more";
    ASSERT_TRUE(queue.retryFailedItem(task));
    EXPECT_FALSE(queue.IsStopped()) << "the user's retry is new work";
    ASSERT_EQ(queue.GetTaskList().size(), 1u);
    EXPECT_EQ(queue.GetTaskList()[0]->name, "file0.txt");

    // After pause all a retry waits for start all.
    const int32_t again = queue.GetTaskList()[0]->taskIndex;
    End(again, TSE_FAILED, 102012);
    queue.OnButtonUpPause();
    ASSERT_TRUE(queue.retryFailedItem(again));
    EXPECT_TRUE(queue.IsStopped());
}

TEST_F(MainUiUploadRowsTest, AtMostAHundredFinishedRowsAreKept) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(5);
    // Each end lists a new file, whose end comes next: 120 uploads finish one after another.
    int32_t firstFinished = -1;
    for (int i = 0; i < 120; ++i) {
        const int32_t task = queue.GetTaskList().front()->taskIndex;
        if (i == 0) {
            firstFinished = task;
        }
        UpldWaitingFile record;
        record.path = "/nowhere/more" + std::to_string(i) + ".txt";
        FileBackupMgr::GetInstance().addUploadRecord(record);
        queue.LoadUpldFiles();
        UpldEndInfo end;
        end.taskIndex = task;
        const UpldStatusInfo status{TSE_COMPLETED, {}};
        queue.OnEndUl(&end, &status);
    }
    EXPECT_EQ(dlg->GetUploadPage().GetFinishedRowCount(), TransferPage::kMaxFinishedRows);
    EXPECT_FALSE(dlg->GetUploadPage().FinishedRowOf(firstFinished)) << "the oldest went";
    EXPECT_EQ(list->count(), static_cast<int>(TransferPage::kMaxFinishedRows + 5));
}

// Every named control of a listed and of a finished row is named for screen readers, and their
// buttons and links are in the window's Tab order.
TEST_F(MainUiUploadRowsTest, RowControlsHaveAccessibleNamesAndTakeTabFocus) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(2);
    const int32_t listed = queue.GetTaskList()[0]->taskIndex;
    const int32_t failed = queue.GetTaskList()[1]->taskIndex;
    Running(listed);
    End(failed, TSE_FAILED, 102012);
    std::vector<QWidget*> chain;
    for (QWidget* w = dlg->nextInFocusChain(); w && w != dlg.get(); w = w->nextInFocusChain()) {
        chain.push_back(w);
    }
    int buttons = 0;
    for (QWidget* row : {dlg->GetUploadPage().RowOf(listed), dlg->GetUploadPage().FinishedRowOf(failed)}) {
        ASSERT_TRUE(row);
        for (QWidget* control : row->findChildren<QWidget*>()) {
            if (control->objectName().isEmpty()) {
                continue;  // layout holders
            }
            SCOPED_TRACE(control->objectName().toStdString());
            EXPECT_FALSE(control->accessibleName().isEmpty());
            if (qobject_cast<QPushButton*>(control)) {
                ++buttons;
                EXPECT_TRUE(control->focusPolicy() & Qt::TabFocus);
                EXPECT_NE(std::find(chain.begin(), chain.end(), control), chain.end());
            }
        }
    }
    EXPECT_EQ(buttons, 6) << "ctrl_btn, del_btn; re_upld, open_file, foldOpen, del_btn";
}

// Progress for a row that is gone is dropped; it never touches another task's row.
TEST_F(MainUiUploadRowsTest, AProgressMessageForADeletedRowIsIgnored) {
    UploadQueue& queue = dlg->GetUploadQueue();
    Queue(2);
    const int32_t gone = queue.GetTaskList()[0]->taskIndex;
    const int32_t other = queue.GetTaskList()[1]->taskIndex;
    Running(other);
    Progress(other, int64_t{50} << 20);
    const QString before = TextOf(InRow(other, "upld_status"));
    queue.deleteItem(gone, false);
    ASSERT_FALSE(queue.FindTask(gone));
    Progress(gone, int64_t{10} << 20);
    EXPECT_FALSE(dlg->GetUploadPage().RowOf(gone));
    EXPECT_FALSE(dlg->GetUploadPage().FinishedRowOf(gone));
    EXPECT_EQ(TextOf(InRow(other, "upld_status")), before);
    EXPECT_EQ(qobject_cast<QProgressBar*>(InRow(other, "upld_progress"))->value(), 50);
    EXPECT_EQ(list->count(), 1);
}

}  // namespace

