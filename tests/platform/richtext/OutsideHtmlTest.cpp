#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "tests/support/ThreadCpuClock.h"

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

QString nestedTables(int levels) {
    return QStringLiteral("<table><tr><td>").repeated(levels) + QStringLiteral("x") +
           QStringLiteral("</td></tr></table>").repeated(levels);
}

qint64 layoutMilliseconds(QTextDocument& document) {
    test::ThreadCpuClock clock;
    document.setTextWidth(400);
    document.documentLayout()->documentSize();
    return clock.elapsed();
}

} // namespace

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
    EXPECT_EQ(
        boundOutsideHtml(QStringLiteral("<table cellpadding=\"99999\"><tr><td colspan=\"100000\" "
                                        "rowspan=99999999999 width=\"100000\">a</td></tr></table>")),
        QStringLiteral("<table cellpadding=\"64\"><tr><td colspan=\"64\" rowspan=\"64\" width=\"4000\">a"
                       "</td></tr></table>"));
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
