#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Crops an image to a rectangle in points. Its key names its current properties.
class ImageCroppingTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageCroppingTransformer> transformerWithRect(QRectF rect) {
        auto t = std::make_shared<ImageCroppingTransformer>();
        t->m_rect = rect;
        return t;
    }

    const QRectF& rect() const { return m_rect; }
    void setRect(QRectF value) { m_rect = std::move(value); }

    QString transformerKey() const override {
        return QString::asprintf("VIImageCroppingTransformer({%f,%f,%f,%f})", m_rect.x(), m_rect.y(),
                                 m_rect.width(), m_rect.height());
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return croppedImage(image, m_rect);
    }

private:
    QRectF m_rect;
};

} // namespace velmora::images
