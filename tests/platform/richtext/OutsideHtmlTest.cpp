#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "tests/support/DesktopText.h"
#include "tests/support/MarksPerLetter.h"
#include "tests/support/TestData.h"
#include "tests/support/TextLayoutCost.h"
#include "tests/support/ThreadCpuClock.h"

#include <QAbstractTextDocumentLayout>
#include <QRegularExpression>
#include <QSet>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

using namespace velmora;

using test::layoutMilliseconds;
using test::nestedTables;

// the row they lack.
TEST(OutsideHtml, CellsOutsideRowsLayOutAtOnce) {
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("<table><td>a</td></table>")),
              QStringLiteral("<table><tr><td>a</td></tr></table>"));
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><td>b<td>c</table>")),
        QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><tr><td>b</td><td>c</td></tr></table>"));
    // A cell or row inside something that is not its table part is shown flat.
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<table><tr><td>a</td></tr><tr><div><td>b</td></div></tr></table>")),
        QStringLiteral("<table><tr><td>a</td></tr><tr><div> b</div></tr></table><p>") +
            outsideHtmlFlattenedNote() + QStringLiteral("</p>"));

    for (const QString& stray :
         {QStringLiteral("<table><tr><td>a</td></tr><td>x</td></table> y "),
          QStringLiteral("<table><td>x</td></table> y "),
          QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><td>x</td></table> ")}) {
        OutsideTextDocument document;
        document.setOutsideHtml(stray.repeated(10));
        EXPECT_LT(layoutMilliseconds(document), test::cpuBudget(200)) << stray.toStdString();
    }
}

// What makes Qt's layout slow or large is bounded; what a description says is kept.
TEST(OutsideHtml, KeepsTheTextAndBoundsTheMarkup) {
    const QString plain =
        QStringLiteral("<p>Steps:</p><ol><li>Open <a href=\"https://x.example/a?b=1&amp;c=2\">"
                       "the page</a></li><li><b>Click</b></li></ol>"
                       "<table><tr><td colspan=\"2\">A</td></tr><tr><td>B</td><td>C</td></tr>"
                       "</table>");
    const QString kept = boundOutsideHtml(plain);
    EXPECT_EQ(kept, plain) << "well-formed presentation markup passes as it is";

    // Flattened past three tables: the text stays, the note says so.
    const QString flat = boundOutsideHtml(nestedTables(5));
    EXPECT_EQ(flat.count(QStringLiteral("<table>")), 3);
    EXPECT_EQ(flat.count(QStringLiteral("<table>")), flat.count(QStringLiteral("</table>")));
    EXPECT_TRUE(flat.contains(QStringLiteral("x")));
    EXPECT_TRUE(flat.endsWith(QStringLiteral("<p>") + outsideHtmlFlattenedNote() + QStringLiteral("</p>")));

    // Cut past the text limit, with the note at the end.
    OutsideHtmlLimits small;
    small.maxText = 10;
    const QString cut = boundOutsideHtml(QStringLiteral("<p>0123456789abcdef</p><p>more</p>"), small);
    EXPECT_EQ(cut,
              QStringLiteral("<p>0123456789</p><p>") + outsideHtmlShortenedNote() + QStringLiteral("</p>"));
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("<b>12345678&amp;x</b>"), small),
              QStringLiteral("<b>12345678</b><p>") + outsideHtmlShortenedNote() + QStringLiteral("</p>"))
        << "an entity is not cut in half";

    // Spans and sizes are clamped; images, scripts, styles, comments, unknown elements
    // and other attributes go; quotes in values cannot open new attributes.
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("<table cellpadding=\"99999\"><tr><td colspan=\"100000\" "
                                              "rowspan=99999999999 width=\"100000\">a</td><td>b</td></tr>"
                                              "<tr><td>c</td><td>d</td></tr></table>")),
              QStringLiteral("<table cellpadding=\"%1\"><tr><td colspan=\"2\" rowspan=\"2\" width=\"4000\">a"
                             "</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>")
                  .arg(OutsideHtmlLimits{}.maxLength));
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<img src=\"/dev/zero\"><script>alert(1)</script><style>p{}</style>"
                                        "<!-- <table> --><section onclick=\"x\">s</section>"
                                        "<a href='x\" onclick=\"y' id=z>l</a>")),
        QStringLiteral("s<a href=\"x&quot; onclick=&quot;y\">l</a>"));

    // Text that only looks like markup stays text.
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a < b > c <3 <<p>d")),
              QStringLiteral("a &lt; b &gt; c &lt;3 &lt;<p>d</p>"));
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a <b title=\"never ends")), QStringLiteral("a "));
    // Items and cells left open end at the next one instead of nesting.
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<ul><li>a<li>b</ul><table><tr><td>1<td>2<tr><td>3</table>")),
        QStringLiteral("<ul><li>a</li><li>b</li></ul><table><tr><td>1</td><td>2</td></tr><tr><td>3</td></tr>"
                       "</table>"));
}

// size looked at take well under a second, and their result lays out at once.
TEST(OutsideHtml, HostileFragmentsAreBoundedQuickly) {
    const qsizetype size = OutsideHtmlLimits{}.maxSource;
    const QStringList hostile = {
        QStringLiteral("<div>").repeated(size / 5),
        QStringLiteral("<x>").repeated(300) + QStringLiteral("</y>").repeated(size / 4),
        QStringLiteral("<ul>") + QStringLiteral("<x>").repeated(300) +
            QStringLiteral("<li>").repeated(size / 4),
        QStringLiteral("<td>x").repeated(size / 5),
        QStringLiteral("<table><tr><td>x").repeated(size / 16),
        QStringLiteral("<br>").repeated(size / 4),
        QStringLiteral("<a b=\"").repeated(size / 6),
        QStringLiteral("<").repeated(size),
        QStringLiteral("<p>") + QStringLiteral("x ").repeated(size),
    };
    for (const QString& html : hostile) {
        test::ThreadCpuClock clock;
        const QString bounded = boundOutsideHtml(html);
        EXPECT_LT(clock.elapsed(), test::cpuBudget(1000)) << html.left(20).toStdString();
        OutsideTextDocument document;
        document.setHtml(bounded);
        EXPECT_LT(layoutMilliseconds(document), test::cpuBudget(1000)) << html.left(20).toStdString();
    }
}

namespace {

int gridCells(QTextFrame* frame) {
    int cells = 0;
    if (auto* table = qobject_cast<QTextTable*>(frame)) {
        cells += table->rows() * table->columns();
    }
    for (QTextFrame* child : frame->childFrames()) {
        cells += gridCells(child);
    }
    return cells;
}

// The cells of all the grids the fragment's tables make, as Qt builds them.
int gridCells(const QString& bounded) {
    QTextDocument document;
    document.setHtml(bounded);
    return gridCells(document.rootFrame());
}

} // namespace

// A style keeps what a description's text needs, with every length a few lines high
// at most: Qt lays out a margin, padding, indent or line height of any size, and a
// hundred paragraphs 100,000 px apart took minutes.
TEST(OutsideHtml, StylesKeepOnlyWhatTextNeedsWithinAFewLines) {
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("<p style=\"margin:100000px\">a</p>")),
              QStringLiteral("<p>a</p>"));
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral(
            "<span style=\"color: #c00; background-color: yellow; font-weight: bold; "
            "font-style: italic; text-decoration: underline line-through; font-size: large\">x</span>"
            "<p style=\"TEXT-ALIGN: center\">y</p>")),
        QStringLiteral("<span style=\"color:#c00;background-color:yellow;font-weight:bold;"
                       "font-style:italic;text-decoration:underline line-through;font-size:large\">x</span>"
                       "<p style=\"text-align:center\">y</p>"));
    // Everything else goes, and so does a value that is not one of its kind.
    for (const char* dropped :
         {"line-height:100000px", "text-indent:100000px", "padding:100000px", "margin-top:9999px",
          "-qt-block-indent:100000", "-qt-list-indent:100000", "white-space:pre", "width:100000px",
          "height:100000px", "font-family:a,b,c", "background-image:url(/dev/zero)",
          "background:url(/dev/zero)", "color:url(/dev/zero)", "font-weight:100000", "display:none",
          "font-size:50em", "border-width:100000px", "list-style-type:upper-roman"}) {
        EXPECT_EQ(boundOutsideHtml(QStringLiteral("<p style=\"%1\">a</p>").arg(QLatin1String(dropped))),
                  QStringLiteral("<p>a</p>"))
            << dropped;
    }
    // Sizes, weights and italics keep to a few steps: Qt loads each font a text uses again for
    // each size, weight and slant.
    for (const auto& [given, kept] : std::initializer_list<std::pair<const char*, const char*>>{
             {"font-size:100000px", "font-size:x-large"},
             {"font-size:0.1px", "font-size:small"},
             {"font-size:900pt", "font-size:x-large"},
             {"font-size:13px", "font-size:medium"},
             {"font-size:16px", "font-size:large"},
             {"font-size:xx-small", "font-size:small"},
             {"font-size:larger", "font-size:large"},
             {"font-weight:600", "font-weight:bold"},
             {"font-weight:bolder", "font-weight:bold"},
             {"font-weight:300", "font-weight:normal"},
             {"font-style:oblique", "font-style:italic"}}) {
        EXPECT_EQ(boundOutsideHtml(QStringLiteral("<span style=\"%1\">a</span>").arg(QLatin1String(given))),
                  QStringLiteral("<span style=\"%1\">a</span>").arg(QLatin1String(kept)))
            << given;
    }
    for (const auto& [given, kept] : std::initializer_list<std::pair<const char*, const char*>>{
             {"7", "5"}, {"1", "2"}, {"+4", "5"}, {"-1", "2"}, {"4", "4"}}) {
        EXPECT_EQ(boundOutsideHtml(QStringLiteral("<font size=\"%1\">a</font>").arg(QLatin1String(given))),
                  QStringLiteral("<font size=\"%1\">a</font>").arg(QLatin1String(kept)))
            << given;
    }
    // Lengths in attributes too: a few lines at most.
    const int lines = OutsideHtmlLimits{}.maxLength;
    EXPECT_LE(lines, 64);
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<table cellpadding=\"99999\" cellspacing=\"99999\" border=\"99999\">"
                                        "<tr><td height=\"99999\">a</td></tr></table>")),
        QStringLiteral("<table cellpadding=\"%1\" cellspacing=\"%1\" border=\"%1\"><tr><td height=\"%1\">a"
                       "</td></tr></table>")
            .arg(lines));
}

