#include "views/main/AvatarView.h"

#include "views/main/Appearance.h"
#include "views/main/SystemSymbol.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace velmora {

namespace {
std::optional<QUrl> usable(std::optional<QUrl> url) {
    if (url && (url->isEmpty() || !url->isValid())) {
        return std::nullopt;
    }
    return url;
}
} // namespace

AvatarView::AvatarView(std::optional<QUrl> url, qreal size, QWidget* parent)
    : QWidget(parent), m_url(usable(std::move(url))), m_size(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
}

void AvatarView::setUrl(std::optional<QUrl> url) {
    url = usable(std::move(url));
    if (url == m_url) {
        return;
    }
    m_url = std::move(url);
    m_image = QImage();
    update();
}

void AvatarView::setImage(const QImage& image) {
    m_image = image;
    update();
}

QSize AvatarView::sizeHint() const {
    const int side = static_cast<int>(std::ceil(m_size));
    return QSize(side, side);
}

void AvatarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF frame(0, 0, m_size, m_size);
    QPainterPath circle;
    circle.addEllipse(frame);

    if (!m_url) {
        painter.save();
        painter.setClipPath(circle);
        SystemSymbol::paint(painter, frame, SystemSymbol::Name::personFill, Appearance::primary(palette()));
        painter.restore();
        const qreal ring = ringWidth();
        painter.setPen(QPen(QColor(Qt::gray), ring));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(frame.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
        return;
    }

    painter.setClipPath(circle);
    if (!m_image.isNull()) {
        const QSizeF fitted = QSizeF(m_image.size()).scaled(frame.size(), Qt::KeepAspectRatio);
        QRectF target(QPointF(0, 0), fitted);
        target.moveCenter(frame.center());
        painter.drawImage(target, m_image);
        return;
    }
    painter.fillRect(frame, Appearance::secondary(palette()));
    // The symbol keeps its own (large) size and is cut by the circle, as a glyph
    // larger than a small avatar would be.
    const qreal glyph = std::max<qreal>(m_size, 26.0);
    QRectF symbol(0, 0, glyph, glyph);
    symbol.moveCenter(frame.center());
    SystemSymbol::paint(painter, symbol, SystemSymbol::Name::personFill, Appearance::primary(palette()));
}

} // namespace velmora
