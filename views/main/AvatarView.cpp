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

QPainterPath circle(const QRectF& rect) {
    QPainterPath path;
    path.addEllipse(rect);
    return path;
}

} // namespace

std::optional<QUrl> AvatarView::remoteUrl(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return std::nullopt;
    }
    return url;
}

AvatarView::AvatarView(std::optional<QUrl> url, qreal size, QWidget* parent)
    : QWidget(parent), m_url(usable(std::move(url))), m_size(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
    rebuild();
}

void AvatarView::setUrl(std::optional<QUrl> url) {
    url = usable(std::move(url));
    if (url == m_url) {
        return;
    }
    m_url = std::move(url);
    rebuild();
    update();
}

void AvatarView::rebuild() {
    if (m_remote) {
        delete m_remote.data();
    }
    if (!m_url) {
        return;
    }
    QPointer<AvatarView> self(this);
    m_remote = imageviews::RemoteImage::withContentAndPlaceholder(
        m_url, 1.0, 0, loadContext(m_size), true,
        [](QPainter& painter, const QRect& rect, const QImage& image) { paintImage(painter, rect, image); },
        [self](QPainter& painter, const QRect& rect) {
            if (self) {
                paintPlaceholder(painter, rect, self->palette());
            }
        },
        this);
    m_remote->setGeometry(rect());
    m_remote->setVisible(true);
}

images::RemoteImageContext AvatarView::loadContext(qreal size) {
    // Decoded, composed and kept at the size it is drawn (sharp up to four device pixels a
    // point), never at the size the file declares: a vector picture is drawn on the image
    // threads, and an animation's frames stay small.
    const qreal side = std::ceil(std::max<qreal>(size, 1.0)) * keptPixelsPerPoint;
    images::RemoteImageContext context;
    context.imageThumbnailPixelSize = QSizeF(side, side);
    return context;
}

bool AvatarView::showsPlaceholder() const {
    return m_remote && m_remote->phase().kind() != imageviews::RemoteImagePhase::Kind::Success;
}

QSize AvatarView::sizeHint() const {
    const int side = static_cast<int>(std::ceil(m_size));
    return QSize(side, side);
}

void AvatarView::paintImage(QPainter& painter, const QRectF& rect, const QImage& image) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setClipPath(circle(rect));
    const QSizeF fitted = QSizeF(image.size()).scaled(rect.size(), Qt::KeepAspectRatio);
    QRectF target(QPointF(0, 0), fitted);
    target.moveCenter(rect.center());
    painter.drawImage(target, image);
    painter.restore();
}

void AvatarView::paintPlaceholder(QPainter& painter, const QRectF& rect, const QPalette& palette) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(circle(rect));
    painter.fillRect(rect, Appearance::secondary(palette));
    // The symbol keeps its own (large) size and is cut by the circle, as a large glyph
    // in a small avatar would be.
    const qreal glyph = std::max<qreal>(rect.width(), 26.0);
    QRectF symbol(0, 0, glyph, glyph);
    symbol.moveCenter(rect.center());
    SystemSymbol::paint(painter, symbol, SystemSymbol::Name::personFill, Appearance::primary(palette));
    painter.restore();
}

void AvatarView::paintWithoutAddress(QPainter& painter, const QRectF& rect, const QPalette& palette) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(circle(rect));
    SystemSymbol::paint(painter, rect, SystemSymbol::Name::personFill, Appearance::primary(palette));
    painter.setClipping(false);
    const qreal ring = rect.width() / 10.0;
    painter.setPen(QPen(QColor(Qt::gray), ring));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(rect.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
    painter.restore();
}

void AvatarView::paintEvent(QPaintEvent*) {
    if (m_url) {
        // The remote view draws the picture or its placeholder.
        return;
    }
    QPainter painter(this);
    paintWithoutAddress(painter, QRectF(0, 0, m_size, m_size), palette());
}

} // namespace velmora
