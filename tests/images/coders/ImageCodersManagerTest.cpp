#include "tests/images/support/TestImages.h"
#include "tests/support/PdfDocuments.h"

#include "images/coders/ImageAPNGCoder.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageGIFCoder.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImagePDFCoder.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

// A coder that claims everything and records that it was asked.
class RecordingCoder : public ImageCoder {
public:
    RecordingCoder(QString name, QStringList* log, bool claims, Image answer = {})
        : m_name(std::move(name)), m_log(log), m_claims(claims), m_answer(std::move(answer)) {}

    bool canDecodeFromData(const QByteArray&) override {
        m_log->append(m_name);
        return m_claims;
    }
    Image decodedImageWithData(const QByteArray&, const DecodeOptions&) override { return m_answer; }
    bool canEncodeToFormat(ImageFormat) override {
        m_log->append(m_name);
        return m_claims;
    }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override {
        return m_name.toUtf8();
    }

private:
    QString m_name;
    QStringList* m_log;
    bool m_claims;
    Image m_answer;
};

} // namespace

TEST(ImageCodersManagerTest, TheLastAddedCoderIsAskedFirstAndAClaimingCodersNoneIsFinal) {
    ImageCodersManager manager;
    QStringList log;
    auto a = std::make_shared<RecordingCoder>("A", &log, true, Image(QImage(1, 1, QImage::Format_RGB32)));
    auto b = std::make_shared<RecordingCoder>("B", &log, true);
    manager.addCoder(a);
    manager.addCoder(b);
    EXPECT_TRUE(manager.decodedImageWithData(encode(quadrants(4, 4), "png"), {}).isNull());
    EXPECT_EQ(log, QStringList{"B"});

    log.clear();
    auto declining = std::make_shared<RecordingCoder>("C", &log, false);
    manager.setCoders({a, declining});
    EXPECT_FALSE(manager.decodedImageWithData("data", {}).isNull());
    EXPECT_EQ(log, (QStringList{"C", "A"}));
    EXPECT_EQ(manager.encodedDataWithImage(Image(QImage(1, 1, QImage::Format_RGB32)), ImageFormat::PNG, {}),
              "A");
}

TEST(ImageCodersManagerTest, DefaultCodersAndListChanges) {
    ImageCodersManager manager;
    const auto defaults = manager.coders();
    ASSERT_FALSE(defaults.isEmpty());
    // The general coder is registered first, so it is asked last.
    const QList<std::shared_ptr<ImageCoder>> expected{
        ImageIOCoder::sharedCoder(), ImagePDFCoder::sharedCoder(), ImageGIFCoder::sharedCoder(),
        ImageAPNGCoder::sharedCoder()};
    EXPECT_EQ(defaults, expected);
    EXPECT_EQ(defaults, ImageCodersManager::defaultCoders());

    manager.addCoder(nullptr);
    EXPECT_EQ(manager.coders().size(), defaults.size());
    QStringList log;
    auto extra = std::make_shared<RecordingCoder>("X", &log, false);
    manager.addCoder(extra);
    manager.addCoder(extra);
    manager.removeCoder(extra);
    EXPECT_EQ(manager.coders(), defaults);

    // Through the defaults a PNG decodes, and nothing decodes empty data or encodes a null image.
    const Image image = manager.decodedImageWithData(encode(quadrants(8, 4), "png"), {});
    EXPECT_EQ(image.pixelSize(), QSize(8, 4));
    EXPECT_TRUE(manager.decodedImageWithData(QByteArray(), {}).isNull());
    EXPECT_TRUE(manager.encodedDataWithImage(Image(), ImageFormat::PNG, {}).isEmpty());
    EXPECT_TRUE(manager.encodedDataWithFrames({}, 0, ImageFormat::GIF, {}).isEmpty());
}

// The registry chooses by what the bytes are: a PDF goes to the PDF coder, an SVG that no SVG
// coder claims (its closing tag far from its end, or only its name saying SVG) to the SVG road,
// before the still-image coder, which takes any data and reads neither.
TEST(ImageCodersManagerTest, AVectorDocumentGoesToItsCoderByItsBytesNeverToTheStillCoder) {
    const QByteArray content = "1 0 0 rg 0 0 60 30 re f";
    const QByteArray pdf = velmora::test::pdfOf(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 30] /Contents 4 0 R >>",
         "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"});
    // Its closing tag is not among its last hundred bytes: the SVG coder would not claim it.
    const QByteArray svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"30\"><rect width=\"60\" "
        "height=\"30\" fill=\"#ff0000\"/></svg>" +
        QByteArray(200, ' ');
    DecodeOptions thumbnail;
    thumbnail.thumbnailPixelSize = QSizeF(60, 60);
    for (const auto& [name, data, format] :
         {std::tuple{"PDF", pdf, ImageFormat::PDF}, std::tuple{"SVG", svg, ImageFormat::SVG}}) {
        EXPECT_TRUE(ImageIOCoder::sharedCoder()->decodedImageWithData(data, thumbnail).isNull()) << name;
        ImageCodersManager manager;
        const Image image = manager.decodedImageWithData(data, thumbnail);
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_EQ(image.imageFormat(), format) << name;
        // The page centred in the thumbnail; the canvas fitted to it.
        EXPECT_EQ(image.size(), format == ImageFormat::PDF ? QSizeF(60, 60) : QSizeF(60, 30)) << name;
    }
}
