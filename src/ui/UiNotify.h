#pragma once

#include <cstdint>
#include <string>

class QWidget;

// One notification for a window's Notify handler: what happened ("click", "selectchanged",
// "timer", "menu_msg") and to which control, by its name. Timers carry their id in wParam;
// menu commands carry the menu item's name as the control name and its checked state in lParam.
struct UiNotify {
    std::string sType;
    std::string name;
    QWidget* pSender = nullptr;
    int64_t wParam = 0;
    int64_t lParam = 0;
};
