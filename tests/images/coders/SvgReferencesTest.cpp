#include "tests/images/support/TestImages.h"

#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/SvgDocumentFilter.h"
#include "images/core/RemoteImageContext.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

QImage solid(int side, QColor colour) {
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A white canvas with an image over all of it that `href` names.
QByteArray documentShowing(const QString& href, const QString& attribute = QStringLiteral("xlink:href")) {
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" "
                          "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"16\" height=\"16\">"
                          "<rect width=\"16\" height=\"16\" fill=\"#ffffff\"/>"
                          "<image x=\"0\" y=\"0\" width=\"16\" height=\"16\" %1=\"%2\"/></svg>\n")
        .arg(attribute, href.toHtmlEscaped())
        .toUtf8();
}

QString dataUrl(const QByteArray& bytes, const QString& type = QStringLiteral("image/png")) {
    return QStringLiteral("data:%1;base64,%2").arg(type, QString::fromLatin1(bytes.toBase64()));
}

DecodeOptions bitmapOf(double side) {
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(side, side);
    return options;
}

// The centre of the document drawn as a 16-pixel bitmap and as a vector image.
std::vector<QColor> centres(const QByteArray& document) {
    std::vector<QColor> colours;
    auto coder = ImageSVGCoder::sharedCoder();
    const QImage bitmap = coder->decodedImageWithData(document, bitmapOf(16)).bitmap();
    colours.push_back(bitmap.isNull() ? QColor() : QColor(bitmap.pixel(8, 8)));
    const Image vector = coder->decodedImageWithData(document, {});
    const QImage drawn = vector.isNull() ? QImage() : vector.bitmap(QSizeF(16, 16), 1.0);
    colours.push_back(drawn.isNull() ? QColor() : QColor(drawn.pixel(8, 8)));
    return colours;
}

bool isRed(const QColor& colour) {
    return colour.red() > 200 && colour.green() < 60 && colour.blue() < 60;
}

// Runs `decode` on a thread of its own; false when it has not returned in time. The thread is
// left to itself then: what blocks it may never end.
template <typename F> bool returnsWithin(std::chrono::milliseconds limit, F decode) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, decode] {
        decode();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

} // namespace

TEST(SvgReferencesTest, AnSvgNeverShowsALocalFileItNames) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("red.png"));
    ASSERT_TRUE(solid(16, Qt::red).save(path));
    const QStringList hrefs = {path, QUrl::fromLocalFile(path).toString(), QStringLiteral("file://") + path};
    for (const QString& href : hrefs) {
        for (const QString& attribute : {QStringLiteral("xlink:href"), QStringLiteral("href")}) {
            for (const QColor& centre : centres(documentShowing(href, attribute))) {
                EXPECT_FALSE(isRed(centre)) << attribute.toStdString() << "=" << href.toStdString();
            }
        }
    }
    // The registry without an SVG coder never gives an SVG to Qt's own SVG reader, hinted,
    // sniffed or found by Qt's detection: it draws it through the filter.
    ImageCodersManager coder;
    DecodeOptions hinted;
    hinted.typeIdentifierHint = QStringLiteral("public.svg-image");
    const QByteArray padded = documentShowing(path) + QByteArray(200, ' ');
    for (const QByteArray& document : {documentShowing(path), padded}) {
        for (const DecodeOptions& options : {DecodeOptions{}, hinted}) {
            const QImage bitmap = coder.decodedImageWithData(document, options).bitmap();
            ASSERT_FALSE(bitmap.isNull());
            EXPECT_EQ(QColor(bitmap.pixel(8, 8)), QColor(Qt::white));
        }
    }
    auto incremental = ImageIOCoder::sharedCoder()->createIncrementalCoder({});
    incremental->updateIncrementalData(padded, true);
    EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions({}).isNull());
}

TEST(SvgReferencesTest, AnSvgNamingAFifoOrADeviceReturnsAtOnce) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("never"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {fifo, QStringLiteral("/dev/zero")}) {
        const QByteArray document = documentShowing(path);
        const bool returned =
            returnsWithin(std::chrono::seconds(5), [document] { return centres(document); });
        EXPECT_TRUE(returned) << path.toStdString();
        if (!returned && path == fifo) {
            // Lets the blocked reader go, so that the test ends.
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                ::close(writer);
            }
        }
    }
}

