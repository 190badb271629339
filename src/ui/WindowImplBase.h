#pragma once

#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Message.h"
#include "platform/MessageTarget.h"
#include "ui/ControlSpec.h"
#include "ui/UiNotify.h"

class QAbstractButton;

// The base of every window: a top-level Qt widget that is also a message target. It loads the
// skin chosen by the UI language, finds controls by name, turns clicks, page changes, timers and
// menu commands into Notify calls, and receives the program's posted window messages on the GUI
// thread through HandleCustomMessage.
class WindowImplBase : public QWidget, public platform::MessageTarget {
public:
    // How the window sits on the desktop.
    struct Style {
        bool frameless = false;    // no title bar or border
        bool topmost = false;      // stays above other windows
        bool toolWindow = false;   // no task bar entry
        bool minimizeBox = true;
        bool acceptFiles = false;  // files can be dropped onto it
        bool translucent = false;  // what the skin leaves unpainted shows the desktop
    };

    WindowImplBase();
    ~WindowImplBase() override;

    // Builds the controls from the skin, places the window (hidden) and attaches it to the
    // GUI thread's message loop. Returns the window handle, kNoWindow without a loop.
    platform::WindowHandle Create(const std::string& title, const QRect& geometry,
                                  const Style& style);

    virtual std::string GetWindowClassName() const = 0;
    // The skin's base name ("dnd", "mainui", ...); the file adds the language's suffix.
    virtual std::string GetSkinBaseName() const = 0;
    virtual ControlSpecs GetNamedControls() const = 0;
    std::string GetSkinFile() const;

    QWidget* FindControl(const std::string& name) const;
    template <typename T>
    T* FindControl(const std::string& name) const {
        return qobject_cast<T*>(FindControl(name));
    }

    void ShowWindow(bool show = true, bool takeFocus = true);
    // Posts WM_CLOSE to the window itself.
    void Close();

    // Timers by fixed id (1008-1100); setting an id again replaces it. Each tick is a "timer"
    // notification with the id in wParam.
    bool SetTimer(uint32_t timerId, uint32_t intervalMs);
    bool KillTimer(uint32_t timerId);

    // Connects the named buttons under `subtree` to Notify: option buttons (checkable and
    // exclusive) send "selectchanged" when chosen, other buttons "click". Rows added later by
    // code call this for their own buttons.
    void BindNotifications(QWidget* subtree);

    bool UsesFallbackLayout() const { return m_fallback; }
    const std::filesystem::path& GetSkinPath() const { return m_skinPath; }

protected:
    // After the skin is loaded and before the window is shown.
    virtual void InitWindow() {}
    virtual void Notify(const UiNotify& notify) { (void)notify; }
    // The program's own messages (WM_USER and above). Set `handled` when the message was used.
    virtual int64_t HandleCustomMessage(platform::Message& message, bool& handled);
    // WM_CLOSE and the window manager's close button: hide by default.
    virtual void OnCloseCommand() { hide(); }

    int64_t HandleMessage(platform::Message& message) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BindButton(QAbstractButton* button);

    QWidget* m_root = nullptr;
    bool m_fallback = false;
    std::filesystem::path m_skinPath;
};
