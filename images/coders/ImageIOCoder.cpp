#include "images/coders/ImageIOCoder.h"

#include "images/coders/DecodeCostGuard.h"
#include "images/coders/HeifSupport.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/PartialPngDecoder.h"
#include "images/coders/PngWriter.h"
#include "images/core/GraphicsImageRenderer.h"

#include <QBuffer>
#include <QImageIOHandler>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QPdfWriter>

#include <cmath>

namespace velmora::images {

namespace {

struct FrameRequest {
    double scale = 1.0;
    bool preserveAspectRatio = true;
    QSizeF thumbnailSize;
    bool lazyDecode = true;
};

double scaleFrom(const DecodeOptions& options, double fallback) {
    if (options.scaleFactor.hasValue() && options.scaleFactor.value() >= 1.0) {
        return options.scaleFactor.value();
    }
    return fallback;
}

FrameRequest requestFrom(const DecodeOptions& options) {
    FrameRequest request;
    request.scale = scaleFrom(options, 1.0);
    request.preserveAspectRatio = options.preserveAspectRatio.valueOr(true);
    request.thumbnailSize = options.thumbnailPixelSize.valueOr(QSizeF());
    request.lazyDecode = options.useLazyDecoding.valueOr(true);
    return request;
}

int exifOrientation(QImageIOHandler::Transformations transformation) {
    switch (int(transformation)) {
    case QImageIOHandler::TransformationMirror:
        return 2;
    case QImageIOHandler::TransformationRotate180:
        return 3;
    case QImageIOHandler::TransformationFlip:
        return 4;
    case QImageIOHandler::TransformationMirrorAndRotate90:
        return 5;
    case QImageIOHandler::TransformationRotate90:
        return 6;
    case QImageIOHandler::TransformationFlipAndRotate90:
        return 7;
    case QImageIOHandler::TransformationRotate270:
        return 8;
    default:
        return 1;
    }
}

bool swapsSides(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

// The pixel size a frame is decoded at: the full size unless a thumbnail size asks for less.
QSize targetPixelSize(const QSize& upright, const FrameRequest& request) {
    const QSizeF thumbnail = request.thumbnailSize;
    if (thumbnail.width() <= 0 || thumbnail.height() <= 0 || upright.isEmpty() ||
        (upright.width() <= thumbnail.width() && upright.height() <= thumbnail.height())) {
        return upright;
    }
    if (!request.preserveAspectRatio) {
        return QSize(int(std::round(thumbnail.width())), int(std::round(thumbnail.height())));
    }
    const QSizeF fitted = ImageCoderHelper::scaledSize(QSizeF(upright), thumbnail, true, false);
    return QSize(std::max(1, int(fitted.width())), std::max(1, int(fitted.height())));
}

Image finishFrame(QImage bitmap, int orientation, const FrameRequest& request) {
    if (bitmap.isNull()) {
        return {};
    }
    if (orientation != 1) {
        bitmap = ImageCoderHelper::createDecoded(bitmap, orientation);
    }
    if (!request.lazyDecode) {
        bitmap = bitmap.convertToFormat(ImageCoderHelper::preferredPixelFormat(bitmap.hasAlphaChannel()));
    }
    Image image(bitmap, request.scale);
    image.setDecoded(!request.lazyDecode);
    return image;
}

// Points `reader` at the start of `buffer`, asking only the plugin for `qtFormat`, or,
// without one, Qt's detection. Detection asks every plugin in turn, loading all of them,
// and runs their parsers on bytes from anywhere, so it is the second try, not the first.
void readFromStart(QImageReader& reader, QIODevice& buffer, const QByteArray& qtFormat) {
    buffer.seek(0);
    reader.setDevice(nullptr);
    reader.setFormat(qtFormat);
    reader.setAutoDetectImageFormat(qtFormat.isEmpty());
    reader.setAutoTransform(false);
    reader.setDevice(&buffer);
}

// Qt's SVG reader opens every file a document names: SVG is read by the SVG coder alone, after
// its filter, never here (not even when the detection finds it).
bool isQtVectorFormat(const QByteArray& qtFormat) {
    return qtFormat == "svg" || qtFormat == "svgz";
}

// Whether `reader` may read what it points at: it can, and not with Qt's SVG reader.
bool canReadSafely(QImageReader& reader) {
    return reader.canRead() && !isQtVectorFormat(reader.format());
}

// The first frame through Qt's plugins, with the type hint first and then without it. What the
// plugin reads is bounded first: a JPEG ends after its last allowed scan, and its bytes end once
// the decode has spent its CPU time.
Image decodeWithReader(const QByteArray& data, const QByteArray& qtFormatHint, const FrameRequest& request,
                       ImageFormat* format) {
    DecodeCostGuard::BudgetedBuffer buffer(DecodeCostGuard::withinJpegScanLimit(data));
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader;
    readFromStart(reader, buffer, isQtVectorFormat(qtFormatHint) ? QByteArray() : qtFormatHint);
    if (!canReadSafely(reader)) {
        if (qtFormatHint.isEmpty()) {
            return {};
        }
        readFromStart(reader, buffer, QByteArray());
        if (!canReadSafely(reader)) {
            return {};
        }
    }
    *format = imageFormatFromUTType(utTypeForQtFormat(reader.format()));
    const int orientation = exifOrientation(reader.transformation());
    const QSize raw = reader.size();
    // The declared size is checked before a pixel is read; data that declares none is left to
    // Qt's own allocation limit.
    if (raw.isValid() && !fitsPixelBudget(raw)) {
        return {};
    }
    if (raw.isValid() && !raw.isEmpty()) {
        const QSize upright = swapsSides(orientation) ? raw.transposed() : raw;
        const QSize target = targetPixelSize(upright, request);
        if (target != upright) {
            reader.setScaledSize(swapsSides(orientation) ? target.transposed() : target);
        }
    }
    QImage bitmap;
    if (!reader.read(&bitmap)) {
        return {};
    }
    return finishFrame(bitmap, orientation, request);
}

// A PNG's declared rows and nothing after them: Qt's plugin would inflate all the data that
// follows the rows before it answers.
Image decodeRowsOnly(const QByteArray& data, const FrameRequest& request) {
    QImage rows = PartialPngDecoder::decode(data);
    const QSize target = targetPixelSize(rows.size(), request);
    if (!rows.isNull() && target != rows.size()) {
        rows = ImageCoderHelper::createScaled(rows, target);
    }
    return finishFrame(rows, 1, request);
}

Image decodeHeif(const QByteArray& data, const FrameRequest& request) {
    QImage bitmap = HeifSupport::decode(data);
    if (bitmap.isNull()) {
        return {};
    }
    const QSize target = targetPixelSize(bitmap.size(), request);
    if (target != bitmap.size()) {
        bitmap = ImageCoderHelper::createScaled(bitmap, target);
    }
    // libheif already turned the image upright.
    return finishFrame(bitmap, 1, request);
}

// Qt's name for a sniffed format; empty when there is none.
QByteArray qtFormatFor(ImageFormat format) {
    return format == ImageFormat::Undefined ? QByteArray() : qtFormatForUTType(utTypeFromImageFormat(format));
}

QByteArray typeHintFor(const DecodeOptions& options) {
    if (options.typeIdentifierHint.isNone()) {
        return {};
    }
    if (options.typeIdentifierHint.hasValue()) {
        return qtFormatForUTType(options.typeIdentifierHint.value());
    }
    if (options.fileExtensionHint.hasValue()) {
        const QString type = utTypeForFileExtension(options.fileExtensionHint.value());
        if (!utTypeIsDynamic(type)) {
            return qtFormatForUTType(type);
        }
    }
    return {};
}

bool isLossy(ImageFormat format) {
    return format == ImageFormat::JPEG || format == ImageFormat::WebP || format == ImageFormat::HEIC ||
           format == ImageFormat::HEIF;
}

QByteArray writeWithQt(const QImage& bitmap, const QByteArray& qtFormat, int quality) {
    QByteArray output;
    QBuffer buffer(&output);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, qtFormat);
    if (quality >= 0) {
        writer.setQuality(quality);
    }
    if (!writer.write(bitmap)) {
        return {};
    }
    return output;
}

QByteArray writePdf(const QImage& bitmap, double scale) {
    QByteArray output;
    QBuffer buffer(&output);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    const double dpi = 72.0 * scale;
    writer.setResolution(int(std::round(dpi)));
    const QSizeF points = QSizeF(bitmap.size()) / scale;
    writer.setPageSize(QPageSize(points, QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter(&writer);
    if (!painter.isActive()) {
        return {};
    }
    painter.drawImage(QRectF(QPointF(0, 0), QSizeF(bitmap.size())), bitmap);
    painter.end();
    return output;
}

// One encode of the bitmap at a quality (0 to 100, or -1 for the format's default).
QByteArray encodeOnce(const QImage& bitmap, ImageFormat format, int quality, double scale) {
    switch (format) {
    case ImageFormat::HEIC:
    case ImageFormat::HEIF:
        return HeifSupport::encode(bitmap, quality < 0 ? 1.0 : quality / 100.0);
    case ImageFormat::PDF:
        return writePdf(bitmap, scale);
    case ImageFormat::PNG:
        // Not through Qt's writer, which loads every image plugin to find one for PNG.
        return PngWriter::write(bitmap);
    default: {
        const QByteArray qtFormat = qtFormatForUTType(utTypeFromImageFormat(format));
        if (qtFormat.isEmpty() || qtFormat == "svg" ||
            !QImageWriter::supportedImageFormats().contains(qtFormat)) {
            return {};
        }
        return writeWithQt(bitmap, qtFormat, quality);
    }
    }
}

} // namespace

bool ImageIOCoder::isReadAsSvg(const QByteArray& data, const DecodeOptions& options) {
    const ImageFormat sniffed = imageFormatForImageData(data);
    const QByteArray hint = typeHintFor(options);
    if (sniffed == ImageFormat::SVG) {
        return true;
    }
    // Bytes that say what they are win over a name's hint: a vector avatar drawn at its size is
    // kept as a PNG under its document's name (".svg"), and read back as the PNG it is.
    if (sniffed == ImageFormat::Undefined && isQtVectorFormat(hint)) {
        return true;
    }
    // Markup or compressed data only; any other bytes are not worth a second detection.
    const QByteArray start = data.left(64).trimmed();
    if (sniffed != ImageFormat::Undefined ||
        !(start.startsWith('<') || start.startsWith("\xef\xbb\xbf<") || start.startsWith("\x1f\x8b"))) {
        return false;
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader;
    readFromStart(reader, buffer, QByteArray());
    return reader.canRead() && isQtVectorFormat(reader.format());
}

ImageIOCoder::ImageIOCoder() = default;

ImageIOCoder::ImageIOCoder(const DecodeOptions& options) {
    const FrameRequest request = requestFrom(options);
    m_scale = request.scale;
    m_preserveAspectRatio = request.preserveAspectRatio;
    m_thumbnailSize = request.thumbnailSize;
    m_lazyDecode = request.lazyDecode;
}

std::shared_ptr<ImageIOCoder> ImageIOCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageIOCoder>();
    return instance;
}

bool ImageIOCoder::canDecodeFromData(const QByteArray&) {
    return true;
}

bool ImageIOCoder::canIncrementalDecodeFromData(const QByteArray&) {
    return true;
}

bool ImageIOCoder::canEncodeToFormat(ImageFormat) {
    return true;
}

Image ImageIOCoder::decodedImageWithData(const QByteArray& data, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const FrameRequest request = requestFrom(options);
    ImageFormat format = imageFormatForImageData(data);
    // A vector document is no still image: the registry gives it to its own coder, and here it
    // is never read (Qt's SVG reader would open every file it names).
    if (format == ImageFormat::PDF || isReadAsSvg(data, options)) {
        return {};
    }
    Image image;
    if (format == ImageFormat::HEIC || format == ImageFormat::HEIF) {
        image = decodeHeif(data, request);
    } else if (format == ImageFormat::PNG && DecodeCostGuard::pngInflatesBeyondItsRows(data)) {
        image = decodeRowsOnly(data, request);
    } else {
        const QByteArray hint = typeHintFor(options);
        image = decodeWithReader(data, hint.isEmpty() ? qtFormatFor(format) : hint, request, &format);
    }
    if (!image.isNull()) {
        image.setImageFormat(format);
    }
    return image;
}

std::shared_ptr<ProgressiveImageCoder> ImageIOCoder::createIncrementalCoder(const DecodeOptions& options) {
    return std::shared_ptr<ImageIOCoder>(new ImageIOCoder(options));
}

void ImageIOCoder::updateIncrementalData(const QByteArray& data, bool finished) {
    std::lock_guard lock(m_mutex);
    if (m_finished) {
        return;
    }
    m_finished = finished;
    m_data = data;
    if (m_width != 0 || m_height != 0) {
        return;
    }
    const ImageFormat format = imageFormatForImageData(data);
    if (format == ImageFormat::HEIC || format == ImageFormat::HEIF) {
        const QSize size = HeifSupport::size(data);
        m_width = quint64(std::max(size.width(), 0));
        m_height = quint64(std::max(size.height(), 0));
        return;
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    // The sniffed type's plugin alone first, as for decoding.
    const QByteArray sniffed = qtFormatFor(format);
    QImageReader reader;
    readFromStart(reader, buffer, isQtVectorFormat(sniffed) ? QByteArray() : sniffed);
    QSize size = canReadSafely(reader) ? reader.size() : QSize();
    if (!size.isValid() && !sniffed.isEmpty()) {
        readFromStart(reader, buffer, QByteArray());
        size = canReadSafely(reader) ? reader.size() : QSize();
    }
    if (size.isValid() && !size.isEmpty()) {
        m_width = quint64(size.width());
        m_height = quint64(size.height());
        m_orientation = exifOrientation(reader.transformation());
    }
}

Image ImageIOCoder::incrementalDecodedImageWithOptions(const DecodeOptions& options) {
    QByteArray data;
    FrameRequest request;
    int orientation = 1;
    {
        std::lock_guard lock(m_mutex);
        if (m_width + m_height == 0) {
            return {};
        }
        data = m_data;
        orientation = m_orientation;
        request.scale = scaleFrom(options, m_scale);
        request.preserveAspectRatio = m_preserveAspectRatio;
        request.thumbnailSize = m_thumbnailSize;
        request.lazyDecode = m_lazyDecode;
    }
    ImageFormat format = imageFormatForImageData(data);
    const bool flood = format == ImageFormat::PNG && DecodeCostGuard::pngInflatesBeyondItsRows(data);
    Image image = (format == ImageFormat::HEIC || format == ImageFormat::HEIF) ? decodeHeif(data, request)
                  : flood                                                      ? Image()
                          : decodeWithReader(data, qtFormatFor(format), request, &format);
    if (image.isNull() && format == ImageFormat::PNG) {
        // Qt refuses a PNG that is cut off: the rows received so far are shown instead.
        QImage rows = PartialPngDecoder::decode(data);
        const QSize target = targetPixelSize(rows.size(), request);
        if (!rows.isNull() && target != rows.size()) {
            rows = ImageCoderHelper::createScaled(rows, target);
        }
        image = finishFrame(rows, orientation, request);
    }
    if (!image.isNull()) {
        image.setImageFormat(format);
    }
    return image;
}

double ImageIOCoder::maxPixelSizeLimit(const QSize& imageSize, const QSizeF& maxPixelSize) {
    const double maxWidth = maxPixelSize.width();
    const double maxHeight = maxPixelSize.height();
    const double width = imageSize.width();
    const double height = imageSize.height();
    if (!(maxWidth > 0) || !(maxHeight > 0) || !(width > 0) || !(height > 0)) {
        return 0;
    }
    if (width <= maxWidth && height <= maxHeight) {
        return 0;
    }
    const double aspect = width / height;
    if (aspect > maxWidth / maxHeight) {
        return std::max(maxWidth, maxWidth / aspect);
    }
    return std::max(maxHeight, maxHeight * aspect);
}

QByteArray ImageIOCoder::encodedDataWithImage(const Image& image, ImageFormat format,
                                              const EncodeOptions& options) {
    if (image.isNull()) {
        return {};
    }
    QImage bitmap = image.bitmap();
    if (bitmap.isNull()) {
        return {};
    }
    if (format == ImageFormat::Undefined) {
        format = ImageCoderHelper::imageContainsAlpha(bitmap) ? ImageFormat::PNG : ImageFormat::JPEG;
    }
    bitmap.setDevicePixelRatio(1.0);

    const double limit = options.maxPixelSize.hasValue()
                             ? maxPixelSizeLimit(bitmap.size(), options.maxPixelSize.value())
                             : 0.0;
    if (limit > 0) {
        // The longer side becomes the limit, the proportions stay.
        const double factor = limit / std::max(bitmap.width(), bitmap.height());
        const QSize reduced(std::max(1, int(std::round(bitmap.width() * factor))),
                            std::max(1, int(std::round(bitmap.height() * factor))));
        bitmap = ImageCoderHelper::createScaled(bitmap, reduced);
    }

    const bool formatHasAlpha = format != ImageFormat::JPEG && format != ImageFormat::BMP;
    if (options.backgroundColor.hasValue() && bitmap.hasAlphaChannel() && !formatHasAlpha) {
        QImage flattened(bitmap.size(), QImage::Format_RGB32);
        flattened.fill(options.backgroundColor.value());
        QPainter painter(&flattened);
        painter.drawImage(0, 0, bitmap);
        painter.end();
        bitmap = flattened;
    }

    const quint64 maxFileSize = options.maxFileSize.valueOr(0);
    if (maxFileSize > 0 && isLossy(format)) {
        // The highest quality whose result fits; the smallest result when none does.
        int low = 0;
        int high = 100;
        QByteArray best;
        while (low <= high) {
            const int quality = (low + high) / 2;
            QByteArray candidate = encodeOnce(bitmap, format, quality, image.scale());
            if (candidate.isEmpty()) {
                return {};
            }
            if (quint64(candidate.size()) <= maxFileSize) {
                best = std::move(candidate);
                low = quality + 1;
            } else {
                high = quality - 1;
            }
        }
        return best.isEmpty() ? encodeOnce(bitmap, format, 0, image.scale()) : best;
    }

    const double quality = std::clamp(options.compressionQuality.valueOr(1.0), 0.0, 1.0);
    return encodeOnce(bitmap, format, isLossy(format) ? int(std::round(quality * 100.0)) : -1, image.scale());
}

bool ImageIOCoder::machineCanDecode(ImageFormat format) {
    switch (format) {
    case ImageFormat::HEIC:
    case ImageFormat::HEIF:
        return HeifSupport::canDecode();
    case ImageFormat::PDF:
    case ImageFormat::PNG: // Qt's own, no plugin: asking the plugins would load every one
        return true;
    case ImageFormat::Undefined:
    case ImageFormat::RAW:
        return false;
    default:
        return QImageReader::supportedImageFormats().contains(
            qtFormatForUTType(utTypeFromImageFormat(format)));
    }
}

bool ImageIOCoder::machineCanEncode(ImageFormat format) {
    switch (format) {
    case ImageFormat::HEIC:
    case ImageFormat::HEIF:
        return HeifSupport::canEncode();
    case ImageFormat::PDF:
    case ImageFormat::PNG: // our own writer
        return true;
    case ImageFormat::Undefined:
    case ImageFormat::RAW:
    case ImageFormat::SVG:
        return false;
    default:
        return QImageWriter::supportedImageFormats().contains(
            qtFormatForUTType(utTypeFromImageFormat(format)));
    }
}

} // namespace velmora::images
