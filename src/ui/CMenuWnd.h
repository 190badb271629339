#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <string>
#include <vector>

#include "core/ProcessState.h"
#include "platform/Message.h"
#include "ui/WindowImplBase.h"

class QPushButton;

// The drop window's right-click menu: a popup built from the "menu" skin. A chosen item is
// posted to the owner window as WM_MENU_COMMAND carrying the item's name, and the menu closes;
// it also closes when it loses the focus (a click elsewhere: it is a popup) or on Escape. Up and Down move between the enabled
// items, Enter (or Space) chooses one.
class CMenuWnd : public WindowImplBase {
public:
    explicit CMenuWnd(platform::WindowHandle owner);
    ~CMenuWnd() override;

    static ControlSpecs NamedControls();
    std::string GetWindowClassName() const override { return "ZorpMenuWnd"; }
    std::string GetSkinBaseName() const override { return "menu"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    // Builds the menu from its skin (hidden).
    void Init();
    // The items follow the transfer state: nothing to start or pause with no transfer, only
    // start while paused, only pause while transfers run. Going online only makes sense
    // offline.
    void FollowState(TxState txState, bool offline);
    // Shows the menu at `cursor`, inside `available`, with the first enabled item focused.
    void Popup(const QPoint& cursor, const QRect& available);

    // Where a menu of `size` opened at `cursor` goes: right of and below the cursor, flipped to
    // the other side where that would leave `available`, and kept inside it.
    static QPoint Placement(const QPoint& cursor, const QSize& size, const QRect& available);

    QPushButton* Item(const std::string& name) const;
    // The items in their order in the skin.
    const std::vector<QPushButton*>& Items() const { return m_items; }

protected:
    void Notify(const UiNotify& notify) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The items' own key handling would eat the arrows and Enter.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Choose(QPushButton* item);
    void MoveFocus(int step);
    // True when the key was one of the menu's.
    bool HandleKey(QKeyEvent* event);

    platform::WindowHandle m_owner;
    std::vector<QPushButton*> m_items;
};
