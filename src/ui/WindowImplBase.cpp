#include "ui/WindowImplBase.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QVBoxLayout>

#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "ui/DialogBuilder.h"

WindowImplBase::WindowImplBase() : QWidget(nullptr) {}

WindowImplBase::~WindowImplBase() { Detach(); }

std::string WindowImplBase::GetSkinFile() const {
    return CMultiLanguageMgr::GetSkinFileName(GetSkinBaseName(),
                                              COptions::GetInstance().m_uiLanguage.load());
}

platform::WindowHandle WindowImplBase::Create(const std::string& title, const QRect& geometry,
                                              const Style& style) {
    setObjectName(QString::fromStdString(GetWindowClassName()));
    setWindowTitle(QString::fromStdString(title));

    Qt::WindowFlags flags = style.toolWindow ? Qt::Tool : Qt::Window;
    if (style.frameless) {
        flags |= Qt::FramelessWindowHint;
    } else {
        flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (style.minimizeBox) {
            flags |= Qt::WindowMinimizeButtonHint;
        }
    }
    if (style.topmost) {
        flags |= Qt::WindowStaysOnTopHint;
    }
    setWindowFlags(flags);
    setAcceptDrops(style.acceptFiles);
    setAttribute(Qt::WA_TranslucentBackground, style.translucent);

    auto built = CDialogBuilder::Create(GetSkinFile(), GetNamedControls(), this);
    m_root = built.root;
    m_fallback = built.fallback;
    m_skinPath = built.path;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_root);
    BindNotifications(m_root);

    setGeometry(geometry);
    platform::WindowHandle handle = Attach();
    InitWindow();
    return handle;
}

QWidget* WindowImplBase::FindControl(const std::string& name) const {
    return m_root ? m_root->findChild<QWidget*>(QString::fromStdString(name)) : nullptr;
}

void WindowImplBase::ShowWindow(bool show, bool takeFocus) {
    if (!show) {
        hide();
        return;
    }
    setAttribute(Qt::WA_ShowWithoutActivating, !takeFocus);
    this->show();
    if (takeFocus) {
        raise();
        activateWindow();
    }
}

void WindowImplBase::Close() { platform::PostMessage(GetHandle(), platform::WM_CLOSE); }

bool WindowImplBase::SetTimer(uint32_t timerId, uint32_t intervalMs) {
    return platform::SetTimer(GetHandle(), timerId, intervalMs);
}

bool WindowImplBase::KillTimer(uint32_t timerId) {
    return platform::KillTimer(GetHandle(), timerId);
}

void WindowImplBase::BindNotifications(QWidget* subtree) {
    if (!subtree) {
        return;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(subtree)) {
        BindButton(button);
    }
    for (QAbstractButton* button : subtree->findChildren<QAbstractButton*>()) {
        BindButton(button);
    }
}

void WindowImplBase::BindButton(QAbstractButton* button) {
    if (button->objectName().isEmpty() || button->property("zorpBound").toBool()) {
        return;
    }
    button->setProperty("zorpBound", true);
    if (button->isCheckable() && button->autoExclusive()) {
        QObject::connect(button, &QAbstractButton::toggled, this, [this, button](bool checked) {
            if (checked) {
                Notify({"selectchanged", button->objectName().toStdString(), button, 0, 0});
            }
        });
    } else {
        QObject::connect(button, &QAbstractButton::clicked, this, [this, button] {
            Notify({"click", button->objectName().toStdString(), button, 0, 0});
        });
    }
}

int64_t WindowImplBase::HandleCustomMessage(platform::Message& message, bool& handled) {
    (void)message;
    handled = false;
    return 0;
}

int64_t WindowImplBase::HandleMessage(platform::Message& message) {
    switch (message.id) {
        case platform::WM_TIMER:
            Notify({"timer", "", this, message.wValue, 0});
            return 0;
        case platform::WM_CLOSE:
            OnCloseCommand();
            return 0;
        case WM_MENU_COMMAND: {
            // The menu window posts the chosen item's name.
            const std::string* item = message.W<std::string>();
            Notify({"menu_msg", item ? *item : std::string(), this, message.wValue,
                    message.lValue});
            return 0;
        }
        default: {
            bool handled = false;
            int64_t result = HandleCustomMessage(message, handled);
            return handled ? result : 0;
        }
    }
}

void WindowImplBase::closeEvent(QCloseEvent* event) {
    // The window manager's close goes the way of the window's own close command; destroying a
    // window is the program's decision, not the window manager's.
    event->ignore();
    platform::Message close(platform::WM_CLOSE);
    HandleMessage(close);
}
