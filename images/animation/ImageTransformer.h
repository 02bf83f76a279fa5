#pragma once

#include "images/core/Image.h"

#include <QString>

#include <optional>

namespace velmora::images {

// Turns a loaded image into another before it is cached and shown. Its key names its parameters;
// the load pipeline inserts it into the cache key, so a transformed image is cached apart from the
// original and from other transformations.
class ImageTransformer {
public:
    virtual ~ImageTransformer() = default;

    virtual QString transformerKey() const = 0;
    // Null when the image cannot be transformed (always for a null image).
    virtual Image transformedImageWithImage(const Image& image, const QString& key) = 0;
    // Whether the pipeline keeps the source's metadata on the result; none (the default) says nothing,
    // and the pipeline then copies it.
    virtual std::optional<bool> preserveImageMetadata() const { return std::nullopt; }
};

} // namespace velmora::images
