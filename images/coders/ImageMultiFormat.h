#pragma once

#include "images/core/Image.h"
#include "images/core/ImageFormat.h"

#include <QByteArray>

namespace velmora::images {

// Short entry points from data to an image and back, all through the shared coders registry.

// The image the registry decodes from the data at the scale (below 1 counts as 1); null for
// null data or when nothing decodes it.
Image imageWithData(const QByteArray& data, double scale = 1.0, bool firstFrameOnly = false);

// The image the shared GIF coder decodes from the data (animated when it has frames); null for
// null data.
Image imageWithGIFData(const QByteArray& data);

// The image's own animated data when it has some, else the image encoded in its format.
QByteArray imageData(const Image& image);

QByteArray imageDataAsFormat(const Image& image, ImageFormat format, double compressionQuality = 1.0,
                             bool firstFrameOnly = false);

// The image decoded for display, and decoded and scaled down under a byte limit (0 means the
// helper's default); null for a null image.
Image decodedImage(const Image& image);
Image decodedAndScaledDownImage(const Image& image, quint64 limitBytes = 0);

} // namespace velmora::images
