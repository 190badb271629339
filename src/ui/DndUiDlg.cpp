#include "ui/DndUiDlg.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStyle>

#include <chrono>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/WindowMessages.h"
#include "download/DownloadQueue.h"
#include "link/ClientInterfaceMgr.h"
#include "platform/WindowRegistry.h"
#include "ui/CAutoBackupUiDlg.h"
#include "ui/CMenuWnd.h"
#include "ui/CToolTipUiDlg.h"
#include "ui/WindowPlacement.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"
#include "upload/UploadQueue.h"

using Kind = ControlSpec::Kind;

namespace {

constexpr uint32_t kTextIdle = 115;         // "Upload"
constexpr uint32_t kTextDragHint = 116;     // "Drag file, uplaod to Quorva"
constexpr uint32_t kTextLetGo = 122;        // "Loose then upload"
constexpr uint32_t kTextOffline = 151;      // "Offline"
constexpr uint32_t kTextPaused = 153;       // "Pause"
// The moves of a drag stop for this long: the drag has ended.
constexpr int kMoveSettleMs = 400;

QString Text(uint32_t id) {
    return QString::fromStdString(CMultiLanguageMgr::GetInstance().LoadString(id));
}

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void Restyle(QWidget* widget, bool hover) {
    if (!widget) {
        return;
    }
    widget->setProperty("hover", hover);
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

}  // namespace

CDndUiDlg::CDndUiDlg() = default;

CDndUiDlg::~CDndUiDlg() = default;

QRect CDndUiDlg::DefaultGeometry(const QRect& available) {
    return QRect(available.x() + available.width() - 240, available.y() + 34, 131, 36);
}

ControlSpecs CDndUiDlg::NamedControls() {
    return {
        {"imgLabel", Kind::kLabel, ""},
        {"txtLabel", Kind::kLabel, ""},
        {"nullLabel", Kind::kLabel, ""},
    };
}

void CDndUiDlg::InitWindow() {
    m_pTxtLabel = FindControl<QLabel>("txtLabel");
    m_pImgLabel = FindControl<QLabel>("imgLabel");
    m_pNullLabel = FindControl<QLabel>("nullLabel");
    setAccessibleName(windowTitle());
    if (m_pTxtLabel) {
        m_pTxtLabel->setAccessibleName(QStringLiteral("status"));
    }
    if (m_pImgLabel) {
        m_pImgLabel->setAccessibleName(QStringLiteral("transfer direction"));
    }
    if (m_pNullLabel) {
        m_pNullLabel->setAccessibleName(QStringLiteral("spacer"));
    }
    // The right button always reaches mousePressEvent; the menu key and Shift+F10 reach
    // keyPressEvent.
    setContextMenuPolicy(Qt::PreventContextMenu);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);

    // The tooltip window exists, hidden, from the start.
    m_tooltip = std::make_unique<CToolTipUiDlg>();
    m_tooltip->Init(this);

    // Where the user left it last time, if that is still on a screen.
    setGeometry(WindowPlacement::Restored(COptions::GetInstance().GetFloatWndPos(), geometry()));

    m_moveSettle.setSingleShot(true);
    m_moveSettle.setInterval(kMoveSettleMs);
    QObject::connect(&m_moveSettle, &QTimer::timeout, this, [this] { OnMoveSettled(); });
    auto watchScreen = [this](QScreen* screen) {
        QObject::connect(screen, &QScreen::availableGeometryChanged, this,
                         [this] { KeepOnScreen(); });
    };
    for (QScreen* screen : QGuiApplication::screens()) {
        watchScreen(screen);
    }
    QObject::connect(qApp, &QGuiApplication::screenAdded, this, watchScreen);
    // The screen list changes after the signal: look again once it has.
    QObject::connect(qApp, &QGuiApplication::screenRemoved, this,
                     [this] { QTimer::singleShot(0, this, [this] { KeepOnScreen(); }); });
}

void CDndUiDlg::InitDlg() {
    SetWindowMode(kIdleMode);
    m_dispatcher.SetWindow(GetHandle());
    if (m_pMainDlg) {
        m_dispatcher.SetUploadQueue(&m_pMainDlg->GetUploadQueue());
        m_dispatcher.SetDownloadQueue(&m_pMainDlg->GetDownloadQueue());
    }
    m_dispatcher.InitDispatcher();
}

// ---- the look ----

void CDndUiDlg::SetWindowMode(int mode) {
    m_windowMode = mode;
    const char* icon = mode == kDownloadMode ? "file='tx_download.png' dest='0,2,16,18'"
                                             : "file='tx_upload.png' dest='0,2,16,18'";
    SkinImage::Apply(m_pImgLabel, icon);
    UpdateStatusText();
}

