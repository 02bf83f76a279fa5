#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Mirrors an image horizontally, vertically or both. Its key names its current properties.
class ImageFlippingTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageFlippingTransformer> transformerWithHorizontal(bool horizontal,
                                                                               bool vertical) {
        auto t = std::make_shared<ImageFlippingTransformer>();
        t->m_horizontal = horizontal;
        t->m_vertical = vertical;
        return t;
    }

    bool horizontal() const { return m_horizontal; }
    void setHorizontal(bool value) { m_horizontal = value; }
    bool vertical() const { return m_vertical; }
    void setVertical(bool value) { m_vertical = value; }

    QString transformerKey() const override {
        return QString::asprintf("VIImageFlippingTransformer(%d,%d)", m_horizontal ? 1 : 0,
                                 m_vertical ? 1 : 0);
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return flippedImage(image, m_horizontal, m_vertical);
    }

private:
    bool m_horizontal{false};
    bool m_vertical{false};
};

} // namespace velmora::images
