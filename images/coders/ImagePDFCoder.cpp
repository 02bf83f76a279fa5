#include "images/coders/ImagePDFCoder.h"

#include "images/coders/PdfVectorImageSource.h"
#include "images/core/GraphicsImageRenderer.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace velmora::images {

std::shared_ptr<ImagePDFCoder> ImagePDFCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImagePDFCoder>();
    return instance;
}

bool ImagePDFCoder::canDecodeFromData(const QByteArray& data) {
    return imageFormatForImageData(data) == ImageFormat::PDF;
}

Image ImagePDFCoder::decodedImageWithData(const QByteArray& data, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const QSizeF thumbnail = options.thumbnailPixelSize.valueOr(QSizeF());
    Image image;
    if (thumbnail.width() <= 0 || thumbnail.height() <= 0) {
        if (auto source = PdfVectorImageSource::create(data)) {
            image = Image(std::move(source));
        }
    }
    if (image.isNull()) {
        image = createBitmapPDF(data, 0, thumbnail, options.preserveAspectRatio.valueOr(true));
    }
    if (!image.isNull()) {
        image.setImageFormat(ImageFormat::PDF);
    }
    return image;
}

Image ImagePDFCoder::createBitmapPDF(const QByteArray& data, int pageNumber, const QSizeF& targetSize,
                                    bool preserveAspectRatio) {
    Q_ASSERT_X(!data.isNull(), "createBitmapPDF", "Invalid parameter not satisfying: data");
    // A page with an empty box has nothing to draw: no image rather than one of no size.
    const auto source = PdfVectorImageSource::create(data, pageNumber);
    if (!source) {
        return {};
    }
    const QSizeF box = source->size();
    const QSizeF target = (targetSize.width() > 0 && targetSize.height() > 0) ? targetSize : box;
    const double xRatio = target.width() / box.width();
    const double yRatio = target.height() / box.height();
    const double xScale = preserveAspectRatio ? std::min(xRatio, yRatio) : xRatio;
    const double yScale = preserveAspectRatio ? std::min(xRatio, yRatio) : yRatio;
    const QSizeF drawn(box.width() * xScale, box.height() * yScale);
    const QPointF origin((target.width() - drawn.width()) / 2, (target.height() - drawn.height()) / 2);

    GraphicsImageRendererFormat format;
    const double scale = format.scale;
    const double pageWidth = std::max(1.0, std::ceil(drawn.width() * scale));
    const double pageHeight = std::max(1.0, std::ceil(drawn.height() * scale));
    if (!(pageWidth * pageHeight <= double(pixelBudget()))) {
        return {};
    }
    const QSize pagePixels{int(pageWidth), int(pageHeight)};
    const QImage page = source->renderPage(pagePixels);
    if (page.isNull()) {
        return {};
    }
    return GraphicsImageRenderer(target, format).imageWithActions([&](QPainter& painter) {
        painter.drawImage(QRectF(origin, drawn), page);
    });
}

} // namespace velmora::images
