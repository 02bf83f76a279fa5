#pragma once

#include "images/core/Field.h"

#include <QColor>
#include <QSizeF>

namespace velmora::images {

// What a coder is asked to make of an image it encodes.
struct EncodeOptions {
    // Only the first frame of an animated image.
    Field<bool> firstFrameOnly;
    // 0 (smallest) to 1 (best) for lossy formats; default 1.
    Field<double> compressionQuality;
    // The colour an image with alpha is put on for a format without alpha.
    Field<QColor> backgroundColor;
    // The result fits within this many pixels, proportions kept.
    Field<QSizeF> maxPixelSize;
    // The result is at most this many bytes; the coder picks the quality. 0 means no limit.
    Field<quint64> maxFileSize;
    // Embed a thumbnail where the format has room for one.
    Field<bool> embedThumbnail;

    bool operator==(const EncodeOptions& other) const = default;
};

} // namespace velmora::images
