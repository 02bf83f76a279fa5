#pragma once

#include <QObject>

class QCoreApplication;

namespace velmora {

// Ctrl+Q quits from a sheet or an alert as it does from a window. The Quit item's shortcut
// belongs to a window's menu bar, and a window-modal sheet blocks that window, so Qt finds
// no shortcut for the key there: the key, once no shortcut took it, quits through the same
// way as the menu item (the application's quit, and every clean-up on it).
//
// Installed once on the application object.
class QuitKey : public QObject {
    Q_OBJECT

public:
    // The application's filter, made on the first call.
    static QuitKey* install(QCoreApplication& application);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit QuitKey(QObject* parent) : QObject(parent) {}
};

} // namespace velmora
