#include "platform/richtext/TrackerHtml.h"
#include "platform/richtext/TrackerTextDocument.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/SimpleHtmlView.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

namespace {

// A folder holding a red picture, a style sheet that paints red, and a FIFO that
// counts whoever opens it for reading (an open would block the reader for ever, so
// the watcher opens the writing end whenever a reader waits, which also releases it).
class LocalFiles {
public:
    LocalFiles() {
        QImage red(16, 16, QImage::Format_RGB32);
        red.fill(Qt::red);
        red.save(path("red.png"));
        QFile css(path("red.css"));
        css.open(QIODevice::WriteOnly);
        css.write("body { background-color: #ff0000; } p { background-color: #ff0000; }");
        css.close();
        fifo = path("fifo").toStdString();
        ::mkfifo(fifo.c_str(), 0600);
        watcher = std::thread([this] {
            while (!stop) {
                const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ++fifoReads;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~LocalFiles() {
        stop = true;
        watcher.join();
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    std::string fifo;
    std::atomic<int> fifoReads{0};
    std::atomic<bool> stop{false};
    std::thread watcher;
};

// Every HTML way of naming a resource, each for a name from `names`.
QStringList namingTags(const QStringList& names) {
    QStringList tags;
    for (const QString& name : names) {
        tags << QStringLiteral("<img src=\"%1\" width=\"40\" height=\"40\">").arg(name)
             << QStringLiteral("<table background=\"%1\" width=\"40\"><tr><td>&nbsp;</td></tr></table>")
                    .arg(name)
             << QStringLiteral("<p style=\"background-image: url(%1)\">&nbsp;</p>").arg(name)
             << QStringLiteral("<link rel=\"stylesheet\" type=\"text/css\" href=\"%1\"><p>&nbsp;</p>")
                    .arg(name);
    }
    return tags;
}

bool hasRed(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 80 && c.blue() < 80) {
                return true;
            }
        }
    }
    return false;
}

QImage render(QTextDocument& document) {
    QImage image(120, 120, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    document.setTextWidth(120);
    document.drawContents(&painter);
    return image;
}

QString nestedTables(int levels) {
    return QStringLiteral("<table><tr><td>").repeated(levels) + QStringLiteral("x") +
           QStringLiteral("</td></tr></table>").repeated(levels);
}

// Time this thread spent working, so that other processes on a busy machine don't
// count against the bounds below.
class CpuClock {
public:
    CpuClock() { restart(); }
    void restart() { m_start = now(); }
    qint64 elapsed() const { return (now() - m_start) / 1000000; }

private:
    static qint64 now() {
        timespec time{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
        return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
    }
    qint64 m_start = 0;
};

// The bounds hold for an optimised build; an unoptimised build under the sanitizers
// does the same work 10 to 50 times slower, and there they only guard against the
// runaway cases (each of which took tens of seconds to minutes before it was bounded).
constexpr qint64 budget(qint64 milliseconds) {
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
    return milliseconds * 10;
#else
    return milliseconds;
#endif
}

qint64 layoutMilliseconds(QTextDocument& document) {
    CpuClock clock;
    document.setTextWidth(400);
    document.documentLayout()->documentSize();
    return clock.elapsed();
}

QString cardHtmlWith(const QString& description, const CalendarEntryCard& card, QImage* picture) {
    QStandardItemModel model(1, 1);
    const QModelIndex index = model.index(0, 0);
    model.setData(index, QStringLiteral("T-1"), CalendarEntryModel::TaskLabelRole);
    model.setData(index, QStringLiteral("1h"), CalendarEntryModel::SpentTimeRole);
    model.setData(index, description, CalendarEntryModel::DescriptionRole);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 200, 0);
    option.font = QFont();
    const QSize size = card.sizeHint(option, index);
    option.rect = QRect(QPoint(0, 0), QSize(200, std::min(size.height(), 400)));
    QImage image(option.rect.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    card.paint(&painter, option, index);
    painter.end();
    if (picture) {
        *picture = image;
    }
    return QString::number(size.height());
}

} // namespace

// Tracker HTML may name any file on the machine; rendering must read none of them:
// not /dev/zero (read whole, it exhausts memory), not a FIFO (it blocks for ever), not
// the user's pictures or style sheets, whether named by path, file: or qrc: URL,
// relative name or data: URL.
TEST(TrackerTextDocument, ReadsNothingThatTheHtmlNames) {
    LocalFiles files;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(files.dir.path());
    const QString red = files.path(QStringLiteral("red.png"));
    QByteArray png;
    {
        QFile file(red);
        file.open(QIODevice::ReadOnly);
        png = file.readAll();
    }
    const QStringList names = {red,
                               QUrl::fromLocalFile(red).toString(),
                               QStringLiteral("red.png"),
                               QStringLiteral("./red.css"),
                               files.path(QStringLiteral("red.css")),
                               QStringLiteral("qrc:/assets/Velmora.svg"),
                               QStringLiteral(":/assets/Velmora.svg"),
                               QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64()),
                               QStringLiteral("http://127.0.0.1:9/red.png"),
                               files.path(QStringLiteral("fifo")),
                               QStringLiteral("fifo"),
                               QStringLiteral("/dev/zero"),
                               QStringLiteral("file:///dev/zero")};
    for (const QString& tag : namingTags(names)) {
        TrackerTextDocument document;
        document.setHtml(tag);
        EXPECT_FALSE(hasRed(render(document))) << tag.toStdString();
        const QVariant image =
            document.resource(QTextDocument::ImageResource, QUrl(QStringLiteral("red.png")));
        EXPECT_EQ(qvariant_cast<QImage>(image).size(), QSize(1, 1)) << "a placeholder, never the file";
    }
    EXPECT_EQ(files.fifoReads, 0) << "the FIFO was opened";
    QDir::setCurrent(previous);
}

// The description view and the calendar card render through such a document.
TEST(TrackerTextDocument, TheDescriptionViewAndTheCalendarCardReadNothingEither) {
    LocalFiles files;
    const QString red = files.path(QStringLiteral("red.png"));
    const QString fifo = files.path(QStringLiteral("fifo"));

    SimpleHtmlView view;
    view.resize(200, 200);
    for (const QString& tag : namingTags({red, fifo, QStringLiteral("/dev/zero")})) {
        // Straight into the view's document, past the bounding that drops images.
        view.document()->setHtml(tag);
        EXPECT_FALSE(hasRed(view.grab().toImage())) << tag.toStdString();
    }

    CalendarEntryCard card;
    for (const QString& tag : namingTags({red, fifo, QStringLiteral("/dev/zero")})) {
        QImage picture;
        cardHtmlWith(tag, card, &picture);
        EXPECT_FALSE(hasRed(picture)) << tag.toStdString();
    }
    EXPECT_EQ(files.fifoReads, 0) << "the FIFO was opened";
}

// Qt's layout time about doubles with each level of nested tables, and thousands of
// nested elements crash it; bounded, any description lays out at once.
TEST(TrackerHtml, DeeplyNestedDescriptionsLayOutAtOnce) {
    const QString tables = nestedTables(22);
    EXPECT_LT(tables.size(), 740);

    SimpleHtmlView view;
    CpuClock clock;
    view.setContent(tables);
    view.document()->documentLayout()->documentSize();
    EXPECT_LT(clock.elapsed(), budget(1000)) << "the description view";
    EXPECT_TRUE(view.toPlainText().contains(QStringLiteral("x")));
    EXPECT_TRUE(view.toPlainText().contains(trackerHtmlFlattenedNote()));

    TrackerTextDocument document;
    document.setTrackerHtml(tables);
    EXPECT_LT(layoutMilliseconds(document), budget(1000));

    CalendarEntryCard card;
    for (const QString& deep :
         {nestedTables(3000), QStringLiteral("<div dir=\"rtl\"><span dir=\"ltr\">a").repeated(3000),
          QStringLiteral("<ul><li>").repeated(3000) + QStringLiteral("x")}) {
        clock.restart();
        QImage picture;
        cardHtmlWith(deep, card, &picture);
        EXPECT_LT(clock.elapsed(), budget(1000)) << "the calendar card";
    }
}

// Qt lays out a cell that sits outside a row by nesting everything after it, so a few
// hundred bytes of stray cells cost as much as dozens of nested tables. Such cells get
// the row they lack.
TEST(TrackerHtml, CellsOutsideRowsLayOutAtOnce) {
    EXPECT_EQ(boundTrackerHtml(QStringLiteral("<table><td>a</td></table>")),
              QStringLiteral("<table><tr><td>a</td></tr></table>"));
    EXPECT_EQ(
        boundTrackerHtml(QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><td>b<td>c</table>")),
        QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><tr><td>b</td><td>c</td></tr></table>"));
    // A cell or row inside something that is not its table part is shown flat.
    EXPECT_EQ(
        boundTrackerHtml(QStringLiteral("<table><tr><td>a</td></tr><tr><div><td>b</td></div></tr></table>")),
        QStringLiteral("<table><tr><td>a</td></tr><tr><div> b</div></tr></table><p>") +
            trackerHtmlFlattenedNote() + QStringLiteral("</p>"));

    for (const QString& stray :
         {QStringLiteral("<table><tr><td>a</td></tr><td>x</td></table> y "),
          QStringLiteral("<table><td>x</td></table> y "),
          QStringLiteral("<table><tbody><tr><td>a</td></tr></tbody><td>x</td></table> ")}) {
        TrackerTextDocument document;
        document.setTrackerHtml(stray.repeated(10));
        EXPECT_LT(layoutMilliseconds(document), budget(200)) << stray.toStdString();
    }
}

// What makes Qt's layout slow or large is bounded; what a description says is kept.
TEST(TrackerHtml, KeepsTheTextAndBoundsTheMarkup) {
    const QString plain =
        QStringLiteral("<p>Steps:</p><ol><li>Open <a href=\"https://x.example/a?b=1&amp;c=2\">"
                       "the page</a></li><li><b>Click</b></li></ol>"
                       "<table><tr><td colspan=\"2\">A</td></tr><tr><td>B</td><td>C</td></tr>"
                       "</table>");
    const QString kept = boundTrackerHtml(plain);
    EXPECT_EQ(kept, plain) << "well-formed presentation markup passes as it is";

    // Flattened past three tables: the text stays, the note says so.
    const QString flat = boundTrackerHtml(nestedTables(5));
    EXPECT_EQ(flat.count(QStringLiteral("<table>")), 3);
    EXPECT_EQ(flat.count(QStringLiteral("<table>")), flat.count(QStringLiteral("</table>")));
    EXPECT_TRUE(flat.contains(QStringLiteral("x")));
    EXPECT_TRUE(flat.endsWith(QStringLiteral("<p>") + trackerHtmlFlattenedNote() + QStringLiteral("</p>")));

    // Cut past the text limit, with the note at the end.
    TrackerHtmlLimits small;
    small.maxText = 10;
    const QString cut = boundTrackerHtml(QStringLiteral("<p>0123456789abcdef</p><p>more</p>"), small);
    EXPECT_EQ(cut,
              QStringLiteral("<p>0123456789</p><p>") + trackerHtmlShortenedNote() + QStringLiteral("</p>"));
    EXPECT_EQ(boundTrackerHtml(QStringLiteral("<b>12345678&amp;x</b>"), small),
              QStringLiteral("<b>12345678</b><p>") + trackerHtmlShortenedNote() + QStringLiteral("</p>"))
        << "an entity is not cut in half";

    // Spans and sizes are clamped; images, scripts, styles, comments, unknown elements
    // and other attributes go; quotes in values cannot open new attributes.
    EXPECT_EQ(
        boundTrackerHtml(QStringLiteral("<table cellpadding=\"99999\"><tr><td colspan=\"100000\" "
                                        "rowspan=99999999999 width=\"100000\">a</td></tr></table>")),
        QStringLiteral("<table cellpadding=\"64\"><tr><td colspan=\"64\" rowspan=\"64\" width=\"4000\">a"
                       "</td></tr></table>"));
    EXPECT_EQ(
        boundTrackerHtml(QStringLiteral("<img src=\"/dev/zero\"><script>alert(1)</script><style>p{}</style>"
                                        "<!-- <table> --><section onclick=\"x\">s</section>"
                                        "<a href='x\" onclick=\"y' id=z>l</a>")),
        QStringLiteral("s<a href=\"x&quot; onclick=&quot;y\">l</a>"));

    // Text that only looks like markup stays text.
    EXPECT_EQ(boundTrackerHtml(QStringLiteral("a < b > c <3 <<p>d")),
              QStringLiteral("a &lt; b &gt; c &lt;3 &lt;<p>d</p>"));
    EXPECT_EQ(boundTrackerHtml(QStringLiteral("a <b title=\"never ends")), QStringLiteral("a "));
    // Items and cells left open end at the next one instead of nesting.
    EXPECT_EQ(
        boundTrackerHtml(QStringLiteral("<ul><li>a<li>b</ul><table><tr><td>1<td>2<tr><td>3</table>")),
        QStringLiteral("<ul><li>a</li><li>b</li></ul><table><tr><td>1</td><td>2</td></tr><tr><td>3</td></tr>"
                       "</table>"));
}

// The bounding itself is linear, whatever the fragment: hostile inputs of the largest
// size looked at take well under a second, and their result lays out at once.
TEST(TrackerHtml, HostileFragmentsAreBoundedQuickly) {
    const qsizetype size = TrackerHtmlLimits{}.maxSource;
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
        CpuClock clock;
        const QString bounded = boundTrackerHtml(html);
        EXPECT_LT(clock.elapsed(), budget(1000)) << html.left(20).toStdString();
        TrackerTextDocument document;
        document.setHtml(bounded);
        EXPECT_LT(layoutMilliseconds(document), budget(1000)) << html.left(20).toStdString();
    }
}
