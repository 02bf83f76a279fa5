#pragma once

#include <QColor>
#include <QPalette>

namespace velmora {

// The few colour roles the main window's views draw with, derived from the widget's
// palette so light and dark appearance follow the desktop theme rather than a setting.
// The levels mirror how prominent a piece of text or chrome is: primary text,
// secondary (captions), tertiary (icons), quaternary (hairlines), quinary (fills).
class Appearance {
public:
    static bool isDark(const QPalette& palette);

    static QColor primary(const QPalette& palette);
    static QColor secondary(const QPalette& palette);
    static QColor tertiary(const QPalette& palette);
    static QColor quaternary(const QPalette& palette);
    static QColor quinary(const QPalette& palette);

    // The highlight of a selected row in the key window.
    static QColor accent(const QPalette& palette);
    // The highlight of a selected row in a window that is not key.
    static QColor inactiveSelection(const QPalette& palette);
    // The ring around a focused input.
    static QColor focusIndicator(const QPalette& palette);

    // `color` with its alpha multiplied by `opacity`.
    static QColor withOpacity(QColor color, qreal opacity);
};

} // namespace velmora
