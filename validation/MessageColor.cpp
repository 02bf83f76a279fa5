#include "validation/MessageColor.h"

#include <algorithm>
#include <cmath>

namespace velmora {

qreal MessageColor::luminance(const QColor& color) {
    const auto channel = [](qreal c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

namespace {

QColor mixed(const QColor& from, const QColor& to, qreal t) {
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * t),
                            static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * t),
                            static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * t));
}

} // namespace

qreal MessageColor::contrast(const QColor& a, const QColor& b) {
    const qreal la = luminance(a) + 0.05;
    const qreal lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

QColor MessageColor::readable(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    const QColor grounds[] = {window, palette.color(QPalette::Base), mixed(window, text, groupedFillOpacity)};
    const QColor towards = window.lightness() < 128 ? QColor(Qt::white) : QColor(Qt::black);
    for (int step = 0; step < 20; ++step) {
        const QColor candidate = mixed(QColor(Qt::red), towards, step / 20.0);
        if (std::all_of(std::begin(grounds), std::end(grounds), [&](const QColor& ground) {
                return contrast(candidate, ground) >= minimumContrast;
            })) {
            return candidate;
        }
    }
    return towards;
}

} // namespace velmora
