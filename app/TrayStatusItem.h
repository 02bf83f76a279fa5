#pragma once

#include "app/StatusItem.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace velmora {

// The status item in the system tray: the image with the elapsed time drawn into it,
// the same text as tooltip, and the menu. A click on the icon runs its activation.
class TrayStatusItem : public QObject, public StatusItem {
    Q_OBJECT
public:
    explicit TrayStatusItem(QObject* parent = nullptr);
    ~TrayStatusItem() override;

    bool isAvailable() const override;
    void setImage(const QString& assetName) override;
    void setTitle(const QString& title) override;
    void setMenu(const QList<StatusMenuEntry>& entries) override;
    // Runs on a click (or double click) on the icon.
    void setActivation(std::function<void()> activate) override;

    // The menu the tray shows now.
    QMenu* menu() const { return m_menu; }

private:
    void redraw();

    QSystemTrayIcon* m_tray;
    QPointer<QMenu> m_menu;
    // Title, enabled and separator of each entry of the menu shown now.
    QStringList m_menuShape;
    QString m_image;
    QString m_title;
    std::function<void()> m_activation;
};

} // namespace velmora
