#include "platform/richtext/OutsideLines.h"

#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideName.h"
#include "platform/richtext/OutsideToolTip.h"
#include "tests/support/DesktopText.h"
#include "tests/support/TestData.h"
#include "tests/support/ThreadCpuClock.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr QChar ellipsis(0x2026);

bool isDirectionMark(QChar c) {
    return c == QChar(0x200E) || c == QChar(0x200F);
}

// What a line keeps of its name: its text without the ellipsis and the mark that places it.
QString kept(const OutsideLines::Line& line) {
    QString text = line.layout.text();
    if (!text.isEmpty() && isDirectionMark(text.back())) {
        text.chop(1);
    }
    if (text.endsWith(ellipsis)) {
        text.chop(1);
    }
    return text;
}

// Where the glyphs of the characters from `from` (`length` of them) show: their left and right.
std::pair<qreal, qreal> shownAt(const OutsideLines::Line& line, int from, int length) {
    qreal left = 1e9;
    qreal right = -1e9;
    for (const QGlyphRun& run : line.layout.lineAt(0).glyphRuns(from, length)) {
        left = std::min(left, run.boundingRect().left());
        right = std::max(right, run.boundingRect().right());
    }
    return {left, right};
}

// The characters (letters with their marks, joined pictures, flags) of `text` up to `end`.
qsizetype countCharacters(const QString& text, qsizetype end) {
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    for (qsizetype at = characters.toNextBoundary(); at > 0 && at <= end; at = characters.toNextBoundary()) {
        ++count;
    }
    return count;
}

} // namespace

// A character no font draws shows as the box of the line's font, as wide as every other such: a
// line measures it once. Measured one by one, each made Qt search every font it falls back to again,
// and a row of Korean where no font has Hangul cost twice what laying out what it shows did. Held in
// turns against that layout, each at the least of a few runs.
TEST(OutsideLines, CharactersNoFontDrawsAreMeasuredOnceALine) {
    FontCosts& fonts = FontCosts::ofThisProcess();
    if (!fonts.cost(0xD55C).boxed) {
        GTEST_SKIP() << "a font draws Hangul here";
    }
    const QString name = koreanText().repeated(3);
    const QFont font = QApplication::font();
    const QString shown = OutsideLines::cut(font, name, 300, fonts);
    ASSERT_GT(shown.size(), 20);
    qint64 cutting = std::numeric_limits<qint64>::max();
    qint64 layingOut = std::numeric_limits<qint64>::max();
    for (int round = 0; round < 5; ++round) {
        ThreadCpuClock clock;
        OutsideLines::cut(font, name, 300, fonts);
        cutting = std::min(cutting, clock.elapsedMicroseconds());
        clock.restart();
        QTextLayout layout(shown, font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        layingOut = std::min(layingOut, clock.elapsedMicroseconds());
    }
    EXPECT_LT(cutting, layingOut / 3) << "cut " << cutting << " us, laid out " << layingOut << " us";
}

// A line handed out stays whole for as long as its holder keeps it, whatever is laid out after
// it: a row holds its name's line while it lays out its state's, and a cache of one line threw the
// first away to keep the second.
TEST(OutsideLines, ALineHandedOutOutlivesTheLinesLaidOutAfterIt) {
    OutsideLines lines(1);
    const QFont font = QApplication::font();
    const auto first = lines.line(font, QStringLiteral("first"), 200);
    const auto second = lines.line(font, QStringLiteral("second"), 200);
    EXPECT_EQ(first->layout.text(), QStringLiteral("first"));
    EXPECT_EQ(second->layout.text(), QStringLiteral("second"));
}

// Cut at any width, a line keeps the characters its name starts with, each whole: never half of a
// pair of code units, a letter without its marks, part of a joined picture or of a flag. A letter
// drawn long with 80 tatweels showed as "…" alone. What it keeps fits the width with the ellipsis.
TEST(OutsideLines, ACutKeepsTheCharactersTheNameStartsWithWhole) {
    const auto names = namedTestData(QStringLiteral("outside-text/names-of-joined-characters.txt"));
    ASSERT_GE(names.size(), 10u);
    const QFont font = QApplication::font();
    const qreal ellipsisWidth = QFontMetricsF(font).horizontalAdvance(ellipsis);
    OutsideLines lines;
    for (const auto& [kind, name] : names) {
        const QString plain = plainName(name);
        QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, plain);
        qsizetype widest = 0;
        for (int width = 4; width <= 240; width += 3) {
            const auto line = lines.line(font, name, width);
            const QString shown = kept(*line);
            const std::string at = kind.toStdString() + " at " + std::to_string(width) + " px";
            ASSERT_TRUE(plain.startsWith(shown)) << at;
            characters.setPosition(static_cast<int>(shown.size()));
            EXPECT_TRUE(characters.isAtBoundary()) << at << ": cut inside a character";
            if (width >= ellipsisWidth) {
                EXPECT_LE(line->width, width + 0.5) << at;
            }
            if (width >= 80) {
                EXPECT_FALSE(shown.isEmpty()) << at << ": the ellipsis alone";
            }
            // A wider line keeps no less, but for a letter that took another form at the cut.
            const qsizetype letters = countCharacters(plain, shown.size());
            EXPECT_GE(letters, widest - 1) << at << ": a wider line keeps less";
            widest = std::max(widest, letters);
        }
    }
}