void CDndUiDlg::UpdateStatusText() {
    if (!m_pTxtLabel) {
        return;
    }
    const ProcessState& state = ProcessState::GetInstance();
    QString text;
    if (m_dragOver && !state.IsOffline()) {
        text = Text(kTextLetGo);
    } else if (state.IsOffline()) {
        text = Text(kTextOffline);
        // The connection the per-file costs were measured on is gone.
        m_figures.ResetMeasurements();
    } else if (state.GetTxState() == TxState::kPaused) {
        text = Text(kTextPaused);
    } else if (state.TransfersActive() && m_windowMode != kIdleMode) {
        const TransferFigures::Direction& shown =
            ShownDirection() == kDownloadMode ? m_figures.Downloads() : m_figures.Uploads();
        text = QString::fromStdString(TransferFigures::SpeedText(shown.bytesPerSecond));
    } else {
        text = Text(kTextIdle);
    }
    m_pTxtLabel->setText(text);
}

int CDndUiDlg::ShownDirection() const {
    return m_windowMode == kDownloadMode ? kDownloadMode : kUploadMode;
}

void CDndUiDlg::ShowStatusText(const std::string& text) {
    if (m_pTxtLabel) {
        m_pTxtLabel->setText(QString::fromStdString(text));
    }
}

void CDndUiDlg::StartIconAlternation() { SetTimer(kTimerIconAlternation, kIconAlternationMs); }

void CDndUiDlg::OnIconAlternation() {
    const TxState txState = ProcessState::GetInstance().GetTxState();
    if (txState == TxState::kBoth) {
        SetWindowMode(m_windowMode == kUploadMode ? kDownloadMode : kUploadMode);
        RefreshSpeedText();
        return;
    }
    KillTimer(kTimerIconAlternation);
    SetWindowMode(txState == TxState::kUploads     ? kUploadMode
                  : txState == TxState::kDownloads ? kDownloadMode
                                                   : kIdleMode);
}

void CDndUiDlg::ObserveTransfers() {
    if (!m_pMainDlg) {
        return;
    }
    m_figures.Observe(&m_pMainDlg->GetUploadQueue(), &m_pMainDlg->GetDownloadQueue(), SteadyMs());
}

void CDndUiDlg::RefreshSpeedText() {
    ObserveTransfers();
    UpdateStatusText();
    if (m_tooltip && m_tooltip->isVisible()) {
        m_tooltip->ShowFigures(m_figures);
    }
}

void CDndUiDlg::ZeroSpeeds() {
    if (m_pTxtLabel && m_windowMode != kIdleMode) {
        m_pTxtLabel->setText(QString::fromStdString(TransferFigures::SpeedText(0)));
    }
}

void CDndUiDlg::OnTxStateChanged(TxState before, TxState after) {
    VLOGF(1, "CDndUiDlg - transfer state %d -> %d", static_cast<int>(before),
          static_cast<int>(after));
    UpdateStatusText();
    if (after != TxState::kUploads && after != TxState::kDownloads && after != TxState::kBoth) {
        HideToolTip();
    }
}

void CDndUiDlg::SetHoverLook(bool hover) {
    if (m_hoverLook == hover) {
        return;
    }
    m_hoverLook = hover;
    Restyle(findChild<QWidget*>(QStringLiteral("dndRoot")), hover);
    Restyle(m_pTxtLabel, hover);
}

// ---- windows ----

bool CDndUiDlg::IsWindowVisible() const { return isVisible(); }

void CDndUiDlg::SetWindowVisible(bool visible) {
    if (!visible) {
        HideToolTip();
    }
    ShowWindow(visible, false);
}

void CDndUiDlg::CloseAuxiliaryWindows() {
    HideToolTip();
    if (m_menu) {
        m_menu->hide();
    }
    if (m_autoBackup && m_autoBackup->isVisible()) {
        m_autoBackup->Cancel();
    }
}

void CDndUiDlg::ShowTransferManager(int page) {
    if (m_pMainDlg) {
        m_pMainDlg->SelectPage(page);
        m_pMainDlg->ShowWindow(true);
        m_pMainDlg->raise();
        m_pMainDlg->activateWindow();
    }
}

void CDndUiDlg::SetAutoBackupDlg(std::unique_ptr<CAutoBackupUiDlg> dlg) {
    m_autoBackup = std::move(dlg);
}

void CDndUiDlg::ShowBackupSettings() {
    if (!m_autoBackup) {
        VLOG(1) << "CDndUiDlg::OnLocalConfig - no backup settings window";
        return;
    }
    m_autoBackup->ShowDlg();
}

void CDndUiDlg::OfferClipboardFile(const std::string& path) {
    m_clipboardOffer.Offer(QString::fromStdString(path));
}

void CDndUiDlg::ToggleBackupSettings() {
    if (!m_autoBackup || !m_autoBackup->isVisible()) {
        ShowBackupSettings();
        return;
    }
    // Put away like its own close: nothing chosen in this visit is kept.
    m_autoBackup->Cancel();
}

