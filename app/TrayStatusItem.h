#pragma once

#include "app/StatusItem.h"

#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace velmora {

// The status item in the system tray: the image with the elapsed time drawn into it,
// the same text as tooltip, and the menu.
class TrayStatusItem : public QObject, public StatusItem {
    Q_OBJECT
public:
    explicit TrayStatusItem(QObject* parent = nullptr);
    ~TrayStatusItem() override;

    bool isAvailable() const override;
    void setImage(const QString& assetName) override;
    void setTitle(const QString& title) override;
    void setMenu(const QList<StatusMenuEntry>& entries) override;

private:
    void redraw();

    QSystemTrayIcon* m_tray;
    std::unique_ptr<QMenu> m_menu;
    QString m_image;
    QString m_title;
};

} // namespace velmora
