#include "images/coders/PngWriter.h"
#include "images/coders/ApngSupport.h"
#include "images/coders/ImageCodersManager.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImageReader>

#include <gtest/gtest.h>

using namespace velmora::images;

namespace {

bool anImagePluginIsLoaded() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/imageformats/");
}

QImage pattern(QImage::Format format, QSize size = QSize(37, 23)) {
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            image.setPixel(
                x, y, qRgba((x * 7 + y) % 256, (x * y) % 256, (x ^ y) * 9 % 256, (x * 13 + y * 5) % 256));
        }
    }
    return image.convertToFormat(format);
}

// Read back by Qt's own PNG reader, with no detection.
QImage readBack(const QByteArray& png) {
    QBuffer buffer;
    buffer.setData(png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

} // namespace

// Qt's writer loads every image plugin to ask whether one writes PNG better: storing one
// avatar in the cache would keep a megabyte of plugins and their libraries resident.
TEST(PngWriterTest, AnAvatarIsStoredAndReadBackWithoutLoadingAnImagePlugin) {
    if (anImagePluginIsLoaded()) {
        GTEST_SKIP() << "an earlier case in this process loaded an image plugin (ctest runs each alone)";
    }
    auto manager = ImageCodersManager::sharedManager();
    const Image avatar(pattern(QImage::Format_ARGB32_Premultiplied), 1.0);
    const QByteArray png = manager->encodedDataWithImage(avatar, ImageFormat::PNG, {});
    ASSERT_FALSE(png.isEmpty());
    const Image again = manager->decodedImageWithData(png, {});
    ASSERT_FALSE(again.isNull());
    QList<ApngSupport::Frame> frames{
        {pattern(QImage::Format_ARGB32), {}, 0.1, 0, 0},
        {pattern(QImage::Format_ARGB32, QSize(10, 10)), QPoint(3, 4), 0.1, 0, 1}};
    EXPECT_FALSE(ApngSupport::write(QSize(37, 23), frames, 0).isEmpty());
    EXPECT_FALSE(anImagePluginIsLoaded());
}

TEST(PngWriterTest, EveryPixelComesBackAsItWasWritten) {
    for (const QImage::Format format :
         {QImage::Format_ARGB32, QImage::Format_RGB32, QImage::Format_Grayscale8, QImage::Format_RGBA8888,
          QImage::Format_RGB888}) {
        const QImage original = pattern(format);
        const QImage read = readBack(PngWriter::write(original));
        ASSERT_FALSE(read.isNull()) << format;
        EXPECT_EQ(read.hasAlphaChannel(), original.hasAlphaChannel()) << format;
        EXPECT_EQ(read.convertToFormat(QImage::Format_ARGB32),
                  original.convertToFormat(QImage::Format_ARGB32))
            << format;
    }
    // Rows that each filter suits: flat, ramps across and down, noise; and a single pixel.
    QImage mixed(64, 64, QImage::Format_ARGB32);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            const int noise = int((unsigned(x) * 1103515245u + unsigned(y) * 12345u) >> 7 & 0xffu);
            mixed.setPixel(x, y,
                           y < 16   ? qRgba(9, 9, 9, 255)
                           : y < 32 ? qRgba(x * 4, 0, 0, 255)
                           : y < 48 ? qRgba(0, y * 4, 0, 200)
                                    : qRgba(noise, noise, 0, noise));
        }
    }
    EXPECT_EQ(readBack(PngWriter::write(mixed)).convertToFormat(QImage::Format_ARGB32), mixed);
    EXPECT_EQ(readBack(PngWriter::write(pattern(QImage::Format_ARGB32, QSize(1, 1)))).size(), QSize(1, 1));
    EXPECT_TRUE(PngWriter::write(QImage()).isEmpty());
}

TEST(PngWriterTest, AColourSpaceOtherThanSrgbTravelsAsItsProfile) {
    QImage wide = pattern(QImage::Format_RGB32);
    wide.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    const QImage read = readBack(PngWriter::write(wide));
    EXPECT_EQ(read.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
    EXPECT_EQ(read.convertToFormat(QImage::Format_RGB32), wide);
    // Flat colour compresses: the data is deflated, not stored.
    QImage flat(256, 256, QImage::Format_RGB32);
    flat.fill(Qt::darkCyan);
    EXPECT_LT(PngWriter::write(flat).size(), 2000);
}

// Rows each of whose bytes is the average of its left neighbour and the byte above, rounded
// down, as PNG's Average filter predicts: that filter leaves nothing but zeros, so the writer
// picks it, and a reader adds back exactly what it predicts.
TEST(PngWriterTest, RowsThatAverageTheirNeighboursAreWrittenWithTheAverageFilter) {
    constexpr int width = 64;
    constexpr int height = 6;
    QImage grey(width, height, QImage::Format_Grayscale8);
    for (int x = 0; x < width; ++x) {
        grey.scanLine(0)[x] = uchar((x * 37 + 11) % 256);
    }
    int oddSums = 0;
    for (int y = 1; y < height; ++y) {
        const uchar* above = grey.constScanLine(y - 1);
        uchar* row = grey.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int left = x > 0 ? row[x - 1] : 0;
            oddSums += (left + above[x]) % 2;
            row[x] = uchar((left + above[x]) / 2);
        }
    }
    ASSERT_GT(oddSums, width) << "rounding down must matter";

    const std::optional<PngWriter::Encoded> encoded = PngWriter::encode(grey);
    ASSERT_TRUE(encoded.has_value());
    // The filtered rows, each a filter type byte and then the row's bytes.
    constexpr int stride = 1 + width;
    QByteArray sized;
    sized.append(char(0)).append(char(0)).append(char((stride * height) >> 8)).append(char(stride * height));
    const QByteArray rows = qUncompress(sized + encoded->data);
    ASSERT_EQ(rows.size(), stride * height);
    for (int y = 1; y < height; ++y) {
        EXPECT_EQ(int(rows.at(y * stride)), 3) << "row " << y;
        EXPECT_EQ(rows.mid(y * stride + 1, width), QByteArray(width, char(0))) << "row " << y;
    }
    EXPECT_EQ(readBack(PngWriter::write(grey)).convertToFormat(QImage::Format_Grayscale8), grey);
}