// A span reaches no further than the rows and columns its table has, and a table makes
// no larger a grid than the bound: Qt builds every cell of the grid, so twenty rows of
// three cells spanning 64 × 64 took seconds, and six hundred took most of a gigabyte.
TEST(OutsideHtml, TableSpansStayInsideTheGridThatExists) {
    EXPECT_EQ(
        boundOutsideHtml(
            QStringLiteral("<table><tr><td rowspan=\"9\">a</td><td>b</td></tr><tr><td>c</td></tr></table>")),
        QStringLiteral("<table><tr><td rowspan=\"2\">a</td><td>b</td></tr><tr><td>c</td></tr></table>"));
    EXPECT_EQ(
        boundOutsideHtml(
            QStringLiteral("<table><tr><td colspan=\"9\">a</td></tr><tr><td>b</td><td>c</td></tr></table>")),
        QStringLiteral("<table><tr><td colspan=\"2\">a</td></tr><tr><td>b</td><td>c</td></tr></table>"));
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<table><tr><td>a</td><td rowspan=\"2\" colspan=\"5\">b</td></tr>"
                                        "<tr><td>c</td></tr></table>")),
        QStringLiteral("<table><tr><td>a</td><td rowspan=\"2\">b</td></tr><tr><td>c</td></tr></table>"))
        << "a span that is cut to one is left out";

    const int cells = OutsideHtmlLimits{}.maxTableCells;
    const QString spans = QStringLiteral("<td colspan=64 rowspan=64>x</td>").repeated(3);
    for (const QString& table :
         {QStringLiteral("<table>") +
              (QStringLiteral("<tr>") + spans + QStringLiteral("</tr>")).repeated(20) +
              QStringLiteral("</table>"),
          QStringLiteral("<table>") +
              (QStringLiteral("<tr>") + spans + QStringLiteral("</tr>")).repeated(600) +
              QStringLiteral("</table>"),
          QStringLiteral("<table>") + QStringLiteral("<tr><td>x</td></tr>").repeated(900) +
              QStringLiteral("<tr>") + QStringLiteral("<td>y</td>").repeated(900) +
              QStringLiteral("</tr></table>"),
          QStringLiteral("<table><tr>") + QStringLiteral("<td rowspan=64>x</td>").repeated(1500) +
              QStringLiteral("</tr>") + QStringLiteral("<tr><td>y</td></tr>").repeated(60) +
              QStringLiteral("</table>"),
          // The bound is the fragment's, over all its tables, nested or side by side.
          (QStringLiteral("<table>") +
           (QStringLiteral("<tr>") + QStringLiteral("<td>x</td>").repeated(20) + QStringLiteral("</tr>"))
               .repeated(20) +
           QStringLiteral("</table>"))
              .repeated(4),
          QStringLiteral("<table><tr><td>") +
              (QStringLiteral("<table>") + QStringLiteral("<tr><td>x</td><td>y</td></tr>").repeated(200) +
               QStringLiteral("</table>"))
                  .repeated(4) +
              QStringLiteral("</td></tr></table>")}) {
        const int grid = gridCells(boundOutsideHtml(table));
        EXPECT_GT(grid, 0) << table.left(60).toStdString();
        EXPECT_LE(grid, cells) << table.left(60).toStdString();
    }
}

// A letter carries a few combining marks at most, whether written as characters or as
// character references: Qt shapes one letter with 20,000 marks for over a second.
TEST(OutsideHtml, ALetterCarriesAFewCombiningMarks) {
    const int marks = OutsideHtmlLimits{}.maxMarks;
    EXPECT_GE(marks, 2);
    EXPECT_LE(marks, 8);
    const QString acute(QChar(0x0301));
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + acute.repeated(5000) + QStringLiteral("b") + acute),
              QStringLiteral("a") + acute.repeated(marks) + QStringLiteral("b") + acute);
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + QStringLiteral("&#769;&#x301;").repeated(100)),
              QStringLiteral("a") + acute.repeated(marks));
    // Marks outside the basic plane count the same.
    const QString musical = QString::fromUcs4(U"\U0001D167");
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("x") + musical.repeated(50)),
              QStringLiteral("x") + musical.repeated(marks));
    // Text that is no mark passes as it was.
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("caf\u00e9 &amp; &#65;&lt;")),
              QStringLiteral("caf\u00e9 &amp; A&lt;"));
}

// What takes no room between a letter's marks (joiners, zero-width spaces, direction
// marks, the soft hyphen) starts no new letter: Qt's shaper looks past each of them for
// the letter a mark sits on, and "a" with 10,000 marks and a joiner after each took it
// over 700 ms. Once a letter has its marks, further ones and what stands between them
// are left out, whether written as characters or as references.
TEST(OutsideHtml, MarksCountPerLetterWhateverStandsBetweenThem) {
    const int marks = OutsideHtmlLimits{}.maxMarks;
    const QString acute(QChar(0x0301));
    for (const char16_t between :
         {u'\u200C', u'\u200D', u'\u200B', u'\u2060', u'\u00AD', u'\u200E', u'\uFEFF'}) {
        const QString joined = (acute + QChar(between)).repeated(marks - 1) + acute;
        EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + (acute + QChar(between)).repeated(1000) +
                                   QStringLiteral("b")),
                  QStringLiteral("a") + joined + QStringLiteral("b"))
            << "between the marks: U+" << QString::number(between, 16).toStdString();
    }
    const QString zwnj(QChar(0x200C));
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + QStringLiteral("&#x301;&zwnj;").repeated(100)),
              QStringLiteral("a") + (acute + zwnj).repeated(marks - 1) + acute);
    // A letter keeps a few of what takes no room, between its marks or not.
    const QString noRoom = QStringLiteral("\u200D\u00AD\u200E").repeated(marks).left(marks);
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + QStringLiteral("&#769;&#8205;&shy;&lrm;").repeated(100)),
              QStringLiteral("a") + acute + noRoom.left(3) + acute + noRoom.mid(3) +
                  acute.repeated(marks - 2) + QStringLiteral("<p>") + outsideHtmlShortenedNote() +
                  QStringLiteral("</p>"));
    // Marks split by markup still sit on one letter.
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + (acute + QStringLiteral("<b></b>")).repeated(10)),
              QStringLiteral("a") + (acute + QStringLiteral("<b></b>")).repeated(marks) +
                  QStringLiteral("<b></b>").repeated(10 - marks));
    // Joiners where a text needs them stay: between letters, in words that join or
    // part letters, and in sequences of pictures.
    for (const QString& text :
         {QStringLiteral("\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"),
          QStringLiteral("\u0915\u094D\u200D\u0937"),
          QString::fromUcs4(U"\U0001F469\u200D\U0001F4BB x\u0301\u200C\u0302\u200D\u0303 y"),
          QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F")}) {
        EXPECT_EQ(boundOutsideHtml(text), text);
    }
}

