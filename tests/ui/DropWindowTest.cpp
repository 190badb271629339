#include <gtest/gtest.h>

#include <QCursor>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <QUrl>

#include <memory>

#include "UiTestApp.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "support/ProcessStateTestAccess.h"
#include "support/TempDir.h"
#include "ui/CToolTipUiDlg.h"
#include "ui/DndUiDlg.h"
#include "ui/WindowPlacement.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/TransferFigures.h"
#include "ui/TransferProgressText.h"
#include "upload/FileBackupMgr.h"

namespace {

// The speed part of a transfer row's progress line without its closing bracket.
std::string SpeedOfRows(uint64_t bytesPerSecond) {
    std::string text = TransferProgressText::Speed(bytesPerSecond);
    if (!text.empty() && text.back() == ')') {
        text.pop_back();
    }
    return text;
}

class DropWindowTest : public testing::Test {
protected:
    void SetUp() override {
        zorp::test::UiLoop();
        CPaintManagerUI::SetResourcePath(zorp::test::BuildSkinDir());
        COptions::GetInstance().m_uiLanguage = 1033;
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
        mainDlg = std::make_unique<CMainUiDlg>();
        mainDlg->Create("Transmission Manager", CMainUiDlg::DefaultGeometry(Available()), {});
        dnd = std::make_unique<CDndUiDlg>();
        // As the program makes it.
        WindowImplBase::Style style;
        style.frameless = true;
        style.topmost = true;
        style.toolWindow = true;
        style.acceptFiles = true;
        dnd->Create("Upload", CDndUiDlg::DefaultGeometry(Available()), style);
        dnd->SetMainDlg(mainDlg.get());
        mainDlg->SetDndDlg(dnd.get(), dnd->GetHandle());
        dnd->ShowWindow(true, false);
        text = dnd->FindControl<QLabel>("txtLabel");
        ASSERT_TRUE(text);
    }
    void TearDown() override {
        dnd.reset();
        mainDlg.reset();
        ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
    }
    static QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static bool RunUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
        return zorp::test::UiLoop().RunUntil(done, ms);
    }
    void Mouse(QEvent::Type type, Qt::MouseButton button, const QPoint& global) {
        const QPoint local = dnd->mapFromGlobal(global);
        QMouseEvent event(type, local, global, button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button),
                          Qt::NoModifier);
        QCoreApplication::sendEvent(dnd.get(), &event);
    }

    std::unique_ptr<CMainUiDlg> mainDlg;
    std::unique_ptr<CDndUiDlg> dnd;
    QLabel* text = nullptr;
};

TEST_F(DropWindowTest, TooltipPlacementKeepsItOnTheMonitor) {
    const QRect monitor(0, 0, 1920, 1080);
    EXPECT_EQ(CToolTipUiDlg::Placement({100, 100}, monitor), QPoint(100, 143));
    EXPECT_EQ(CToolTipUiDlg::Placement({1800, 100}, monitor), QPoint(1525, 143));  // right edge
    EXPECT_EQ(CToolTipUiDlg::Placement({100, 1000}, monitor), QPoint(100, 828));   // bottom
    EXPECT_EQ(CToolTipUiDlg::Placement({1800, 1000}, monitor), QPoint(1525, 828));
    // Exactly fitting is no overflow.
    EXPECT_EQ(CToolTipUiDlg::Placement({1645, 822}, monitor), QPoint(1645, 865));
    EXPECT_EQ(CToolTipUiDlg::Placement({1646, 823}, monitor), QPoint(1371, 651));
    // A short monitor: moved up, but never above its top + 4.
    EXPECT_EQ(CToolTipUiDlg::Placement({10, 10}, QRect(0, 0, 800, 200)), QPoint(10, 4));
    // A second monitor right of the first, lower down.
    const QRect second(1920, 200, 1280, 1024);
    EXPECT_EQ(CToolTipUiDlg::Placement({3100, 250}, second), QPoint(2825, 293));
    EXPECT_EQ(CToolTipUiDlg::Placement({2000, 300}, second), QPoint(2000, 343));
}

