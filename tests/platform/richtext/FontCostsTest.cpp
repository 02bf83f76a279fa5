#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideLines.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "platform/richtext/OutsideToolTip.h"
#include "platform/richtext/ShapingCost.h"
#include "tests/support/DesktopText.h"
#include "tests/support/TextLayoutCost.h"
#include "tests/support/ThreadCpuClock.h"
#include "tests/support/TimeScale.h"

#include <QGuiApplication>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

using namespace velmora;

namespace {

// Fonts of made-up costs: every character but ASCII drawn by the font of its script, which costs
// `finding` to find the first time and `loading` to load in a style it was not loaded in.
class MadeUpFonts final : public FontCosts {
public:
    MadeUpFonts(int finding, int loading) : m_finding(finding), m_loading(loading) {}

    int findingCost(char32_t c) override { return c < 0x80 || m_found.count(fontOf(c)) ? 0 : m_finding; }
    GlyphCost cost(char32_t c, int* found) override {
        const int font = fontOf(c);
        const bool isNew = c >= 0x80 && m_found.insert(font).second;
        if (found) {
            *found = isNew ? m_finding : 0;
        }
        return {1, 0, font, false};
    }
    int loadingCost(int font, const QFont& style) override {
        return m_loaded.count({font, style.key()}) ? 0 : m_loading;
    }
    int load(int font, const QFont& style, char32_t) override {
        m_loaded.insert({font, style.key()});
        ++loads;
        return m_loading;
    }
    QString family(int font) const override { return QString::number(font); }

    int loads = 0;

private:
    static int fontOf(char32_t c) { return c < 0x80 ? 0 : QChar::script(c); }

    int m_finding;
    int m_loading;
    std::set<int> m_found;
    std::set<std::pair<int, QString>> m_loaded;
};

// The least CPU time of a few layouts of `text` in the application's font, in microseconds.
qint64 leastLayoutMicroseconds(const QString& text) {
    qint64 least = std::numeric_limits<qint64>::max();
    for (int round = 0; round < 3; ++round) {
        test::ThreadCpuClock clock;
        QTextLayout layout(text, QGuiApplication::font());
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(400);
        }
        layout.endLayout();
        least = std::min(least, clock.elapsedMicroseconds());
    }
    return least;
}

} // namespace

// The font that draws a character is the one Qt falls back to for it: the application's font for
// Latin letters and the symbols it has, the colour emoji font for pictures, the font of each
// script for its letters.
TEST(FontCosts, TheFontFoundIsTheOneQtDrawsWith) {
    FontCosts& fonts = FontCosts::ofThisProcess();
    for (const char32_t c :
         {U'a', char32_t(0x2605), char32_t(0x1F680), char32_t(0x0915), char32_t(0x4E2D), char32_t(0x05D0)}) {
        const QString text = QString::fromUcs4(&c, 1);
        const QString drawing = test::familiesDrawing(text).value(0);
        const GlyphCost glyph = fonts.cost(c);
        EXPECT_EQ(fonts.family(glyph.font), drawing) << "U+" << QString::number(c, 16).toStdString();
    }
    if (test::colourEmojiFontDrawsEmoji()) {
        EXPECT_TRUE(fonts.cost(0x1F680).colour);
        EXPECT_FALSE(fonts.cost(U'a').colour);
    }
}

// A font is found once a process: the first character of its script (or the symbol) lays it out,
// A picture is drawn by the first font Qt falls back to that has it, which may be a text font
// (the symbol fonts draw a star, a heart, a globe; a desktop's sans font the faces): priced as
// that font's glyphs whatever was seen before it, not as colour because the colour emoji font was
// found first and has it too. Priced so, a rating's hearts cut it after a text full of emoji.
TEST(FontCosts, APictureATextFontDrawsCostsAsItsGlyphsWhateverCameFirst) {
    if (!test::colourEmojiFontDrawsEmoji()) {
        GTEST_SKIP() << "no colour emoji font draws emoji here";
    }
    FontCosts& fonts = FontCosts::ofThisProcess();
    ASSERT_TRUE(fonts.cost(0x1F680).colour);
    int drawnByText = 0;
    for (const char32_t c : {char32_t(0x2764), char32_t(0x2B50), char32_t(0x231A), char32_t(0x1F30D),
                             char32_t(0x1F378), char32_t(0x1F600), char32_t(0x2600), char32_t(0x1F44D)}) {
        const QString drawing = test::familiesDrawing(QString::fromUcs4(&c, 1)).value(0);
        const bool colour = drawing == test::colourEmojiFamily();
        drawnByText += colour ? 0 : 1;
        const GlyphCost glyph = fonts.cost(c);
        EXPECT_EQ(glyph.colour, colour)
            << "U+" << QString::number(c, 16).toStdString() << " drawn by " << drawing.toStdString();
        EXPECT_EQ(fonts.family(glyph.font).toStdString(), drawing.toStdString())
            << "U+" << QString::number(c, 16).toStdString();
    }
    if (drawnByText == 0) {
        GTEST_SKIP() << "the colour emoji font draws every picture here";
    }
}