namespace {

QString alternating(char32_t first, char32_t second, int length) {
    QString word;
    for (int i = 0; i < length; ++i) {
        const char32_t c = i % 2 == 0 ? first : second;
        word += QString::fromUcs4(&c, 1);
    }
    return word;
}

QString withShortenedNote(const QString& html) {
    return html + QStringLiteral("<p>") + outsideHtmlShortenedNote() + QStringLiteral("</p>");
}

} // namespace

// A letter keeps a few characters that take no room after it whether it carries marks or not,
// written as characters or as references: "\u0915" with 20,000 non-joiners after it took the
// description view 1.8 s, Malayalam with joiners as long, word joiners and zero-width spaces a
// third of that. What is left out is said to be.
TEST(OutsideHtml, ALetterKeepsAFewCharactersThatTakeNoRoomWithOrWithoutMarks) {
    const int most = OutsideHtmlLimits{}.maxMarks;
    for (const auto& [letter, noRoom] : {std::pair{QStringLiteral("\u0915"), QStringLiteral("\u200C")},
                                         std::pair{QStringLiteral("\u0D2E"), QStringLiteral("\u200D")},
                                         std::pair{QStringLiteral("\u0915"), QStringLiteral("\u2060")},
                                         std::pair{QStringLiteral("\u0915"), QStringLiteral("\u200B")},
                                         std::pair{QStringLiteral("a\u0301"), QStringLiteral("\u200C")}}) {
        EXPECT_EQ(boundOutsideHtml(letter + noRoom.repeated(10000) + QStringLiteral(" next")),
                  withShortenedNote(letter + noRoom.repeated(most) + QStringLiteral(" next")))
            << noRoom.toStdString();
    }
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("\u0915") + QStringLiteral("&zwnj;").repeated(1000)),
              withShortenedNote(QStringLiteral("\u0915") + QStringLiteral("\u200C").repeated(most)));
    // Joined words and sequences keep their joiners, a region's flag its tags.
    const QString joined =
        QString::fromUcs4(U"\U0001F469\u200D\U0001F4BB \U0001F3F4\U000E0067\U000E0062\U000E0065"
                          U"\U000E006E\U000E0067\U000E007F \u0DC1\u0DCA\u200D\u0DBB\u0DD3");
    EXPECT_EQ(boundOutsideHtml(joined), joined);
}

// Code points newer than Qt's Unicode draw (a font that knows them, or a box): each is a letter
// with its own few marks, not something that takes no room after the letter before it.
TEST(OutsideHtml, NewerCodePointsAreLettersWithTheirOwnMarks) {
    for (const char32_t c : test::newerLetters()) {
        const QString marked = (QString::fromUcs4(&c, 1) + QStringLiteral("\u0301\u0302")).repeated(20);
        EXPECT_EQ(boundOutsideHtml(marked), marked) << QString::number(c, 16).toStdString();
    }
}

// A word holds a few runs of one script and direction: Qt lays one word changing script at
// every character out in seconds (Latin and Greek, Thai and Devanagari, Arabic and Malayalam)
// or changing direction (Hebrew and digits). Past the runs it may hold, the rest of the word is
// cut and said to be; what follows the word stays. Text that changes script between words,
// between characters a line may break at (Han and kana), or in blocks of its own is whole.
TEST(OutsideHtml, AWordHoldsAFewRunsOfOneScriptAndDirection) {
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    EXPECT_GE(runs, 8);
    // Far below what costs Qt: a word of 128 runs lays out as fast as one of 8.
    EXPECT_LE(runs, 128);
    for (const auto& [first, second] :
         {std::pair<char32_t, char32_t>{U'a', 0x03B1}, {0x0E01, 0x0915}, {0x0628, 0x0D2E}, {0x05D0, U'1'}}) {
        const QString word = alternating(first, second, 10000);
        EXPECT_EQ(boundOutsideHtml(word + QStringLiteral(" end")),
                  withShortenedNote(word.left(runs + 1) + QStringLiteral(" end")))
            << QString::number(first, 16).toStdString();
    }
    // Direction controls change direction each.
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("a\u202Bb\u202C").repeated(100)),
              withShortenedNote(QStringLiteral("a\u202Bb\u202C").repeated(100).left(2 * runs + 1)));
    // Inline markup parts no word: ten runs in each piece and one more into its bold letter.
    const QString piece = alternating(U'a', 0x03B1, 10) + QStringLiteral("<b>b</b>");
    const QString shown = QTextDocumentFragment::fromHtml(boundOutsideHtml(piece.repeated(20))).toPlainText();
    const int wholePieces = runs / 10;
    EXPECT_EQ(shown, (alternating(U'a', 0x03B1, 10) + QStringLiteral("b")).repeated(wholePieces) +
                         alternating(U'a', 0x03B1, runs - 10 * wholePieces + 1) + QStringLiteral("\n") +
                         outsideHtmlShortenedNote());

    // What costs Qt is bounded apart (the tests of font costs below); here the costs are those measured
    // on a desktop with a CJK font, not learnt from how busy this machine is.
    OutsideHtmlLimits measuredCosts;
    measuredCosts.fonts = &FontCosts::measured(true);
    for (const QString& whole :
         {QStringLiteral("a\u03B1 ").repeated(5000),
          QStringLiteral("日本語のテキストとカタカナです。").repeated(150),
          QStringLiteral("<p>") + alternating(0x0628, 0x0D2E, runs + 1) + QStringLiteral("</p>"),
          (QStringLiteral("<li>") + alternating(U'a', 0x03B1, runs + 1) + QStringLiteral("</li>"))
              .repeated(50),
          (alternating(U'a', 0x03B1, runs + 1) + QStringLiteral("<br>")).repeated(50),
          QStringLiteral("שלום 123 world עולם 456 ").repeated(500)}) {
        const QString bounded = boundOutsideHtml(whole, measuredCosts);
        EXPECT_FALSE(bounded.contains(outsideHtmlShortenedNote())) << whole.left(40).toStdString();
        EXPECT_EQ(QTextDocumentFragment::fromHtml(bounded).toPlainText(),
                  QTextDocumentFragment::fromHtml(whole).toPlainText())
            << whole.left(40).toStdString();
    }
}

// Digits take the direction of the letters before them: after right-to-left letters they are a run
// of their own (Qt shapes "\u05D0" "1" "a" as three), a number run that Arabic-Indic digits after
// them carry on (after Arabic letters both are Arabic numbers, as the bidirectional rules read
// them), and after Latin ones part of its run (a word of letters and digits, as a hash or a code,
// is one run and shows whole).
TEST(OutsideHtml, DigitsAfterRightToLeftTextAreARunOfTheirOwnAndAfterLatinNone) {
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    const QString triples = QStringLiteral("\u05D01a").repeated(200);
    // Every character but the first starts a run.
    EXPECT_EQ(boundOutsideHtml(triples + QStringLiteral(" end")),
              withShortenedNote(triples.left(runs + 1) + QStringLiteral(" end")));
    // Arabic-Indic digits are a number run of their own after Arabic letters too.
    const QString arabicDigits = QStringLiteral("\u0628\u0663").repeated(200);
    EXPECT_EQ(boundOutsideHtml(arabicDigits + QStringLiteral(" end")),
              withShortenedNote(arabicDigits.left(runs + 1) + QStringLiteral(" end")));
    // A letter, then a run of both digits: two runs a triple, the first letter's counted as none.
    const QString numbers = QStringLiteral("\u06281\u0663").repeated(200);
    EXPECT_EQ(boundOutsideHtml(numbers + QStringLiteral(" end")),
              withShortenedNote(numbers.left(3 * (runs / 2) + 1) + QStringLiteral(" end")));
    const QString latin = QStringLiteral("a1").repeated(2 * runs);
    EXPECT_EQ(boundOutsideHtml(latin + QStringLiteral(" end")), latin + QStringLiteral(" end"));
}

// Marks between code points that take no room though Qt names none of them a format character
// (unassigned ones, those of the default-ignorable stretches, the Hangul fillers) count on the
// letter before them too: "a" with 50,000 marks and U+2065 after each took the description view
// 1.4 s. Written as characters or as references, alike. Private use takes room: each such
// character carries its own marks.
TEST(OutsideHtml, MarksBetweenWhatTakesNoRoomStayAFewPerLetter) {
    const int marks = OutsideHtmlLimits{}.maxMarks;
    const QString acute(QChar(0x0301));
    for (const char32_t c : test::charactersThatTakeNoRoom()) {
        const QString between = QString::fromUcs4(&c, 1);
        const QString expected =
            QStringLiteral("a") + (acute + between).repeated(marks - 1) + acute + QStringLiteral("b");
        for (const QString& written : {between, QStringLiteral("&#x%1;").arg(static_cast<uint>(c), 0, 16),
                                       QStringLiteral("&#%1;").arg(static_cast<uint>(c))}) {
            EXPECT_EQ(boundOutsideHtml(QStringLiteral("a") + (acute + written).repeated(1000) +
                                       QStringLiteral("b")),
                      expected)
                << "between the marks: " << written.toStdString() << " U+"
                << QString::number(c, 16).toStdString();
        }
    }
    for (const char32_t c : {char32_t(0xE000), char32_t(0xF0000)}) {
        const QString letters = QStringLiteral("a") + (acute + QString::fromUcs4(&c, 1)).repeated(1000);
        EXPECT_EQ(boundOutsideHtml(letters), letters)
            << "private use U+" << QString::number(c, 16).toStdString();
    }
}