TEST_F(DropWindowTest, HoverWithTransfersShowsTheTooltipUntilTimer1008FindsThePointerGone) {
    CToolTipUiDlg* tip = dnd->GetToolTip();
    ASSERT_TRUE(tip);
    EXPECT_FALSE(tip->isVisible());  // made hidden with the window
    EXPECT_EQ(tip->size(), CToolTipUiDlg::kCreatedSize);

    ProcessStateTestAccess::SetTxState(TxState::kUploads);
    const QPoint cursor = dnd->geometry().center();
    dnd->OnHover(cursor);
    EXPECT_TRUE(tip->isVisible());
    EXPECT_EQ(tip->objectName(), "ZorpToolTipUi");
    EXPECT_EQ(tip->size(), CToolTipUiDlg::kShownSize);
    EXPECT_EQ(tip->pos(), CToolTipUiDlg::Placement(cursor, Available()));
    EXPECT_TRUE(tip->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(tip->parentWidget(), dnd.get());
    EXPECT_FALSE(tip->UsesFallbackLayout());
    // The figures of both directions, from the (empty) queues.
    EXPECT_EQ(tip->FindControl<QLabel>("upTipText")->text().toStdString(),
              TransferFigures::Text(TransferFigures::Direction{}));

    // The timer keeps it while the pointer is over it (shortened here).
    dnd->SetTimer(CDndUiDlg::kTimerTooltip, 10);
    QCursor::setPos(tip->geometry().center());
    if (QCursor::pos() != tip->geometry().center()) {
        GTEST_SKIP() << "this platform cannot place the pointer";
    }
    RunUntil([] { return false; }, 100);
    EXPECT_TRUE(tip->isVisible());
    QCursor::setPos(tip->geometry().bottomRight() + QPoint(50, 50));
    EXPECT_TRUE(RunUntil([&] { return !tip->isVisible(); }));
}

TEST_F(DropWindowTest, HoverWithNoTransferShowsTheHoverLookAndNoTooltip) {
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), dnd->mapToGlobal(QPointF(5, 5)));
    QCoreApplication::sendEvent(dnd.get(), &enter);
    EXPECT_TRUE(dnd->IsHoverLook());
    EXPECT_FALSE(dnd->GetToolTip()->isVisible());
    EXPECT_EQ(dnd->toolTip().toStdString(), CMultiLanguageMgr::LoadString(116, 1033));
    EXPECT_TRUE(text->property("hover").toBool());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(dnd.get(), &leave);
    EXPECT_FALSE(dnd->IsHoverLook());
    EXPECT_FALSE(text->property("hover").toBool());

    // Paused is no transfer either.
    ProcessStateTestAccess::SetTxState(TxState::kPaused);
    dnd->OnHover(dnd->geometry().center());
    EXPECT_FALSE(dnd->GetToolTip()->isVisible());
}

TEST_F(DropWindowTest, TooltipFiguresCountWhatIsQueued) {
    FileBackupMgr::GetInstance().reset();
    for (int i = 0; i < 7; ++i) {
        UpldWaitingFile record;
        record.path = "/nowhere/file" + std::to_string(i) + ".txt";
        record.size = 100;
        FileBackupMgr::GetInstance().addUploadRecord(record);
    }
    mainDlg->GetUploadQueue().upldNewFiles();  // five listed, two waiting; none can start here
    ProcessStateTestAccess::SetTxState(TxState::kUploads);
    dnd->OnHover(dnd->geometry().center());
    const TransferFigures::Direction& up = dnd->GetFigures().Uploads();
    EXPECT_EQ(up.left, 7);
    EXPECT_EQ(up.running, 0);
    EXPECT_EQ(up.bytesLeft, 700u);
    EXPECT_EQ(up.total, 0);
    EXPECT_FALSE(up.timeLeft.known);  // no speed measured yet
    const QString shown = dnd->GetToolTip()->FindControl<QLabel>("upTipText")->text();
    EXPECT_TRUE(shown.contains("File Left:7")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("Time Left:--")) << shown.toStdString();
    EXPECT_EQ(dnd->GetFigures().Downloads().left, 0);
    mainDlg->GetUploadQueue().ClearUpldInfo();
    FileBackupMgr::GetInstance().reset();
}

