#include "views/main/NavigationLinkButton.h"

#include "views/main/Appearance.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace velmora {

NavigationLinkButton::Look NavigationLinkButton::look(const QPalette& palette, bool isActive,
                                                      bool windowIsKey) {
    if (isActive && windowIsKey) {
        return {Appearance::accent(palette), QColor(Qt::white)};
    }
    if (isActive) {
        return {Appearance::inactiveSelection(palette), Appearance::primary(palette)};
    }
    return {QColor(), Appearance::primary(palette)};
}

void NavigationLinkButton::paintHighlight(QPainter& painter, const QRectF& rect, const Look& look) {
    if (!look.background.isValid()) {
        return;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(look.background);
    painter.drawRoundedRect(rect, cornerRadius, cornerRadius);
    painter.restore();
}

NavigationLinkButton::NavigationLinkButton(Binding<bool> isActive, QString text,
                                           std::optional<SystemSymbol::Name> symbol, QWidget* parent)
    : QAbstractButton(parent), m_isActive(std::move(isActive)), m_symbol(symbol) {
    setText(text);
    setIconSize(QSize(16, 16));
    setCursor(Qt::ArrowCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] {
        m_isActive.set(!m_isActive.get());
        update();
    });
}

void NavigationLinkButton::paintFocusRing(QPainter& painter, const QRectF& rect, const QPalette& palette,
                                          const Look& under) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // On a highlighted row the accent ring would vanish: it takes the row's text colour.
    QColor ring = under.background.isValid() ? under.foreground : palette.color(QPalette::Highlight);
    ring.setAlphaF(0.8);
    painter.setPen(QPen(ring, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), cornerRadius, cornerRadius);
    painter.restore();
}

void NavigationLinkButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat()) {
        event->accept();
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

NavigationLinkButton::Look NavigationLinkButton::currentLook() const {
    return look(palette(), isActive(), isActiveWindow());
}

QSize NavigationLinkButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int height = std::max(metrics.height(), iconSize().height());
    const int width = metrics.horizontalAdvance(text()) + iconSize().width() + 8;
    return QSize(width + static_cast<int>(2 * horizontalPadding),
                 height + static_cast<int>(std::ceil(2 * verticalPadding)));
}

bool NavigationLinkButton::hitButton(const QPoint& pos) const {
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    return shape.contains(pos);
}

void NavigationLinkButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const Look current = currentLook();
    paintHighlight(painter, QRectF(rect()), current);
    if (hasFocus()) {
        paintFocusRing(painter, QRectF(rect()), palette(), current);
    }

    const QRect content =
        rect().adjusted(static_cast<int>(horizontalPadding), 0, -static_cast<int>(horizontalPadding), 0);
    int x = content.left();
    if (m_symbol) {
        const QSize size = iconSize();
        const QRectF iconRect(x, content.center().y() - size.height() / 2.0, size.width(), size.height());
        // The symbol follows the label: accent-coloured at rest, white on the highlight.
        const QColor color = current.background.isValid() && isActiveWindow() ? current.foreground
                                                                              : Appearance::accent(palette());
        SystemSymbol::paint(painter, iconRect, *m_symbol, color);
        x += size.width() + 6;
    }
    painter.setPen(current.foreground);
    painter.drawText(QRect(x, content.top(), content.right() - x, content.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, text());
}

void NavigationLinkButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::PaletteChange) {
        update();
    }
    QAbstractButton::changeEvent(event);
}

} // namespace velmora
