#pragma once

#include "images/animation/ImageTransform.h"
#include "images/animation/ImageTransformer.h"

#include <memory>
#include <optional>

namespace velmora::images {

// Resizes an image to a size in points by a scale mode. Its key names its current properties.
class ImageResizingTransformer : public ImageTransformer {
public:
    static std::shared_ptr<ImageResizingTransformer> transformerWithSize(QSizeF size, quint64 scaleMode) {
        auto t = std::make_shared<ImageResizingTransformer>();
        t->m_size = size;
        t->m_scaleMode = scaleMode;
        return t;
    }

    const QSizeF& size() const { return m_size; }
    void setSize(QSizeF value) { m_size = std::move(value); }
    quint64 scaleMode() const { return m_scaleMode; }
    void setScaleMode(quint64 value) { m_scaleMode = value; }

    QString transformerKey() const override {
        return QString::asprintf("VIImageResizingTransformer({%f,%f},%llu)", m_size.width(), m_size.height(),
                                 static_cast<unsigned long long>(m_scaleMode));
    }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        if (image.isNull()) {
            return {};
        }
        return resizedImage(image, m_size, int(std::min<quint64>(m_scaleMode, 3)));
    }

private:
    QSizeF m_size;
    quint64 m_scaleMode{0};
};

} // namespace velmora::images
