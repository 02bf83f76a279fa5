#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Lays a colour over the opaque parts of an image. Its key names its current properties.
class ImageTintTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageTintTransformer> transformerWithColor(QColor color) {
        auto t = std::make_shared<ImageTintTransformer>();
        t->m_tintColor = color;
        return t;
    }

    const QColor& tintColor() const { return m_tintColor; }
    void setTintColor(QColor value) { m_tintColor = std::move(value); }

    QString transformerKey() const override {
        return QStringLiteral("VIImageTintTransformer(") + hexString(m_tintColor) + QLatin1Char(')');
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return tintedImage(image, m_tintColor);
    }

private:
    QColor m_tintColor;
};

} // namespace velmora::images