namespace {

// The text Qt shows for `html` as its own HTML reader reads it.
QString shownByQt(const QString& html) {
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

} // namespace

// The bounding reads a reference as Qt's reader does, so that what it counts is what Qt draws:
// signed and prefixed numbers, leading zeros up to Qt's length of eight characters, the
// Windows-1252 characters of 128 to 159; and what Qt leaves as text stays text. References
// Qt reads as no character (a nul, half a surrogate pair, past the last code point) are left out.
TEST(OutsideHtml, ReferencesAreReadAsQtReadsThem) {
    for (const char* reference :
         {"&#x301;", "&#X301;", "&#x+301;", "&#x0x301;", "&#X0X301;", "&#x+0x301;", "&#+769;", "&#0000769;",
          "&#+000769;", "&#x000301;", "&#x+00301;", "&#x0x0301;", "&#x1D167;", "&#119143;", "&#x+E0FFF;",
          "&#x0xFFF0;", "&#8293;", "&#65;", "&#128;", "&#150;", "&#x9F;", "&#129;", "&#x1F600;", "&zwnj;",
          "&zwj;", "&shy;", "&lrm;", "&rlm;", "&eacute;", "&nbsp;", "&amp;", "&lt;", "&gt;", "&quot;",
          // Left as text by Qt: too long, signed the wrong way, spaced, unended, not a number.
          "&#00000769;", "&#x0000301;", "&#x0x00301;", "&#x+000301;", "&#12345678;", "&#-769;", "&#x-301;",
          "&# 769;", "&#x 301;", "&#769 ;", "&#769", "&#x301", "&#0x301;", "&#+0x301;", "&#x0x+301;",
          "&#x00x301;", "&#+x301;", "&#x0x;", "&#x;", "&#;", "&#", "&", "&;", "&zwnj", "&ZWNJ;", "&wj;",
          "&ZeroWidthSpace;", "&unknown;", "&#x٣٠١;", "&#769&#x301;", "&&#x301;", "&#x&#x301;"}) {
        const QString html = QStringLiteral("x") + QString::fromUtf8(reference) + QStringLiteral("y");
        EXPECT_EQ(shownByQt(boundOutsideHtml(html)), shownByQt(html)) << reference;
    }
    for (const char* nothing : {"&#0;", "&#x0;", "&#x+0x0;", "&#xD800;", "&#56320;", "&#x110000;",
                                "&#1234567;", "&#xFFFFFF;", "&#9999999;"}) {
        EXPECT_EQ(shownByQt(boundOutsideHtml(QStringLiteral("x%1y").arg(QLatin1String(nothing)))),
                  QStringLiteral("xy"))
            << nothing;
    }

    // Marks in each of these forms count as marks: "&#x+301;" after each other let 2,500 of them
    // reach one letter.
    const int marks = OutsideHtmlLimits{}.maxMarks;
    const QString acute(QChar(0x0301));
    for (const char* mark : {"&#x+301;", "&#x0x301;", "&#+769;", "&#X0X301;", "&#x+0x301;", "&#0000769;",
                             "&#x000301;", "&#+000769;"}) {
        const QString bounded =
            boundOutsideHtml(QStringLiteral("a") + QString::fromUtf8(mark).repeated(1000));
        EXPECT_EQ(bounded, QStringLiteral("a") + acute.repeated(marks)) << mark;
        EXPECT_LE(test::mostMarksOnOneLetter(shownByQt(bounded)), marks) << mark;
    }
    // Nor do the parts of a reference that markup left out kept apart join into one (parted by
    // spaces, as one word of thousands of characters is cut for what it costs on its own).
    for (const QString& parted :
         {QStringLiteral("a") + (acute + QStringLiteral("&zw<foo>nj; ")).repeated(1000),
          QStringLiteral("a") + QStringLiteral("&#x3<foo></foo>01;").repeated(1000),
          QStringLiteral("a") + (acute + QStringLiteral("&#x20<img src=x>65; ")).repeated(1000),
          QStringLiteral("a") + QStringLiteral("&<!-- -->#x301;").repeated(1000)}) {
        const QString shown = shownByQt(boundOutsideHtml(parted));
        EXPECT_LE(test::mostMarksOnOneLetter(shown), marks) << parted.left(30).toStdString();
        EXPECT_EQ(shown.count(acute), parted.count(acute)) << parted.left(30).toStdString();
    }
}

// A skin-tone modifier alone, after no picture, draws apart as a swatch at half as much again as a
// picture (with one it is part of the picture's glyph): as many are kept as the budget buys at that.
TEST(OutsideHtml, ALoneSkinToneCostsHalfAsMuchAgainAsAPicture) {
    OutsideHtmlLimits limits;
    limits.fonts = &FontCosts::measured(false);
    const int picture = limits.fonts->cost(0x1F680).each;
    const QString swatch = QString::fromUcs4(U"\U0001F3FD");
    // Each with a space after it, which costs a Latin letter.
    const QString text = (swatch + u' ').repeated(1000);
    const QString shown = QTextDocumentFragment::fromHtml(boundOutsideHtml(text, limits)).toPlainText();
    EXPECT_EQ(shown.count(swatch), limits.maxShapingCost / (picture * 3 / 2 + 1));
    // After its picture it costs nothing more.
    const QString toned = (QString::fromUcs4(U"\U0001F44D") + swatch + u' ').repeated(1000);
    const QString tonedShown = QTextDocumentFragment::fromHtml(boundOutsideHtml(toned, limits)).toPlainText();
    EXPECT_EQ(tonedShown.count(swatch), limits.maxShapingCost / (picture + 1));
}

// Text from outside chooses no font: a face names none, nor does a style. Each new family cost Qt
// a font database search (two thousand faces took over a second), and a face may name a font that
// costs far more than the text's own: twenty thousand digits in the colour emoji font took a view
// a second, drawn as grey pictures of digits.
TEST(OutsideHtml, OutsideTextChoosesNoFont) {
    EXPECT_EQ(boundOutsideHtml(QStringLiteral("<font face=\"Sans, Serif, Mono\" color=\"red\">a</font>")),
              QStringLiteral("<font color=\"red\">a</font>"));
    EXPECT_EQ(boundOutsideHtml(
                  QStringLiteral("<span style=\"font-family: 'Noto Color Emoji'; color: red\">a</span>")),
              QStringLiteral("<span style=\"color:red\">a</span>"));
    QString many;
    for (int i = 0; i < 2000; ++i) {
        many += QStringLiteral("<font face=\"Face%1\">x</font>").arg(i);
    }
    const QString bounded = boundOutsideHtml(many);
    EXPECT_EQ(bounded.count(QStringLiteral("face=")), 0);
    EXPECT_EQ(bounded.count(QStringLiteral("<font")), 2000) << "the elements stay, without a face";

    // Read by Qt, the text is in the document's own font, whatever font it named.
    const QString digits = QStringLiteral("0123456789 ").repeated(1800);
    OutsideTextDocument document;
    document.setOutsideHtml(QStringLiteral("<font face=\"%1\">%2</font><p style=\"font-family: %1\">%2</p>")
                                .arg(test::colourEmojiFamily(), digits));
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            EXPECT_TRUE(it.fragment().charFormat().fontFamilies().toStringList().isEmpty())
                << it.fragment().charFormat().fontFamilies().toStringList().join(u',').toStdString();
        }
    }
    EXPECT_EQ(document.toPlainText().count(digits), 1) << "the face's text shows whole";
}

