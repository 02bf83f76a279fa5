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
    // One request, as for an SVG: the page is fitted to the target in the drawing process (a
    // page's size is not known here before), so its size and its pixels come back together.
    const bool sized = targetSize.width() > 0 && targetSize.height() > 0;
    GraphicsImageRendererFormat format;
    VectorRenderProtocol::Fit fit;
    fit.box = sized ? targetSize : QSizeF();
    fit.keepAspectRatio = preserveAspectRatio;
    fit.scale = format.scale;
    fit.byteLimit = pixelBudget() * 4u;
    // A page with an empty box has nothing to draw: no image rather than one of no size.
    const auto drawn = PdfVectorImageSource::drawFitted(data, pageNumber, fit);
    if (!drawn) {
        return {};
    }
    const QSizeF target = sized ? targetSize : drawn->size;
    const QPointF origin((target.width() - drawn->size.width()) / 2,
                         (target.height() - drawn->size.height()) / 2);
    return GraphicsImageRenderer(target, format).imageWithActions([&](QPainter& painter) {
        painter.drawImage(QRectF(origin, drawn->size), drawn->bitmap);
    });
}

} // namespace velmora::images
