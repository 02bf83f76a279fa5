#include "platform/richtext/FontCosts.h"
#include "platform/richtext/LearntFontCosts.h"
#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideLines.h"
#include "platform/richtext/OutsideName.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "platform/richtext/OutsideToolTip.h"
#include "platform/richtext/ShapingCost.h"
#include "tests/support/DesktopText.h"
#include "tests/support/EventLoop.h"
#include "tests/support/MadeFonts.h"
#include "tests/support/TextLayoutCost.h"
#include "tests/support/ThreadCpuClock.h"
#include "tests/support/TimeScale.h"

#include <QCryptographicHash>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <set>
#include <thread>
#include <utility>
#include <vector>

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
    // A style of its own each time the test runs in a process.
    static int round = 0;
    QFont style = QGuiApplication::font();
    style.setPointSizeF(style.pointSizeF() + 3.25 + ++round);
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
    // But the one that loads the machine, which holds what it checks on any fonts.
    EXPECT_TRUE(test::passWithoutFonts(QStringLiteral("-FontCosts.TheTextTestsHoldWithoutDroidSansFallback:"
                                                      "FontCosts.WhatShowsIsTheSameOnAQuietMachineAndABusyOne"),
                                       QStringLiteral("*/droid/*"), &printed))
        << printed.right(3000).toStdString();
}

namespace {

// What `text` costs, counted as a view counts it (see ShapingCost), with no budget to stop it.
qint64 counted(const QString& text) {
    ShapingCost cost(std::numeric_limits<qint64>::max() / 4, std::numeric_limits<qint64>::max() / 4);
    for (const char32_t c : text.toUcs4()) {
        cost.keeps(c, false, 0);
    }
    return cost.spent();
}

// How many times `text` costs Qt what `reference` does to lay out, each at the least of a few
// layouts taken in turns.
double layoutRatio(const QString& text, const QString& reference) {
    leastLayoutMicroseconds(text);
    qint64 least = std::numeric_limits<qint64>::max();
    qint64 against = std::numeric_limits<qint64>::max();
    // Least of rounds taken in turns: a machine busy with other tests (the whole suite beside
    // this one) stretches single rounds of either side by several times.
    for (int round = 0; round < 6; ++round) {
        against = std::min(against, leastLayoutMicroseconds(reference));
        least = std::min(least, leastLayoutMicroseconds(text));
    }
    return static_cast<double>(std::max<qint64>(least, 1)) / static_cast<double>(std::max<qint64>(against, 1));
}

} // namespace

// What takes no room costs what Qt's look-up of it costs: it draws nothing, but where the
// application's font lacks it Qt searches every font it falls back to, as for a letter no font
// has (the Hangul fillers, the reserved ones, the tags), and where the font has it (a zero-width
// space) hardly anything. Priced at 4 units whatever it was, 10,000 fillers each with a space
// after it took a view 142 to 178 ms and showed whole. Against Latin text laid out in the same
// moment, each costs within a few times what laying it out costs, and at the cap of text a view
// of them is cut, with its note.
TEST(FontCosts, WhatTakesNoRoomCostsWhatQtsLookUpOfItCosts) {
    const QString latin = QStringLiteral("abcdefgh ").repeated(222);
    const qint64 latinCounted = counted(latin);
    for (const char32_t c : {char32_t(0x3164), char32_t(0x115F), char32_t(0x1160), char32_t(0xFFA0),
                             char32_t(0xFFF0), char32_t(0xE0067), char32_t(0xE0001), char32_t(0x200B)}) {
        const QString spaced = (QString::fromUcs4(&c, 1) + u' ').repeated(1000);
        const double measured = layoutRatio(spaced, latin);
        const double priced = static_cast<double>(counted(spaced)) / static_cast<double>(latinCounted);
        const std::string name = "U+" + QString::number(c, 16).toStdString();
        EXPECT_GT(priced, measured / 3) << name << ": priced " << priced << " times Latin, laid out in "
                                        << measured;
        EXPECT_LT(priced, measured * 3 + 1) << name << ": priced " << priced << " times Latin, laid out in "
                                            << measured;
        if (measured > 4) {
            const QString atTheCap = (QString::fromUcs4(&c, 1) + u' ').repeated(10000);
            EXPECT_TRUE(boundOutsideHtml(atTheCap).contains(outsideHtmlShortenedNote())) << name;
        }
    }
    // A description of such characters of every kind, some in bold.
    QFile input(QStringLiteral(VELMORA_FUZZ_INPUTS "/OutsideHtml/seed-what-takes-no-room-but-is-searched-for.html"));
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    const QString mixed = QTextDocumentFragment::fromHtml(QString::fromUtf8(input.readAll())).toPlainText();
    const QString asMuchLatin = QStringLiteral("abcdefgh ").repeated(mixed.size() / 9);
    const double measured = layoutRatio(mixed, asMuchLatin);
    const double priced = static_cast<double>(counted(mixed)) / static_cast<double>(counted(asMuchLatin));
    EXPECT_GT(priced, measured / 3) << "priced " << priced << " times Latin, laid out in " << measured;
}