// A list counts from a small start: Qt measures every item's label, and lists numbered
// from 999,999 took half a second.
TEST(OutsideHtml, ListsStartFromASmallNumber) {
    const int start = OutsideHtmlLimits{}.maxListStart;
    EXPECT_LE(start, 10000);
    // Numbered in the items' text, as Qt numbers every list from 1.
    const QString bounded =
        boundOutsideHtml(QStringLiteral("<ol start=\"999999\"><li value=\"5000000\">a</li></ol>"));
    EXPECT_TRUE(bounded.startsWith(QStringLiteral("<ol start=\"%1\"").arg(start))) << bounded.toStdString();
    EXPECT_TRUE(bounded.contains(QStringLiteral("<li value=\"%1\"").arg(start))) << bounded.toStdString();
    EXPECT_TRUE(bounded.contains(QStringLiteral(">%1. a</li></ol>").arg(start))) << bounded.toStdString();
    EXPECT_TRUE(boundOutsideHtml(QStringLiteral("<ol start=\"3\"><li>a</li></ol>"))
                    .contains(QStringLiteral(">3. a</li>")));
}

// Elements nest no deeper than the depth limit; deeper tags are left out, their text
// kept, and the note says so.
TEST(OutsideHtml, ElementsNestNoDeeperThanTheDepthLimit) {
    EXPECT_EQ(OutsideHtmlLimits{}.maxDepth, 24);
    for (const char* name : {"div", "span", "blockquote", "ul"}) {
        const QString open = QStringLiteral("<%1>").arg(QLatin1String(name));
        const QString bounded = boundOutsideHtml(open.repeated(40) + QStringLiteral("x"));
        EXPECT_EQ(bounded.count(open), 24) << name;
        EXPECT_TRUE(bounded.contains(QStringLiteral("x")));
        EXPECT_TRUE(bounded.endsWith(outsideHtmlFlattenedNote() + QStringLiteral("</p>")));
        EXPECT_EQ(boundOutsideHtml(open.repeated(24) + QStringLiteral("x")).count(open), 24)
            << "up to the limit nothing is flattened";
    }
}

namespace {

// `html` shown by Qt whole after bounding: the same text, and no note of anything left out.
void expectWhole(const QString& html, const std::string& name, const OutsideHtmlLimits& limits = {}) {
    const QString bounded = boundOutsideHtml(html, limits);
    EXPECT_FALSE(bounded.contains(outsideHtmlShortenedNote())) << name;
    const QString shown = QTextDocumentFragment::fromHtml(bounded).toPlainText();
    const QString given = QTextDocumentFragment::fromHtml(html).toPlainText();
    // Compared whole, told by their lengths: a dump of 20,000 characters says nothing more.
    EXPECT_TRUE(shown == given) << name << ": shown " << shown.size() << " of " << given.size();
}

} // namespace

// A word is what a line may not break, as Qt's line breaking finds it: Thai, which parts no words
// with spaces, with English terms written inline as IT staff write them, shows whole ("Friday
// ก่อน Deploy" was cut away as the 17th term of one word); so does Thai whose words a zero-width
// space parts, and Lao, Khmer and Burmese written the same way, where Qt finds no break inside a
// phrase. A word changing script at every character is still cut.
TEST(OutsideHtml, AWordIsWhatALineMayNotBreak) {
    for (const auto& [name, text] :
         {std::pair{"Thai with English terms", test::thaiWithEnglishTerms()},
          std::pair{"Thai parted by zero-width spaces", test::thaiWithZeroWidthSpaces()},
          std::pair{"Lao with English terms", test::laoWithEnglishTerms()},
          std::pair{"Khmer with English terms", test::khmerWithEnglishTerms()},
          std::pair{"Burmese with English terms", test::burmeseWithEnglishTerms()}}) {
        expectWhole(text, name);
        expectWhole(QStringLiteral("<p>") + text + QStringLiteral(" ") + text + QStringLiteral("</p>"), name);
    }
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    const QString word = alternating(U'a', 0x03B1, 4 * runs);
    EXPECT_EQ(boundOutsideHtml(word + QStringLiteral(" end")),
              withShortenedNote(word.left(runs + 1) + QStringLiteral(" end")));
}

// A zero-width space ends a word: pieces of a few runs each, parted by it, are many short
// words, and a word cut for its runs resumes after it.
TEST(OutsideHtml, AZeroWidthSpaceEndsAWord) {
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    const QString piece = alternating(U'a', 0x03B1, 10);
    expectWhole((piece + QChar(0x200B)).repeated(2 * runs), "pieces parted by zero-width spaces");
    const QString word = alternating(U'a', 0x03B1, 4 * runs);
    EXPECT_EQ(boundOutsideHtml(word + QStringLiteral("\u200Bnext")),
              withShortenedNote(word.left(runs + 1) + QStringLiteral("\u200Bnext")));
}

// No letter carries more marks than the rule once a word is cut for its runs: the letter the cut
// left out is not the one that marks after the cut are counted on. Marks after it sat on the
// last letter kept, which then carried twice the rule.
TEST(OutsideHtml, NoLetterCarriesMoreMarksThanTheRuleAfterACut) {
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    const QString marks = QStringLiteral("\u0301\u0302\u0303\u0304\u0305\u0306\u0307\u0308");
    const QString word = alternating(U'a', 0x03B1, runs + 1);
    // The word's last letter kept is "a" with its marks; "β" would start one run more.
    const QString cut = word + marks + QStringLiteral("\u03B2\u200B") + marks + QStringLiteral(" end");
    const QString shown = QTextDocumentFragment::fromHtml(boundOutsideHtml(cut)).toPlainText();
    EXPECT_LE(test::mostMarksOnOneLetter(shown),
              LetterMarks::marksAllowed(U'a', OutsideHtmlLimits{}.maxMarks))
        << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral(" end")));
}

// Marks after the start of a block (or of a line, a cell, an item, or where markup left out parts
// words) sit on nothing before it: Qt shapes them as the block's first cluster, and reads a line
// break of its own there. Counted against the letter that ended the block before, an Arabic sign
// let five through where the block's own first cluster may carry four (the fuzz target stopped on
// it).
TEST(OutsideHtml, MarksAfterABlockStartCountAgainstThatBlock) {
    const int marks = OutsideHtmlLimits{}.maxMarks;
    const QString five = QStringLiteral("&#x301;&#x365;&#x305;&#x301;&#x301;");
    for (const QString& start :
         {QStringLiteral("<ul>"), QStringLiteral("<p>"), QStringLiteral("</p>"), QStringLiteral("<br>"),
          QStringLiteral("<li>"), QStringLiteral("<table><tr><td>"), QStringLiteral("<div>").repeated(30)}) {
        for (const QString& letter :
             {QStringLiteral("&#x603;"), QStringLiteral("\u0628"), QStringLiteral("a")}) {
            const QString html = QStringLiteral("<p>") + letter + start + five;
            OutsideTextDocument document;
            document.setOutsideHtml(html);
            EXPECT_FALSE(test::aLetterCarriesMoreMarksThanItsScriptNeeds(document.toPlainText(), marks))
                << html.toStdString();
        }
    }
    // Inline markup parts no letter from its marks.
    EXPECT_EQ(QTextDocumentFragment::fromHtml(
                  boundOutsideHtml(QStringLiteral("\u0628<b>") + five + QStringLiteral("</b>")))
                  .toPlainText(),
              QStringLiteral("\u0628\u0301\u0365\u0305\u0301\u0301"));
}

// A letter keeps the marks words of its script carry: Burmese "reduce" (လျှော့) five, Tibetan
// stacks, pointed Hebrew with a meteg and an accent five or more; a description cut them to four.
// A pile of marks on one letter is still cut, in those scripts too.
TEST(OutsideHtml, ALetterKeepsTheMarksItsScriptsWordsCarry) {
    for (const auto& [name, word] : test::wordsOfManyMarks()) {
        expectWhole(word + QStringLiteral(" ") + word, name.toStdString());
    }
    for (const QString& letter : {QStringLiteral("a"), QStringLiteral("\u1000"), QStringLiteral("\u0F40"),
                                  QStringLiteral("\u05E9")}) {
        const char32_t base = letter.at(0).unicode();
        const QString mark = QString(QChar(base == u'a'     ? 0x0301
                                           : base == 0x1000 ? 0x1037
                                           : base == 0x0F40 ? 0x0F71
                                                            : 0x05B8));
        const QString bounded = boundOutsideHtml(letter + mark.repeated(1000) + QStringLiteral(" x"));
        const int allowed = LetterMarks::marksAllowed(base, OutsideHtmlLimits{}.maxMarks);
        EXPECT_LE(allowed, 8);
        EXPECT_EQ(bounded, letter + mark.repeated(allowed) + QStringLiteral(" x")) << letter.toStdString();
    }
}

