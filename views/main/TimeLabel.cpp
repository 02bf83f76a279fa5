#include "views/main/TimeLabel.h"

#include "views/main/NavigationLinkButton.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

namespace velmora {

namespace {

// What a screen reader hears of the time: static text named and described as its owner
// set it (as a label's would be), with the time itself as its value.
class AccessibleTimeLabel : public QAccessibleWidget {
public:
    explicit AccessibleTimeLabel(TimeLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value) {
            return static_cast<const TimeLabel*>(widget())->text();
        }
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* accessibleTimeLabel(const QString& className, QObject* object) {
    if (className == QLatin1String(TimeLabel::staticMetaObject.className())) {
        if (auto* label = qobject_cast<TimeLabel*>(object)) {
            return new AccessibleTimeLabel(label);
        }
    }
    return nullptr;
}

} // namespace

TimeLabel::TimeLabel(QWidget* parent) : QWidget(parent) {
    static const bool accessible = [] {
        QAccessible::installFactory(accessibleTimeLabel);
        return true;
    }();
    Q_UNUSED(accessible);
}

void TimeLabel::setText(const QString& text) {
    if (text == m_text) {
        return;
    }
    m_text = text;
    // A repaint of the time alone: the size stays what its owner gave it.
    update();
}

QSize TimeLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const QMargins margins = contentsMargins();
    return QSize(metrics.horizontalAdvance(m_text) + margins.left() + margins.right(),
                 metrics.height() + margins.top() + margins.bottom());
}

void TimeLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
    if (hasFocus()) {
        painter.drawPixmap(0, 0, focusRing());
    }
}

const QPixmap& TimeLabel::focusRing() {
    // The ring's antialiased edge is many short spans, which Qt blends on its thread pool:
    // drawn at each second it would wake two threads with every tick. A copy of it is a
    // plain blit.
    const qreal ratio = devicePixelRatioF();
    const QColor color = palette().color(QPalette::Highlight);
    if (m_ring.deviceIndependentSize().toSize() != size() || m_ring.devicePixelRatio() != ratio ||
        m_ringColor != color) {
        m_ring = QPixmap((QSizeF(size()) * ratio).toSize());
        m_ring.setDevicePixelRatio(ratio);
        m_ring.fill(Qt::transparent);
        QPainter painter(&m_ring);
        // As the sidebar's rows show it.
        NavigationLinkButton::paintFocusRing(painter, QRectF(rect()), palette());
        m_ringColor = color;
    }
    return m_ring;
}

} // namespace velmora