void CDndUiDlg::HideAllWindows() {
    HideToolTip();
    if (m_menu) {
        m_menu->hide();
    }
    ShowWindow(false);
    if (m_pMainDlg) {
        m_pMainDlg->ShowWindow(false);
    }
}

void CDndUiDlg::QuitMessageLoop(int exitCode) { CPaintManagerUI::QuitMessageLoop(exitCode); }

void CDndUiDlg::HideFloatWindow() {
    VLOGF(1, "CDndUiDlg::HideFloatWindow");
    HideToolTip();
    ShowWindow(false);
    COptions::GetInstance().SetFloatWndShow(false);
    // Only when the page is connected.
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(LinkProtocol::Out::kWindowHidden);
}

void CDndUiDlg::OpenMenu(const QPoint& globalPos) {
    HideToolTip();
    if (!m_menu) {
        m_menu = std::make_unique<CMenuWnd>(GetHandle());
        m_menu->Init();
    }
    const ProcessState& state = ProcessState::GetInstance();
    m_menu->FollowState(state.GetTxState(), state.IsOffline());
    m_menu->Popup(globalPos, WindowPlacement::AvailableAreaFor(QRect(globalPos, QSize(1, 1))));
}

void CDndUiDlg::OnHover(const QPoint& globalPos) {
    if (!ProcessState::GetInstance().TransfersActive()) {
        setToolTip(Text(kTextDragHint));
        SetHoverLook(true);
        return;
    }
    setToolTip(QString());
    if (!m_tooltip) {
        return;
    }
    ObserveTransfers();
    m_tooltip->ShowFigures(m_figures);
    QScreen* screen = QGuiApplication::screenAt(globalPos);
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    m_tooltip->ShowAt(globalPos, screen ? screen->availableGeometry() : QRect());
    SetTimer(kTimerTooltip, kTooltipMs);
}

void CDndUiDlg::OnTooltipTimer() {
    if (m_tooltip && m_tooltip->IsPointerOver()) {
        return;
    }
    HideToolTip();
}

void CDndUiDlg::HideToolTip() {
    if (m_tooltip) {
        m_tooltip->hide();
    }
    KillTimer(kTimerTooltip);
}

void CDndUiDlg::KeepOnScreen() {
    const QRect now = geometry();
    const QRect kept =
        WindowPlacement::KeptInside(now, WindowPlacement::AvailableAreaFor(now));
    if (kept.topLeft() != now.topLeft()) {
        VLOGF(1, "CDndUiDlg::KeepOnScreen - %d,%d -> %d,%d", now.x(), now.y(), kept.x(), kept.y());
        move(kept.topLeft());
    }
}

void CDndUiDlg::OnMoveSettled() {
    KeepOnScreen();
    if (m_userMoved) {
        m_userMoved = false;
        COptions::GetInstance().SetFloatWndPos(x(), y());
    }
}

// ---- notifications and messages ----

void CDndUiDlg::Notify(const UiNotify& notify) {
    if (notify.sType == "timer") {
        const auto timerId = static_cast<uint32_t>(notify.wParam);
        if (m_dispatcher.OnTimer(timerId)) {
            return;
        }
        if (timerId == kTimerIconAlternation) {
            OnIconAlternation();
        } else if (timerId == kTimerTooltip) {
            OnTooltipTimer();
        }
        return;
    }
    if (notify.sType == "menu_msg") {
        OnMenuCommand(notify.name);
    }
}

void CDndUiDlg::OnMenuCommand(const std::string& item) {
    VLOGF(1, "CDndUiDlg::OnMenuCommand - %s", item.c_str());
    if (item == "m_start") {
        m_dispatcher.OnMenuStart();
        UpdateStatusText();
    } else if (item == "m_pause") {
        m_dispatcher.OnMenuPause();
        UpdateStatusText();
    } else if (item == "m_mgr") {
        ShowTransferManager(PageForTxState(ProcessState::GetInstance().GetTxState()));
    } else if (item == "m_hide") {
        HideFloatWindow();
    } else if (item == "m_exit") {
        OnCloseCommand();
    } else if (item == "m_logout") {
        ToggleBackupSettings();
    } else if (item == "m_resume") {
        m_dispatcher.OnMenuResume();
    }
}

int64_t CDndUiDlg::HandleCustomMessage(platform::Message& message, bool& handled) {
    handled = m_dispatcher.HandleMessage(message);
    if (!handled) {
        VLOGF(1, "CDndUiDlg - message 0x%X not handled", message.id);
    }
    return 0;
}

void CDndUiDlg::OnCloseCommand() {
    if (IsClosing()) {
        return;  // the page's quit and a termination signal may both ask
    }
    OnClose();
    CPaintManagerUI::QuitMessageLoop(0);
}

void CDndUiDlg::OnClose() {
    HideToolTip();
    KillTimer(kTimerIconAlternation);
    m_dispatcher.OnClose();
}
