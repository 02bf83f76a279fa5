#pragma once

#include <QByteArray>
#include <QImage>

namespace velmora::images {

// HEIC and HEIF stills through libheif: the primary image, upright, and encoding with HEVC when
// libheif has an encoder for it.
class HeifSupport {
public:
    HeifSupport() = delete;

    static bool canDecode();
    static bool canEncode();
    static QImage decode(const QByteArray& data);
    // The primary image's size, upright; empty when the data cannot be read.
    static QSize size(const QByteArray& data);
    // Quality 0 to 1; null when encoding is not possible.
    static QByteArray encode(const QImage& image, double quality);
};

} // namespace velmora::images
