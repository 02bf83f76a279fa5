#include "tests/images/support/TestImages.h"

#include "images/coders/DecodeCostGuard.h"
#include "images/coders/HeifSupport.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/PartialPngDecoder.h"
#include "images/coders/PdfVectorImageSource.h"
#include "images/coders/VectorDrawingCost.h"
#include "tests/support/LoadedImagePlugins.h"
#include "tests/support/PdfDocuments.h"

#include <QPdfWriter>

#include <gtest/gtest.h>

#include <zlib.h>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

QImage plainDecode(const QByteArray& data) {
    QImage image;
    image.loadFromData(data);
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray pdfPage(QSizeF points) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setPageSize(QPageSize(points, QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter(&writer);
    painter.fillRect(QRectF(0, 0, painter.device()->width(), painter.device()->height()), Qt::red);
    painter.end();
    return data;
}

// A PDF of these objects (numbered from 1 in order), with its cross-reference table.
QByteArray pdfOf(const QList<QByteArray>& objects) {
    QByteArray body = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (const auto& object : objects) {
        offsets.append(body.size());
        body += object;
    }
    const qsizetype xref = body.size();
    body += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets) {
        body += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    }
    body += "trailer << /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
            QByteArray::number(xref) + "\n%%EOF\n";
    return body;
}

// A one-page PDF whose media box has no area.
QByteArray pdfWithEmptyBox() {
    QByteArray body = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    const QList<QByteArray> objects{
        "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n",
        "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n",
        "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 0 0] >> endobj\n",
    };
    for (const auto& object : objects) {
        offsets.append(body.size());
        body += object;
    }
    const qsizetype xref = body.size();
    body += "xref\n0 4\n0000000000 65535 f \n";
    for (qsizetype offset : offsets) {
        body += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    }
    body += "trailer << /Size 4 /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return body;
}

} // namespace

TEST(ImageIOCoderTest, DecodesStillFormatsWithTheirFormat) {
    const QImage source = quadrants(16, 8);
    auto coder = ImageIOCoder::sharedCoder();
    for (const auto& [qtFormat, format] :
         {std::pair{"png", ImageFormat::PNG}, std::pair{"jpeg", ImageFormat::JPEG},
          std::pair{"bmp", ImageFormat::BMP}, std::pair{"tiff", ImageFormat::TIFF},
          std::pair{"webp", ImageFormat::WebP}}) {
        const Image image = coder->decodedImageWithData(encode(source, qtFormat), {});
        ASSERT_FALSE(image.isNull()) << qtFormat;
        EXPECT_EQ(image.pixelSize(), QSize(16, 8)) << qtFormat;
        EXPECT_EQ(image.imageFormat(), format) << qtFormat;
        EXPECT_EQ(image.imageFrameCount(), 1u);
    }
    EXPECT_TRUE(coder->decodedImageWithData(QByteArray(), {}).isNull());
    EXPECT_TRUE(coder->decodedImageWithData("not an image", {}).isNull());
}

// Qt's format detection loads every image plugin and runs each one's parser on the bytes
// (TIFF, MNG, ICNS and more, for a PNG avatar from anywhere); a sniffed type asks its
// own plugin only, and detection is left for bytes that are not what they seem.
namespace {
void decodesAskOnlyThePluginOfTheirType() {
    // Written out, as Qt's writer would load the plugins itself: 2 x 2 red pixels each.
    const QByteArray png =
        QByteArray::fromHex("89504e470d0a1a0a0000000d4948445200000002000000020802000000fdd4"
                            "9a730000001049444154789c63f8cfc000440c100a001fee03fd8b5f14d400"
                            "00000049454e44ae426082");
    const QByteArray gif =
        QByteArray::fromHex("47494638396102000200f00000ff000000000021f90400000000002c000000"
                            "00020002000002028451003b");
    const QStringList before = velmora::test::loadedImagePlugins();
    ASSERT_FALSE(before.contains(QStringLiteral("libqtiff.so"))) << before.join(u' ').toStdString();

    auto coder = ImageIOCoder::sharedCoder();
    EXPECT_EQ(coder->decodedImageWithData(png, {}).pixelSize(), QSize(2, 2));
    EXPECT_EQ(coder->decodedImageWithData(gif, {}).pixelSize(), QSize(2, 2));
    auto incremental = coder->createIncrementalCoder({});
    incremental->updateIncrementalData(png, true);
    EXPECT_EQ(incremental->incrementalDecodedImageWithOptions({}).pixelSize(), QSize(2, 2));
    QStringList added = velmora::test::loadedImagePlugins();
    for (const QString& plugin : before) {
        added.removeAll(plugin);
    }
    EXPECT_EQ(added, QStringList{QStringLiteral("libqgif.so")}) << added.join(u' ').toStdString();

    // A type hint that is wrong still decodes, by detection.
    DecodeOptions wrongHint;
    wrongHint.typeIdentifierHint = QStringLiteral("public.jpeg");
    EXPECT_EQ(coder->decodedImageWithData(png, wrongHint).pixelSize(), QSize(2, 2));
}
} // namespace

