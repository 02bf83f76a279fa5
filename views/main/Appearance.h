#pragma once

#include <QColor>
#include <QFont>
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
    // Captions and status lines: lighter than primary text, yet at a contrast of at
    // least `minimumContrast` on the window and on the base of `palette`.
    static QColor secondary(const QPalette& palette);
    static QColor tertiary(const QPalette& palette);
    static QColor quaternary(const QPalette& palette);
    static QColor quinary(const QPalette& palette);
    // The ground of a grouped box (a settings section): the quinary fill over the window.
    static QColor groupedBackground(const QPalette& palette);

    // The highlight of a selected row in the key window: the palette's, deepened (or
    // lightened) until its highlighted text reads on it at `minimumContrast`.
    static QColor accent(const QPalette& palette);
    // The highlight of a selected row in a window that is not key.
    static QColor inactiveSelection(const QPalette& palette);
    // The ring around a focused input.
    static QColor focusIndicator(const QPalette& palette);

    // `color` with its alpha multiplied by `opacity`.
    static QColor withOpacity(QColor color, qreal opacity);

    // The least contrast of text that must be read, as a ratio of relative luminances.
    static constexpr qreal minimumContrast = 4.5;
    // The contrast of `text` (its alpha blended over `background`) on `background`:
    // 1 for none, 21 for black on white.
    static qreal contrast(const QColor& text, const QColor& background);

    // `base` scaled by `factor` (captions, footnotes), never below the platform's
    // smallest readable size (nor, for a caption, above `base`).
    static QFont scaledFont(const QFont& base, qreal factor);
};

} // namespace velmora
