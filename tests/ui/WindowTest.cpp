#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>

#include <memory>

#include "UiTestApp.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "support/TempDir.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"

namespace {

using zorp::test::TempDir;
using zorp::test::WriteFile;

// Each test picks its language and skin folder; the defaults are restored afterwards.
class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
    }
    void TearDown() override {
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
    }
    static QRect Screen() { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

TEST_F(WindowTest, BothWindowsAreCreatedHiddenWithEveryNamedControlInEveryLanguage) {
    for (uint16_t language : {3076, 1033, 2052}) {
        COptions::GetInstance().m_uiLanguage = language;
        CMainUiDlg mainDlg;
        mainDlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
        CDndUiDlg dndDlg;
        dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
        const char* suffix = language == 3076 ? "_TC.xml" : language == 2052 ? ".xml" : "_ENU.xml";
        EXPECT_EQ(mainDlg.GetSkinPath().filename(), std::string("mainui") + suffix);
        EXPECT_EQ(dndDlg.GetSkinPath().filename(), std::string("dnd") + suffix);
        EXPECT_FALSE(mainDlg.UsesFallbackLayout());
        EXPECT_FALSE(dndDlg.UsesFallbackLayout());
        for (const auto& spec : CMainUiDlg::NamedControls()) {
            EXPECT_TRUE(mainDlg.FindControl(spec.name)) << spec.name << " " << language;
        }
        for (const auto& spec : CDndUiDlg::NamedControls()) {
            EXPECT_TRUE(dndDlg.FindControl(spec.name)) << spec.name << " " << language;
        }
        EXPECT_FALSE(mainDlg.isVisible());
        EXPECT_FALSE(dndDlg.isVisible());
        EXPECT_TRUE(platform::WindowRegistry::IsWindow(mainDlg.GetHandle()));
        EXPECT_EQ(mainDlg.objectName(), "ZorpManUi");
        EXPECT_EQ(dndDlg.objectName(), "ZorpDndUi");
    }
}

TEST_F(WindowTest, PlacesFollowTheAvailableScreenArea) {
    const QRect area(0, 0, 1920, 1040);
    EXPECT_EQ(CMainUiDlg::DefaultGeometry(area), QRect(1480, 565, 430, 468));
    EXPECT_EQ(CDndUiDlg::DefaultGeometry(area), QRect(1680, 34, 131, 36));
    const QRect shifted(100, 30, 1000, 700);  // a panel on the left and at the top
    EXPECT_EQ(CMainUiDlg::DefaultGeometry(shifted), QRect(660, 255, 430, 468));
    EXPECT_EQ(CDndUiDlg::DefaultGeometry(shifted), QRect(860, 64, 131, 36));
}

TEST_F(WindowTest, DropWindowIsFramelessOnTopAndTakesFiles) {
    CDndUiDlg dndDlg;
    WindowImplBase::Style style;
    style.frameless = true;
    style.topmost = true;
    style.toolWindow = true;
    style.acceptFiles = true;
    dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), style);
    EXPECT_TRUE(dndDlg.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(dndDlg.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(dndDlg.acceptDrops());
    EXPECT_EQ(dndDlg.geometry().size(), QSize(131, 36));
    dndDlg.InitDlg();
    EXPECT_EQ(dndDlg.FindControl<QLabel>("txtLabel")->text(), "Upload");
    EXPECT_FALSE(dndDlg.FindControl<QLabel>("imgLabel")->pixmap().isNull());
}

TEST_F(WindowTest, MissingSkinGivesAnErrorLineAndAWorkingFallback) {
    TempDir empty;
    CPaintManagerUI::SetResourcePath(empty.path());
    logging::ScopedLogCapture log;
    CMainUiDlg mainDlg;
    mainDlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    EXPECT_TRUE(mainDlg.UsesFallbackLayout());
    EXPECT_TRUE(log.Contains("Skin \"mainui_ENU.xml\" cannot be used (not found"));
    for (const auto& spec : CMainUiDlg::NamedControls()) {
        EXPECT_TRUE(mainDlg.FindControl(spec.name)) << spec.name;
    }
    // The fallback still works: the page buttons switch the pages.
    mainDlg.FindControl<QPushButton>("tx_history")->click();
    EXPECT_EQ(mainDlg.GetCurrentPage(), CMainUiDlg::kHistoryPage);
    EXPECT_EQ(mainDlg.FindControl<QStackedWidget>("tab_main")->currentWidget()->objectName(),
              "hist_list_tab");
}

TEST_F(WindowTest, MalformedSkinGivesAnErrorLineAndAWorkingFallback) {
    TempDir dir;
    CPaintManagerUI::SetResourcePath(dir.path());
    for (const char* text : {"<ui version=\"4.0\"><widget class=\"QFrame\" name=\"x\">",
                             "not xml at all", "", "<html><body/></html>"}) {
        WriteFile(dir / "dnd_ENU.xml", text);
        logging::ScopedLogCapture log;
        CDndUiDlg dndDlg;
        dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
        EXPECT_TRUE(dndDlg.UsesFallbackLayout()) << text;
        EXPECT_TRUE(log.Contains("Skin \"dnd_ENU.xml\" cannot be used")) << text;
        dndDlg.InitDlg();
        ASSERT_TRUE(dndDlg.FindControl<QLabel>("txtLabel")) << text;
        EXPECT_EQ(dndDlg.FindControl<QLabel>("txtLabel")->text(), "Upload");
    }
}

TEST_F(WindowTest, SkinFromTheInstallLocationIsUsedWhenTheProgramFolderHasNone) {
    TempDir empty;
    CPaintManagerUI::SetResourcePath(empty.path());
    CPaintManagerUI::AddResourceSearchPath(zorp::test::BuildSkinDir());
    CDndUiDlg dndDlg;
    dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
    EXPECT_FALSE(dndDlg.UsesFallbackLayout());
    EXPECT_EQ(dndDlg.GetSkinPath(), zorp::test::BuildSkinDir() / "dnd_ENU.xml");
}

TEST_F(WindowTest, SkinLackingAControlIsReported) {
    TempDir dir;
    CPaintManagerUI::SetResourcePath(dir.path());
    WriteFile(dir / "dnd_ENU.xml", R"(<ui version="4.0"><widget class="QFrame" name="root">
        <widget class="QLabel" name="txtLabel"/></widget></ui>)");
    logging::ScopedLogCapture log;
    CDndUiDlg dndDlg;
    dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
    EXPECT_FALSE(dndDlg.UsesFallbackLayout());
    EXPECT_TRUE(log.Contains("lacks the control \"imgLabel\""));
    dndDlg.InitDlg();  // the window copes with the missing label
}

// Records what the base delivers to Notify.
class NotifyRecorder : public CMainUiDlg {
public:
    std::vector<UiNotify> seen;

protected:
    void Notify(const UiNotify& notify) override {
        seen.push_back(notify);
        CMainUiDlg::Notify(notify);
    }
};

TEST_F(WindowTest, ClicksPageChoicesTimersAndMenuCommandsReachNotify) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    NotifyRecorder window;
    window.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    window.ShowWindow(true);

    window.FindControl<QPushButton>("dnld_list")->click();
    ASSERT_FALSE(window.seen.empty());
    EXPECT_EQ(window.seen.back().sType, "selectchanged");
    EXPECT_EQ(window.seen.back().name, "dnld_list");
    EXPECT_EQ(window.GetCurrentPage(), CMainUiDlg::kDownloadPage);

    window.SetTimer(1008, 5);
    ASSERT_TRUE(loop.RunUntil([&] { return window.seen.back().sType == "timer"; }, 5000));
    EXPECT_EQ(window.seen.back().wParam, 1008);
    window.KillTimer(1008);

    platform::PostMessage(window.GetHandle(),
                          platform::Message(WM_MENU_COMMAND, platform::MakePayload<std::string>("m_mgr")));
    ASSERT_TRUE(loop.RunUntil([&] { return window.seen.back().sType == "menu_msg"; }, 5000));
    EXPECT_EQ(window.seen.back().name, "m_mgr");

    window.FindControl<QPushButton>("closeBtn")->click();
    EXPECT_EQ(window.seen.back().sType, "click");
    EXPECT_FALSE(window.isVisible());  // the close button only hides
}