// Paragraph and line separators, as text or as references, and the line breaks of preformatted
// text are paragraphs and lines as the elements of a fragment are, and count against its bound of
// elements: 20,000 of them made a card 280,000 px tall that took 100 ms to size and paint.
TEST(OutsideHtml, ParagraphAndLineSeparatorsCountAsElements) {
    const int elements = OutsideHtmlLimits{}.maxElements;
    for (const QString& separators :
         {QStringLiteral("\u2029").repeated(20000), QStringLiteral("x\u2028").repeated(10000),
          QStringLiteral("&#x2029;").repeated(20000), QStringLiteral("&#8232;").repeated(20000),
          QStringLiteral("<p>a</p>").repeated(1500) + QStringLiteral("b\u2029").repeated(1500),
          QStringLiteral("<pre>") + QStringLiteral("x\n").repeated(10000) + QStringLiteral("</pre>"),
          QStringLiteral("<pre>") + QStringLiteral("\n").repeated(20000)}) {
        const QString bounded = boundOutsideHtml(separators);
        OutsideTextDocument document;
        document.setHtml(bounded);
        int lines = 0;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            lines += 1 + static_cast<int>(block.text().count(QChar(0x2028)));
        }
        EXPECT_LE(lines, elements + 2) << separators.left(20).toStdString();
        EXPECT_TRUE(bounded.contains(outsideHtmlFlattenedNote()) ||
                    bounded.contains(outsideHtmlShortenedNote()))
            << separators.left(20).toStdString();
    }
    // A few stay what they are.
    expectWhole(QStringLiteral("one\u2029two\u2028three &#x2029; four"), "a few separators");
    const QString preformatted = QStringLiteral("<pre>one\ntwo\n\nthree</pre>");
    EXPECT_EQ(boundOutsideHtml(preformatted), preformatted);
}

// The bound of a fragment is what laying it out costs, not only its characters: the pictures a
// colour emoji font draws (each far dearer to shape than a letter), scripts that cost more than
// Latin, variation selectors, format controls, runs. Reactions to the cap of text, a chain of
// joined emoji, flags, modifiers are cut, and said to be; a description of a few hundred emoji,
// a long Tibetan or Burmese text, a hundred thumbs in a sentence show whole. Told with the costs
// measured on a desktop's fonts, where no font draws Han and Hangul: what the fonts here cost is
// learnt, and what it lets through is held by the time it takes (DescriptionLayout).
TEST(OutsideHtml, TheBoundIsWhatLayingOutCosts) {
    // As where no font draws Han and Hangul: they cost the search of every fallback font.
    OutsideHtmlLimits noCjkFont;
    noCjkFont.fonts = &FontCosts::measured(false);
    for (const auto& [name, html] : test::desktopFontText()) {
        const bool ordinary = name == QStringLiteral("hundred-thumbs") ||
                              name == QStringLiteral("few-hundred-emoji") ||
                              name == QStringLiteral("thai-with-english");
        const bool dear = name == QStringLiteral("reactions") || name == QStringLiteral("emoji-modifiers") ||
                          name == QStringLiteral("toned-thumbs") || name == QStringLiteral("flag-letters") ||
                          name == QStringLiteral("tag-flags") || name == QStringLiteral("zwj-chain") ||
                          name == QStringLiteral("rockets") || name == QStringLiteral("korean") ||
                          name == QStringLiteral("han-variation-selectors") ||
                          name == QStringLiteral("hieroglyph-format-controls");
        if (ordinary) {
            expectWhole(html, name.toStdString(), noCjkFont);
        } else if (dear) {
            EXPECT_TRUE(boundOutsideHtml(html, noCjkFont).contains(outsideHtmlShortenedNote()))
                << name.toStdString();
        }
    }
    for (const auto& [name, text] :
         {std::pair{"Tibetan", test::tibetanText()}, std::pair{"Burmese", test::burmeseText()}}) {
        expectWhole(test::repeatedTo(text, 5000), name, noCjkFont);
    }
}

namespace {

// The limits with the costs measured on a desktop's fonts, with a CJK font or without one.
OutsideHtmlLimits drawnBy(bool cjkFont) {
    OutsideHtmlLimits limits;
    limits.fonts = &FontCosts::measured(cjkFont);
    return limits;
}

QString shown(const QString& html) {
    return QTextDocumentFragment::fromHtml(html).toPlainText();
}

// The letters of Han, kana and Hangul in `text`.
qsizetype cjkLetters(const QString& text) {
    qsizetype letters = 0;
    for (const char32_t c : text.toUcs4()) {
        const QChar::Script script = QChar::script(c);
        letters += script == QChar::Script_Han || script == QChar::Script_Hiragana ||
                           script == QChar::Script_Katakana || script == QChar::Script_Hangul
                       ? 1
                       : 0;
    }
    return letters;
}

// As many as the budget buys of letters no font draws, each of which costs Qt a search of every
// fallback font: some 4,000.
qsizetype lettersNoFontDraws() {
    return OutsideHtmlLimits{}.maxShapingCost / 24;
}

std::vector<std::pair<std::string, QString>> cjkTextsAtTheCap() {
    return {{"Chinese", test::repeatedTo(test::chineseText())},
            {"Japanese", test::repeatedTo(test::japaneseText())},
            {"Korean", test::repeatedTo(test::koreanText())},
            {"Chinese prose", test::chineseProse()},
            {"Japanese prose", test::japaneseProse()},
            {"Korean prose", test::koreanProse()}};
}

} // namespace

// Han, kana and Hangul cost what laying them out costs with the fonts there are. Where a font
// draws them, a few Latin letters each: Chinese, Japanese and Korean at the cap of text show whole
// (they were cut after some 4,000 letters, as if no font drew them). Where none does, Qt searches
// every fallback font for each (5 µs; Korean at the cap took a view 704 ms), and they are cut
// where that is spent.
TEST(OutsideHtml, HanKanaAndHangulCostWhatTheFontsThereMakeThemCost) {
    for (const auto& [name, text] : cjkTextsAtTheCap()) {
        ASSERT_GT(text.size(), 19000) << name;
        expectWhole(text, name + " drawn by a font", drawnBy(true));
        const QString cut = boundOutsideHtml(text, drawnBy(false));
        EXPECT_TRUE(cut.contains(outsideHtmlShortenedNote())) << name;
        EXPECT_LE(cjkLetters(shown(cut)), lettersNoFontDraws()) << name;
    }
}

// The punctuation, symbols and forms of their blocks are drawn by the same fonts, and cost as
// their letters do: 20,000 ideographic full stops and commas took a calendar card 100 ms,
// full-width Latin letters 130 to 180 ms, where no CJK font drew them (each was counted as a
// Latin letter). Where one does, text that holds them shows whole.
TEST(OutsideHtml, TheSymbolsAndFormsOfTheirBlocksCostAsTheirLetters) {
    for (const auto& [name, text] :
         {std::pair{"punctuation", test::repeatedTo(QStringLiteral("\u3002\uFF0C\u300C\u300D"))},
          std::pair{"full-width letters", test::repeatedTo(QStringLiteral("\uFF21\uFF22\uFF23 "))},
          std::pair{"enclosed ideographs", test::repeatedTo(QStringLiteral("\u3231\u3232\u3233 "))}}) {
        const QString cut = boundOutsideHtml(text, drawnBy(false));
        EXPECT_TRUE(cut.contains(outsideHtmlShortenedNote())) << name;
        EXPECT_LE(shown(cut).size(), 2 * lettersNoFontDraws()) << name;
    }
    for (const auto& [name, text] :
         {std::pair{"punctuation",
                    test::repeatedTo(QStringLiteral("\u4E2D\u6587\uFF0C\u300C\u5F15\u7528\u300D\u3002"))},
          std::pair{
              "full-width letters and digits",
              test::repeatedTo(QStringLiteral("\uFF30\uFF24\uFF26\uFF12\uFF10\uFF12\uFF14\u5E74\uFF11\uFF12"
                                              "\u6708\uFF12\uFF15\u65E5\u7248 "))},
          std::pair{"enclosed ideographs", test::repeatedTo(QStringLiteral("\u3231\u3232\u3233 "))}}) {
        expectWhole(text, std::string(name) + " drawn by a font", drawnBy(true));
    }
}

