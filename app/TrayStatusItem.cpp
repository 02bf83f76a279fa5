#include "app/TrayStatusItem.h"

#include "app/DesktopTrayWatch.h"
#include "platform/richtext/OutsideName.h"
#include "views/main/AssetNames.h"

#include <QApplication>
#include <QHash>
#include <QIconEngine>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>
#include <QTextDocument>

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

void TrayStatusItem::setSubject(const QString& task) {
    if (m_subject == task) {
        return;
    }
    m_subject = task;
    showToolTip();
}

void TrayStatusItem::setNotes(const QStringList& notes) {
    if (m_notes == notes) {
        return;
    }
    m_notes = notes;
    showToolTip();
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

// What trays ask for: 16 to 24 pixels high (a tray of 16 gives its icons 14), and twice
// that on a doubled screen. Each is drawn at its own size: figures shrunk from a larger
// icon blur into a few grey pixels.
constexpr int timeIconSizes[] = {16, 22, 24, 32, 44, 48, 64};

// The longest line of the tooltip: a task's reference, or its name, with a few words.
constexpr qsizetype toolTipLineLength = 160;
// What laying the tooltip's lines out may cost together (see ShapingCost), as one line of a list
// may: where the tray is the window system's, Qt shows the tooltip as its own, which lays its
// text out a score of times at each show (a task named with emoji, twice on hold, took a quarter
// of a second). Words of any script fit; a name of pictures shows a few of them.
constexpr qint64 toolTipCost = 3200;

// The running time on the app's own blue, white figures.
const QColor runningBadge(0x2f, 0x6f, 0xeb);
const QColor runningFigures(Qt::white);
// A paused time on a grey badge with near-black figures. Figures of one colour on
// nothing cannot be both light and dark enough for every tray (the grey outline and grey
// figures this replaced read at 2.6:1 on white); a badge can: its grey stands at 3:1 or
// more against white and light grey panels and against dark grey ones (#2b2b2b, #31363b)
// down to black, and the figures at 5:1 against the grey. On a panel as grey as the
// badge, the near-black figures still read on the panel itself.
const QColor pausedBadge(0x7d, 0x86, 0x8f);
const QColor pausedFigures(0x0b, 0x0e, 0x11);

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

// The time "01:02" as hours over minutes on a badge the size of the icon. The figures
// take all the height but a pixel between the lines and a little at the edges: in the
// 14 pixels of a small tray that is 6 pixels a line, whole pixels from the top.
QPixmap timeIcon(const QString& title, bool running, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal radius = size * 0.2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(running ? runningBadge : pausedBadge);
    painter.drawRoundedRect(QRectF(0, 0, size, size), radius, radius);

    painter.setBrush(running ? runningFigures : pausedFigures);
    const int colon = title.indexOf(QLatin1Char(':'));
    const QStringList lines =
        colon < 0 ? QStringList{title} : QStringList{title.left(colon), title.mid(colon + 1)};
    const int gap = std::max(1, static_cast<int>(std::lround(size * 0.06)));
    const qreal edge = std::max(0.5, size * 0.02);
    const int height = static_cast<int>((size - 2 * edge - gap * (lines.size() - 1)) / lines.size());
    const int top =
        (size - height * static_cast<int>(lines.size()) - gap * (static_cast<int>(lines.size()) - 1)) / 2;
    const qreal side = std::max(1.0, size * 0.08);
    for (int i = 0; i < lines.size(); ++i) {
        drawFitted(painter, lines[i], QRectF(side, top + i * (height + gap), size - 2 * side, height));
    }
    return pixmap;
}

// The time's icon, drawn at whatever size it is asked for (the tray's own, which on X is
// rarely one of a list), each size once.
class TimeIconEngine : public QIconEngine {
public:
    TimeIconEngine(QString title, bool running) : m_title(std::move(title)), m_running(running) {}

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return QSize(side, side);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (const int side : timeIconSizes) {
            sizes << QSize(side, side);
        }
        return sizes;
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return drawn(std::min(size.width(), size.height()));
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = std::min(rect.width(), rect.height());
        QPixmap icon = drawn(static_cast<int>(std::lround(side * ratio)));
        if (icon.isNull()) {
            return;
        }
        icon.setDevicePixelRatio(ratio);
        painter->drawPixmap(
            QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0), icon);
    }
    QIconEngine* clone() const override { return new TimeIconEngine(*this); }
    QString key() const override { return QStringLiteral("VelmoraTime"); }

private:
    QPixmap drawn(int side) {
        if (side <= 0) {
            return {};
        }
        auto found = m_drawn.constFind(side);
        if (found == m_drawn.constEnd()) {
            found = m_drawn.insert(side, timeIcon(m_title, m_running, side));
        }
        return *found;
    }

    QString m_title;
    bool m_running;
    QHash<int, QPixmap> m_drawn;
};

// Lines shown as the characters they are, whatever the tray makes of a tooltip: Qt
// guesses rich text from a tooltip's first tag, and a task's name is anyone's text. Each
// line is kept whole (a rich tooltip is wrapped at a guessed width, which broke even
// "Velmora — 01:30 on WEB-1, paused" in two), so each is bounded as a name in a row, and
// what they cost to lay out is shared (see toolTipCost).
QString plainToolTipLines(const QStringList& lines) {
    QStringList plain;
    const qint64 lineCost = toolTipCost / std::max<qsizetype>(lines.size(), 1);
    for (const QString& line : lines) {
        const QString shown = plainName(line, toolTipLineLength, lineCost);
        if (!shown.isEmpty()) {
            plain << shown;
        }
    }
    return plain.isEmpty() ? QString()
                           : Qt::convertFromPlainText(plain.join(QLatin1Char('\n')), Qt::WhiteSpacePre);
}

} // namespace

void TrayStatusItem::redraw() {
    // Nothing to draw into before there is a tray.
    if (!m_tray) {
        return;
    }
    // Trays show no text beside an icon, so the time is the icon.
    m_tray->setIcon(m_title.isEmpty() ? QIcon(Assets::pixmap(m_image, QSize(64, 64)))
                                      : QIcon(new TimeIconEngine(m_title, m_running)));
    showToolTip();
}

void TrayStatusItem::showToolTip() {
    if (!m_tray) {
        return;
    }
    QString first = QApplication::applicationDisplayName();
    if (!m_title.isEmpty()) {
        first += QStringLiteral(" — ") + m_title;
        if (!m_subject.isEmpty()) {
            first += QStringLiteral(" on ") + quotedName(m_subject, quotedNameShortLength);
        }
        if (!m_running) {
            first += QStringLiteral(", paused");
        }
    }
    m_tray->setToolTip(plainToolTipLines(QStringList{first} + m_notes));
}

} // namespace velmora
