#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <memory>
#include <string>
#include <vector>

#include "UiTestApp.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "ui/CMenuWnd.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"

namespace {

// The drop window remembering the menu commands that reach it.
class MenuOwner : public CDndUiDlg {
public:
    std::vector<std::string> commands;

protected:
    void Notify(const UiNotify& notify) override {
        if (notify.sType == "menu_msg") {
            commands.push_back(notify.name);
        }
        CDndUiDlg::Notify(notify);
    }
};

class DropWindowMenuTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
        mainDlg = std::make_unique<CMainUiDlg>();
        dnd = std::make_unique<MenuOwner>();
        mainDlg->Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Available()), {});
        dnd->Create("Upload", CDndUiDlg::DefaultGeometry(Available()), {});
        dnd->SetMainDlg(mainDlg.get());
        mainDlg->SetDndDlg(dnd.get(), dnd->GetHandle());
        dnd->ShowWindow(true, false);
    }
    void TearDown() override {
        dnd.reset();
        mainDlg.reset();
        ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
    }
    static QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

    CMenuWnd& OpenMenu() {
        dnd->OpenMenu(Available().center());
        EXPECT_TRUE(dnd->GetMenu());
        EXPECT_TRUE(dnd->GetMenu()->isVisible());
        return *dnd->GetMenu();
    }
    bool Enabled(const char* name) {
        QPushButton* item = dnd->GetMenu()->Item(name);
        EXPECT_TRUE(item) << name;
        return item && item->isEnabled();
    }
    static void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(target, &press);
    }
    // The next command that reaches the drop window is `name`.
    bool WaitForCommand(const std::string& name) {
        const size_t seen = m_commandsSeen;
        const bool arrived = zorp::test::UiLoop().RunUntil(
            [&] { return dnd->commands.size() > seen; }, 5000);
        m_commandsSeen = dnd->commands.size();
        return arrived && dnd->commands[seen] == name;
    }
    size_t m_commandsSeen = 0;

    // Made in SetUp, once the application exists.
    std::unique_ptr<CMainUiDlg> mainDlg;
    std::unique_ptr<MenuOwner> dnd;
};

TEST_F(DropWindowMenuTest, ItemsFollowTheTransferStateWhenTheMenuOpens) {
    OpenMenu();
    EXPECT_FALSE(Enabled("m_start"));
    EXPECT_FALSE(Enabled("m_pause"));
    EXPECT_FALSE(Enabled("m_resume"));  // online: nothing to resume
    for (const char* always : {"m_mgr", "m_logout", "m_hide", "m_exit"}) {
        EXPECT_TRUE(Enabled(always)) << always;
    }

    for (TxState running : {TxState::kUploads, TxState::kDownloads, TxState::kBoth}) {
        ProcessStateTestAccess::SetTxState(running);
        OpenMenu();
        EXPECT_FALSE(Enabled("m_start")) << static_cast<int>(running);
        EXPECT_TRUE(Enabled("m_pause")) << static_cast<int>(running);
        EXPECT_FALSE(dnd->GetMenu()->Item("m_pause")->icon().isNull());
    }

    ProcessStateTestAccess::SetTxState(TxState::kPaused);
    OpenMenu();
    EXPECT_TRUE(Enabled("m_start"));
    EXPECT_FALSE(Enabled("m_pause"));
    EXPECT_FALSE(dnd->GetMenu()->Item("m_start")->icon().isNull());

    ProcessStateTestAccess::SetWorkState(WorkState::kWsOffline);
    OpenMenu();
    EXPECT_TRUE(Enabled("m_resume"));
    // One menu, opened again and again.
    EXPECT_EQ(dnd->GetMenu()->Items().size(), CMenuWnd::NamedControls().size());
}

