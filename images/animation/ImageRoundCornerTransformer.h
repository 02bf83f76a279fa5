#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Rounds the corners of an image and may draw a border along them. Its key names its current properties.
class ImageRoundCornerTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageRoundCornerTransformer>
    transformerWithRadius(double radius, quint64 corners, double borderWidth,
                          std::optional<QColor> borderColor) {
        auto t = std::make_shared<ImageRoundCornerTransformer>();
        t->m_cornerRadius = radius;
        t->m_corners = corners;
        t->m_borderWidth = borderWidth;
        t->m_borderColor = std::move(borderColor);
        return t;
    }

    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double value) { m_cornerRadius = value; }
    quint64 corners() const { return m_corners; }
    void setCorners(quint64 value) { m_corners = value; }
    double borderWidth() const { return m_borderWidth; }
    void setBorderWidth(double value) { m_borderWidth = value; }
    const std::optional<QColor>& borderColor() const { return m_borderColor; }
    void setBorderColor(std::optional<QColor> value) { m_borderColor = std::move(value); }

    QString transformerKey() const override {
        return QString::asprintf("VIImageRoundCornerTransformer(%f,%llu,%f,", m_cornerRadius,
                                 static_cast<unsigned long long>(m_corners), m_borderWidth) +
               (m_borderColor ? hexString(*m_borderColor) : QStringLiteral("(null)")) + QLatin1Char(')');
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return roundedCornerImage(image, m_cornerRadius, m_corners, m_borderWidth, m_borderColor);
    }

private:
    double m_cornerRadius{0};
    quint64 m_corners{0};
    double m_borderWidth{0};
    std::optional<QColor> m_borderColor;
};

} // namespace velmora::images
