#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Runs an image through a named filter. Its key names its current properties.
class ImageFilterTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageFilterTransformer> transformerWithFilter(ImageFilter filter) {
        auto t = std::make_shared<ImageFilterTransformer>();
        t->m_filter = std::move(filter);
        return t;
    }

    const ImageFilter& filter() const { return m_filter; }
    void setFilter(ImageFilter value) { m_filter = std::move(value); }

    QString transformerKey() const override {
        return QStringLiteral("VIImageFilterTransformer(") + m_filter.name + QLatin1Char(')');
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return filteredImage(image, m_filter);
    }

private:
    ImageFilter m_filter;
};

} // namespace velmora::images
