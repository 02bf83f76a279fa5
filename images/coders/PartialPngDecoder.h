#pragma once

#include <QByteArray>
#include <QImage>

namespace velmora::images {

// The rows of a PNG that have arrived so far, for showing a download while it runs: Qt's PNG
// plugin refuses cut-off data. Handles 8-bit, non-interlaced grey, grey with alpha, RGB, RGBA
// and palette images; the rows not yet received are transparent.
class PartialPngDecoder {
public:
    PartialPngDecoder() = delete;

    // Null when the header is not there yet, no row is whole, or the image is of a kind not
    // handled here.
    static QImage decode(const QByteArray& data);
};

} // namespace velmora::images
