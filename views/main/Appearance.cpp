#include "views/main/Appearance.h"

#include "validation/MessageColor.h"

#include <QFontDatabase>

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

QColor blended(const QColor& top, const QColor& bottom) {
    const qreal a = top.alphaF();
    return QColor::fromRgbF(static_cast<float>(top.redF() * a + bottom.redF() * (1 - a)),
                            static_cast<float>(top.greenF() * a + bottom.greenF() * (1 - a)),
                            static_cast<float>(top.blueF() * a + bottom.blueF() * (1 - a)));
}

} // namespace

qreal Appearance::contrast(const QColor& text, const QColor& background) {
    return MessageColor::contrast(blended(text, background), background);
}

QFont Appearance::scaledFont(const QFont& base, qreal factor) {
    QFont font = base;
    const qreal smallest = QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont).pointSizeF();
    if (base.pointSizeF() > 0) {
        // A platform whose smallest readable size is above the text's own size keeps
        // captions at the text's size: a caption never outgrows its text.
        font.setPointSizeF(std::max(base.pointSizeF() * factor, std::min(smallest, base.pointSizeF())));
    }
    return font;
}

bool Appearance::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor Appearance::withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

QColor Appearance::primary(const QPalette& palette) {
    return palette.color(QPalette::WindowText);
}

QColor Appearance::secondary(const QPalette& palette) {
    // As light as the palette allows: the least opacity, from 55 % up, that reads on
    // both grounds text is drawn on.
    const QColor text = primary(palette);
    const QColor grounds[] = {palette.color(QPalette::Window), palette.color(QPalette::Base),
                              groupedBackground(palette)};
    for (qreal opacity = 0.55; opacity < 1.0; opacity += 0.05) {
        const QColor candidate = withOpacity(text, opacity);
        if (std::all_of(std::begin(grounds), std::end(grounds), [&](const QColor& ground) {
                return contrast(candidate, ground) >= minimumContrast;
            })) {
            return candidate;
        }
    }
    return text;
}

QColor Appearance::tertiary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.3);
}

QColor Appearance::quaternary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.12);
}

QColor Appearance::quinary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.06);
}

QColor Appearance::groupedBackground(const QPalette& palette) {
    return blended(quinary(palette), palette.color(QPalette::Window));
}

QColor Appearance::accent(const QPalette& palette) {
    const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
    const QColor text = palette.color(QPalette::Active, QPalette::HighlightedText);
    // Light text deepens the highlight; dark text lightens it.
    const QColor towards = MessageColor::luminance(text) > MessageColor::luminance(highlight)
                               ? QColor(Qt::black)
                               : QColor(Qt::white);
    for (int step = 0; step < 20; ++step) {
        const qreal t = step / 20.0;
        const QColor candidate = QColor::fromRgbF(
            static_cast<float>(highlight.redF() + (towards.redF() - highlight.redF()) * t),
            static_cast<float>(highlight.greenF() + (towards.greenF() - highlight.greenF()) * t),
            static_cast<float>(highlight.blueF() + (towards.blueF() - highlight.blueF()) * t));
        if (contrast(text, candidate) >= minimumContrast) {
            return candidate;
        }
    }
    return towards;
}

QColor Appearance::inactiveSelection(const QPalette& palette) {
    // A neutral fill: the row stays marked without claiming the accent colour.
    return isDark(palette) ? withOpacity(QColor(Qt::white), 0.15) : withOpacity(QColor(Qt::gray), 0.15);
}

QColor Appearance::focusIndicator(const QPalette& palette) {
    return withOpacity(accent(palette), 0.5);
}

} // namespace velmora