namespace {

constexpr char fontCase[] = "VELMORA_FONT_COSTS_CASE";

// Bytes this process has read through read() and its kind (mapped files not counted).
qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:")) {
            return line.mid(6).trimmed().toLongLong();
        }
    }
    return -1;
}

// Runs the child test `test` of this executable with `name` in fontCase and `environment`: whether
// it ran and passed, what it printed in `output`.
bool passInChild(const char* test, const QString& name, QProcessEnvironment environment, QString* output) {
    environment.insert(QString::fromLatin1(fontCase), name);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + QLatin1String(test)});
    if (!child.waitForFinished(300000)) {
        child.kill();
        child.waitForFinished();
        return false;
    }
    *output = QString::fromUtf8(child.readAll());
    // Qt's word of each family it finds unfit for a script says nothing of the test.
    QStringList lines = output->split(u'\n');
    lines.removeIf([](const QString& line) { return line.contains(QStringLiteral("OpenType support missing")); });
    *output = lines.join(u'\n');
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
           output->contains(QStringLiteral("[  PASSED  ]")) && !output->contains(QStringLiteral("SKIPPED"));
}

// A letter of each script Qt shapes only with a font fit for it, and a name of it.
std::vector<std::pair<char32_t, QString>> scriptsQtShapesWithAFitFont() {
    return {{0x0710, QStringLiteral("\u0710\u0712\u0713\u0715 \u0717\u0718")},
            {0x07CA, QStringLiteral("\u07CA\u07CB\u07CC \u07CD\u07CE")},
            {0x1780, QStringLiteral("\u1780\u1781\u1782 \u1783\u1784")},
            {0x0915, QStringLiteral("\u0915\u093E\u092E \u0915\u0930\u094B")},
            {0x0D85, QStringLiteral("\u0D85\u0D86\u0D87 \u0D88")},
            {0x0780, QStringLiteral("\u0780\u0781\u0782 \u0783\u0784")}};
}

// A folder of a user's fonts in `dir`, empty; empty where it cannot be made.
QString usersFontsFolder(const QTemporaryDir& dir) {
    const QString folder = dir.filePath(QStringLiteral("fonts"));
    return dir.isValid() && QDir().mkpath(folder) ? folder : QString();
}

} // namespace

// Run by the tests below in a process of its own, with fonts they set up; skipped otherwise.
TEST(FontCostsChild, ScriptsOfAUsersFonts) {
    if (qEnvironmentVariable(fontCase) != QStringLiteral("users-fonts")) {
        GTEST_SKIP() << "runs only inside FontCosts.AUsersFontsCostWhatTheSystemsDo";
    }
    FontCosts& fonts = FontCosts::ofThisProcess();
    for (const auto& [letter, name] : scriptsQtShapesWithAFitFont()) {
        const qint64 before = bytesRead();
        fonts.cost(letter);
        const qint64 read = bytesRead() - before;
        const std::string script = "U+" + QString::number(letter, 16).toStdString();
        EXPECT_LT(read, 4 << 20) << script << ": bytes read to learn what draws it";
        // Where Qt draws it with a font, the name shows; where with none, each style it is laid
        // out in costs Qt's check of every family.
        if (!test::familiesDrawing(QString::fromUcs4(&letter, 1)).isEmpty()) {
            EXPECT_EQ(plainName(name), name) << script;
        } else {
            QFont style;
            style.setPointSize(31);
            EXPECT_EQ(fonts.loadingCost(fonts.cost(letter).font, style), LearntFontCosts::checkOfEveryFamily)
                << script;
        }
    }
}

