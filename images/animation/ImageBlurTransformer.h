#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Blurs an image by a radius in points. Its key names its current properties.
class ImageBlurTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageBlurTransformer> transformerWithRadius(double radius) {
        auto t = std::make_shared<ImageBlurTransformer>();
        t->m_blurRadius = radius;
        return t;
    }

    double blurRadius() const { return m_blurRadius; }
    void setBlurRadius(double value) { m_blurRadius = value; }

    QString transformerKey() const override {
        return QString::asprintf("VIImageBlurTransformer(%f)", m_blurRadius);
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return blurredImage(image, m_blurRadius);
    }

private:
    double m_blurRadius{0};
};

} // namespace velmora::images
