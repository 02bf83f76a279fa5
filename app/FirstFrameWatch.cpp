#include "app/FirstFrameWatch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace velmora {

FirstFrameWatch::FirstFrameWatch(std::function<void()> then, int fallbackMs, QObject* parent)
    : QObject(parent), m_then(std::move(then)) {
    QCoreApplication::instance()->installEventFilter(this);
    m_fallback.setSingleShot(true);
    connect(&m_fallback, &QTimer::timeout, this, &FirstFrameWatch::finish);
    m_fallback.start(fallbackMs);
}

FirstFrameWatch::~FirstFrameWatch() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeEventFilter(this);
    }
}

bool FirstFrameWatch::eventFilter(QObject* watched, QEvent* event) {
    if (m_seen || event->type() != QEvent::Paint || !watched->isWidgetType()) {
        return false;
    }
    const Qt::WindowType type = static_cast<QWidget*>(watched)->window()->windowType();
    if (type != Qt::Window && type != Qt::Dialog) {
        return false;
    }
    m_seen = true;
    QCoreApplication::instance()->removeEventFilter(this);
    // A window paints all its widgets and then flushes the frame in one go, within the
    // event being handled now; whatever else was posted meanwhile comes first too.
    QMetaObject::invokeMethod(
        this, [this] { QMetaObject::invokeMethod(this, &FirstFrameWatch::finish, Qt::QueuedConnection); },
        Qt::QueuedConnection);
    return false;
}

void FirstFrameWatch::finish() {
    m_fallback.stop();
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeEventFilter(this);
    }
    m_seen = true;
    if (auto then = std::exchange(m_then, nullptr)) {
        then();
    }
}

} // namespace velmora
