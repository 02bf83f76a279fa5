#include "images/widgets/ActivitySpinner.h"

#include <QPainter>

namespace velmora::images {

namespace {
constexpr int spokes = 12;
}

ActivitySpinner::ActivitySpinner(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(1000 / spokes);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % spokes;
        update();
    });
}

void ActivitySpinner::setControlSize(ControlSize size) {
    m_controlSize = size;
    updateGeometry();
    update();
}

void ActivitySpinner::setColor(const QColor& color) {
    m_color = color;
    update();
}

void ActivitySpinner::startAnimation() {
    m_timer.start();
}

void ActivitySpinner::stopAnimation() {
    m_timer.stop();
}

QSize ActivitySpinner::sizeHint() const {
    return m_controlSize == ControlSize::Small ? QSize(16, 16) : QSize(32, 32);
}

void ActivitySpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = side / 2.0;
    const qreal inner = outer * 0.45;
    QPen pen(m_color);
    pen.setWidthF(std::max<qreal>(1.5, side / 10.0));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < spokes; ++i) {
        // The spoke at the current step is darkest; the ones behind it fade out.
        const int age = (m_step - i + spokes) % spokes;
        QColor colour = m_color;
        colour.setAlphaF(1.0 - age / static_cast<qreal>(spokes) * 0.85);
        pen.setColor(colour);
        painter.setPen(pen);
        painter.save();
        painter.rotate(360.0 / spokes * i);
        painter.drawLine(QPointF(0, -inner), QPointF(0, -outer + pen.widthF() / 2));
        painter.restore();
    }
}

} // namespace velmora::images
