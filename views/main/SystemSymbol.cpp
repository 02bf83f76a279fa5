#include "views/main/SystemSymbol.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace velmora {

namespace {

// Every symbol is drawn in a 20 x 20 box and scaled to the target.
constexpr qreal box = 20.0;

void drawPerson(QPainter& p) {
    QPainterPath path;
    path.addEllipse(QPointF(10, 6.5), 4.2, 4.2);
    QPainterPath body;
    body.moveTo(2.5, 19);
    body.cubicTo(2.5, 12.5, 17.5, 12.5, 17.5, 19);
    body.closeSubpath();
    path.addPath(body);
    p.drawPath(path.simplified());
}

void drawCalendar(QPainter& p, const QColor& color) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, 1.6));
    p.drawRoundedRect(QRectF(2.5, 3.5, 15, 14), 2.5, 2.5);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRect(QRectF(2.5, 3.5, 15, 4));
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 3; ++col) {
            p.drawRect(QRectF(5 + col * 4, 10 + row * 3.5, 2, 2));
        }
    }
}

void drawClock(QPainter& p, const QColor& color) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, 1.6));
    p.drawEllipse(QPointF(10, 10), 7.5, 7.5);
    p.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 10), QPointF(10, 5.5));
    p.drawLine(QPointF(10, 10), QPointF(13, 12));
}

void drawPin(QPainter& p) {
    QPainterPath head;
    head.addRoundedRect(QRectF(6, 2, 8, 3), 1, 1);
    QPainterPath body;
    body.moveTo(7.5, 5);
    body.lineTo(12.5, 5);
    body.lineTo(15, 11);
    body.lineTo(5, 11);
    body.closeSubpath();
    QPainterPath needle;
    needle.addRect(QRectF(9.3, 11, 1.4, 7));
    p.drawPath(head.united(body).united(needle));
}

void drawRecord(QPainter& p, const QColor& color) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, 1.6));
    p.drawEllipse(QPointF(10, 10), 7.5, 7.5);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(10, 10), 4, 4);
}

void drawStack(QPainter& p, const QColor& color) {
    // Three rhombi, the front one solid.
    auto layer = [](qreal y) {
        QPainterPath path;
        path.moveTo(10, y);
        path.lineTo(18, y + 3.5);
        path.lineTo(10, y + 7);
        path.lineTo(2, y + 3.5);
        path.closeSubpath();
        return path;
    };
    p.setBrush(color);
    p.drawPath(layer(2));
    QColor behind = color;
    behind.setAlphaF(color.alphaF() * 0.7);
    p.setBrush(behind);
    p.drawPath(layer(6).subtracted(layer(2)));
    behind.setAlphaF(color.alphaF() * 0.45);
    p.setBrush(behind);
    p.drawPath(layer(10).subtracted(layer(6)));
}

void drawPause(QPainter& p) {
    p.drawRoundedRect(QRectF(5, 3.5, 3.5, 13), 1, 1);
    p.drawRoundedRect(QRectF(11.5, 3.5, 3.5, 13), 1, 1);
}

void drawPlay(QPainter& p) {
    QPainterPath path;
    path.moveTo(5.5, 3);
    path.lineTo(16.5, 10);
    path.lineTo(5.5, 17);
    path.closeSubpath();
    p.drawPath(path);
}

void drawHourglass(QPainter& p, const QColor& color) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath path;
    path.moveTo(5, 2.5);
    path.lineTo(15, 2.5);
    path.lineTo(5, 17.5);
    path.lineTo(15, 17.5);
    path.closeSubpath();
    p.drawPath(path);
}

void drawChevronCircle(QPainter& p, const QColor& color, bool forward) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, 1.6));
    p.drawEllipse(QPointF(10, 10), 8, 8);
    p.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const qreal tip = forward ? 12.5 : 7.5;
    const qreal back = forward ? 8.5 : 11.5;
    QPainterPath chevron;
    chevron.moveTo(back, 6);
    chevron.lineTo(tip, 10);
    chevron.lineTo(back, 14);
    p.drawPath(chevron);
}

} // namespace

void SystemSymbol::paint(QPainter& painter, const QRectF& rect, Name name, const QColor& color) {
    const qreal side = std::min(rect.width(), rect.height());
    if (side <= 0) {
        return;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.center() - QPointF(side / 2, side / 2));
    painter.scale(side / box, side / box);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    switch (name) {
    case Name::personFill:
        drawPerson(painter);
        break;
    case Name::calendar:
        drawCalendar(painter, color);
        break;
    case Name::clock:
        drawClock(painter, color);
        break;
    case Name::pinFill:
        drawPin(painter);
        break;
    case Name::recordCircle:
        drawRecord(painter, color);
        break;
    case Name::squareStack:
        drawStack(painter, color);
        break;
    case Name::squareFill:
        painter.drawRoundedRect(QRectF(4, 4, 12, 12), 2, 2);
        break;
    case Name::pauseFill:
        drawPause(painter);
        break;
    case Name::playFill:
        drawPlay(painter);
        break;
    case Name::hourglass:
        drawHourglass(painter, color);
        break;
    case Name::chevronBackwardCircle:
        drawChevronCircle(painter, color, false);
        break;
    case Name::chevronForwardCircle:
        drawChevronCircle(painter, color, true);
        break;
    }
    painter.restore();
}

QIcon SystemSymbol::icon(Name name, const QColor& color, QSize size) {
    QPixmap pixmap(size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(painter, QRectF(QPointF(0, 0), QSizeF(size)), name, color);
    painter.end();
    return QIcon(pixmap);
}

} // namespace velmora