TEST_F(DropWindowMenuTest, EveryItemHasAnAccessibleNameAndTheMenuIsAPopupInsideTheScreen) {
    CMenuWnd& menu = OpenMenu();
    EXPECT_TRUE(menu.windowFlags() & Qt::Popup);
    EXPECT_FALSE(menu.UsesFallbackLayout());
    for (QPushButton* item : menu.Items()) {
        EXPECT_FALSE(item->accessibleName().isEmpty()) << item->objectName().toStdString();
    }
    EXPECT_EQ(menu.Item("m_exit")->accessibleName(), "Exit");
    // At the bottom-right corner the menu opens up and to the left, inside the area.
    dnd->OpenMenu(Available().bottomRight());
    EXPECT_TRUE(Available().contains(menu.frameGeometry())) << menu.x() << "," << menu.y();
}

TEST_F(DropWindowMenuTest, PlacementFlipsAtTheEdgesAndStaysInsideTheArea) {
    const QRect area(0, 30, 1920, 1050);  // a panel at the top
    const QSize size(160, 220);
    EXPECT_EQ(CMenuWnd::Placement({100, 100}, size, area), QPoint(100, 100));
    EXPECT_EQ(CMenuWnd::Placement({1900, 100}, size, area), QPoint(1740, 100));
    EXPECT_EQ(CMenuWnd::Placement({100, 1000}, size, area), QPoint(100, 780));
    EXPECT_EQ(CMenuWnd::Placement({1900, 1070}, size, area), QPoint(1740, 850));
    // On the panel itself, or left of the area: pushed inside.
    EXPECT_EQ(CMenuWnd::Placement({100, 5}, size, area), QPoint(100, 30));
    EXPECT_EQ(CMenuWnd::Placement({-50, 100}, size, area), QPoint(0, 100));
    // An area smaller than the menu keeps its top-left corner in it.
    EXPECT_EQ(CMenuWnd::Placement({10, 40}, size, QRect(0, 30, 100, 100)), QPoint(0, 30));
}

TEST_F(DropWindowMenuTest, AClickOnAnItemReachesTheOwnerAsMenuMsgWithItsName) {
    CMenuWnd& menu = OpenMenu();
    menu.Item("m_mgr")->click();
    EXPECT_FALSE(menu.isVisible());  // a chosen item closes the menu
    ASSERT_TRUE(WaitForCommand("m_mgr"));
    EXPECT_EQ(dnd->commands.size(), 1u);
    EXPECT_TRUE(mainDlg->isVisible());
    EXPECT_EQ(mainDlg->GetCurrentPage(), CMainUiDlg::kUploadPage);

    // A disabled item sends nothing.
    OpenMenu();
    const size_t before = dnd->commands.size();
    dnd->GetMenu()->Item("m_start")->click();
    zorp::test::UiLoop().RunUntil([] { return false; }, 50);
    EXPECT_EQ(dnd->commands.size(), before);
}

