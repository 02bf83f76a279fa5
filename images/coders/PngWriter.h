#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

namespace velmora::images {

// PNG written by our own code over zlib. Qt's writer asks every image plugin whether it writes
// PNG better than its own handler, loading each plugin and the libraries behind it (a megabyte
// and more, resident for the rest of the run) the first time the cache stores an avatar.
//
// Written as Qt's own handler writes: 8 bits a sample, RGBA for a bitmap with an alpha
// channel, grey for a grey one, RGB otherwise; each row with the filter that leaves the
// smallest sum of differences; zlib's default level; a colour space other than sRGB as an ICC
// profile.
class PngWriter {
public:
    PngWriter() = delete;

    // The image header's body and the compressed, filtered rows of one bitmap.
    struct Encoded {
        QByteArray header; // IHDR data (13 bytes)
        QByteArray data;   // the zlib stream the IDAT chunks carry
    };

    // `bitmap` as a whole PNG; empty for a null bitmap or when zlib fails.
    static QByteArray write(const QImage& bitmap);
    // Its header and image data only, as an animation's frames need them.
    static std::optional<Encoded> encode(const QImage& bitmap);
    // One chunk: length, type, body and CRC.
    static QByteArray chunk(const QByteArray& type, const QByteArray& body);
};

} // namespace velmora::images
