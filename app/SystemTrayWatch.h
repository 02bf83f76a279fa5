#pragma once

#include <QObject>

namespace velmora {

// Whether the desktop has a tray to show the status item in, and word when that
// changes: a tray may start after the app (a panel that starts late or restarts).
class SystemTrayWatch : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool isAvailable() const = 0;

signals:
    void availabilityChanged(bool available);
};

} // namespace velmora
