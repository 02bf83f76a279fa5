#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/SimpleHtmlView.h"
#include "views/main/TrackerTextDocument.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <atomic>
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