TEST_F(WindowTest, StartButtonFollowsTheTransfers) {
    CMainUiDlg mainDlg;
    mainDlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    auto* startBtn = mainDlg.FindControl<QPushButton>("startBtn");
    mainDlg.changeBtns(0, 0);
    EXPECT_EQ(mainDlg.GetStartBtnState(), CMainUiDlg::kNothingToStart);
    EXPECT_FALSE(startBtn->isEnabled());
    EXPECT_EQ(startBtn->text(), "Start");
    mainDlg.changeBtns(0, 2);
    EXPECT_EQ(mainDlg.GetStartBtnState(), CMainUiDlg::kRunning);
    EXPECT_TRUE(startBtn->isEnabled());
    EXPECT_EQ(startBtn->text(), "Pause");
    EXPECT_FALSE(startBtn->icon().isNull());
}

TEST_F(WindowTest, CloseCommandOfTheDropWindowRunsTheClosingOnceAndEndsTheLoop) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    CMainUiDlg mainDlg;
    mainDlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    CDndUiDlg dndDlg;
    dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
    dndDlg.SetMainDlg(&mainDlg);
    mainDlg.ShowWindow(true);
    dndDlg.ShowWindow(true);
    logging::ScopedLogCapture log;
    // Twice, as when the page's quit and a termination signal meet.
    dndDlg.Close();
    dndDlg.Close();
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_EQ(log.Count("CDndUiDlg::OnClose"), 1u);
    EXPECT_TRUE(dndDlg.IsClosing());
    EXPECT_FALSE(dndDlg.isVisible());
    EXPECT_FALSE(mainDlg.isVisible());
}

}  // namespace