TEST(ImageIOCoderTest, ADecodeAsksOnlyThePluginOfItsType) {
    // Qt never unloads a plugin, so what the other tests of this process loaded would count
    // here: the decodes run in a new process of this executable, with no plugin loaded yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            decodesAskOnlyThePluginOfTheirType();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ImageIOCoderTest, ExifOrientationsTwoAndSixArePixelExact) {
    const QByteArray jpeg = encode(quadrants(40, 30), "jpeg", 100);
    const QImage plain = plainDecode(jpeg);
    auto coder = ImageIOCoder::sharedCoder();

    const Image mirrored = coder->decodedImageWithData(withExifOrientation(jpeg, 2), {});
    ASSERT_FALSE(mirrored.isNull());
    EXPECT_EQ(mirrored.bitmap().convertToFormat(QImage::Format_RGB32), plain.mirrored(true, false));

    const Image rotated = coder->decodedImageWithData(withExifOrientation(jpeg, 6), {});
    ASSERT_FALSE(rotated.isNull());
    EXPECT_EQ(rotated.pixelSize(), QSize(30, 40));
    EXPECT_EQ(rotated.bitmap().convertToFormat(QImage::Format_RGB32),
              plain.transformed(QTransform().rotate(90)));
}

TEST(ImageIOCoderTest, ThumbnailsFitOrFillTheAskedSize) {
    const QByteArray png = encode(quadrants(200, 100), "png");
    auto coder = ImageIOCoder::sharedCoder();
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(64, 64);
    EXPECT_EQ(coder->decodedImageWithData(png, options).pixelSize(), QSize(64, 32));
    options.preserveAspectRatio = false;
    EXPECT_EQ(coder->decodedImageWithData(png, options).pixelSize(), QSize(64, 64));
    // A frame that already fits is decoded whole.
    options.thumbnailPixelSize = QSizeF(400, 400);
    EXPECT_EQ(coder->decodedImageWithData(png, options).pixelSize(), QSize(200, 100));
}

TEST(ImageIOCoderTest, ScaleBelowOneCountsAsOneAndANoneTypeHintIgnoresTheExtension) {
    auto coder = ImageIOCoder::sharedCoder();
    const QByteArray png = encode(quadrants(20, 20), "png");
    DecodeOptions options;
    options.scaleFactor = 0.5;
    EXPECT_EQ(coder->decodedImageWithData(png, options).scale(), 1.0);
    options.scaleFactor = 2.0;
    EXPECT_EQ(coder->decodedImageWithData(png, options).size(), QSizeF(10, 10));

    DecodeOptions hinted;
    hinted.typeIdentifierHint.setNone();
    hinted.fileExtensionHint = QStringLiteral("jpg");
    const Image image = coder->decodedImageWithData(png, hinted);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.imageFormat(), ImageFormat::PNG);
    // A wrong hint falls back to the data's own format.
    DecodeOptions wrong;
    wrong.typeIdentifierHint = QStringLiteral("public.jpeg");
    EXPECT_EQ(coder->decodedImageWithData(png, wrong).imageFormat(), ImageFormat::PNG);
}

TEST(ImageIOCoderTest, ProgressiveJpegGivesNothingThenAPartialImageThenTheWholeOne) {
    const QByteArray jpeg = encode(noise(256, 256), "jpeg", 90, true);
    auto incremental = ImageIOCoder::sharedCoder()->createIncrementalCoder({});
    incremental->updateIncrementalData(jpeg.left(10), false);
    EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions({}).isNull());

    incremental->updateIncrementalData(jpeg.left(jpeg.size() / 2), false);
    const Image partial = incremental->incrementalDecodedImageWithOptions({});
    ASSERT_FALSE(partial.isNull());
    EXPECT_EQ(partial.pixelSize(), QSize(256, 256));

    incremental->updateIncrementalData(jpeg, true);
    const Image whole = incremental->incrementalDecodedImageWithOptions({});
    ASSERT_FALSE(whole.isNull());
    EXPECT_EQ(whole.bitmap().convertToFormat(QImage::Format_RGB32), plainDecode(jpeg));
    EXPECT_EQ(whole.imageFormat(), ImageFormat::JPEG);

    // After the finished update nothing changes.
    incremental->updateIncrementalData(jpeg.left(10), false);
    EXPECT_EQ(
        incremental->incrementalDecodedImageWithOptions({}).bitmap().convertToFormat(QImage::Format_RGB32),
        plainDecode(jpeg));
}

