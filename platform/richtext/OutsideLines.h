#pragma once

#include <QCache>
#include <QFont>
#include <QString>
#include <QTextLayout>

#include <memory>

class QPainter;
class QRectF;

namespace velmora {

class FontCosts;

// Lines of text from outside (the names of tasks, projects and people) as rows of a list and the
// headers of cards show them: each bounded as a name (plainName), cut with an ellipsis to the
// width it is shown at, laid out once and drawn from what that made. Qt shapes a line again each
// time it draws it, Qt 6.4 decodes a colour glyph's picture at every shaping, and cutting a line
// with QFontMetrics::elidedText shapes it once more: a name of flags cost its row tens of
// milliseconds at each paint, and the sidebar cut its names anew at every paint. Where the line
// is cut is found from the characters' advances, without shaping what the row does not show, and
// the fonts it needs in the row's font are loaded within a small budget first (see FontCosts).
class OutsideLines {
public:
    struct Line {
        // What it shows, laid out, and how wide that is.
        QTextLayout layout;
        qreal width = 0;
        // Cut where the budget for loading its fonts ran out, not where the width ends: laid out
        // again once they have loaded (see draw).
        bool waiting = false;
    };

    // Keeps the last `count` lines laid out: a few screenfuls of rows, as scrolling back and forth
    // shows them again. `fonts`: null for those of this process.
    explicit OutsideLines(int count = 256, FontCosts* fonts = nullptr);

    // `text` as a line shows it in `font` within `width` pixels: bounded as a name, cut with an
    // ellipsis, laid out once and kept for the paints that follow. Where it is cut, it keeps the
    // characters it starts with (the logical ones, whatever their direction) that fit with the
    // ellipsis, and never parts a character: a letter with its marks, a joined picture, a flag.
    // The line stays whole for as long as it is held, whatever is laid out after it.
    std::shared_ptr<const Line> line(const QFont& font, const QString& text, int width,
                                     Qt::LayoutDirection direction = Qt::LeftToRight);
    // Draws `line` at the start of `box` (its left, or its right in a right-to-left layout),
    // centred in its height; returns its width. A line waiting for its fonts has the widget painted
    // on painted again once this paint is done, and line() then lays it out anew, a few lines each
    // time (see relaidPerPaint).
    static qreal draw(QPainter& painter, const Line& line, const QRectF& box,
                      Qt::LayoutDirection direction = Qt::LeftToRight);

    // What laying one line out may cost (see ShapingCost), under a millisecond: a page of a list
    // shows ten new rows or so, each shaped once, within a frame. A row of colour emoji shows ten
    // of them or so, then the ellipsis.
    static constexpr qint64 lineCost = 3200;
    // What finding and loading the fonts of one line may cost, past the first font it needs (see
    // loadFont): a row with a name of a script new to the process loads its font, and no more.
    static constexpr qint64 loadingBudget = 8000;
    // The lines waiting for their fonts laid out anew between two paints of the widgets showing
    // them, all together: each loads a font or two within its own budget, a page of them costs a
    // few milliseconds.
    static constexpr int relaidPerPaint = 4;

    // What of `plain` one line shows within `width` by the characters' advances: all of it where it
    // fits, else what fits beside the ellipsis, and the ellipsis (line() then cuts it by what the
    // layout shows). `waiting`, if given, says whether it was cut where the budget for loading
    // fonts ran out.
    static QString cut(const QFont& font, const QString& plain, int width, FontCosts& fonts,
                       bool* waiting = nullptr);

    // What a name whose first character is longer than a name's bound shows (plainName keeps the
    // ellipsis alone of it): the start of that character as Qt draws it, a letter with the marks a
    // name keeps or the first of the pictures it joins more of than one emoji is, and the ellipsis.
    static QString startOfLongFirstCharacter(const QString& text);

private:
    FontCosts& fonts();

    QCache<QString, std::shared_ptr<const Line>> m_lines;
    FontCosts* m_fonts;
};

} // namespace velmora