// A user's fonts cost what the system's do. A font of 65 MB that claims every code point, in a
// folder of the user's that links to itself (so that fontconfig lists it tens of times, ahead of
// the system's fonts): whether a font shapes a script that needs one fit for it was learnt by
// reading 16 whole files, so the first text of such a script read a gigabyte, and found none fit
// among the copies of the one font, and its names showed as "…" alone where Qt draws them. A few
// kilobytes of each file are read, each once, and the names show.
TEST(FontCosts, AUsersFontsCostWhatTheSystemsDo) {
    QTemporaryDir dir;
    const QString folder = usersFontsFolder(dir);
    ASSERT_FALSE(folder.isEmpty());
    const QString source = test::fontFileOf(QStringLiteral("sans-serif"));
    ASSERT_TRUE(test::writeFontOfEveryCodePoint(source, QStringLiteral("Velmora Every Code Point"), 65 << 20,
                                                QDir(folder).filePath(QStringLiteral("every.ttf"))))
        << source.toStdString();
    ASSERT_TRUE(QFile::link(folder, QDir(folder).filePath(QStringLiteral("again"))));
    const QProcessEnvironment environment = test::withUserFonts(dir.path(), folder);
    // What fontconfig lists there (and its cache, made once).
    QProcess list;
    list.setProcessEnvironment(environment);
    list.start(QStringLiteral("fc-list"), {QStringLiteral(":family=Velmora Every Code Point"), QStringLiteral("file")});
    ASSERT_TRUE(list.waitForFinished(300000));
    ASSERT_GE(QString::fromLocal8Bit(list.readAllStandardOutput()).count(u'\n'), 17)
        << "the font is listed many times";
    QString printed;
    EXPECT_TRUE(passInChild("FontCostsChild.ScriptsOfAUsersFonts", QStringLiteral("users-fonts"), environment,
                            &printed))
        << printed.right(3000).toStdString();
}

// Where a user's folder holds many fonts that claim every character (or every one of the scripts
// Qt shapes only with a fit font) and are fit for none, listed before the system's, the fonts read
// to learn whether one is fit were those alone, and Syriac, Devanagari and Khmer names showed "…"
// where Qt draws them with their Noto fonts. Past the files it reads, what draws the script is
// learnt by laying it out.
TEST(FontCosts, ManyUsersFontsOfEveryCharacterHideNoScript) {
    QTemporaryDir dir;
    const QString folder = usersFontsFolder(dir);
    ASSERT_FALSE(folder.isEmpty());
    const QString source = test::fontFileOf(QStringLiteral("Noto Sans Lycian"));
    // Fonts of the letters of the names alone have fewer characters than any script's own font.
    test::madefonts::CodePoints letters;
    for (const auto& [letter, name] : scriptsQtShapesWithAFitFont()) {
        for (const char32_t c : name.toUcs4()) {
            letters.emplace_back(c, c);
        }
    }
    std::sort(letters.begin(), letters.end());
    letters.erase(std::unique(letters.begin(), letters.end()), letters.end());
    for (int i = 0; i < 150; ++i) {
        const QString family = QStringLiteral("Velmora Claims All %1").arg(i);
        ASSERT_TRUE(test::writeFontOfEveryCodePoint(
            source, family, 0, QDir(folder).filePath(family + QStringLiteral(".ttf")),
            i % 3 == 0 ? test::madefonts::CodePoints{{0, 0x10FFFF}} : letters))
            << source.toStdString();
    }
    QString printed;
    EXPECT_TRUE(passInChild("FontCostsChild.ScriptsOfAUsersFonts", QStringLiteral("users-fonts"),
                            test::withUserFonts(dir.path(), folder), &printed))
        << printed.right(3000).toStdString();
}

namespace {

// What a fresh process shows of names, lines, tooltips and descriptions whose fonts it finds as
// it shows them, one line each.
QStringList shownInAFreshProcess() {
    const QStringList names{QStringLiteral("\u00DCberpr\u00FCfung \u8A2A \u05E9\u05DC\u05D5\u05DD \U0001F600 e\u0301 \u2014 a  b"),
                            QStringLiteral("Deploy \U0001F680 the release"),
                            test::reactions().repeated(3),
                            QStringLiteral("\U0001F680").repeated(120),
                            QStringLiteral("\u4E2D\u6587\u540D\u5B57 \uD55C\uAD6D\uC5B4 \u0E44\u0E17\u0E22 \u0F56\u0F7C\u0F51"),
                            QStringLiteral("\u3164 \u115F \uFFA0 ").repeated(40)};
    QStringList shown;
    FontCosts& fonts = FontCosts::ofThisProcess();
    for (const QString& name : names) {
        const QString plain = plainName(name);
        shown << plain << OutsideLines::cut(QGuiApplication::font(), plain, 320, fonts)
              << OutsideToolTip::shownText(name, QGuiApplication::font(), fonts);
    }
    for (const auto& [name, text] : test::desktopFontText()) {
        if (name.contains(QStringLiteral("emoji")) || name.contains(QStringLiteral("han")) ||
            name.contains(QStringLiteral("korean")) || name.contains(QStringLiteral("symbols")) ||
            name == QStringLiteral("rockets") || name == QStringLiteral("thai-with-english")) {
            shown << name + u' ' +
                         QString::fromLatin1(QCryptographicHash::hash(boundOutsideHtml(text).toUtf8(),
                                                                      QCryptographicHash::Sha1)
                                                 .toHex());
        }
    }
    return shown;
}

} // namespace