TEST_F(DropWindowMenuTest, UpDownAndEnterChooseAnEnabledItemAndEscapeCloses) {
    ProcessStateTestAccess::SetTxState(TxState::kPaused);  // start enabled, pause not
    CMenuWnd& menu = OpenMenu();
    ASSERT_EQ(menu.focusWidget(), menu.Item("m_start"));
    Key(menu.focusWidget(), Qt::Key_Down);  // over the disabled pause
    EXPECT_EQ(menu.focusWidget(), menu.Item("m_mgr"));
    Key(menu.focusWidget(), Qt::Key_Down);
    Key(menu.focusWidget(), Qt::Key_Down);  // over the disabled resume
    EXPECT_EQ(menu.focusWidget(), menu.Item("m_hide"));
    Key(menu.focusWidget(), Qt::Key_Up);
    EXPECT_EQ(menu.focusWidget(), menu.Item("m_logout"));
    Key(menu.focusWidget(), Qt::Key_Up);
    Key(menu.focusWidget(), Qt::Key_Up);
    EXPECT_EQ(menu.focusWidget(), menu.Item("m_start"));
    Key(menu.focusWidget(), Qt::Key_Up);  // from the first round to the last
    EXPECT_EQ(menu.focusWidget(), menu.Item("m_exit"));
    Key(menu.focusWidget(), Qt::Key_Up);
    Key(menu.focusWidget(), Qt::Key_Up);
    Key(menu.focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(menu.isVisible());
    ASSERT_EQ(menu.Items().size(), 7u);
    EXPECT_EQ(menu.Items().front(), menu.Item("m_start"));
    EXPECT_EQ(menu.Items().back(), menu.Item("m_exit"));
    ASSERT_TRUE(WaitForCommand("m_logout"));

    OpenMenu();
    Key(dnd->GetMenu()->focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(dnd->GetMenu()->isVisible());
}

TEST_F(DropWindowMenuTest, RightButtonMenuKeyAndShiftF10OpenTheMenu) {
    const QPoint local(10, 10);
    QMouseEvent press(QEvent::MouseButtonPress, local, dnd->mapToGlobal(local), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QCoreApplication::sendEvent(dnd.get(), &press);
    ASSERT_TRUE(dnd->GetMenu());
    EXPECT_TRUE(dnd->GetMenu()->isVisible());
    dnd->GetMenu()->hide();

    Key(dnd.get(), Qt::Key_Menu);
    EXPECT_TRUE(dnd->GetMenu()->isVisible());
    dnd->GetMenu()->hide();
    Key(dnd.get(), Qt::Key_F10);
    EXPECT_FALSE(dnd->GetMenu()->isVisible());
    Key(dnd.get(), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_TRUE(dnd->GetMenu()->isVisible());
}

// The commands that change the window's own state.
TEST_F(DropWindowMenuTest, HidePauseAndResumeCommands) {
    COptions& options = COptions::GetInstance();
    const bool shownBefore = options.IsFloatWndShow();
    dnd->InitDlg();
    auto post = [&](const char* item) {
        platform::PostMessage(dnd->GetHandle(),
                              platform::Message(WM_MENU_COMMAND,
                                                platform::MakePayload<std::string>(item)));
        return WaitForCommand(item);
    };

    // Pause: the queues report it, the state is paused and the window says so.
    ASSERT_TRUE(post("m_pause"));
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kPaused);
    EXPECT_EQ(dnd->FindControl<QLabel>("txtLabel")->text(), "Pause");
    EXPECT_EQ(mainDlg->GetStartBtnState(), CMainUiDlg::kPaused);  // the manager's button follows
    // Start with nothing to start leaves it paused, and the manager with nothing to start.
    ASSERT_TRUE(post("m_start"));
    EXPECT_EQ(ProcessState::GetInstance().GetTxState(), TxState::kPaused);
    EXPECT_EQ(mainDlg->GetStartBtnState(), CMainUiDlg::kNothingToStart);

    // Resume only acts offline.
    ASSERT_TRUE(post("m_resume"));
    EXPECT_EQ(ProcessState::GetInstance().GetWorkState(), WorkState::kWsIdle);
    ProcessStateTestAccess::SetWorkState(WorkState::kWsOffline);
    ASSERT_TRUE(post("m_resume"));
    EXPECT_EQ(ProcessState::GetInstance().GetWorkState(), WorkState::kWsIdle);

    ASSERT_TRUE(post("m_hide"));
    EXPECT_FALSE(dnd->isVisible());
    EXPECT_FALSE(options.IsFloatWndShow());
    options.SetFloatWndShow(shownBefore);
}

TEST_F(DropWindowMenuTest, MenuAndTooltipSkinsFollowTheLanguage) {
    for (uint16_t language : {3076, 1033, 2052}) {
        COptions::GetInstance().m_uiLanguage = language;
        CMenuWnd menu(dnd->GetHandle());
        menu.Init();
        const char* suffix = language == 3076 ? "_TC.xml" : language == 2052 ? ".xml" : "_ENU.xml";
        EXPECT_EQ(menu.GetSkinPath().filename(), std::string("menu") + suffix);
        EXPECT_FALSE(menu.UsesFallbackLayout());
        for (const auto& spec : CMenuWnd::NamedControls()) {
            EXPECT_TRUE(menu.Item(spec.name)) << spec.name << " " << language;
        }
    }
    COptions::GetInstance().m_uiLanguage = 1033;
}

}  // namespace