namespace {

// The drop window hands the program's messages to its dispatcher and shows what it decides:
// the offline text, the idle look back online, the visibility the page toggles.
TEST_F(WindowTest, DropWindowShowsWhatItsDispatcherDecides) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    COptions& options = COptions::GetInstance();
    ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
    CMainUiDlg mainDlg;
    mainDlg.Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Screen()), {});
    CDndUiDlg dndDlg;
    dndDlg.Create("Upload", CDndUiDlg::DefaultGeometry(Screen()), {});
    dndDlg.SetMainDlg(&mainDlg);
    auto* text = dndDlg.FindControl<QLabel>("txtLabel");
    ASSERT_TRUE(text);
    dndDlg.ShowWindow(true);

    platform::PostMessage(dndDlg.GetHandle(), WM_GO_OFFLINE);
    loop.RunUntil([&] { return ProcessState::GetInstance().GetWorkState() == RequestDispatcher::kWsOffline; }, 5000);
    EXPECT_EQ(text->text(), "Offline");
    EXPECT_EQ(dndDlg.GetWindowMode(), IDispatcherView::kIdleMode);

    platform::PostMessage(dndDlg.GetHandle(), WM_GO_ONLINE);
    loop.RunUntil([&] { return ProcessState::GetInstance().GetWorkState() == RequestDispatcher::kWsIdle; }, 5000);
    EXPECT_EQ(text->text(), "Upload");

    const bool storedBefore = options.IsFloatWndShow();
    platform::PostMessage(dndDlg.GetHandle(), WM_SHOW_HIDE);
    loop.RunUntil([&] { return !dndDlg.isVisible(); }, 5000);
    EXPECT_FALSE(dndDlg.isVisible());
    EXPECT_FALSE(options.IsFloatWndShow());
    platform::PostMessage(dndDlg.GetHandle(), WM_SHOW_HIDE);
    loop.RunUntil([&] { return dndDlg.isVisible(); }, 5000);
    EXPECT_TRUE(options.IsFloatWndShow());
    options.SetFloatWndShow(storedBefore);

    platform::PostMessage(dndDlg.GetHandle(), WM_SHOW_TX_MANAGER);
    loop.RunUntil([&] { return mainDlg.isVisible(); }, 5000);
    EXPECT_EQ(mainDlg.GetCurrentPage(), CMainUiDlg::kUploadPage);
    ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
}

}  // namespace
