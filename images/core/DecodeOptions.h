#pragma once

#include "images/core/Field.h"

#include <QSizeF>
#include <QString>

#include <memory>

namespace velmora::images {

struct RemoteImageContext;

// What a coder is asked to make of the data it decodes. Each entry is absent (the coder's
// default), explicitly none, or a value; each coder says what it reads.
struct DecodeOptions {
    // Only the first frame of an animated format.
    Field<bool> firstFrameOnly;
    // Pixels per point of the result; below 1 counts as 1.
    Field<double> scaleFactor;
    // A thumbnail keeps the proportions of the source (default yes).
    Field<bool> preserveAspectRatio;
    // Decode a thumbnail of at most this many pixels; a zero side means full size.
    Field<QSizeF> thumbnailPixelSize;
    // The file-name extension the data came with, used when no type hint is given.
    Field<QString> fileExtensionHint;
    // A uniform type identifier to try first; none means "no hint, not even the extension".
    Field<QString> typeIdentifierHint;
    // Leave the pixels to be decoded when first drawn (default yes).
    Field<bool> useLazyDecoding;
    // Scale the result down so that its bitmap stays within this many bytes.
    Field<quint64> scaleDownLimitBytes;
    // The load context of the request, for coders that read their own keys from it.
    std::shared_ptr<const RemoteImageContext> remoteImageContext;

    bool operator==(const DecodeOptions& other) const = default;
};

} // namespace velmora::images