// The ellipsis stands where the text it ends reads to, beside its last letter: at the left of a
// right-to-left one, in a left-to-right list too, and at the right of a left-to-right one, in a
// right-to-left list too. Without a mark it took the list's direction and stood at the other end
// of a run of the other direction, beside letters it does not end.
TEST(OutsideLines, TheEllipsisEndsTheTextWhereItReads) {
    const QFont font = QApplication::font();
    OutsideLines lines;
    const auto names = namedTestData(QStringLiteral("outside-text/names-in-both-directions.txt"));
    ASSERT_EQ(names.size(), 4u);
    for (const auto& [kind, name] : names) {
        for (const int width : {90, 150, 230}) {
            for (const Qt::LayoutDirection direction : {Qt::LeftToRight, Qt::RightToLeft}) {
                const auto line = lines.line(font, name, width, direction);
                const QString shown = kept(*line);
                const std::string what = kind.toStdString() + " at " + std::to_string(width) +
                                         (direction == Qt::LeftToRight ? " left to right" : " right to left");
                // The last letter kept, and which way it reads.
                qsizetype last = shown.size() - 1;
                while (last >= 0 && shown[last].direction() != QChar::DirL &&
                       shown[last].direction() != QChar::DirR && shown[last].direction() != QChar::DirAL) {
                    --last;
                }
                ASSERT_GE(last, 0) << what;
                const auto [letterLeft, letterRight] = shownAt(*line, static_cast<int>(last), 1);
                const auto [ellipsisLeft, ellipsisRight] = shownAt(*line, static_cast<int>(shown.size()), 1);
                if (shown[last].direction() == QChar::DirL) {
                    EXPECT_GE(ellipsisLeft, letterRight - 0.5) << what;
                } else {
                    EXPECT_LE(ellipsisRight, letterLeft + 0.5) << what;
                }
            }
        }
    }
}

// A name reads in its own direction, the one of the letter it starts with, in a list of either
// direction: its first letter stands at the side that direction starts from, beyond the first
// letter of the other direction, whole or cut. Laid out in the list's direction, a Hebrew name
// with Latin words in it showed its words in the wrong order to a Hebrew reader.
TEST(OutsideLines, ANameReadsInTheDirectionOfTheLetterItStartsWith) {
    const QFont font = QApplication::font();
    OutsideLines lines;
    const auto names = namedTestData(QStringLiteral("outside-text/names-starting-either-way.txt"));
    ASSERT_EQ(names.size(), 2u);
    for (const auto& [kind, name] : names) {
        const bool rightToLeft = kind == QStringLiteral("rtl");
        // The first letter of the other direction.
        const auto other = std::find_if(name.begin(), name.end(), [rightToLeft](QChar c) {
            return rightToLeft ? c.direction() == QChar::DirL : c.direction() == QChar::DirR;
        });
        ASSERT_NE(other, name.end()) << kind.toStdString();
        const int otherAt = static_cast<int>(other - name.begin());
        const qreal whole = QFontMetricsF(font).horizontalAdvance(name);
        for (const int width : {static_cast<int>(whole) + 40, static_cast<int>(whole * 0.6)}) {
            for (const Qt::LayoutDirection direction : {Qt::LeftToRight, Qt::RightToLeft}) {
                const auto line = lines.line(font, name, width, direction);
                const std::string what = kind.toStdString() + " at " + std::to_string(width) +
                                         (direction == Qt::LeftToRight ? " in a left-to-right list"
                                                                       : " in a right-to-left list");
                ASSERT_GT(kept(*line).size(), otherAt) << what;
                const auto [firstLeft, firstRight] = shownAt(*line, 0, 1);
                const auto [otherLeft, otherRight] = shownAt(*line, otherAt, 1);
                if (rightToLeft) {
                    EXPECT_GT(firstLeft, otherRight) << what;
                } else {
                    EXPECT_LT(firstRight, otherLeft) << what;
                }
            }
        }
    }
}

// A first character longer than a name's bound (a letter with thousands of marks, fifty joined
// women, which Qt draws as fifty) showed as "…" alone in a row and a tooltip: its start shows, a
// letter with its marks or the first picture, then the ellipsis.
TEST(OutsideLines, ALongFirstCharacterShowsItsStart) {
    const QFont font = QApplication::font();
    OutsideLines lines;
    const auto names = namedTestData(QStringLiteral("outside-text/names-of-long-first-characters.txt"));
    ASSERT_EQ(names.size(), 2u);
    for (const auto& [kind, name] : names) {
        const auto line = lines.line(font, name, 270);
        const QString tip = OutsideToolTip::shownText(name, font, FontCosts::ofThisProcess());
        for (const QString& shown : {kept(*line), tip.chopped(1)}) {
            EXPECT_TRUE(!shown.isEmpty() && name.startsWith(shown.left(2))) << kind.toStdString();
        }
        EXPECT_LE(line->width, 270) << kind.toStdString();
    }
}

// A name of combining marks alone drew them before its row's start, over the sidebar's icon: it
// draws inside its row.
TEST(OutsideLines, ANameOfMarksAloneDrawsInsideItsRow) {
    const QFont font = QApplication::font();
    OutsideLines lines;
    for (const auto& [kind, name] : namedTestData(QStringLiteral("outside-text/names-of-marks-alone.txt"))) {
        for (const Qt::LayoutDirection direction : {Qt::LeftToRight, Qt::RightToLeft}) {
            const auto line = lines.line(font, name, 200, direction);
            // Where its glyphs' ink is.
            QRectF ink;
            for (const QGlyphRun& run : line->layout.glyphRuns()) {
                for (qsizetype i = 0; i < run.glyphIndexes().size(); ++i) {
                    ink |= run.rawFont().boundingRect(run.glyphIndexes()[i]).translated(run.positions()[i]);
                }
            }
            EXPECT_GE(ink.left(), -0.5) << kind.toStdString();
            EXPECT_LE(ink.right(), line->width + 0.5) << kind.toStdString();
        }
    }
}