TEST(SvgReferencesTest, EmbeddedImagesStayOnlyAsPngOrJpegWithinTheBudget) {
    const QByteArray red = encode(solid(16, Qt::red), "png");
    for (const QColor& centre : centres(documentShowing(dataUrl(red)))) {
        EXPECT_TRUE(isRed(centre)) << "an embedded PNG is drawn";
    }
    for (const QColor& centre : centres(
             documentShowing(dataUrl(encode(solid(16, Qt::red), "jpeg"), QStringLiteral("image/jpeg"))))) {
        EXPECT_TRUE(isRed(centre)) << "an embedded JPEG is drawn";
    }
    // Qt's GIF reader decodes a frame of any size when only asked whether it can read.
    const QByteArray gif =
        QByteArray::fromHex("47494638396102000200f00000ff000000000021f90400000000002c000000"
                            "00020002000002028451003b");
    ASSERT_TRUE(isRed(QColor(QImage::fromData(gif).pixel(0, 0)))) << "a red GIF";
    for (const QColor& centre : centres(documentShowing(dataUrl(gif, QStringLiteral("image/gif"))))) {
        EXPECT_FALSE(isRed(centre)) << "an embedded GIF is dropped";
    }

    // An embedded SVG is read by Qt with no filter at all: it names a file here.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("red.png"));
    ASSERT_TRUE(solid(16, Qt::red).save(path));
    const QByteArray nested = documentShowing(path);
    for (const QString& type : {QStringLiteral("image/svg+xml"), QStringLiteral("image/png")}) {
        for (const QColor& centre : centres(documentShowing(dataUrl(nested, type)))) {
            EXPECT_FALSE(isRed(centre)) << type.toStdString();
        }
    }

    // Declared larger than the budget: dropped before a pixel is decoded. (The budget is the
    // filter's process's own: asked here of the filter as the drawing process runs it.)
    const QByteArray overBudget = documentShowing(dataUrl(encode(solid(100, Qt::red), "png")));
    setPixelBudget(64 * 64);
    const QByteArray keptOverBudget = SvgDocumentFilter::withoutExternalReferences(overBudget);
    setPixelBudget(0);
    ASSERT_FALSE(keptOverBudget.isEmpty());
    EXPECT_FALSE(keptOverBudget.contains("data:")) << "an embedded image over the budget";
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences(overBudget).contains("data:image/png"));
    // However large the budget, an embedded image is drawn into an avatar: one that declares
    // more than 2048 x 2048 pixels is not decoded.
    const QByteArray large = encode(solid(2049, Qt::red), "png");
    for (const QColor& centre : centres(documentShowing(dataUrl(large)))) {
        EXPECT_FALSE(isRed(centre)) << "an embedded image of more than 2048 x 2048 pixels";
    }
    // One of 2048 x 2048 is kept (asked of the filter: drawn, its decoding counts in the drawing
    // process's budget, which a sanitised build may spend on it).
    const QByteArray largest = documentShowing(dataUrl(encode(solid(2048, Qt::red), "png")));
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences(largest).contains("data:image/png"));
    EXPECT_FALSE(
        SvgDocumentFilter::withoutExternalReferences(documentShowing(dataUrl(large))).contains("data:"));
}