TEST_F(DropWindowTest, LeftButtonDownHidesTheTooltipAndTransfersEndingToo) {
    ProcessStateTestAccess::SetTxState(TxState::kBoth);
    dnd->OnHover(dnd->geometry().center());
    ASSERT_TRUE(dnd->GetToolTip()->isVisible());
    Mouse(QEvent::MouseButtonPress, Qt::LeftButton, dnd->geometry().center());
    Mouse(QEvent::MouseButtonRelease, Qt::LeftButton, dnd->geometry().center());
    EXPECT_FALSE(dnd->GetToolTip()->isVisible());

    dnd->OnHover(dnd->geometry().center());
    ASSERT_TRUE(dnd->GetToolTip()->isVisible());
    // The page hiding the window hides the tooltip with it.
    platform::PostMessage(dnd->GetHandle(), WM_SHOW_HIDE);
    EXPECT_TRUE(RunUntil([&] { return !dnd->isVisible(); }));
    EXPECT_FALSE(dnd->GetToolTip()->isVisible());
    platform::PostMessage(dnd->GetHandle(), WM_SHOW_HIDE);
    EXPECT_TRUE(RunUntil([&] { return dnd->isVisible(); }));

    dnd->OnHover(dnd->geometry().center());
    ASSERT_TRUE(dnd->GetToolTip()->isVisible());
    // Going offline closes the auxiliary windows.
    platform::PostMessage(dnd->GetHandle(), WM_GO_OFFLINE);
    EXPECT_TRUE(RunUntil([&] { return !dnd->GetToolTip()->isVisible(); }));
}

TEST_F(DropWindowTest, StatusTextSaysOfflinePauseTheSpeedOrTheIdleText) {
    dnd->SetWindowMode(IDispatcherView::kIdleMode);
    EXPECT_EQ(text->text(), "Upload");

    // Transfers run: the speed of the direction shown, as the rows write it, without ")".
    ProcessStateTestAccess::SetTxState(TxState::kUploads);
    dnd->SetWindowMode(IDispatcherView::kUploadMode);
    EXPECT_EQ(text->text().toStdString(), SpeedOfRows(0));
    for (uint64_t speed : {0ull, 512ull, 20ull * 1024, 1300ull * 1024}) {
        EXPECT_EQ(TransferFigures::SpeedText(speed), SpeedOfRows(speed));
        EXPECT_NE(TransferFigures::SpeedText(speed).back(), ')');
    }

    // The speed-changed message refreshes it only while transfers are active.
    text->setText("stale");
    platform::PostMessage(dnd->GetHandle(), WM_TX_REFRESH);
    EXPECT_TRUE(RunUntil([&] { return text->text().toStdString() == SpeedOfRows(0); }));
    ProcessStateTestAccess::SetTxState(TxState::kNone);
    text->setText("stale");
    platform::PostMessage(dnd->GetHandle(), WM_TX_REFRESH);
    RunUntil([] { return false; }, 50);
    EXPECT_EQ(text->text(), "stale");

    // Paused, then offline: the states' own words, whatever the look.
    ProcessStateTestAccess::SetTxState(TxState::kPaused);
    dnd->UpdateStatusText();
    EXPECT_EQ(text->text(), "Pause");
    dnd->SetWindowMode(IDispatcherView::kIdleMode);
    EXPECT_EQ(text->text(), "Pause");
    ProcessStateTestAccess::SetWorkState(WorkState::kWsOffline);
    dnd->SetWindowMode(IDispatcherView::kUploadMode);
    EXPECT_EQ(text->text(), "Offline");
}