// what that took is said, and later ones cost nothing to find.
TEST(FontCosts, AFontIsFoundOnceAProcess) {
    FontCosts& fonts = FontCosts::ofThisProcess();
    // A script the other tests leave alone.
    const char32_t letter = 0x1780; // Khmer
    int found = 0;
    if (fonts.findingCost(letter) > 0) {
        fonts.cost(letter, &found);
        EXPECT_GT(found, 0);
    }
    EXPECT_EQ(fonts.findingCost(letter), 0);
    EXPECT_EQ(fonts.findingCost(0x1781), 0) << "another letter of the script";
    fonts.cost(0x1781, &found);
    EXPECT_EQ(found, 0);
}

// What a font costs is what laying its glyphs out costs here: a colour emoji font's pictures many
// times Latin letters, and the cost learnt for each stands for a layout of them within a few times.
TEST(FontCosts, WhatAFontCostsIsWhatItsGlyphsCost) {
    FontCosts& fonts = FontCosts::ofThisProcess();
    for (const auto& [name, text] :
         {std::pair{"Han", test::chineseText().repeated(40)},
          std::pair{
              "Devanagari",
              test::repeatedTo(
                  QStringLiteral("\u092F\u0939 \u0939\u093F\u0902\u0926\u0940 \u092E\u0947\u0902 "), 2000)},
          std::pair{"colour emoji", QStringLiteral("\U0001F680\U0001F389\U0001F525 ").repeated(40)}}) {
        qint64 counted = 0;
        for (const char32_t c : text.toUcs4()) {
            counted += fonts.cost(c).each;
        }
        const double measured =
            static_cast<double>(leastLayoutMicroseconds(text)) * FontCosts::unitsPerMicrosecond;
        // What was learnt and what is measured now are each taken once: a busy machine may hold
        // either up.
        const double within = 4 * test::timeScale();
        EXPECT_GT(counted, measured / within) << name;
        EXPECT_LT(counted, measured * within) << name;
    }
    if (test::colourEmojiFontDrawsEmoji()) {
        EXPECT_GT(fonts.cost(0x1F680).each, 20 * fonts.cost(U'a').each);
    }
}

// A font loaded in a style stays loaded for as long as the style is kept: what loading it costs is
// priced the first time, and nothing after.
TEST(FontCosts, AFontLoadedInAStyleIsPricedOnce) {
    FontCosts& fonts = FontCosts::ofThisProcess();
    QFont style = QGuiApplication::font();
    style.setPointSizeF(style.pointSizeF() + 3.25);
    style.setItalic(true);
    const GlyphCost glyph = fonts.cost(U'a');
    EXPECT_GT(fonts.loadingCost(glyph.font, style), 0);
    fonts.load(glyph.font, style, U'a');
    EXPECT_EQ(fonts.loadingCost(glyph.font, style), 0);
    EXPECT_EQ(fonts.loadingCost(glyph.font, QGuiApplication::font()), 0) << "the application's font";
}

