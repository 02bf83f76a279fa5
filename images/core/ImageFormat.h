#pragma once

#include <QByteArray>
#include <QString>

namespace velmora::images {

// The formats the library tells apart; the numbers are stable and stored nowhere but may be
// compared with plain integers by callers.
enum class ImageFormat : int {
    Undefined = -1,
    JPEG = 0,
    PNG = 1,
    GIF = 2,
    TIFF = 3,
    WebP = 4,
    HEIC = 5,
    HEIF = 6,
    PDF = 7,
    SVG = 8,
    BMP = 9,
    RAW = 10,
};

// The format found from the leading bytes (and, for SVG, the trailing ones); Undefined for
// empty or unknown data. Never RAW: that only comes from a type identifier.
ImageFormat imageFormatForImageData(const QByteArray& data);

// The uniform type identifier of a format; "public.image" for Undefined and unknown values.
QString utTypeFromImageFormat(ImageFormat format);

// The format of a uniform type identifier; a camera raw identifier gives RAW, anything
// unknown (or a null string) Undefined.
ImageFormat imageFormatFromUTType(const QString& typeIdentifier);

// True when the identifier is a camera raw type ("public.camera-raw-image" or one of the
// camera makers' raw types below it).
bool utTypeConformsToCameraRaw(const QString& typeIdentifier);

// The preferred image type identifier of a file-name extension, or a dynamic identifier
// ("dyn." + the extension) when no image type claims it.
QString utTypeForFileExtension(const QString& extension);
bool utTypeIsDynamic(const QString& typeIdentifier);

// The Qt image plugin name ("jpeg", "png", ...) for a type identifier, empty when Qt's plugins
// have none for it.
QByteArray qtFormatForUTType(const QString& typeIdentifier);
// The type identifier of a Qt image plugin name, "public.image" when unknown.
QString utTypeForQtFormat(const QByteArray& qtFormat);

} // namespace velmora::images