TEST_F(DropWindowTest, Timer1100AlternatesTheIconWhileBothRunAndStopsAfter) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    const size_t timersBefore = loop.TimerCount();
    ProcessStateTestAccess::SetTxState(TxState::kBoth);
    dnd->SetWindowMode(IDispatcherView::kUploadMode);
    dnd->StartIconAlternation();
    EXPECT_EQ(loop.TimerCount(), timersBefore + 1);
    dnd->SetTimer(CDndUiDlg::kTimerIconAlternation, 10);  // the same timer, sooner
    EXPECT_EQ(loop.TimerCount(), timersBefore + 1);
    ASSERT_TRUE(RunUntil([&] { return dnd->GetWindowMode() == IDispatcherView::kDownloadMode; }));
    ASSERT_TRUE(RunUntil([&] { return dnd->GetWindowMode() == IDispatcherView::kUploadMode; }));

    // Only downloads left: the next tick stops the timer and shows the download look.
    ProcessStateTestAccess::SetTxState(TxState::kDownloads);
    ASSERT_TRUE(RunUntil([&] { return loop.TimerCount() == timersBefore; }));
    EXPECT_EQ(dnd->GetWindowMode(), IDispatcherView::kDownloadMode);
    EXPECT_EQ(text->text().toStdString(), SpeedOfRows(0));

    // Nothing left: idle look.
    ProcessStateTestAccess::SetTxState(TxState::kBoth);
    dnd->SetTimer(CDndUiDlg::kTimerIconAlternation, 10);
    ProcessStateTestAccess::SetTxState(TxState::kNone);
    ASSERT_TRUE(RunUntil([&] { return loop.TimerCount() == timersBefore; }));
    EXPECT_EQ(dnd->GetWindowMode(), IDispatcherView::kIdleMode);
    EXPECT_EQ(text->text(), "Upload");
}

TEST_F(DropWindowTest, DoubleClickOpensTheManagerOnTheActiveDirectionsTab) {
    const QPoint centre = dnd->geometry().center();
    ProcessStateTestAccess::SetTxState(TxState::kDownloads);
    Mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, centre);
    EXPECT_TRUE(mainDlg->isVisible());
    EXPECT_EQ(mainDlg->GetCurrentPage(), CMainUiDlg::kDownloadPage);

    for (TxState state : {TxState::kBoth, TxState::kUploads, TxState::kNone, TxState::kPaused}) {
        mainDlg->ShowWindow(false);
        ProcessStateTestAccess::SetTxState(state);
        Mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, centre);
        EXPECT_TRUE(mainDlg->isVisible());
        EXPECT_EQ(mainDlg->GetCurrentPage(), CMainUiDlg::kUploadPage) << static_cast<int>(state);
    }
    // The page's "show the manager" request uses the same rule.
    mainDlg->ShowWindow(false);
    ProcessStateTestAccess::SetTxState(TxState::kDownloads);
    platform::PostMessage(dnd->GetHandle(), WM_SHOW_TX_MANAGER);
    EXPECT_TRUE(RunUntil([&] { return mainDlg->isVisible(); }));
    EXPECT_EQ(mainDlg->GetCurrentPage(), CMainUiDlg::kDownloadPage);
}

TEST_F(DropWindowTest, PlacementKeepsTheWindowInsideTheAvailableArea) {
    const QRect area(0, 30, 1920, 1050);
    const QRect window(100, 100, 131, 36);
    EXPECT_EQ(WindowPlacement::KeptInside(window, area), window);
    EXPECT_EQ(WindowPlacement::KeptInside(window.translated(2000, 0), area).topLeft(),
              QPoint(1789, 100));
    EXPECT_EQ(WindowPlacement::KeptInside(window.translated(-500, -500), area).topLeft(),
              QPoint(0, 30));
    EXPECT_EQ(WindowPlacement::KeptInside(window.translated(0, 1000), area).topLeft(),
              QPoint(100, 1044));
    // Half off the right edge counts as off.
    EXPECT_EQ(WindowPlacement::KeptInside(QRect(1850, 500, 131, 36), area).topLeft(),
              QPoint(1789, 500));
    // A stored place from a bigger desktop comes back inside this one.
    const QRect restored =
        WindowPlacement::Restored(std::make_pair(5000, 3000), CDndUiDlg::DefaultGeometry(Available()));
    EXPECT_TRUE(Available().contains(restored));
    EXPECT_EQ(restored.size(), QSize(131, 36));
    EXPECT_EQ(WindowPlacement::Restored(std::nullopt, window), window);
}

