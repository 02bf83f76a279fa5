#pragma once

#include "images/animation/ImageTransformer.h"

#include <QList>

#include <memory>

namespace velmora::images {

// Several transformers applied one after another; its key joins theirs with "-".
class ImagePipelineTransformer : public ImageTransformer {
public:
    using Transformers = QList<std::shared_ptr<ImageTransformer>>;

    explicit ImagePipelineTransformer(Transformers transformers);
    static std::shared_ptr<ImagePipelineTransformer> transformerWithTransformers(Transformers transformers);
    // The members' keys joined by "-"; empty for no members.
    static QString cacheKeyForTransformers(const Transformers& transformers);

    QString transformerKey() const override { return m_transformerKey; }
    // Each member in turn, each given the previous one's result; a null result ends the chain with null.
    Image transformedImageWithImage(const Image& image, const QString& key) override;

    const Transformers& transformers() const { return m_transformers; }

private:
    Transformers m_transformers;
    QString m_transformerKey;
};

} // namespace velmora::images