TEST(ImageIOCoderTest, ACutOffPngShowsTheRowsReceivedSoFar) {
    const QImage source = noise(64, 64);
    const QByteArray png = encode(source, "png");
    auto incremental = ImageIOCoder::sharedCoder()->createIncrementalCoder({});
    incremental->updateIncrementalData(png.left(png.size() / 2), false);
    const Image partial = incremental->incrementalDecodedImageWithOptions({});
    ASSERT_FALSE(partial.isNull());
    EXPECT_EQ(partial.pixelSize(), QSize(64, 64));
    const QImage rows = partial.bitmap().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(rows.pixel(5, 2), source.pixel(5, 2));
    EXPECT_EQ(qAlpha(rows.pixel(5, 63)), 0);

    incremental->updateIncrementalData(png, true);
    EXPECT_EQ(
        incremental->incrementalDecodedImageWithOptions({}).bitmap().convertToFormat(QImage::Format_RGB32),
        source);
}

TEST(ImageIOCoderTest, DeclaredSizesBeyondThePixelBudgetAreRefusedWholeOrCutOff) {
    const QByteArray png = encode(noise(100, 41), "png");
    {
        const ScopedPixelBudget budget(64 * 64);
        EXPECT_TRUE(ImageIOCoder::sharedCoder()->decodedImageWithData(png, {}).isNull());
        auto incremental = ImageIOCoder::sharedCoder()->createIncrementalCoder({});
        incremental->updateIncrementalData(png.left(png.size() / 2), false);
        EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions({}).isNull());
        EXPECT_TRUE(PartialPngDecoder::decode(png.left(png.size() / 2)).isNull());
    }
    EXPECT_FALSE(ImageIOCoder::sharedCoder()->decodedImageWithData(png, {}).isNull());
    EXPECT_FALSE(PartialPngDecoder::decode(png.left(png.size() / 2)).isNull());

    // Declaring 30000 by 30000 pixels is within the old per-side limit but far beyond the
    // budget: nothing is decoded, and nothing the size of the image is allocated for it.
    const QByteArray huge = withBigEndian32(withBigEndian32(png, 16, 30000), 20, 30000);
    EXPECT_TRUE(PartialPngDecoder::decode(huge.left(200)).isNull());
    EXPECT_TRUE(ImageIOCoder::sharedCoder()->decodedImageWithData(huge, {}).isNull());
}

TEST(ImageIOCoderTest, EncodesWithQualityAMaximumFileSizeAndAMaximumPixelSize) {
    auto coder = ImageIOCoder::sharedCoder();
    const Image image(noise(256, 256));
    EncodeOptions best;
    best.compressionQuality = 1.0;
    EncodeOptions low;
    low.compressionQuality = 0.1;
    const QByteArray bestData = coder->encodedDataWithImage(image, ImageFormat::JPEG, best);
    const QByteArray lowData = coder->encodedDataWithImage(image, ImageFormat::JPEG, low);
    ASSERT_FALSE(bestData.isEmpty());
    EXPECT_LT(lowData.size(), bestData.size());
    EXPECT_EQ(imageFormatForImageData(bestData), ImageFormat::JPEG);

    EncodeOptions limited;
    limited.compressionQuality = 1.0;
    limited.maxFileSize = quint64(bestData.size() / 3);
    const QByteArray limitedData = coder->encodedDataWithImage(image, ImageFormat::JPEG, limited);
    ASSERT_FALSE(limitedData.isEmpty());
    EXPECT_LE(quint64(limitedData.size()), limited.maxFileSize.value());

    EncodeOptions small;
    small.maxPixelSize = QSizeF(64, 64);
    const Image reduced =
        coder->decodedImageWithData(coder->encodedDataWithImage(image, ImageFormat::PNG, small), {});
    EXPECT_EQ(reduced.pixelSize(), QSize(64, 64));

    // Undefined picks PNG for an image with alpha and JPEG for one without.
    EXPECT_EQ(imageFormatForImageData(coder->encodedDataWithImage(image, ImageFormat::Undefined, {})),
              ImageFormat::JPEG);
    EXPECT_EQ(imageFormatForImageData(
                  coder->encodedDataWithImage(Image(quadrants(8, 8, true)), ImageFormat::Undefined, {})),
              ImageFormat::PNG);
    EXPECT_TRUE(coder->encodedDataWithImage(Image(), ImageFormat::PNG, {}).isEmpty());
}

