#include "app/QuitKey.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace velmora {

QuitKey* QuitKey::install(QCoreApplication& application) {
    if (auto* existing = application.findChild<QuitKey*>(QString(), Qt::FindDirectChildrenOnly)) {
        return existing;
    }
    auto* filter = new QuitKey(&application);
    application.installEventFilter(filter);
    return filter;
}

bool QuitKey::eventFilter(QObject* watched, QEvent* event) {
    // A key press comes only once the shortcuts had their turn: a window's own Quit item took
    // the key before it got here.
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType() || !QApplication::activeModalWidget()) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Q || key->modifiers() != Qt::ControlModifier || key->isAutoRepeat()) {
        return false;
    }
    // Later: the sheet's own key handling is over before its window closes.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    return true;
}

} // namespace velmora
