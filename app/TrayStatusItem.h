#pragma once

#include "app/StatusItem.h"
#include "app/SystemTrayWatch.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace velmora {

// The status item in the system tray: the image, or while a timer has time that time
// drawn as the icon (hours over minutes, legible in a tray of 16 pixels), a tooltip that
// names the time, its task, whether it is paused and what is on hold, and the menu. A
// click on the icon runs its activation.
//
// The icon is made once the desktop has a tray, and shown then with what the item holds
// by that time: a tray that starts after the app gets the icon too. `watch` tells of the
// tray (by default the desktop's own).
class TrayStatusItem : public QObject, public StatusItem {
    Q_OBJECT
public:
    explicit TrayStatusItem(std::unique_ptr<SystemTrayWatch> watch = {}, QObject* parent = nullptr);
    ~TrayStatusItem() override;

    bool isAvailable() const override;
    void setAvailabilityChanged(std::function<void()> changed) override;
    void setImage(const QString& assetName) override;
    void setTitle(const QString& title) override;
    void setSubject(const QString& task) override;
    void setNotes(const QStringList& notes) override;
    // A running time is drawn white on the app's blue, a paused one near-black on grey.
    void setRunning(bool running) override;
    void setMenu(const QList<StatusMenuEntry>& entries) override;
    // Runs on a click (or double click) on the icon.
    void setActivation(std::function<void()> activate) override;

    // The menu the tray shows now.
    QMenu* menu() const { return m_menu; }
    // The icon; none until a tray was there.
    QSystemTrayIcon* trayIcon() const { return m_tray; }

private:
    void redraw();
    void showToolTip();
    // Makes and shows the icon once there is a tray to show it in.
    void showIfAvailable();

    std::unique_ptr<SystemTrayWatch> m_watch;
    QSystemTrayIcon* m_tray = nullptr;
    std::function<void()> m_availabilityChanged;
    QPointer<QMenu> m_menu;
    // Title, enabled and separator of each entry of the menu shown now.
    QStringList m_menuShape;
    QString m_image;
    QString m_title;
    QString m_subject;
    QStringList m_notes;
    bool m_running = true;
    std::function<void()> m_activation;
};

} // namespace velmora