// The fonts a text needs in a style are loaded while they fit the budget, the first whatever it
// costs; the text is cut where the next would not fit.
TEST(FontCosts, LoadingTheFontsOfATextStopsWhereTheBudgetEnds) {
    MadeUpFonts fonts(0, 1000);
    const QFont style = QGuiApplication::font();
    // Latin, Greek, Cyrillic, Hebrew: four fonts.
    const QString text = QStringLiteral("ab \u03B1\u03B2 \u0430\u0431 \u05D0\u05D1");
    qint64 budget = 3500;
    EXPECT_EQ(loadFonts(text, style, budget, fonts), text.indexOf(QChar(0x05D0)));
    EXPECT_EQ(fonts.loads, 3);
    // What is loaded costs nothing the next time.
    budget = 1000;
    EXPECT_EQ(loadFonts(text, style, budget, fonts), text.size());

    MadeUpFonts dear(0, 100000);
    qint64 small = 10;
    bool first = true;
    EXPECT_TRUE(loadFont(0x03B1, style, small, dear, &first)) << "the first font is loaded whatever it costs";
    EXPECT_FALSE(loadFont(0x0430, style, small, dear, &first));
}

// A tooltip loads the first font its text needs whatever that costs, as a line does: a name of one
// script whose font costs more to load in the tooltip's style than a line's budget showed as an
// ellipsis alone.
TEST(FontCosts, ATooltipShowsTheTextOfItsFirstFontWhateverItCostsToLoad) {
    MadeUpFonts dear(0, 4 * OutsideLines::loadingBudget);
    const QFont style = QGuiApplication::font();
    const QString greek = QStringLiteral("\u03B1\u03B2\u03B3 \u03B4");
    EXPECT_EQ(OutsideToolTip::shownText(greek, style, dear), greek);
    // The next font that does not fit still cuts it.
    const QString withCyrillic = greek + QStringLiteral(" \u0430\u0431");
    MadeUpFonts again(0, 4 * OutsideLines::loadingBudget);
    EXPECT_EQ(OutsideToolTip::shownText(withCyrillic, style, again), greek + QStringLiteral(" \u2026"));
}

// Finding a font costs from what a text may spend on fonts: the first is found whatever it costs
// and takes nothing of it, and a text that would find more than its budget buys is cut before the
// first that does not fit.
TEST(FontCosts, ATextThatWouldFindManyFontsIsCutWithinItsBudget) {
    MadeUpFonts fonts(30000, 0);
    OutsideHtmlLimits limits;
    limits.fonts = &fonts;
    limits.maxLoadingCost = 65000;
    const QString scripts = QStringLiteral("\u03B1 \u0430 \u05D0 \u0627 \u0915 \u0E01 \u10D0");
    const QString bounded = boundOutsideHtml(scripts, limits);
    EXPECT_TRUE(bounded.contains(outsideHtmlShortenedNote()));
    // Three found: the first whatever it costs, two more within the budget.
    EXPECT_TRUE(bounded.startsWith(QStringLiteral("\u03B1 \u0430 \u05D0")));
    EXPECT_FALSE(bounded.contains(QChar(0x0627)));
}

// A document loads the fonts its styles need before it is laid out, and where the next style's
// fonts would cost more than is left, its text is cut there and said to be.
TEST(FontCosts, ADocumentsStylesLoadTheirFontsWithinItsBudget) {
    MadeUpFonts fonts(0, 20000);
    OutsideHtmlLimits limits;
    limits.fonts = &fonts;
    limits.maxLoadingCost = 45000;
    OutsideTextDocument document;
    document.setOutsideHtml(
        QStringLiteral("<p>plain</p><p><b>bold</b></p><p><i>italic</i></p><p><big>big</big></p>"), limits);
    const QString shown = document.toPlainText();
    EXPECT_TRUE(shown.contains(QStringLiteral("plain")));
    EXPECT_TRUE(shown.contains(QStringLiteral("bold")));
    EXPECT_FALSE(shown.contains(QStringLiteral("big")));
    EXPECT_TRUE(shown.contains(outsideHtmlShortenedNote()));
}

// What the tests of text expect follows the fonts there are: without Droid Sans Fallback (where
// bootstrap installs it, the font that draws Han here) as with it. Run in a process whose fonts
// leave it out: the font said to draw a letter no font has was the one whose box Qt draws.
TEST(FontCosts, TheTextTestsHoldWithoutDroidSansFallback) {
    if (test::hanFamily() != QStringLiteral("Droid Sans Fallback")) {
        GTEST_SKIP() << "Droid Sans Fallback does not draw Han here";
    }
    QString printed;
    EXPECT_TRUE(test::passWithoutFonts(QStringLiteral("-FontCosts.TheTextTestsHoldWithoutDroidSansFallback"),
                                       QStringLiteral("*/droid/*"), &printed))
        << printed.right(3000).toStdString();
}
