#include "ui/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

QRect WindowPlacement::KeptInside(const QRect& window, const QRect& available) {
    if (available.isEmpty()) {
        return window;
    }
    const int maxX = std::max(available.left(), available.x() + available.width() - window.width());
    const int maxY = std::max(available.top(), available.y() + available.height() - window.height());
    QRect kept = window;
    kept.moveTo(std::clamp(window.x(), available.left(), maxX),
                std::clamp(window.y(), available.top(), maxY));
    return kept;
}

QRect WindowPlacement::AvailableAreaFor(const QRect& window) {
    QScreen* best = nullptr;
    int bestArea = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect shared = screen->geometry().intersected(window);
        const int area = shared.isEmpty() ? 0 : shared.width() * shared.height();
        if (area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    if (!best) {
        best = QGuiApplication::primaryScreen();
    }
    return best ? best->availableGeometry() : QRect();
}

QRect WindowPlacement::Restored(const std::optional<std::pair<int, int>>& stored,
                                    const QRect& fallback) {
    if (!stored) {
        return fallback;
    }
    const QRect window(QPoint(stored->first, stored->second), fallback.size());
    return KeptInside(window, AvailableAreaFor(window));
}
