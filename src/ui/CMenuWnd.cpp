#include "ui/CMenuWnd.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>

#include <algorithm>

#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "ui/SkinImage.h"

using Kind = ControlSpec::Kind;

namespace {
constexpr const char* kPlayIcon = "file='play_n.png' dest='4,9,20,25'";
constexpr const char* kPauseIcon = "file='pause_n.png' dest='4,9,20,25'";
}  // namespace

CMenuWnd::CMenuWnd(platform::WindowHandle owner) : m_owner(owner) {}

CMenuWnd::~CMenuWnd() = default;

ControlSpecs CMenuWnd::NamedControls() {
    return {{"m_start", Kind::kMenuItem}, {"m_pause", Kind::kMenuItem}, {"m_mgr", Kind::kMenuItem},
            {"m_logout", Kind::kMenuItem}, {"m_resume", Kind::kMenuItem},
            {"m_hide", Kind::kMenuItem},  {"m_exit", Kind::kMenuItem}};
}

void CMenuWnd::Init() {
    WindowImplBase::Style style;
    style.frameless = true;
    style.topmost = true;
    style.toolWindow = true;
    Create("menu", QRect(0, 0, 160, 200), style);
    // A popup: the window system gives it the pointer and the keys, and a click elsewhere
    // closes it.
    setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    setAccessibleName(QStringLiteral("menu"));
    // The keys move in the skin's order, which is the order the loader made the items in.
    const ControlSpecs names = NamedControls();
    for (QPushButton* button : findChildren<QPushButton*>()) {
        const std::string name = button->objectName().toStdString();
        if (std::any_of(names.begin(), names.end(),
                        [&](const ControlSpec& spec) { return spec.name == name; })) {
            m_items.push_back(button);
        }
    }
    for (QPushButton* item : m_items) {
        item->setFocusPolicy(Qt::StrongFocus);
        item->setAutoDefault(false);
        item->installEventFilter(this);
        if (item->accessibleName().isEmpty()) {
            item->setAccessibleName(item->text().isEmpty() ? item->objectName() : item->text());
        }
    }
    adjustSize();
}

QPushButton* CMenuWnd::Item(const std::string& name) const {
    return FindControl<QPushButton>(name);
}

void CMenuWnd::FollowState(TxState txState, bool offline) {
    QPushButton* start = Item("m_start");
    QPushButton* pause = Item("m_pause");
    switch (txState) {
        case TxState::kNone:
            if (start) start->setEnabled(false);
            if (pause) pause->setEnabled(false);
            break;
        case TxState::kPaused:
            if (start) start->setEnabled(true);
            if (pause) pause->setEnabled(false);
            SkinImage::Apply(start, kPlayIcon);
            break;
        case TxState::kUploads:
        case TxState::kDownloads:
        case TxState::kBoth:
            if (start) start->setEnabled(false);
            if (pause) pause->setEnabled(true);
            SkinImage::Apply(pause, kPauseIcon);
            break;
        case TxState::kUnused:
            break;
    }
    if (QPushButton* resume = Item("m_resume")) {
        resume->setEnabled(offline);
    }
}

QPoint CMenuWnd::Placement(const QPoint& cursor, const QSize& size, const QRect& available) {
    int x = cursor.x();
    int y = cursor.y();
    if (x + size.width() > available.x() + available.width()) {
        x = cursor.x() - size.width();
    }
    if (y + size.height() > available.y() + available.height()) {
        y = cursor.y() - size.height();
    }
    x = std::clamp(x, available.x(), std::max(available.x(), available.x() + available.width() - size.width()));
    y = std::clamp(y, available.y(),
                   std::max(available.y(), available.y() + available.height() - size.height()));
    return {x, y};
}

void CMenuWnd::Popup(const QPoint& cursor, const QRect& available) {
    adjustSize();
    move(Placement(cursor, size(), available));
    ShowWindow(true);
    MoveFocus(0);
}

void CMenuWnd::Notify(const UiNotify& notify) {
    if (notify.sType != "click") {
        return;
    }
    auto* item = qobject_cast<QPushButton*>(notify.pSender);
    if (item && std::find(m_items.begin(), m_items.end(), item) != m_items.end()) {
        Choose(item);
    }
}

void CMenuWnd::Choose(QPushButton* item) {
    if (!item->isEnabled()) {
        return;
    }
    const std::string name = item->objectName().toStdString();
    VLOGF(1, "CMenuWnd - %s", name.c_str());
    hide();
    platform::PostMessage(m_owner, platform::Message(WM_MENU_COMMAND,
                                                     platform::MakePayload<std::string>(name)));
}

void CMenuWnd::MoveFocus(int step) {
    std::vector<QPushButton*> enabled;
    for (QPushButton* item : m_items) {
        if (item->isEnabled() && item->isVisible()) {
            enabled.push_back(item);
        }
    }
    if (enabled.empty()) {
        return;
    }
    auto it = std::find(enabled.begin(), enabled.end(), focusWidget());
    int index = 0;
    if (it != enabled.end()) {
        const int count = static_cast<int>(enabled.size());
        index = ((static_cast<int>(it - enabled.begin()) + step) % count + count) % count;
    }
    enabled[static_cast<size_t>(index)]->setFocus(Qt::TabFocusReason);
}

bool CMenuWnd::HandleKey(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
            MoveFocus(-1);
            return true;
        case Qt::Key_Down:
            MoveFocus(1);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (auto* item = qobject_cast<QPushButton*>(focusWidget())) {
                Choose(item);
            }
            return true;
        case Qt::Key_Escape:
            hide();
            return true;
        default:
            return false;
    }
}

void CMenuWnd::keyPressEvent(QKeyEvent* event) {
    if (!HandleKey(event)) {
        WindowImplBase::keyPressEvent(event);
    }
}

bool CMenuWnd::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && HandleKey(static_cast<QKeyEvent*>(event))) {
        return true;
    }
    return WindowImplBase::eventFilter(watched, event);
}