TEST(FontCostsChild, PrintsWhatShows) {
    if (qEnvironmentVariable(fontCase) != QStringLiteral("shown")) {
        GTEST_SKIP() << "runs only inside FontCosts.WhatShowsIsTheSameOnAQuietMachineAndABusyOne";
    }
    for (const QString& line : shownInAFreshProcess()) {
        std::printf("shown: %s\n", line.toUtf8().constData());
    }
    std::fflush(stdout);
}

// What a text shows depends on its fonts, never on how busy the machine is: a price learnt by
// timing a font's first use, on a busy machine, cut the ordinary name "Überprüfung 訪 שלום 😀 é —
// a  b" before its emoji for the rest of the process, and a tooltip lost its rocket. The same
// names, lines, tooltips and descriptions, each first met in a fresh process, show the same on
// this machine as it is and beside three busy loops a core.
TEST(FontCosts, WhatShowsIsTheSameOnAQuietMachineAndABusyOne) {
    auto shown = [] {
        QString printed;
        EXPECT_TRUE(passInChild("FontCostsChild.PrintsWhatShows", QStringLiteral("shown"),
                                QProcessEnvironment::systemEnvironment(), &printed))
            << printed.right(3000).toStdString();
        QStringList lines = printed.split(u'\n');
        lines.removeIf([](const QString& line) { return !line.startsWith(QStringLiteral("shown: ")); });
        return lines;
    };
    const QStringList quiet = shown();
    ASSERT_FALSE(quiet.isEmpty());
    std::atomic<bool> busy{true};
    std::vector<std::thread> loops;
    for (unsigned i = 0; i < 3 * std::max(1u, std::thread::hardware_concurrency()); ++i) {
        loops.emplace_back([&busy] {
            volatile std::uint64_t spin = 0;
            while (busy.load(std::memory_order_relaxed)) {
                spin = spin + 1;
            }
        });
    }
    const QStringList loaded = shown();
    busy = false;
    for (std::thread& loop : loops) {
        loop.join();
    }
    ASSERT_EQ(quiet.size(), loaded.size());
    for (qsizetype i = 0; i < quiet.size(); ++i) {
        EXPECT_EQ(quiet[i].toStdString(), loaded[i].toStdString());
    }
}

namespace {

// Names whose fonts a process meets first in a row: each new picture or mathematical letter is a
// font to find.
const QStringList firstRowNames{
    QStringLiteral("Launch \U0001F389 party for the new release"),
    QStringLiteral("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EE\U0001F1F9"
                   "\U0001F1EA\U0001F1F8\U0001F1EC\U0001F1E7"),
    QStringLiteral("\U0001D509\U0001D526\U0001D535 \U0001D531\U0001D525\U0001D522 "
                   "\U0001D529\U0001D52C\U0001D524\U0001D526\U0001D52B")};

// A page of rows, each a name drawn through lines kept across paints.
class RowsPage final : public QWidget {
public:
    OutsideLines lines;
    QStringList shown;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        shown.clear();
        for (int i = 0; i < firstRowNames.size(); ++i) {
            const auto line = lines.line(font(), firstRowNames[i], 260);
            OutsideLines::draw(painter, *line, QRectF(0, 30 * i, 260, 30));
            shown << line->layout.text();
        }
    }
};

} // namespace

TEST(FontCostsChild, FirstRows) {
    if (qEnvironmentVariable(fontCase) != QStringLiteral("first-rows")) {
        GTEST_SKIP() << "runs only inside FontCosts.AFirstRowShowsWhatFitsOnceItsFontsHaveLoaded";
    }
    RowsPage page;
    page.resize(300, 100);
    page.show();
    EXPECT_TRUE(test::waitUntil([&] { return page.shown.value(2) == firstRowNames[2]; }, 10000))
        << page.shown.join(u'|').toStdString();
    for (int i = 0; i < firstRowNames.size(); ++i) {
        EXPECT_EQ(page.shown.value(i).toStdString(),
                  OutsideLines().line(page.font(), firstRowNames[i], 260)->layout.text().toStdString());
    }
}

// A row that needs fonts the process has not loaded is cut where its budget for loading them ends,
// and was kept so: the first mathematical name showed "𝔉𝔦…" in 260 px and a row of flags one flag,
// where once their fonts had loaded they showed whole. Laid out again as they load, each shows what
// fits.
TEST(FontCosts, AFirstRowShowsWhatFitsOnceItsFontsHaveLoaded) {
    QString printed;
    EXPECT_TRUE(passInChild("FontCostsChild.FirstRows", QStringLiteral("first-rows"),
                            QProcessEnvironment::systemEnvironment(), &printed))
        << printed.right(3000).toStdString();
}
