#pragma once

#include "app/SystemTrayWatch.h"

#include <QAbstractNativeEventFilter>

#include <cstdint>

namespace velmora {

// The desktop's trays as Qt's system tray icon uses them: a StatusNotifier host behind
// the session bus's org.kde.StatusNotifierWatcher, or on X the owner of the
// _NET_SYSTEM_TRAY selection. Both are followed by what they announce (the bus's name
// changes and the watcher's host signals; the X server's tray manager message), so a
// running app with no tray is woken only when a tray comes or goes, never by a timer.
//
// Qt's own availability check must not run before a tray is there: Qt decides once per
// process whether its icon goes over the bus, at the first check or icon, so a check
// made while no tray runs would keep a later StatusNotifier tray from ever showing it.
class DesktopTrayWatch : public SystemTrayWatch, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit DesktopTrayWatch(QObject* parent = nullptr);
    ~DesktopTrayWatch() override;

    bool isAvailable() const override { return m_busTray || m_xTray; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private slots:
    void askBus();

private:
    void watchX();
    void checkX();
    void update(bool busTray, bool xTray);

    bool m_busTray = false;
    bool m_xTray = false;
    // Answers to older questions are not taken after a newer one was asked.
    int m_busQuestion = 0;
    // The X tray's selection, its manager's message and the window owning it now.
    std::uint32_t m_traySelection = 0;
    std::uint32_t m_managerAtom = 0;
    std::uint32_t m_trayOwner = 0;
};

} // namespace velmora
