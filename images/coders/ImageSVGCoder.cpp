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
    // Drawn through the same source as a vector image, so through the same filter and bounds.
    const auto source = SvgVectorImageSource::create(data);
    if (!source) {
        return {};
    }
    const QSizeF canvas = source->size();
    const double targetWidth = targetSize.width();
    const double targetHeight = targetSize.height();
    const double xRatio = targetWidth / canvas.width();
    const double yRatio = targetHeight / canvas.height();
    double xScale = 1.0;
    double yScale = 1.0;
    QSizeF output = canvas;
    if (targetWidth > 0 || targetHeight > 0) {
        if (preserveAspectRatio) {
            double scale = 1.0;
            if (targetWidth > 0 && targetHeight > 0) {
                scale = std::min(xRatio, yRatio);
            } else if (targetWidth > 0) {
                scale = xRatio;
            } else {
                scale = yRatio;
            }
            xScale = yScale = scale;
            output = QSizeF(canvas.width() * scale, canvas.height() * scale);
        } else {
            if (targetWidth > 0) {
                xScale = xRatio;
                output.setWidth(targetWidth);
            }
            if (targetHeight > 0) {
                yScale = yRatio;
                output.setHeight(targetHeight);
            }
        }
    }

    // A document may declare a canvas far larger than anything worth a bitmap: it is drawn
    // within the byte limit instead of allocating the whole canvas.
    GraphicsImageRendererFormat format;
    const QSizeF pixels = output * format.scale;
    const quint64 byteLimit = std::min(
        (limitBytes == 0 ? ImageCoderHelper::defaultScaleDownLimitBytes() : limitBytes), pixelBudget() * 4u);
    if (ImageCoderHelper::shouldScaleDownImagePixelSize(pixels, byteLimit)) {
        const QSizeF limited = ImageCoderHelper::scaledSize(pixels, byteLimit, 4, 1);
        const double factor = std::min(limited.width() / pixels.width(), limited.height() / pixels.height());
        output *= factor;
        xScale *= factor;
        yScale *= factor;
    }

    // The canvas is drawn first, at the pixels it covers: a drawing the process gave up (over its
    // budget, or its process ended) is no image, not a blank one.
    const QSizeF drawnSize(canvas.width() * xScale, canvas.height() * yScale);
    const QSize drawnPixels(std::max(1, int(std::ceil(drawnSize.width() * format.scale))),
                            std::max(1, int(std::ceil(drawnSize.height() * format.scale))));
    const QImage drawn = source->renderCanvas(drawnPixels);
    if (drawn.isNull()) {
        return {};
    }
    return GraphicsImageRenderer(output, format).imageWithActions([&](QPainter& painter) {
        painter.drawImage(QRectF(QPointF(0, 0), drawnSize), drawn);
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
