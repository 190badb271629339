#pragma once

#include <QPoint>
#include <QRect>

#include <optional>
#include <utility>

class QScreen;

// Where a window of the program may be: anywhere the user puts it, as long as it ends up wholly
// inside the available area of a screen (no panel over it, no part of it off the desktop).
class WindowPlacement {
public:
    // `window` moved the least distance that puts it inside `available`; a window larger than
    // the area keeps its top-left corner in it.
    static QRect KeptInside(const QRect& window, const QRect& available);

    // The available area of the screen that holds most of `window`, the primary screen's when
    // no screen holds any of it (the screen it was on went away).
    static QRect AvailableAreaFor(const QRect& window);

    // The stored top-left corner as the window's geometry of `size`, kept on screen; `fallback`
    // when nothing was stored.
    static QRect Restored(const std::optional<std::pair<int, int>>& stored, const QRect& fallback);
};
