#include "images/coders/ImageSVGCoder.h"

#include "images/coders/ImageCoderHelper.h"
#include "images/coders/SvgVectorImageSource.h"
#include "images/core/GraphicsImageRenderer.h"
#include "images/core/RemoteImageContext.h"

#include <QPainter>

#include <cmath>

namespace velmora::images {

std::shared_ptr<ImageSVGCoder> ImageSVGCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageSVGCoder>();
    return instance;
}

bool ImageSVGCoder::isSVGFormatForData(const QByteArray& data) {
    if (data.isEmpty()) {
        return false;
    }
    return data.right(100).lastIndexOf("</svg>") >= 0;
}

bool ImageSVGCoder::canDecodeFromData(const QByteArray& data) {
    return isSVGFormatForData(data);
}

bool ImageSVGCoder::canEncodeToFormat(ImageFormat format) {
    return format == ImageFormat::SVG;
}

Image ImageSVGCoder::decodedImageWithData(const QByteArray& data, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const RemoteImageContext* context = options.remoteImageContext.get();
    QSizeF size;
    bool prefersBitmap = false;
    if (context && context->svgImageSize.hasValue()) {
        size = context->svgImageSize.value();
        prefersBitmap = true;
    } else if (options.thumbnailPixelSize.hasValue()) {
        size = options.thumbnailPixelSize.value();
        prefersBitmap = true;
    } else {
        prefersBitmap = context && context->svgPrefersBitmap.valueOr(false);
    }
    bool preserveAspectRatio = options.preserveAspectRatio.valueOr(true);
    if (context && context->svgImagePreserveAspectRatio.hasValue()) {
        preserveAspectRatio = context->svgImagePreserveAspectRatio.value();
    }

    Image image =
        (!prefersBitmap && supportsVectorSVGImage())
            ? createVectorSVG(data)
            : createBitmapSVG(data, size, preserveAspectRatio, options.scaleDownLimitBytes.valueOr(0));
    if (!image.isNull()) {
        image.setImageFormat(ImageFormat::SVG);
    }
    return image;
}

Image ImageSVGCoder::createVectorSVG(const QByteArray& data) {
    Q_ASSERT_X(!data.isNull(), "createVectorSVG", "Invalid parameter not satisfying: data");
    auto source = SvgVectorImageSource::create(data);
    return source ? Image(std::move(source)) : Image();
}

Image ImageSVGCoder::createBitmapSVG(const QByteArray& data, const QSizeF& targetSize,
                                     bool preserveAspectRatio, quint64 limitBytes) {
    Q_ASSERT_X(!data.isNull(), "createBitmapSVG", "Invalid parameter not satisfying: data");
    // Drawn through the same process as a vector image, so through the same filter and bounds,
    // in one request: the canvas is fitted to the target there (scaled into it, its free sides
    // kept, then down to the byte limit, for a document may declare a canvas far larger than
    // anything worth a bitmap), so its size and its pixels come back together.
    GraphicsImageRendererFormat format;
    VectorRenderProtocol::Fit fit;
    fit.box = targetSize;
    fit.keepAspectRatio = preserveAspectRatio;
    fit.scale = format.scale;
    fit.byteLimit = std::min(limitBytes == 0 ? ImageCoderHelper::defaultScaleDownLimitBytes() : limitBytes,
                             pixelBudget() * 4u);
    // A drawing the process gave up (over its budget, or its process ended) is no image, not a
    // blank one.
    const auto drawn = SvgVectorImageSource::drawFitted(data, fit);
    if (!drawn) {
        return {};
    }
    return GraphicsImageRenderer(drawn->size, format).imageWithActions([&](QPainter& painter) {
        painter.drawImage(QRectF(QPointF(0, 0), drawn->size), drawn->bitmap);
    });
}

QByteArray ImageSVGCoder::encodedDataWithImage(const Image& image, ImageFormat, const EncodeOptions&) {
    if (image.isNull() || !supportsVectorSVGImage()) {
        return {};
    }
    const auto source = image.vectorSource();
    // Bitmaps are never turned into SVG: only a document can be written back.
    if (!source || source->format() != ImageFormat::SVG) {
        return {};
    }
    return source->documentData();
}

} // namespace velmora::images
