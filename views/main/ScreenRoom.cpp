#include "views/main/ScreenRoom.h"

#include <QGuiApplication>

#include <algorithm>

#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace velmora::ScreenRoom {

QRect within(const QRect& available) {
    return available.adjusted(decorationsLeft, decorationsTop, -decorationsRight, -decorationsBottom);
}

QRect of(const QWidget& widget) {
    const QWidget* shown = widget.isWindow() && widget.parentWidget() && !widget.isVisible()
                               ? widget.parentWidget()->window()
                               : &widget;
    const QScreen* screen = shown->screen();
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return QRect();
    }
    const QWindow* window = shown == &widget && widget.isWindow() ? widget.windowHandle() : nullptr;
    if (window && window->isExposed()) {
        const QMargins frame = window->frameMargins();
        return screen->availableGeometry().adjusted(frame.left(), frame.top(), -frame.right(), -frame.bottom());
    }
    return within(screen->availableGeometry());
}

QPoint fitted(const QRect& area, const QRect& room) {
    const auto along = [](int at, int size, int from, int to) {
        return std::clamp(at, from, std::max(from, to - size + 1));
    };
    return QPoint(along(area.left(), area.width(), room.left(), room.right()),
                  along(area.top(), area.height(), room.top(), room.bottom()));
}

void keepWithin(QWidget& window) {
    const QRect room = of(window);
    if (!window.isVisible() || room.isEmpty()) {
        return;
    }
    // The window's own area, its frame about it.
    const QRect area = window.geometry();
    const QPoint shift = fitted(area, room) - area.topLeft();
    if (!shift.isNull()) {
        window.move(window.pos() + shift);
    }
}

} // namespace velmora::ScreenRoom