TEST(ImageIOCoderTest, MaximumPixelSizeLimit) {
    EXPECT_EQ(ImageIOCoder::maxPixelSizeLimit(QSize(4000, 1000), QSizeF(1000, 1000)), 1000);
    EXPECT_EQ(ImageIOCoder::maxPixelSizeLimit(QSize(1000, 4000), QSizeF(1000, 1000)), 1000);
    EXPECT_EQ(ImageIOCoder::maxPixelSizeLimit(QSize(4000, 1000), QSizeF(2000, 100)), 400);
    EXPECT_EQ(ImageIOCoder::maxPixelSizeLimit(QSize(500, 500), QSizeF(1000, 1000)), 0);
}

TEST(ImageIOCoderTest, PdfIsAVectorImageOrABitmapOfTheAskedSize) {
    const QByteArray pdf = pdfPage(QSizeF(200, 100));
    auto coder = ImageCodersManager::sharedManager();
    const Image vector = coder->decodedImageWithData(pdf, {});
    ASSERT_FALSE(vector.isNull());
    EXPECT_TRUE(vector.isVector());
    EXPECT_EQ(vector.imageFormat(), ImageFormat::PDF);
    EXPECT_NEAR(vector.size().width(), 200, 1);
    EXPECT_NEAR(vector.size().height(), 100, 1);
    EXPECT_EQ(vector.imageFrameCount(), 1u);
    EXPECT_EQ(vector.imageLoopCount(), 0u);

    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(100, 100);
    const Image bitmap = coder->decodedImageWithData(pdf, options);
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_FALSE(bitmap.isVector());
    EXPECT_EQ(bitmap.size(), QSizeF(100, 100));
    // Drawn at its own proportions: red in the middle, transparent above and below.
    const QImage pixels = bitmap.bitmap();
    const int scale = int(bitmap.scale());
    EXPECT_EQ(QColor(pixels.pixel(50 * scale, 50 * scale)).red(), 255);
    EXPECT_EQ(qAlpha(pixels.pixel(50 * scale, 5 * scale)), 0);

    options.preserveAspectRatio = false;
    const QImage stretched = coder->decodedImageWithData(pdf, options).bitmap();
    EXPECT_EQ(qAlpha(stretched.pixel(50 * scale, 5 * scale)), 255);
}

TEST(ImageIOCoderTest, PdfWhosePageTreeLeadsBackToItselfIsNoImageAndDoesNotHang) {
    const QByteArray catalog = "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    const QByteArray page = "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >> endobj\n";
    const QByteArray selfLoop =
        pdfOf({catalog, "2 0 obj << /Type /Pages /Kids [2 0 R] /Count 1 >> endobj\n", page});
    const QByteArray twoNodes =
        pdfOf({catalog, "2 0 obj << /Type /Pages /Kids [4 0 R] /Count 1 >> endobj\n", page,
               "4 0 obj << /Type /Pages /Kids [3 0 R 2 0 R] /Count 1 >> endobj\n"});
    for (const QByteArray& data : {selfLoop, twoNodes}) {
        EXPECT_TRUE(PdfVectorImageSource::pageSize(data, 0).isEmpty());
        EXPECT_TRUE(ImageIOCoder::sharedCoder()->decodedImageWithData(data, {}).isNull());
    }
    // The same tree without the loop is a page.
    const QByteArray fine = pdfOf({catalog, "2 0 obj << /Type /Pages /Kids [4 0 R] /Count 1 >> endobj\n",
                                   page, "4 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"});
    EXPECT_EQ(PdfVectorImageSource::pageSize(fine, 0), QSizeF(10, 10));
}

TEST(ImageIOCoderTest, PdfWithAnEmptyPageBoxDecodesToNoImage) {
    auto coder = ImageIOCoder::sharedCoder();
    EXPECT_TRUE(coder->decodedImageWithData(pdfWithEmptyBox(), {}).isNull());
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(50, 50);
    EXPECT_TRUE(coder->decodedImageWithData(pdfWithEmptyBox(), options).isNull());
}

