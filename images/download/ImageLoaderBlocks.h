#pragma once

#include "images/core/Image.h"
#include "images/core/ImageError.h"

#include <QByteArray>
#include <QUrl>

#include <functional>

namespace velmora::images {

// Progress of one download: bytes received, bytes expected (-1 while unknown, 0 when the
// answer did not say) and the URL.
using ImageLoaderProgressBlock = std::function<void(qint64 receivedSize, qint64 expectedSize, const QUrl& url)>;
// The outcome of one download: the image (null on failure), the data, the error (null
// on success) and whether this is the last call (a partial image comes with false).
using ImageLoaderCompletedBlock =
    std::function<void(const Image& image, const QByteArray& data, const ImageError& error, bool finished)>;

} // namespace velmora::images
