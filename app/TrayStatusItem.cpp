#include "app/TrayStatusItem.h"

#include "app/DesktopTrayWatch.h"
#include "views/main/AssetNames.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace velmora {

TrayStatusItem::TrayStatusItem(std::unique_ptr<SystemTrayWatch> watch, QObject* parent)
    : QObject(parent), m_watch(watch ? std::move(watch) : std::make_unique<DesktopTrayWatch>()) {
    connect(m_watch.get(), &SystemTrayWatch::availabilityChanged, this, [this] {
        showIfAvailable();
        if (m_availabilityChanged) {
            m_availabilityChanged();
        }
    });
    showIfAvailable();
}

void TrayStatusItem::setActivation(std::function<void()> activate) {
    m_activation = std::move(activate);
}

void TrayStatusItem::setAvailabilityChanged(std::function<void()> changed) {
    m_availabilityChanged = std::move(changed);
}

TrayStatusItem::~TrayStatusItem() {
    if (m_tray) {
        m_tray->setContextMenu(nullptr);
    }
    delete m_menu;
}

bool TrayStatusItem::isAvailable() const {
    // Never Qt's own check while there may be no tray: see DesktopTrayWatch.
    return m_watch->isAvailable();
}

void TrayStatusItem::showIfAvailable() {
    if (!isAvailable()) {
        return;
    }
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(this);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            // The context button shows the menu; the others are a click on the app.
            if (reason != QSystemTrayIcon::Context && m_activation) {
                m_activation();
            }
        });
        m_tray->setContextMenu(m_menu);
        redraw();
    }
    // Shown once there is something to show: the menu comes with the first refresh.
    if (m_menu && !m_tray->isVisible()) {
        m_tray->show();
    }
}

void TrayStatusItem::setImage(const QString& assetName) {
    if (m_image == assetName) {
        return;
    }
    m_image = assetName;
    redraw();
}

void TrayStatusItem::setTitle(const QString& title) {
    if (m_title == title) {
        return;
    }
    m_title = title;
    redraw();
}

void TrayStatusItem::setMenu(const QList<StatusMenuEntry>& entries) {
    QStringList shape;
    for (const StatusMenuEntry& entry : entries) {
        shape << (entry.separator
                      ? QStringLiteral("|")
                      : (entry.enabled() ? QStringLiteral("+") : QStringLiteral("-")) + entry.title);
    }
    // The manager hands over the menu every second. Entries of the same title and
    // state do the same, so the menu on screen stays: a new one each second would
    // close it under the user's pointer.
    if (m_menu && shape == m_menuShape) {
        return;
    }
    auto* menu = new QMenu;
    for (const StatusMenuEntry& entry : entries) {
        if (entry.separator) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(entry.title);
        action->setEnabled(entry.enabled());
        if (entry.enabled()) {
            connect(action, &QAction::triggered, this, [run = entry.action] { run(); });
        }
    }
    if (m_tray) {
        m_tray->setContextMenu(menu);
    }
    // The old menu may be the one whose item is being handled right now (Pause changes
    // the state, which asks for this new menu): it goes once that is over.
    if (m_menu) {
        m_menu->deleteLater();
    }
    m_menu = menu;
    m_menuShape = shape;
    showIfAvailable();
}

void TrayStatusItem::redraw() {
    // Nothing to draw into before there is a tray.
    if (!m_tray) {
        return;
    }
    // Trays show no text beside an icon, so the time is drawn into the icon.
    const QSize size(64, 64);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPixmap image = Assets::pixmap(m_image, m_title.isEmpty() ? size : QSize(36, 36));
    if (m_title.isEmpty()) {
        painter.drawPixmap(0, 0, image);
    } else {
        painter.drawPixmap((size.width() - image.width()) / 2, 0, image);
        QFont font = QApplication::font();
        font.setPixelSize(22);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(QApplication::palette().color(QPalette::WindowText));
        painter.drawText(QRect(0, 38, size.width(), 26), Qt::AlignCenter, m_title);
    }
    painter.end();
    m_tray->setIcon(QIcon(pixmap));
    m_tray->setToolTip(m_title.isEmpty()
                           ? QApplication::applicationDisplayName()
                           : QApplication::applicationDisplayName() + QStringLiteral(" — ") + m_title);
}

} // namespace velmora
