#include "app/AppStyle.h"

#include "views/main/Appearance.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyleOption>
#include <QWidget>

#include <functional>

namespace velmora {

namespace {

// An icon of 16 and 32 pixels (for a device pixel ratio of 2), each drawn by `draw` on
// a unit square.
QIcon drawnIcon(const std::function<void(QPainter&)>& draw) {
    QIcon icon;
    for (const int side : {16, 32}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side, side);
        draw(painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

void AppStyle::polish(QPalette& palette) {
    QProxyStyle::polish(palette);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        QPalette shown = palette;
        shown.setCurrentColorGroup(group);
        shown.setColor(QPalette::Active, QPalette::Highlight, palette.color(group, QPalette::Highlight));
        shown.setColor(QPalette::Active, QPalette::HighlightedText,
                       palette.color(group, QPalette::HighlightedText));
        palette.setColor(group, QPalette::Highlight, Appearance::accent(shown));
    }
}

QIcon AppStyle::standardIcon(StandardPixmap standardIcon, const QStyleOption* option,
                             const QWidget* widget) const {
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    switch (standardIcon) {
    case SP_ToolBarHorizontalExtensionButton:
    case SP_ToolBarVerticalExtensionButton: {
        const Qt::LayoutDirection direction =
            widget ? widget->layoutDirection() : QApplication::layoutDirection();
        return extensionIcon(standardIcon == SP_ToolBarVerticalExtensionButton, direction == Qt::RightToLeft,
                             palette.color(QPalette::WindowText));
    }
    case SP_LineEditClearButton:
        return clearIcon(palette.color(QPalette::PlaceholderText), palette.color(QPalette::Base));
    default:
        return QProxyStyle::standardIcon(standardIcon, option, widget);
    }
}

void AppStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                  QPainter* painter, const QWidget* widget) const {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    if (control != CC_ToolButton || !option || !option->state.testFlag(State_HasFocus) ||
        !option->state.testFlag(State_KeyboardFocusChange)) {
        return;
    }
    // The desktop style's pale frame is hard to see on a toolbar.
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(option->palette.color(QPalette::Active, QPalette::Highlight), 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(QRectF(option->rect).adjusted(1, 1, -1, -1), 4, 4);
    painter->restore();
}

void AppStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                           const QWidget* widget) const {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    const bool filled = button && (element == CE_PushButtonBevel || element == CE_PushButtonLabel) &&
                        button->features.testFlag(QStyleOptionButton::DefaultButton) &&
                        !button->features.testFlag(QStyleOptionButton::Flat) &&
                        button->state.testFlag(State_Enabled);
    if (!filled) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    if (element == CE_PushButtonLabel) {
        QStyleOptionButton label = *button;
        label.palette.setColor(QPalette::ButtonText, button->palette.color(QPalette::HighlightedText));
        QProxyStyle::drawControl(element, &label, painter, widget);
        return;
    }
    QColor fill = button->palette.color(QPalette::Highlight);
    if (button->state.testFlag(State_Sunken)) {
        fill = fill.darker(115);
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(fill.darker(125), 1));
    painter->setBrush(fill);
    const QRectF panel = QRectF(button->rect).adjusted(1.5, 1.5, -1.5, -1.5);
    painter->drawRoundedRect(panel, 3, 3);
    // The keyboard on the default itself: a ring in the label's colour inside the fill.
    if (button->state.testFlag(State_HasFocus) && button->state.testFlag(State_KeyboardFocusChange)) {
        painter->setPen(QPen(button->palette.color(QPalette::HighlightedText), 1.5));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(panel.adjusted(2, 2, -2, -2), 2, 2);
    }
    painter->restore();
}

QIcon AppStyle::extensionIcon(bool vertical, bool rightToLeft, const QColor& color) {
    return drawnIcon([&](QPainter& painter) {
        // Drawn pointing right, then turned into place about the centre.
        painter.translate(0.5, 0.5);
        painter.rotate(vertical ? 90 : (rightToLeft ? 180 : 0));
        painter.translate(-0.5, -0.5);
        QPainterPath chevrons;
        for (const double left : {0.25, 0.5}) {
            chevrons.moveTo(left, 0.3);
            chevrons.lineTo(left + 0.2, 0.5);
            chevrons.lineTo(left, 0.7);
        }
        painter.setPen(QPen(color, 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(chevrons);
    });
}

QIcon AppStyle::clearIcon(const QColor& disc, const QColor& cross) {
    return drawnIcon([&](QPainter& painter) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(disc);
        painter.drawEllipse(QRectF(0.125, 0.125, 0.75, 0.75));
        painter.setPen(QPen(cross, 0.09, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0.36, 0.36), QPointF(0.64, 0.64));
        painter.drawLine(QPointF(0.64, 0.36), QPointF(0.36, 0.64));
    });
}

} // namespace velmora