TEST(ImageIOCoderTest, HeicRoundTripsThroughLibheif) {
    if (!HeifSupport::canEncode() || !HeifSupport::canDecode()) {
        GTEST_SKIP() << "libheif has no HEVC encoder or decoder here";
    }
    auto coder = ImageIOCoder::sharedCoder();
    const QByteArray heic = coder->encodedDataWithImage(Image(quadrants(64, 32)), ImageFormat::HEIC, {});
    ASSERT_FALSE(heic.isEmpty());
    EXPECT_EQ(imageFormatForImageData(heic), ImageFormat::HEIC);
    const Image decoded = coder->decodedImageWithData(heic, {});
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.pixelSize(), QSize(64, 32));
    EXPECT_EQ(decoded.imageFormat(), ImageFormat::HEIC);
}

namespace {

// The scans of a JPEG: each from its start-of-scan marker to the next marker that is not a
// restart, a stuffed zero or a fill byte.
QList<QByteArray> jpegScans(const QByteArray& jpeg) {
    QList<QByteArray> scans;
    qsizetype at = jpeg.indexOf(QByteArray("\xFF\xDA", 2));
    while (at >= 0) {
        qsizetype end = at + 2 + ((quint8(jpeg.at(at + 2)) << 8) | quint8(jpeg.at(at + 3)));
        while (end + 1 < jpeg.size() &&
               !(quint8(jpeg.at(end)) == 0xFF && quint8(jpeg.at(end + 1)) != 0 &&
                 (quint8(jpeg.at(end + 1)) < 0xD0 || quint8(jpeg.at(end + 1)) > 0xD7))) {
            ++end;
        }
        scans.append(jpeg.mid(at, end - at));
        at = jpeg.indexOf(QByteArray("\xFF\xDA", 2), end);
    }
    return scans;
}

QByteArray pngChunk(const QByteArray& type, const QByteArray& body) {
    QByteArray chunk;
    const auto be32 = [&chunk](quint32 value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            chunk.append(char((value >> shift) & 0xFF));
        }
    };
    be32(quint32(body.size()));
    chunk.append(type + body);
    const QByteArray crcd = type + body;
    be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(crcd.constData()), uInt(crcd.size()))));
    return chunk;
}

// A 1 x 1 grey PNG whose one compressed stream goes on to inflate `megabytes` of zeros after
// the two bytes of its only row.
QByteArray pngInflatingFar(int megabytes) {
    // One megabyte of zeros, deflated and flushed to a byte boundary: a block that can repeat.
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    QByteArray zeros(1 << 20, '\0');
    QByteArray block(64 * 1024, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
    stream.avail_in = uInt(zeros.size());
    stream.next_out = reinterpret_cast<Bytef*>(block.data());
    stream.avail_out = uInt(block.size());
    deflate(&stream, Z_SYNC_FLUSH);
    block.resize(block.size() - qsizetype(stream.avail_out));
    deflateEnd(&stream);

    QByteArray compressed("\x78\x01", 2);
    for (int i = 0; i < megabytes; ++i) {
        compressed.append(block);
    }
    compressed.append("\x03\x00", 2); // the last block: empty
    const quint64 length = quint64(megabytes) << 20;
    const quint32 adler = (quint32(length % 65521) << 16) | 1u; // of zeros only
    for (int shift = 24; shift >= 0; shift -= 8) {
        compressed.append(char((adler >> shift) & 0xFF));
    }
    QByteArray header;
    header.append(QByteArray::fromHex("00000001"
                                      "00000001"
                                      "0800000000"));
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", compressed) +
           pngChunk("IEND", {});
}

} // namespace

TEST(ImageIOCoderTest, AJpegOfEndlessScansDecodesFromItsFirstScansInLittleTime) {
    QImage flat(2000, 2000, QImage::Format_RGB32);
    flat.fill(QColor(90, 120, 200));
    const QByteArray jpeg = encode(flat, "jpeg", 75, true);
    const QList<QByteArray> scans = jpegScans(jpeg);
    ASSERT_GE(scans.size(), 2);
    QByteArray smallest = scans.first();
    for (const QByteArray& scan : scans) {
        if (scan.size() < smallest.size()) {
            smallest = scan;
        }
    }
    // One small scan over again, 20,000 times.
    const qsizetype end = jpeg.lastIndexOf(QByteArray("\xFF\xD9", 2));
    QByteArray flood = jpeg.left(end);
    for (int i = 0; i < 20000; ++i) {
        flood.append(smallest);
    }
    flood.append("\xFF\xD9", 2);

    const double start = DecodeCostGuard::threadCpuSeconds();
    const Image image = ImageIOCoder::sharedCoder()->decodedImageWithData(flood, {});
    const double spent = DecodeCostGuard::threadCpuSeconds() - start;
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixelSize(), QSize(2000, 2000));
    EXPECT_LT(spent, 1.0);
    EXPECT_LE(DecodeCostGuard::jpegScanCount(DecodeCostGuard::withinJpegScanLimit(flood), 1000),
              DecodeCostGuard::maxJpegScans);
}