TEST_F(DropWindowTest, ADraggedWindowIsKeptOnScreenAndItsPlaceRemembered) {
    // Dragged (the test platform has no window manager to move it: the window moves itself)
    // far off the screen.
    const QPoint grab = dnd->geometry().center();
    Mouse(QEvent::MouseButtonPress, Qt::LeftButton, grab);
    const QPoint far = grab + QPoint(10000, 10000);
    QMouseEvent move(QEvent::MouseMove, dnd->mapFromGlobal(far), far, Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(dnd.get(), &move);
    Mouse(QEvent::MouseButtonRelease, Qt::LeftButton, far);
    EXPECT_TRUE(Available().contains(dnd->geometry())) << dnd->x() << "," << dnd->y();
    const auto stored = COptions::GetInstance().GetFloatWndPos();
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, std::make_pair(dnd->x(), dnd->y()));

    // The next window starts there.
    CDndUiDlg next;
    next.Create("Upload", CDndUiDlg::DefaultGeometry(Available()), {});
    EXPECT_EQ(next.pos(), dnd->pos());

    // Moved off by anything else (a screen that went away): put back, not remembered.
    COptions::GetInstance().SetFloatWndPos(Available().x() + 10, Available().y() + 10);
    dnd->move(-5000, -5000);
    EXPECT_TRUE(RunUntil([&] { return Available().contains(dnd->geometry()); }));
    EXPECT_EQ(*COptions::GetInstance().GetFloatWndPos(),
              std::make_pair(Available().x() + 10, Available().y() + 10));
}

TEST_F(DropWindowTest, DroppedLocalFilesAreAnUploadRequestUnlessOffline) {
    zorp::test::TempDir dir;
    FileBackupMgr::GetInstance().reset();
    auto drop = [&](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(dnd.get(), &enter);
        const bool accepted = enter.isAccepted();
        const QString duringDrag = text->text();
        QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(dnd.get(), &dropEvent);
        return std::make_pair(accepted, duringDrag);
    };
    const QUrl file = QUrl::fromLocalFile(QString::fromStdString((dir / "a.txt").string()));

    ProcessStateTestAccess::SetWorkState(WorkState::kWsOffline);
    drop({file});
    EXPECT_FALSE(FileBackupMgr::GetInstance().hasPendingRequests());
    EXPECT_EQ(text->text(), "Offline");

    // Only local files are taken: a web address alone is refused while dragged.
    ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
    dnd->UpdateStatusText();
    const auto [acceptedWeb, textWeb] = drop({QUrl("https://example.org/a.txt")});
    EXPECT_FALSE(acceptedWeb);
    EXPECT_EQ(textWeb, QString("Upload"));
    EXPECT_FALSE(FileBackupMgr::GetInstance().hasPendingRequests());

    // Online, a local file is taken: the window says to let go, and the drop becomes the
    // dispatcher's upload request (a file that is not there ends it at once).
    logging::ScopedLogCapture log;
    const auto [accepted, during] = drop({file});
    EXPECT_TRUE(accepted);
    EXPECT_EQ(during, QString("Loose then upload"));
    EXPECT_TRUE(log.Contains("CDndUiDlg::OnSpecificDragFileInfo not exist"));
    EXPECT_EQ(text->text(), "Upload");
    FileBackupMgr::GetInstance().reset();
}

}  // namespace
