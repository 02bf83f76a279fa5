#include "platform/richtext/OutsideTextDocument.h"
#include "tests/support/ResourceTraps.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QUrl>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

QImage render(QTextDocument& document) {
    QImage image(120, 120, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    document.setTextWidth(120);
    document.drawContents(&painter);
    return image;
}

} // namespace

// relative name or data: URL.
TEST(OutsideTextDocument, ReadsNothingThatTheHtmlNames) {
    test::ResourceTraps files;
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
    for (const QString& tag : test::ResourceTraps::namingTags(names)) {
        OutsideTextDocument document;
        document.setHtml(tag);
        EXPECT_FALSE(test::ResourceTraps::hasRed(render(document))) << tag.toStdString();
        const QVariant image =
            document.resource(QTextDocument::ImageResource, QUrl(QStringLiteral("red.png")));
        EXPECT_EQ(qvariant_cast<QImage>(image).size(), QSize(1, 1)) << "a placeholder, never the file";
    }
    EXPECT_EQ(files.fifoReads, 0) << "the FIFO was opened";
    QDir::setCurrent(previous);
}