// Where a font draws them, what costs Qt more than their letters still counts. A letter new to a
// text: Qt loads each glyph the first time it lays it out, at some 10 µs, and past the few
// thousand different letters prose holds each new one counts at that, so 20,000 different Han
// letters are cut after some 5,000 (their first view took a card 180 ms) while 20,000 letters of
// 2,500 show whole. And a long stretch a line may not break: Qt breaks Korean only at spaces, and
// never before CJK punctuation, iteration and length marks or small kana, and each line of a
// stretch it may not break costs it the rest of the stretch, so 20,000 Hangul letters without a
// space (a card took 90 ms), or full stops, or length marks (140 ms), are cut, where the same
// Hangul with a space every 40 is not.
TEST(OutsideHtml, WhereAFontDrawsThemNewLettersAndLongUnbrokenStretchesStillCount) {
    const OutsideHtmlLimits drawn = drawnBy(true);
    const QString note = outsideHtmlShortenedNote();
    const QString different = boundOutsideHtml(test::distinctLetters(0x4E00, 20000, 20000), drawn);
    EXPECT_TRUE(different.contains(note));
    EXPECT_LE(cjkLetters(shown(different)), 6000);
    expectWhole(test::distinctLetters(0x4E00, 2500, 20000), "2,500 different Han letters", drawn);

    const QString hangul = test::distinctLetters(0xAC00, 2000, 19000);
    EXPECT_TRUE(boundOutsideHtml(hangul, drawn).contains(note));
    QString spaced;
    for (qsizetype at = 0; at < hangul.size(); at += 40) {
        spaced += hangul.mid(at, 40) + u' ';
    }
    expectWhole(spaced, "Hangul with a space every 40 letters", drawn);

    for (const char32_t unbroken : {0x3002, 0x30FC, 0x3005, 0x3041, 0x301C}) {
        const QString stretch = QString::fromUcs4(&unbroken, 1).repeated(20000);
        EXPECT_TRUE(boundOutsideHtml(stretch, drawn).contains(note))
            << QString::number(unbroken, 16).toStdString();
        // Parted by ideographs, at which a line may break, they show whole.
        expectWhole((QString::fromUcs4(&unbroken, 1).repeated(20) + QStringLiteral("\u4E2D")).repeated(900),
                    QString::number(unbroken, 16).toStdString() + " parted by ideographs", drawn);
    }
}

namespace {

// The shapes of the desktop's text named `name`.
QString desktopText(const QString& name) {
    for (const auto& [shape, text] : test::desktopFontText()) {
        if (shape == name) {
            return text;
        }
    }
    ADD_FAILURE() << "no shape " << name.toStdString();
    return {};
}

// The most characters one after another that a line may not break between, as Qt's line breaking
// finds them.
qsizetype longestUnbroken(const QString& text) {
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    qsizetype longest = 0;
    qsizetype from = 0;
    for (qsizetype at = lines.toNextBoundary(); at >= 0; at = lines.toNextBoundary()) {
        longest = std::max(longest, at - from);
        from = at;
    }
    return longest;
}

} // namespace

// For each line Qt breaks a word anywhere, it looks at the rest of the word, so a character of a
// word costs the more the further into it it stands: 20,000 letters without a place a line may
// break took a card 50 to 70 ms, and 600 where each letter is wider than the line. Such words
// are cut after a few thousand characters, however they are made: letters, hex digits, words
// joined by no-break spaces, word joiners or non-breaking hyphens, symbols that break as letters
// do. Where a line may break the word ends: links of a few hundred characters, German compounds,
// code identifiers and hashes show whole, and so do the same letters parted every 200.
TEST(OutsideHtml, ACharacterOfAWordALineMayNotBreakCostsTheMoreTheFurtherIntoItItStands) {
    const QString note = outsideHtmlShortenedNote();
    for (const char* name : {"unbroken-letters", "unbroken-hex-digits", "words-joined-by-no-break-spaces",
                             "words-joined-by-word-joiners", "words-joined-by-non-breaking-hyphens",
                             "unbroken-hexagrams", "unbroken-box-drawing", "unbroken-wide-ligatures"}) {
        const QString text = desktopText(QString::fromLatin1(name));
        ASSERT_GT(longestUnbroken(text), 19000) << name;
        const QString cut = boundOutsideHtml(text);
        EXPECT_TRUE(cut.contains(note)) << name;
        EXPECT_LT(shown(cut).size(), 5000) << name;
    }
    for (const char* name : {"long-urls", "long-words"}) {
        const QString text = desktopText(QString::fromLatin1(name));
        ASSERT_GT(longestUnbroken(text), 60) << name;
        expectWhole(text, name);
    }
    expectWhole(test::repeatedTo(QStringLiteral("a").repeated(199) + QStringLiteral(" ")),
                "parted every 200");
}

// A no-break space parts no words: Qt breaks no line at it, and a word changing script at every
// letter, with a no-break space every few, is one word of all those runs to it (a card took
// 280 ms). Its runs are counted as one word's.
TEST(OutsideHtml, ANoBreakSpaceEndsNoWord) {
    const int runs = OutsideHtmlLimits{}.maxRunsPerWord;
    const QString piece = alternating(U'a', 0x03B1, runs / 2);
    const QString joined = (piece + QChar(0x00A0)).repeated(4);
    // The runs of the first two pieces, and the first letter of the third that starts none.
    const QString kept = joined.left(2 * (piece.size() + 1) + 1);
    EXPECT_EQ(boundOutsideHtml(joined + QStringLiteral(" end")).toStdString(),
              withShortenedNote(kept + QStringLiteral(" end")).toStdString());
    // A space does.
    expectWhole((piece + u' ').repeated(40), "pieces parted by spaces");
}

// Symbols above the Basic Multilingual Plane are drawn by fonts far down the list Qt falls back
// to (musical symbols), or by none (Ottoman Siyaq numbers): Qt searches the fonts before them
// for each, and at the cap of text a card took 40 to 67 ms. They cost what the font found for them
// (or the search for none) costs here, and what is kept lays out within the time of any text. With
// the costs measured on a desktop's fonts, they cost as letters no font draws, and are cut. The mathematical
// letters the common fonts draw, and the symbols of prose, show whole.
TEST(OutsideHtml, SymbolsFewFontsDrawCostWhatTheirFontsCost) {
    const QString note = outsideHtmlShortenedNote();
    for (const char* name : {"musical-symbols", "symbols-no-font-draws"}) {
        const QString text = desktopText(QString::fromLatin1(name));
        QTextDocument document;
        document.setHtml(boundOutsideHtml(text));
        EXPECT_LT(layoutMilliseconds(document), test::cpuBudget(60)) << name;

        const QString measured = boundOutsideHtml(text, drawnBy(false));
        EXPECT_TRUE(measured.contains(note)) << name;
        const auto symbols = shown(measured).toUcs4();
        EXPECT_LE(std::count_if(symbols.begin(), symbols.end(), [](char32_t c) { return c >= 0x10000; }),
                  lettersNoFontDraws())
            << name;
    }
    for (const char* name : {"mathematical-alphanumerics", "ordinary-symbols", "hexagrams"}) {
        expectWhole(desktopText(QString::fromLatin1(name)), name);
    }
}

namespace {

QString dataFile(const char* name) {
    return test::testData(QStringLiteral("outside-html/") + QLatin1String(name));
}

} // namespace

// One list holds a few dozen items: Qt's HTML parsing grows with the square of the items of one
// list (a list of 2,000 cost a view 119 to 141 ms, as many paragraphs 5). Past them the list ends
// and another goes on from it, in its style and with no room between the two, so that it reads as
// the one list it was: an ordered one numbered on.
TEST(OutsideHtml, OneListHoldsAFewDozenItemsAndGoesOnAsAnother) {
    const QString source = dataFile("one-list-of-2000-items.html");
    ASSERT_FALSE(source.isEmpty());
    // What it costs to lay out is held elsewhere: here every item the elements allow is kept.
    OutsideHtmlLimits limits;
    limits.maxShapingCost = 1'000'000;
    QTextDocument document;
    document.setHtml(boundOutsideHtml(source, limits));
    QSet<QTextList*> lists;
    int items = 0;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        QTextList* list = block.textList();
        if (!list) {
            continue;
        }
        lists.insert(list);
        EXPECT_LE(list->count(), OutsideHtmlLimits{}.maxItemsPerList);
        ++items;
        // Numbered as the one list it was, by its marker or, unmarked, in its text.
        const bool marked = list->format().style() != QTextListFormat::ListStyleUndefined;
        EXPECT_EQ(marked ? list->itemText(block) + u' ' + block.text() : block.text(),
                  QStringLiteral("%1. Item %1").arg(items));
    }
    // Up to where the fragment's elements end.
    EXPECT_GT(items, 1900);
    EXPECT_GT(lists.size(), 1);

    // As tall as the list whole, its style kept by every part.
    const QString list = QStringLiteral("<ul type=\"square\" style=\"color:red\">") +
                         QStringLiteral("<li>item</li>").repeated(100) + QStringLiteral("</ul>");
    QTextDocument whole;
    whole.setHtml(list);
    QTextDocument parted;
    parted.setHtml(boundOutsideHtml(list, limits));
    EXPECT_EQ(parted.size().height(), whole.size().height());
    const QTextBlock last = parted.lastBlock();
    ASSERT_NE(last.textList(), nullptr);
    EXPECT_NE(last.textList(), parted.begin().textList());
    EXPECT_EQ(last.textList()->format().style(), QTextListFormat::ListSquare);
    EXPECT_EQ(last.charFormat().foreground().color(), QColor(Qt::red));
    // Each item costs what a paragraph does to lay out (a dozen microseconds each, where its letters
    // cost a few): a card of a list of 2,000 cost 50 to 57 ms with the list parted.
    qint64 inItems = 0;
    boundOutsideHtml(list, {}, &inItems);
    qint64 paragraphs = 0;
    boundOutsideHtml(QStringLiteral("<p>item</p>").repeated(100), {}, &paragraphs);
    qint64 separators = 0;
    boundOutsideHtml((QStringLiteral("item") + QChar(0x2029)).repeated(100), {}, &separators);
    EXPECT_GE(inItems, separators);
    EXPECT_EQ(paragraphs, separators);
    // Lists inside items are counted apart.
    const QString nested = QStringLiteral("<ul>") +
                           (QStringLiteral("<li>a<ul>") + QStringLiteral("<li>b</li>").repeated(20) +
                            QStringLiteral("</ul></li>"))
                               .repeated(20) +
                           QStringLiteral("</ul>");
    EXPECT_EQ(boundOutsideHtml(nested).count(QStringLiteral("<ul")), 21);
}

