#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <filesystem>
#include <memory>

#include "UiTestApp.h"
#include "core/CWriteDbMgr.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "ui/CAutoBackupUiDlg.h"
#include "ui/CMenuWnd.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"

namespace fs = std::filesystem;

namespace {

// The drop window as the program makes it, with the backup settings it owns.
class DropWindowBackupSettingsTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        COptions::GetInstance().ClearBackupFolders();
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(12));
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        mainDlg = std::make_unique<CMainUiDlg>();
        mainDlg->Create("Transmission Manager", CMainUiDlg::DefaultGeometry(available), {});
        dnd = std::make_unique<CDndUiDlg>();
        dnd->Create("Upload", CDndUiDlg::DefaultGeometry(available), {});
        dnd->SetMainDlg(mainDlg.get());
        mainDlg->SetDndDlg(dnd.get(), dnd->GetHandle());
        auto backup = std::make_unique<CAutoBackupUiDlg>();
        backup->Init(QGuiApplication::primaryScreen()->geometry(), dnd->GetHandle());
        dnd->SetAutoBackupDlg(std::move(backup));
        dnd->ShowWindow(true, false);
    }
    void TearDown() override {
        dnd.reset();
        mainDlg.reset();
        EXPECT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
        CWriteDbMgr::GetInstance().Stop();
        COptions::GetInstance().ClearBackupFolders();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
        ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
    }
    CAutoBackupUiDlg& Settings() { return *dnd->GetAutoBackupDlg(); }
    bool WaitShown(bool shown) {
        return zorp::test::UiLoop().RunUntil([&] { return Settings().isVisible() == shown; }, 5000);
    }
    void ChooseLogout() {
        dnd->OpenMenu(dnd->geometry().center());
        ASSERT_TRUE(dnd->GetMenu());
        dnd->GetMenu()->Item("m_logout")->click();
    }

    zorp::test::ScopedXdgHome home;
    zorp::test::TempDir folders;
    std::unique_ptr<CMainUiDlg> mainDlg;
    std::unique_ptr<CDndUiDlg> dnd;
};

}  // namespace

TEST_F(DropWindowBackupSettingsTest, ThePagesShowBackupSettingsMessageShowsTheWindow) {
    ASSERT_TRUE(dnd->GetAutoBackupDlg());
    EXPECT_FALSE(Settings().isVisible());
    fs::create_directories(folders / "Photos");
    COptions::GetInstance().SetBackupPaths({folders / "Photos"});
    COptions::GetInstance().ApplyBackupSelection();
    COptions::GetInstance().SetAutoBackupSpeed(30);
    // What the link posts for an incoming type 16.
    ASSERT_TRUE(platform::PostMessage(dnd->GetHandle(), WM_SHOW_BACKUP_CONFIG));
    ASSERT_TRUE(WaitShown(true));
    EXPECT_EQ(Settings().GetShownFolders(), std::vector<fs::path>{folders / "Photos"});
    EXPECT_EQ(Settings().FindControl<QLineEdit>("speedEdit")->text(), "30");
    // Asked again while open: the user's unconfirmed change stays.
    Settings().RemoveFolder(0);
    ASSERT_TRUE(platform::PostMessage(dnd->GetHandle(), WM_SHOW_BACKUP_CONFIG));
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_TRUE(Settings().isVisible());
    EXPECT_TRUE(Settings().GetShownFolders().empty());
    EXPECT_TRUE(Settings().IsChanged());
}

TEST_F(DropWindowBackupSettingsTest, TheMenusBackupItemTogglesTheWindowAndDropsTheVisit) {
    fs::create_directories(folders / "Photos");
    ChooseLogout();
    ASSERT_TRUE(WaitShown(true));
    Settings().AddFolders({folders / "Photos"});
    ChooseLogout();
    ASSERT_TRUE(WaitShown(false));
    EXPECT_TRUE(COptions::GetInstance().GetBackupRecords().empty());
    ChooseLogout();
    ASSERT_TRUE(WaitShown(true));
    EXPECT_TRUE(Settings().GetShownFolders().empty());

    // Closed by its own button, the next menu choice shows it again (it does not toggle a
    // window that is already hidden).
    Settings().FindControl<QPushButton>("closeBtn")->click();
    EXPECT_FALSE(Settings().isVisible());
    ChooseLogout();
    ASSERT_TRUE(WaitShown(true));
}

TEST_F(DropWindowBackupSettingsTest, GoingOfflineClosesTheWindowAndAConfirmedChangeReachesTheDispatcher) {
    fs::create_directories(folders / "Work");
    dnd->ShowBackupSettings();
    ASSERT_TRUE(Settings().isVisible());
    dnd->CloseAuxiliaryWindows();
    EXPECT_FALSE(Settings().isVisible());

    // OK posts the change to the drop window, whose dispatcher takes it (or logs it).
    dnd->ShowBackupSettings();
    Settings().AddFolders({folders / "Work"});
    ASSERT_TRUE(Settings().Confirm());
    zorp::test::UiLoop().RunUntil([] { return false; }, 100);
    EXPECT_EQ(COptions::GetInstance().GetBackupPaths(), std::vector<fs::path>{folders / "Work"});
}