TEST(SvgReferencesTest, NothingInTheFilteredDocumentPointsOutsideIt) {
    const QByteArray document =
        "<?xml version=\"1.0\"?>\n"
        "<?xml-stylesheet href=\"sheet.css\" type=\"text/css\"?>\n"
        "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"file:///etc/hostname\">\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
        "xmlns:l=\"http://www.w3.org/1999/xlink\" width=\"10\" height=\"10\">"
        "<style>@import url(imported.css); rect { fill: url(file:///styled) }</style>"
        "<style>circle { fill: url(#paint) }</style>"
        "<defs><linearGradient id=\"paint\"/><g id=\"shape\"/></defs>"
        "<use xlink:href=\"other.svg#shape\"/><use l:href=\"/abs/other.svg#shape\"/>"
        "<use xlink:href=\"#shape\"/><use href=\" #shape\"/><use xhref=\"/upper/case.svg\"/>"
        "<a xlink:href=\"file:///linked\"><text>kept&outer;</text></a>"
        "<rect style=\"fill:url(/inline)\" fill=\"url(#paint)\" filter=\"url( 'http://remote/f' )\" "
        "mask=\"u\\72l(escaped)\" width=\"10\" height=\"10\"/>"
        "<!-- file:///commented -->"
        "</svg>\n";
    const QString filtered = QString::fromUtf8(SvgDocumentFilter::withoutExternalReferences(document));
    ASSERT_FALSE(filtered.isEmpty());
    for (const char* gone :
         {"sheet.css", "xml-stylesheet", "DOCTYPE", "ENTITY", "hostname", "imported.css", "@import", "styled",
          "other.svg", "upper", "linked", "inline", "remote", "escaped", "commented"}) {
        EXPECT_FALSE(filtered.contains(QLatin1String(gone))) << gone << " in " << filtered.toStdString();
    }
    for (const char* kept : {"url(#paint)", "xlink:href=\"#shape\"", "href=\" #shape\"", ">kept<",
                             "xmlns:l=\"http://www.w3.org/1999/xlink\"", "<linearGradient id=\"paint\""}) {
        EXPECT_TRUE(filtered.contains(QLatin1String(kept)))
            << kept << " missing from " << filtered.toStdString();
    }
    EXPECT_TRUE(filtered.contains(QLatin1String("circle { fill: url(#paint) }")));
}

TEST(SvgReferencesTest, OnlyPlainWellFormedDocumentsAreRead) {
    // QtSvg inflates compressed data itself, where no filter would see it.
    const QByteArray compressed = QByteArray("\x1f\x8b\x08\x00", 4) + QByteArray(40, 'z') + "</svg>";
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences(compressed).isEmpty());
    EXPECT_TRUE(ImageSVGCoder::sharedCoder()->decodedImageWithData(compressed, {}).isNull());
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences("<svg><g></svg>").isEmpty());
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences("<svg>&undeclared;</svg>").isEmpty());
    EXPECT_TRUE(SvgDocumentFilter::withoutExternalReferences(QByteArray()).isEmpty());
    // Qt's reader lets a control character in a name through; written out, it would not parse.
    EXPECT_TRUE(
        SvgDocumentFilter::withoutExternalReferences(QByteArray("<svg w\x04h=\"1\"></svg>")).isEmpty());
}

// What the filter keeps reads back as it came: names with their prefixes, attribute values with
// markup characters, line breaks and tabs in them, text with markup characters, empty elements.
TEST(SvgReferencesTest, WhatIsKeptReadsBackAsItCame) {
    const QByteArray document =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:x=\"http://www.w3.org/1999/xlink\" width=\"60\">"
        "<g id=\"a&amp;b&lt;c&gt;d&quot;e'f\" class=\"one&#10;two&#9;three&#13;four\"><rect "
        "x:href=\"#a&amp;b\"/>"
        "<text>1 &lt; 2 &amp;&amp; 3 &gt; 2 ]]&gt; \"q\" 'a'</text><desc></desc></g></svg>";
    const QByteArray kept = SvgDocumentFilter::withoutExternalReferences(document);
    ASSERT_FALSE(kept.isEmpty());
    QXmlStreamReader reader(kept);
    reader.setNamespaceProcessing(false);
    QStringList seen;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            QString element = QLatin1Char('<') + reader.qualifiedName().toString();
            for (const QXmlStreamAttribute& attribute : reader.attributes()) {
                element += QLatin1Char(' ') + attribute.qualifiedName().toString() + QLatin1Char('=') +
                           attribute.value().toString();
            }
            seen << element;
            break;
        }
        case QXmlStreamReader::EndElement:
            seen << QLatin1String("</") + reader.qualifiedName().toString();
            break;
        case QXmlStreamReader::Characters:
            seen << reader.text().toString();
            break;
        default:
            break;
        }
    }
    ASSERT_FALSE(reader.hasError()) << reader.errorString().toStdString() << "\n" << kept.toStdString();
    EXPECT_EQ(seen, QStringList({
                        "<svg xmlns=http://www.w3.org/2000/svg xmlns:x=http://www.w3.org/1999/xlink width=60",
                        "<g id=a&b<c>d\"e'f class=one\ntwo\tthree\rfour",
                        "<rect x:href=#a&b",
                        "</rect",
                        "<text",
                        "1 < 2 && 3 > 2 ]]> \"q\" 'a'",
                        "</text",
                        "<desc",
                        "</desc",
                        "</g",
                        "</svg",
                    }))
        << kept.toStdString();
}