TEST(ImageIOCoderTest, APngEndsWhenItsDeclaredRowsAreComplete) {
    // 3 MB of data that inflate to 3 GB after the image's two bytes.
    const QByteArray flood = pngInflatingFar(3000);
    const double start = DecodeCostGuard::threadCpuSeconds();
    const Image image = ImageIOCoder::sharedCoder()->decodedImageWithData(flood, {});
    const double spent = DecodeCostGuard::threadCpuSeconds() - start;
    EXPECT_LT(spent, 0.5);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixelSize(), QSize(1, 1));

    // Data that ends with the rows goes to Qt's plugin as always.
    EXPECT_FALSE(DecodeCostGuard::pngInflatesBeyondItsRows(encode(noise(64, 64), "png")));
    EXPECT_TRUE(DecodeCostGuard::pngInflatesBeyondItsRows(flood));
}

TEST(ImageIOCoderTest, ADecodeEndsOnceItHasSpentItsCpuTime) {
    const QByteArray png = encode(noise(256, 256), "png");
    const QByteArray jpeg = encode(noise(256, 256), "jpeg", 90, true);
    EXPECT_FALSE(ImageIOCoder::sharedCoder()->decodedImageWithData(png, {}).isNull());
    DecodeCostGuard::setDecodeCpuBudget(1e-9);
    const Image starved = ImageIOCoder::sharedCoder()->decodedImageWithData(png, {});
    const Image starvedJpeg = ImageIOCoder::sharedCoder()->decodedImageWithData(jpeg, {});
    DecodeCostGuard::setDecodeCpuBudget(0);
    EXPECT_TRUE(starved.isNull());
    // A JPEG cut short shows what was read, but never the whole picture.
    EXPECT_TRUE(starvedJpeg.isNull() ||
                starvedJpeg.bitmap().convertToFormat(QImage::Format_RGB32) != plainDecode(jpeg));
}

namespace {

// A one-page PDF of 600 x 800 points that draws `content`, with its cross-reference table.
QByteArray pdfDrawing(const QByteArray& content) {
    QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 600 800] /Contents 4 0 R >>",
        "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"};
    return velmora::test::pdfOf(objects);
}

} // namespace

TEST(ImageIOCoderTest, APdfPageThatCostsTooMuchToDrawIsNoImage) {
    // Twenty lines across the page in dashes a thousandth of a point long: millions of dashes.
    QByteArray dashed("1 w [0.001] 0 d\n");
    for (int i = 0; i < 20; ++i) {
        dashed +=
            "10 " + QByteArray::number(20 + i * 30) + " m 590 " + QByteArray::number(700 - i * 30) + " l S\n";
    }
    DecodeOptions thumbnail;
    thumbnail.thumbnailPixelSize = QSizeF(60, 60);
    EXPECT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(pdfDrawing(dashed), {}).isNull());
    EXPECT_TRUE(
        ImageCodersManager::sharedManager()->decodedImageWithData(pdfDrawing(dashed), thumbnail).isNull());

    // A quarter of a million paths.
    QByteArray paths;
    for (int i = 0; i < 250000; ++i) {
        paths += "1 1 m 2 2 l\n";
    }
    paths += "S\n";
    EXPECT_TRUE(
        ImageCodersManager::sharedManager()->decodedImageWithData(pdfDrawing(paths), thumbnail).isNull());

    // The same lines in ordinary dashes draw as always.
    QByteArray plain(dashed);
    plain.replace("[0.001]", "[3 2]");
    const Image drawn =
        ImageCodersManager::sharedManager()->decodedImageWithData(pdfDrawing(plain), thumbnail);
    ASSERT_FALSE(drawn.isNull());
    EXPECT_LE(drawn.pixelSize().width(), 60);
    EXPECT_LE(drawn.pixelSize().height(), 60);
}
