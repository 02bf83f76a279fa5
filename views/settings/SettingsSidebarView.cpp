#include "views/settings/SettingsSidebarView.h"

#include "views/main/SystemSymbol.h"
#include "views/settings/SettingsViewModel.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace velmora {

namespace {

constexpr int kIconSize = 20;

void paintGear(QPainter& painter, const QRectF& r) {
    const QPointF c = r.center();
    const qreal outer = r.width() / 2;
    QPainterPath gear;
    gear.setFillRule(Qt::OddEvenFill);
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal radius = (i % 2 == 0) ? outer : outer * 0.74;
        const qreal from = (i * 180.0 / teeth) - 90.0 / teeth;
        const qreal to = from + 180.0 / teeth;
        for (qreal a : {from, to}) {
            const QPointF p(c.x() + radius * qCos(qDegreesToRadians(a)),
                            c.y() + radius * qSin(qDegreesToRadians(a)));
            if (gear.elementCount() == 0)
                gear.moveTo(p);
            else
                gear.lineTo(p);
        }
    }
    gear.closeSubpath();
    gear.addEllipse(c, outer * 0.32, outer * 0.32);
    painter.fillPath(gear, Qt::white);
}

void paintAt(QPainter& painter, const QRectF& r) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(int(r.height() * 1.1));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(r.adjusted(0, -r.height() * 0.12, 0, 0), Qt::AlignCenter, QStringLiteral("@"));
}

} // namespace

QIcon SettingsSidebarView::pageIcon(const SettingsPage& page) {
    const qreal scale = 2;
    QPixmap pixmap(int(kIconSize * scale), int(kIconSize * scale));
    pixmap.fill(Qt::transparent);
    pixmap.setDevicePixelRatio(scale);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRectF square(0.5, 0.5, kIconSize - 1.0, kIconSize - 1.5);
    const QColor base = page.baseColor.value_or(Qt::white);
    // A faint shadow under the square, then the square with a gentle top-to-bottom gradient.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 64));
    painter.drawRoundedRect(square.translated(0, 0.5), 5, 5);
    QLinearGradient gradient(square.topLeft(), square.bottomLeft());
    gradient.setColorAt(0, base.lighter(118));
    gradient.setColorAt(1, base);
    painter.setBrush(gradient);
    painter.drawRoundedRect(square, 5, 5);

    const QRectF symbol = square.adjusted(3, 3, -3, -3);
    if (page.icon == QLatin1String("gear"))
        paintGear(painter, symbol);
    else if (page.icon == QLatin1String("clock"))
        SystemSymbol::paint(painter, symbol, SystemSymbol::Name::clock, Qt::white);
    else if (page.icon == QLatin1String("at"))
        paintAt(painter, symbol);
    painter.end();
    // The same colours on a selected row: the square is the point of the icon.
    QIcon icon(pixmap);
    icon.addPixmap(pixmap, QIcon::Selected);
    return icon;
}

SettingsSidebarView::SettingsSidebarView(SettingsViewModel& model, QWidget* parent)
    : QListWidget(parent), m_model(model) {
    setFrameShape(QFrame::NoFrame);
    setIconSize(QSize(kIconSize, kIconSize));
    setSpacing(2);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (const SettingsPage& page : SettingsPage::pages()) {
        auto* item =
            new QListWidgetItem(pageIcon(page), QLatin1Char(' ') + SettingsPage::rawValue(page.name), this);
        item->setData(Qt::UserRole, int(page.name));
        item->setSizeHint(QSize(0, 30));
    }
    connect(this, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item == nullptr)
            return;
        const auto name = SettingsPage::Name(item->data(Qt::UserRole).toInt());
        if (name != m_model.route())
            m_model.setRoute(name);
    });
    connect(&m_model, &SettingsViewModel::routeChanged, this, &SettingsSidebarView::selectRoute);
    selectRoute();
}

void SettingsSidebarView::paintEvent(QPaintEvent* event) {
    QListWidget::paintEvent(event);
    const QListWidgetItem* current = currentItem();
    if (!hasFocus() || !current) {
        return;
    }
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    // On the selection the highlight's own colour would vanish: the ring takes its text's.
    QColor ring = palette().color(current->isSelected() ? QPalette::HighlightedText : QPalette::Highlight);
    ring.setAlphaF(0.9);
    painter.setPen(QPen(ring, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(visualItemRect(current)).adjusted(2, 2, -2, -2), 3, 3);
}

void SettingsSidebarView::focusInEvent(QFocusEvent* event) {
    QListWidget::focusInEvent(event);
    viewport()->update();
}

void SettingsSidebarView::focusOutEvent(QFocusEvent* event) {
    QListWidget::focusOutEvent(event);
    viewport()->update();
}

void SettingsSidebarView::selectRoute() {
    for (int row = 0; row < count(); ++row) {
        if (SettingsPage::Name(item(row)->data(Qt::UserRole).toInt()) == m_model.route()) {
            const QSignalBlocker quiet(this);
            setCurrentRow(row);
            return;
        }
    }
}

} // namespace velmora
