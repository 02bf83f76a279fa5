#include "images/animation/ImagePipelineTransformer.h"

#include <QStringList>

namespace velmora::images {

ImagePipelineTransformer::ImagePipelineTransformer(Transformers transformers)
    : m_transformers(std::move(transformers)), m_transformerKey(cacheKeyForTransformers(m_transformers)) {}

std::shared_ptr<ImagePipelineTransformer>
ImagePipelineTransformer::transformerWithTransformers(Transformers transformers) {
    return std::make_shared<ImagePipelineTransformer>(std::move(transformers));
}

QString ImagePipelineTransformer::cacheKeyForTransformers(const Transformers& transformers) {
    QStringList keys;
    for (const auto& transformer : transformers) {
        if (transformer) {
            keys << transformer->transformerKey();
        }
    }
    // Empty, never null: an empty pipeline still has a key.
    return keys.isEmpty() ? QStringLiteral("") : keys.join(QLatin1Char('-'));
}

Image ImagePipelineTransformer::transformedImageWithImage(const Image& image, const QString& key) {
    if (!image) {
        return {};
    }
    auto result = image;
    for (const auto& transformer : m_transformers) {
        if (!result) {
            break;
        }
        result = transformer ? transformer->transformedImageWithImage(result, key) : Image();
    }
    return result;
}

} // namespace velmora::images
