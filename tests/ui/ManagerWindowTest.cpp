#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>
#include <QShortcut>

#include "UiTestApp.h"
#include "core/Options.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"

namespace {

class ManagerWindowTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
    }
    static QRect Screen() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static void Press(CMainUiDlg& dlg, const QKeySequence& keys) {
        for (QShortcut* shortcut : dlg.findChildren<QShortcut*>()) {
            if (shortcut->key() == keys) {
                emit shortcut->activated();
                return;
            }
        }
        ADD_FAILURE() << "no shortcut " << keys.toString().toStdString();
    }
};

TEST_F(ManagerWindowTest, OpensWhollyOnSmallScreensAndAtTheBottomRightOfLargeOnes) {
    for (const QRect area : {QRect(0, 0, 1024, 600), QRect(0, 0, 1024, 552), QRect(1920, 0, 1280, 720),
                             QRect(0, 24, 800, 480)}) {
        const QRect placed = CMainUiDlg::DefaultGeometry(area);
        EXPECT_TRUE(area.contains(placed.topLeft())) << area.width() << "x" << area.height();
        if (area.height() >= 475) {
            EXPECT_TRUE(area.contains(placed)) << area.width() << "x" << area.height();
        }
        EXPECT_EQ(placed.right(), area.right() - 10);
    }
}

TEST_F(ManagerWindowTest, WhereTheUserMovedItIsKeptAndAPlaceOffTheScreenIsPutBack) {
    const QRect screen = Screen();
    {
        CMainUiDlg dlg;
        dlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(screen), {});
        dlg.ShowWindow(true);
        dlg.move(screen.x() + 20, screen.y() + 30);
        dlg.ShowWindow(false);
    }
    ASSERT_TRUE(COptions::GetInstance().GetMainWndPos());
    EXPECT_EQ(*COptions::GetInstance().GetMainWndPos(), std::make_pair(screen.x() + 20, screen.y() + 30));
    {
        CMainUiDlg dlg;
        dlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(screen), {});
        EXPECT_EQ(dlg.pos(), QPoint(screen.x() + 20, screen.y() + 30));
        // A place from a larger screen is put back when the window is shown.
        dlg.move(screen.right() + 500, screen.bottom() + 500);
        dlg.ShowWindow(true);
        EXPECT_TRUE(screen.contains(dlg.frameGeometry()))
            << dlg.x() << "," << dlg.y() << " " << dlg.width() << "x" << dlg.height() << " in "
            << screen.width() << "x" << screen.height() << "+" << screen.x() << "+" << screen.y();
        dlg.ShowWindow(false);
    }
}

TEST_F(ManagerWindowTest, PagesAreChosenWithTheKeyboard) {
    CMainUiDlg dlg;
    dlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    Press(dlg, QKeySequence(Qt::CTRL | Qt::Key_3));
    EXPECT_EQ(dlg.GetCurrentPage(), CMainUiDlg::kHistoryPage);
    Press(dlg, QKeySequence(Qt::CTRL | Qt::Key_2));
    EXPECT_EQ(dlg.GetCurrentPage(), CMainUiDlg::kDownloadPage);
    Press(dlg, QKeySequence(Qt::CTRL | Qt::Key_Tab));
    EXPECT_EQ(dlg.GetCurrentPage(), CMainUiDlg::kHistoryPage);
    Press(dlg, QKeySequence(Qt::CTRL | Qt::Key_Tab));
    EXPECT_EQ(dlg.GetCurrentPage(), CMainUiDlg::kUploadPage);
    Press(dlg, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab));
    EXPECT_EQ(dlg.GetCurrentPage(), CMainUiDlg::kHistoryPage);
}

}  // namespace
