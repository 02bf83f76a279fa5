#include "images/core/ImageFormat.h"

#include <gtest/gtest.h>

using namespace velmora::images;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray data;
    for (int value : values) {
        data.append(static_cast<char>(value));
    }
    return data;
}

} // namespace

TEST(ImageFormatTest, SniffsEveryFormatFromItsLeadingBytes) {
    EXPECT_EQ(imageFormatForImageData(bytes({0xFF, 0xD8, 0xFF})), ImageFormat::JPEG);
    EXPECT_EQ(imageFormatForImageData(bytes({0x89, 'P', 'N', 'G'})), ImageFormat::PNG);
    EXPECT_EQ(imageFormatForImageData("GIF89a"), ImageFormat::GIF);
    EXPECT_EQ(imageFormatForImageData("II*\0"), ImageFormat::TIFF);
    EXPECT_EQ(imageFormatForImageData("MM\0*"), ImageFormat::TIFF);
    EXPECT_EQ(imageFormatForImageData("BM"), ImageFormat::BMP);
    EXPECT_EQ(imageFormatForImageData("RIFF\x10\x20\x30\x40WEBPVP8 "), ImageFormat::WebP);
    EXPECT_EQ(imageFormatForImageData("%PDF-1.7"), ImageFormat::PDF);
    EXPECT_EQ(imageFormatForImageData("<svg xmlns=\"http://www.w3.org/2000/svg\"></svg>\n"),
              ImageFormat::SVG);
    EXPECT_EQ(imageFormatForImageData(bytes({0, 0, 0, 0x18}) + "ftypheic"), ImageFormat::HEIC);
    EXPECT_EQ(imageFormatForImageData(bytes({0, 0, 0, 0x18}) + "ftyphevx"), ImageFormat::HEIC);
    EXPECT_EQ(imageFormatForImageData(bytes({0, 0, 0, 0x18}) + "ftypmif1"), ImageFormat::HEIF);
    EXPECT_EQ(imageFormatForImageData(bytes({0, 0, 0, 0x18}) + "ftypmsf1"), ImageFormat::HEIF);
}

TEST(ImageFormatTest, ShortEmptyAndLookAlikeDataIsUndefined) {
    EXPECT_EQ(imageFormatForImageData(QByteArray()), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData(QByteArray("")), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("R"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("%"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("<"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData(bytes({0})), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData(bytes({0x01})), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("RIFF\x10\x20\x30\x40"
                                      "AVI "),
              ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("RIFF1234WEB"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData("%PD"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatForImageData(bytes({0, 0, 0, 0x1C}) + "ftypavif"), ImageFormat::Undefined);

    QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\">" + QByteArray(2000, ' ') + "</svg>";
    EXPECT_EQ(imageFormatForImageData(svg + "\n"), ImageFormat::SVG);
    EXPECT_EQ(imageFormatForImageData(svg + "<!--" + QByteArray(200, 'x') + "-->"), ImageFormat::Undefined);
}

TEST(ImageFormatTest, TypeIdentifiersRoundTrip) {
    for (int value = 0; value <= 10; ++value) {
        const auto format = static_cast<ImageFormat>(value);
        EXPECT_EQ(imageFormatFromUTType(utTypeFromImageFormat(format)), format) << value;
    }
    EXPECT_EQ(utTypeFromImageFormat(ImageFormat::Undefined), "public.image");
    EXPECT_EQ(utTypeFromImageFormat(static_cast<ImageFormat>(11)), "public.image");
    EXPECT_EQ(imageFormatFromUTType("public.jpeg"), ImageFormat::JPEG);
    EXPECT_EQ(imageFormatFromUTType("public.image"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatFromUTType("PUBLIC.JPEG"), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatFromUTType(QString()), ImageFormat::Undefined);
    EXPECT_EQ(imageFormatFromUTType("com.canon.cr2-raw-image"), ImageFormat::RAW);
    EXPECT_EQ(imageFormatFromUTType("com.nikon.raw-image"), ImageFormat::RAW);
}

TEST(ImageFormatTest, FileExtensionsGiveImageTypesOrDynamicOnes) {
    EXPECT_EQ(utTypeForFileExtension("JPG"), "public.jpeg");
    EXPECT_EQ(utTypeForFileExtension("nef"), "com.nikon.raw-image");
    EXPECT_TRUE(utTypeIsDynamic(utTypeForFileExtension("xyz")));
    EXPECT_FALSE(utTypeIsDynamic(utTypeForFileExtension("png")));
}
