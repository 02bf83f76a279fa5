#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

namespace velmora::images {

// The rows of a PNG that have arrived so far, for showing a download while it runs (Qt's PNG
// reader refuses cut-off data), and the rows a PNG declares when its data inflates far past
// them (see DecodeCostGuard), with nothing after them inflated. Handles 8-bit, non-interlaced
// grey, grey with alpha, RGB, RGBA and palette images; the rows not yet received are
// transparent.
class PartialPngDecoder {
public:
    PartialPngDecoder() = delete;

    // Null when the header is not there yet, no row is whole, or the image is of a kind not
    // handled here.
    static QImage decode(const QByteArray& data);

    // What a PNG's header declares, as it stands in the file.
    struct Header {
        quint32 width = 0;
        quint32 height = 0;
        int depth = 0;
        int colourType = 0;
        int interlace = 0;
        // Samples a pixel: 1 for grey and palette, 2 grey with alpha, 3 RGB, 4 RGBA.
        int channels = 0;
    };
    // Nothing when `data` doesn't start with a PNG signature and header, or names a colour
    // type there is none of.
    static std::optional<Header> header(const QByteArray& data);
};

} // namespace velmora::images
