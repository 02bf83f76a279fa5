#include "views/main/ScreenRoom.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

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
    return screen ? within(screen->availableGeometry()) : QRect();
}

} // namespace velmora::ScreenRoom
