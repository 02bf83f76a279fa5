#include "views/main/ActivityIndicator.h"

#include "views/main/Appearance.h"

#include <QPainter>

namespace velmora {

ActivityIndicator::ActivityIndicator(int side, QWidget* parent) : QWidget(parent), m_side(side) {
    setFixedSize(side, side);
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

void ActivityIndicator::setAnimating(bool animating) {
    if (m_animating == animating) {
        return;
    }
    m_animating = animating;
    if (animating) {
        m_timer.start();
    } else {
        m_timer.stop();
    }
    update();
}

void ActivityIndicator::paintEvent(QPaintEvent*) {
    if (!m_animating) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, m_side / 8.0);
    const QRectF arc = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(Appearance::quaternary(palette()), pen));
    painter.drawEllipse(arc);
    painter.setPen(QPen(Appearance::secondary(palette()), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(arc, -m_angle * 16, 100 * 16);
}

} // namespace velmora
