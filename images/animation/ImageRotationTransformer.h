#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Rotates an image by an angle in radians, optionally growing to fit it. Its key names its current
// properties.
class ImageRotationTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageRotationTransformer> transformerWithAngle(double angle, bool fitSize) {
        auto t = std::make_shared<ImageRotationTransformer>();
        t->m_angle = angle;
        t->m_fitSize = fitSize;
        return t;
    }

    double angle() const { return m_angle; }
    void setAngle(double value) { m_angle = value; }
    bool fitSize() const { return m_fitSize; }
    void setFitSize(bool value) { m_fitSize = value; }

    QString transformerKey() const override {
        return QString::asprintf("VIImageRotationTransformer(%f,%d)", m_angle, m_fitSize ? 1 : 0);
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return rotatedImage(image, m_angle, m_fitSize);
    }

private:
    double m_angle{0};
    bool m_fitSize{false};
};

} // namespace velmora::images
