#include "app/TrayStatusItem.h"

#include "app/DesktopTrayWatch.h"
#include "views/main/AssetNames.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>

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

void TrayStatusItem::setRunning(bool running) {
    if (m_running == running) {
        return;
    }
    m_running = running;
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

namespace {

// What trays ask for: 16 to 24 pixels high, and twice that on a doubled screen. Each is
// drawn at its own size: figures shrunk from a larger icon are a few pixels high.
constexpr int timeIconSizes[] = {16, 22, 24, 32, 44, 48, 64};

// `text` filling `box` as far as its shape allows: the figures' own outline, scaled to
// the box's height (or its width, should they be wider), centred, on whole pixels.
void drawFitted(QPainter& painter, const QString& text, const QRectF& box) {
    QFont font = QApplication::font();
    font.setPixelSize(100);
    font.setBold(true);
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF shape = path.boundingRect();
    if (shape.isEmpty()) {
        return;
    }
    const qreal scale = std::min(box.width() / shape.width(), box.height() / shape.height());
    const QSizeF drawn = shape.size() * scale;
    const QPointF at(std::round(box.center().x() - drawn.width() / 2),
                     std::round(box.center().y() - drawn.height() / 2));
    QTransform place;
    place.translate(at.x(), at.y());
    place.scale(scale, scale);
    place.translate(-shape.left(), -shape.top());
    painter.drawPath(place.map(path));
}

// The time "01:02" as hours over minutes, each line half the icon high.
QPixmap timeIcon(const QString& title, bool running, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // The app's own blue, as its running image has; grey reads on light and dark trays.
    const QColor badge = running ? QColor(0x2f, 0x6f, 0xeb) : QColor(0x8c, 0x95, 0x9f);
    const qreal radius = size * 0.2;
    const qreal line = std::max(1.0, size / 14.0);
    if (running) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(badge);
        painter.drawRoundedRect(QRectF(0, 0, size, size), radius, radius);
    } else {
        painter.setPen(QPen(badge, line));
        painter.setBrush(Qt::NoBrush);
        const qreal half = line / 2;
        painter.drawRoundedRect(QRectF(half, half, size - line, size - line), radius, radius);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(running ? QColor(Qt::white) : badge);
    const int colon = title.indexOf(QLatin1Char(':'));
    const QStringList lines =
        colon < 0 ? QStringList{title} : QStringList{title.left(colon), title.mid(colon + 1)};
    // Inside the outline, with a pixel between the lines.
    const qreal margin = std::max(1.5, size * 0.1);
    const qreal gap = std::max(1.0, size * 0.06);
    const qreal height = (size - 2 * margin - gap * (lines.size() - 1)) / lines.size();
    for (int i = 0; i < lines.size(); ++i) {
        drawFitted(painter, lines[i], QRectF(margin, margin + i * (height + gap), size - 2 * margin, height));
    }
    return pixmap;
}

} // namespace

void TrayStatusItem::redraw() {
    // Nothing to draw into before there is a tray.
    if (!m_tray) {
        return;
    }
    QIcon icon;
    if (m_title.isEmpty()) {
        icon = QIcon(Assets::pixmap(m_image, QSize(64, 64)));
    } else {
        // Trays show no text beside an icon, so the time is the icon.
        for (const int size : timeIconSizes) {
            icon.addPixmap(timeIcon(m_title, m_running, size));
        }
    }
    m_tray->setIcon(icon);
    QString tip = QApplication::applicationDisplayName();
    if (!m_title.isEmpty()) {
        tip += QStringLiteral(" — ") + m_title + (m_running ? QString() : QStringLiteral(" (paused)"));
    }
    m_tray->setToolTip(tip);
}

} // namespace velmora