// A line that may not break costs what laying it out does. The words of <nobr> are one word to Qt
// (their spaces no-break ones), which it breaks anywhere, looking at the rest of it for each line:
// 4,000 words cost a card 65 to 111 ms. A line of preformatted text never breaks, and each paint
// draws it whole: every tab and what follows it is a run of its own (10,000 tabs between letters
// cost a card 40 ms, as many spaces 5).
TEST(OutsideHtml, ALineThatMayNotBreakCostsWhatLayingItOutDoes) {
    auto spent = [](const QString& html) {
        qint64 cost = 0;
        boundOutsideHtml(html, {}, &cost);
        return cost;
    };
    const QString words = QStringLiteral("word ").repeated(200);
    QString noBreak = words;
    noBreak.replace(u' ', QStringLiteral("&nbsp;"));
    EXPECT_EQ(spent(QStringLiteral("<nobr>") + words + QStringLiteral("</nobr>")), spent(noBreak));
    EXPECT_GT(spent(noBreak), 2 * spent(words));
    // After it lines break again.
    EXPECT_EQ(spent(QStringLiteral("<nobr>a</nobr> ") + words), spent(QStringLiteral("a ") + words));

    const QString tabs = QStringLiteral("x\t").repeated(500);
    const QString spaces = QStringLiteral("x ").repeated(500);
    auto preformatted = [](const QString& text) {
        return QStringLiteral("<pre>") + text + QStringLiteral("</pre>");
    };
    // Each tab, and the letter after it, start runs of their own: some 12 letters more than a space.
    EXPECT_GE(spent(preformatted(tabs)) - spent(preformatted(spaces)), 500 * 10);
    EXPECT_LT(spent(tabs), spent(spaces) * 2) << "a line that breaks";

    // The cases seen, cut within a card's budget and said to be.
    OutsideHtmlLimits card;
    card.maxShapingCost = 40000;
    for (const char* name :
         {"nobr-of-4000-words.html", "pre-of-10000-tabs.html", "pre-of-10000-tabs-between-letters.html"}) {
        const QString source = dataFile(name);
        ASSERT_FALSE(source.isEmpty()) << name;
        qint64 cost = 0;
        const QString bounded = boundOutsideHtml(source, card, &cost);
        EXPECT_TRUE(bounded.contains(outsideHtmlShortenedNote())) << name;
        EXPECT_LE(cost, card.maxShapingCost) << name;
    }
}

namespace {

// Where the words of each line of `document` stand against the order they are written in, or empty
// when they read in it: a word (letters and digits, Latin or Hebrew) starts right of every word
// before it on its line, a Latin word's letters run left to right and a Hebrew word's right to left.
std::string misreadWords(QTextDocument& document) {
    document.setTextWidth(2000);
    document.documentLayout()->documentSize();
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        QTextLayout* layout = block.layout();
        for (int l = 0; l < layout->lineCount(); ++l) {
            const QTextLine line = layout->lineAt(l);
            qreal wordsEnd = -1e9;
            qreal wordLeft = 1e9;
            qreal wordRight = -1e9;
            qreal previous = 0;
            bool hebrew = false;
            for (int i = line.textStart(); i <= line.textStart() + line.textLength(); ++i) {
                const bool letter = i < line.textStart() + line.textLength() && text[i].isLetterOrNumber();
                if (!letter) {
                    if (wordRight > -1e9 && wordLeft + 0.5 < wordsEnd) {
                        return "a word stands left of one before it in: " + text.toStdString();
                    }
                    wordsEnd = std::max(wordsEnd, wordRight);
                    wordLeft = 1e9;
                    wordRight = -1e9;
                    continue;
                }
                const QList<QGlyphRun> runs = line.glyphRuns(i, 1);
                if (runs.isEmpty()) {
                    continue;
                }
                const QRectF box = runs.front().boundingRect();
                const bool inWord = wordRight > -1e9;
                if (inWord && (hebrew ? box.center().x() > previous : box.center().x() < previous)) {
                    return "a word reads backwards in: " + text.toStdString();
                }
                hebrew = text[i].script() == QChar::Script_Hebrew;
                previous = box.center().x();
                wordLeft = std::min(wordLeft, box.left());
                wordRight = std::max(wordRight, box.right());
            }
        }
    }
    return {};
}

} // namespace

// A description or comment reads in the order it is written, whatever controls of direction it
// holds: an override ("Spent \u202E1h 30m" would read "Spent m03 h1") is left out, raw or as a
// reference, and an embedding or isolate ends with the element it opens in, at a line break and at
// a block.
TEST(OutsideHtml, NoControlOfDirectionReordersPastItsElement) {
    const auto cases = test::namedTestData(QStringLiteral("outside-html/bidirectional-controls.txt"));
    ASSERT_GE(cases.size(), 10U);
    for (const auto& [name, html] : cases) {
        const QString bounded = boundOutsideHtml(html);
        EXPECT_FALSE(bounded.contains(QChar(0x202D)) || bounded.contains(QChar(0x202E)))
            << name.toStdString();
        OutsideTextDocument document;
        document.setOutsideHtml(html);
        EXPECT_EQ(misreadWords(document), "") << name.toStdString();
    }
}

// A list split to bound what Qt's parsing costs went on in decimal numbers written in its items'
// text, after their number where the items before had it in the margin, and Qt numbers every list
// from 1: a list keeps its numbering type and start, numbered as Qt numbers, and its items' text
// stands where the first's does.
TEST(OutsideHtml, AnOrderedListKeepsItsNumbersAndIndentWhereverItIsSplit) {
    QString items;
    for (int i = 1; i <= 110; ++i) {
        items += QStringLiteral("<li>Item %1</li>").arg(i);
    }
    for (const auto& [name, list] : test::namedTestData(QStringLiteral("outside-html/ordered-lists.txt"))) {
        const QRegularExpression type(QStringLiteral("type=\"(.)\""));
        const QRegularExpression start(QStringLiteral("start=\"(\\d+)\""));
        const int from = std::max(1, start.match(list).captured(1).toInt());
        // Qt's own labels of the type, from the start.
        QTextDocument numbered;
        numbered.setHtml(QStringLiteral("<ol type=\"%1\">").arg(type.match(list).captured(1)) + items);
        OutsideTextDocument document;
        document.setTextWidth(600);
        document.setOutsideHtml(list.arg(items.left(items.indexOf(QStringLiteral("<li>Item 101<")))));
        document.documentLayout()->documentSize();
        int item = 0;
        qreal firstText = -1;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            const qsizetype text = block.text().indexOf(QStringLiteral("Item"));
            if (!block.textList() || text < 0) {
                continue;
            }
            const QTextBlock expected = numbered.findBlockByNumber(item + from - 1);
            const QString label = block.textList()->format().style() != QTextListFormat::ListStyleUndefined
                                      ? block.textList()->itemText(block)
                                      : block.text().left(text).trimmed();
            ++item;
            const std::string at = name.toStdString() + ", item " + std::to_string(item);
            EXPECT_EQ(label, expected.textList()->itemText(expected)) << at;
            const qreal x = block.layout()->position().x() + block.layout()->lineAt(0).cursorToX(text);
            firstText = firstText < 0 ? x : firstText;
            EXPECT_NEAR(x, firstText, 1.5) << at;
        }
        EXPECT_EQ(item, 100) << name.toStdString();
    }
    // What numbers a list in its text stays within a few times what the list says.
    const QString empty = QStringLiteral("<ol start=\"2\">") + QStringLiteral("<li>").repeated(2000);
    EXPECT_LE(boundOutsideHtml(empty).size(), empty.size() * 4 + 4096);
}
