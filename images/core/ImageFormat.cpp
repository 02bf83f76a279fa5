#include "images/core/ImageFormat.h"

#include <array>
#include <utility>

namespace velmora::images {

namespace {

constexpr std::array<std::pair<ImageFormat, const char*>, 11> typeTable{{
    {ImageFormat::JPEG, "public.jpeg"},
    {ImageFormat::PNG, "public.png"},
    {ImageFormat::GIF, "com.compuserve.gif"},
    {ImageFormat::TIFF, "public.tiff"},
    {ImageFormat::WebP, "org.webmproject.webp"},
    {ImageFormat::HEIC, "public.heic"},
    {ImageFormat::HEIF, "public.heif"},
    {ImageFormat::PDF, "com.adobe.pdf"},
    {ImageFormat::SVG, "public.svg-image"},
    {ImageFormat::BMP, "com.microsoft.bmp"},
    {ImageFormat::RAW, "public.camera-raw-image"},
}};

constexpr char cameraRaw[] = "public.camera-raw-image";

struct ExtensionType {
    const char* extension;
    const char* type;
};

// The image types we know by file-name extension. Camera raw files get their makers' types,
// which all sit below the camera raw type.
constexpr std::array<ExtensionType, 33> extensionTable{{
    {"jpg", "public.jpeg"},
    {"jpeg", "public.jpeg"},
    {"jpe", "public.jpeg"},
    {"png", "public.png"},
    {"gif", "com.compuserve.gif"},
    {"tif", "public.tiff"},
    {"tiff", "public.tiff"},
    {"webp", "org.webmproject.webp"},
    {"heic", "public.heic"},
    {"heics", "public.heics"},
    {"heif", "public.heif"},
    {"hif", "public.heif"},
    {"pdf", "com.adobe.pdf"},
    {"svg", "public.svg-image"},
    {"bmp", "com.microsoft.bmp"},
    {"dib", "com.microsoft.bmp"},
    {"ico", "com.microsoft.ico"},
    {"icns", "com.apple.icns"},
    {"tga", "com.truevision.tga-image"},
    {"avif", "public.avif"},
    {"jp2", "public.jpeg-2000"},
    {"dng", "com.adobe.raw-image"},
    {"cr2", "com.canon.cr2-raw-image"},
    {"cr3", "com.canon.cr3-raw-image"},
    {"crw", "com.canon.crw-raw-image"},
    {"nef", "com.nikon.raw-image"},
    {"nrw", "com.nikon.nrw-raw-image"},
    {"arw", "com.sony.arw-raw-image"},
    {"sr2", "com.sony.sr2-raw-image"},
    {"raf", "com.fuji.raw-image"},
    {"orf", "com.olympus.raw-image"},
    {"rw2", "com.panasonic.rw2-raw-image"},
    {"pef", "com.pentax.raw-image"},
}};

struct QtFormat {
    const char* type;
    const char* qtFormat;
};

constexpr std::array<QtFormat, 10> qtFormatTable{{
    {"public.jpeg", "jpeg"},
    {"public.png", "png"},
    {"com.compuserve.gif", "gif"},
    {"public.tiff", "tiff"},
    {"org.webmproject.webp", "webp"},
    {"com.microsoft.bmp", "bmp"},
    {"com.microsoft.ico", "ico"},
    {"com.apple.icns", "icns"},
    {"com.truevision.tga-image", "tga"},
    {"public.svg-image", "svg"},
}};

bool startsWithAscii(const QByteArray& data, qsizetype from, const char* text) {
    return data.mid(from, qstrlen(text)) == QByteArray(text);
}

} // namespace

ImageFormat imageFormatForImageData(const QByteArray& data) {
    if (data.isEmpty()) {
        return ImageFormat::Undefined;
    }
    switch (static_cast<unsigned char>(data.at(0))) {
    case 0xFF:
        return ImageFormat::JPEG;
    case 0x89:
        return ImageFormat::PNG;
    case 0x47:
        return ImageFormat::GIF;
    case 0x49:
    case 0x4D:
        return ImageFormat::TIFF;
    case 0x42:
        return ImageFormat::BMP;
    case 0x52:
        if (data.size() >= 12 && startsWithAscii(data, 0, "RIFF") && startsWithAscii(data, 8, "WEBP")) {
            return ImageFormat::WebP;
        }
        return ImageFormat::Undefined;
    case 0x25:
        if (data.size() >= 4 && startsWithAscii(data, 1, "PDF")) {
            return ImageFormat::PDF;
        }
        return ImageFormat::Undefined;
    case 0x3C: {
        // Only the tail is looked at: an SVG document ends with its closing tag.
        const QByteArray tail = data.right(100);
        if (tail.lastIndexOf("</svg>") >= 0) {
            return ImageFormat::SVG;
        }
        return ImageFormat::Undefined;
    }
    case 0x00:
        if (data.size() >= 12) {
            const QByteArray brand = data.mid(4, 8);
            if (brand == "ftypheic" || brand == "ftypheix" || brand == "ftyphevc" || brand == "ftyphevx") {
                return ImageFormat::HEIC;
            }
            if (brand == "ftypmif1" || brand == "ftypmsf1") {
                return ImageFormat::HEIF;
            }
        }
        return ImageFormat::Undefined;
    default:
        return ImageFormat::Undefined;
    }
}

QString utTypeFromImageFormat(ImageFormat format) {
    for (const auto& [entry, type] : typeTable) {
        if (entry == format) {
            return QString::fromLatin1(type);
        }
    }
    return QStringLiteral("public.image");
}

ImageFormat imageFormatFromUTType(const QString& typeIdentifier) {
    if (typeIdentifier.isNull()) {
        return ImageFormat::Undefined;
    }
    for (const auto& [format, type] : typeTable) {
        if (format != ImageFormat::RAW && typeIdentifier == QLatin1String(type)) {
            return format;
        }
    }
    if (utTypeConformsToCameraRaw(typeIdentifier)) {
        return ImageFormat::RAW;
    }
    return ImageFormat::Undefined;
}

bool utTypeConformsToCameraRaw(const QString& typeIdentifier) {
    if (typeIdentifier == QLatin1String(cameraRaw)) {
        return true;
    }
    // The makers' raw types all end this way and conform to the camera raw type.
    return typeIdentifier.endsWith(QLatin1String("raw-image")) &&
           (typeIdentifier.endsWith(QLatin1String(".raw-image")) ||
            typeIdentifier.endsWith(QLatin1String("-raw-image")));
}

QString utTypeForFileExtension(const QString& extension) {
    const QString lower = extension.toLower();
    for (const auto& entry : extensionTable) {
        if (lower == QLatin1String(entry.extension)) {
            return QString::fromLatin1(entry.type);
        }
    }
    return QStringLiteral("dyn.") + lower;
}

bool utTypeIsDynamic(const QString& typeIdentifier) {
    return typeIdentifier.startsWith(QLatin1String("dyn."));
}

QByteArray qtFormatForUTType(const QString& typeIdentifier) {
    for (const auto& entry : qtFormatTable) {
        if (typeIdentifier == QLatin1String(entry.type)) {
            return QByteArray(entry.qtFormat);
        }
    }
    return {};
}

QString utTypeForQtFormat(const QByteArray& qtFormat) {
    const QByteArray lower = qtFormat.toLower();
    if (lower == "jpg") {
        return QStringLiteral("public.jpeg");
    }
    if (lower == "tif") {
        return QStringLiteral("public.tiff");
    }
    for (const auto& entry : qtFormatTable) {
        if (lower == entry.qtFormat) {
            return QString::fromLatin1(entry.type);
        }
    }
    return QStringLiteral("public.image");
}

} // namespace velmora::images
