#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>

#include <memory>

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
#include "upload/UpldEndInfo.h"
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

    std::unique_ptr<CMainUiDlg> dlg;
    std::unique_ptr<CDndUiDlg> dnd;
    QListWidget* list = nullptr;
    QLabel* label = nullptr;
};

TEST_F(MainUiUploadRowsTest, ASavedVersionOfAnEditedFileIsMarkedInItsRow) {
    UpldTaskInfo edit;
    edit.name = "notes.txt";
    edit.lockFlag = true;
    UpldTaskInfo plain = edit;
    plain.lockFlag = false;
    EXPECT_EQ(CMainUiDlg::UpldRowText(edit).rfind("notes.txt (Auto Saved)", 0), 0u)
        << CMainUiDlg::UpldRowText(edit);
    EXPECT_EQ(CMainUiDlg::UpldRowText(plain).find("(Auto Saved)"), std::string::npos);
}

TEST_F(MainUiUploadRowsTest, RowsAndCountFollowTheQueue) {
    UploadQueue& queue = dlg->GetUploadQueue();
    EXPECT_EQ(queue.GetWindow(), dlg->GetHandle());
    ASSERT_TRUE(list);
    ASSERT_TRUE(label);
    for (int i = 0; i < 7; ++i) {
        UpldWaitingFile record;
        record.path = "/nowhere/file" + std::to_string(i) + ".txt";
        record.size = 100;
        FileBackupMgr::GetInstance().addUploadRecord(record);
    }
    queue.upldNewFiles();
    ASSERT_EQ(list->count(), 5);
    EXPECT_TRUE(list->item(0)->text().startsWith("file0.txt"));
    EXPECT_EQ(label->text(), "  File Left:7");
    EXPECT_EQ(dlg->GetStartBtnState(), CMainUiDlg::kNothingToStart);

    // The status a starting task sends reaches the row.
    const int32_t first = queue.GetTaskList()[0]->taskIndex;
    platform::Message status(
        WM_UPLD_STATUS, nullptr,
        platform::MakePayload<UpldStatusInfo>(UpldStatusInfo{TSE_TRANSFERRING, {}}));
    status.wValue = first;
    platform::SendMessage(dlg->GetHandle(), std::move(status));
    EXPECT_TRUE(list->item(0)->text().contains("Transferring"));

    // A failed end leaves its row, the next waiting file takes the place; an end for a row
    // that is gone is dropped.
    End(first, TSE_FAILED, 102012);
    EXPECT_EQ(list->count(), 5);
    EXPECT_TRUE(list->item(4)->text().startsWith("file5.txt"));
    EXPECT_EQ(label->text(), "  File Left:6");
    End(first, TSE_FAILED, 102012);
    EXPECT_EQ(queue.GetFailedList().size(), 1u);

    // Cancel empties the list; what is left to show is the failure.
    dlg->FindControl<QPushButton>("cancelBtn")->click();
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(label->text(), "  Failed Files:1");
    EXPECT_EQ(ProcessState::GetInstance().GetWorkState(), WorkState::kWsCancelled);
}

}  // namespace
