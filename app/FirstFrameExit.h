#pragma once

// With VELMORA_EXIT_AFTER_FIRST_FRAME set, the program prints "first frame" on its
// standard output once the first frame of its first window has been painted and handed
// to the window system, and quits. A start-up benchmark times a start from exec to that
// line; every other run leaves this switched off. Header-only and Qt-only, so a bare Qt
// program measured beside the app uses the very same probe.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace velmora {

class FirstFrameExit : public QObject {
public:
    static constexpr const char* variable = "VELMORA_EXIT_AFTER_FIRST_FRAME";

    static void installIfAsked() {
        if (qEnvironmentVariableIsSet(variable)) {
            qApp->installEventFilter(new FirstFrameExit(qApp));
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType()) {
            const Qt::WindowType type = static_cast<QWidget*>(watched)->window()->windowType();
            if (type == Qt::Window || type == Qt::Dialog) {
                qApp->removeEventFilter(this);
                // A window's painting and the flush of its backing store happen in one go;
                // the next turn of the event loop comes after both.
                QTimer::singleShot(0, qApp, [] {
                    std::fputs("first frame\n", stdout);
                    std::fflush(stdout);
                    QCoreApplication::quit();
                });
            }
        }
        return false;
    }

private:
    using QObject::QObject;
};

} // namespace velmora
