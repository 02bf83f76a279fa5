#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include "images/core/Image.h"

// Test images the tests paint and encode themselves.
namespace velmora::images::testing {

// Four coloured quadrants, so that any rotation or mirroring shows.
inline QImage quadrants(int width, int height, bool alpha = false) {
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.fill(alpha ? QColor(0, 0, 0, 0) : QColor(Qt::white));
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height / 2, QColor(255, 0, 0));
    painter.fillRect(width / 2, 0, width - width / 2, height / 2, QColor(0, 255, 0));
    painter.fillRect(0, height / 2, width / 2, height - height / 2, QColor(0, 0, 255));
    painter.fillRect(width / 2, height / 2, width - width / 2, height - height / 2, QColor(255, 255, 0, 128));
    return image;
}

// Busy pixels, so that encoded data is large and every prefix cuts into image data.
inline QImage noise(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * y) % 256, (x ^ y) % 256));
        }
    }
    return image;
}

inline QByteArray encode(const QImage& image, const char* format, int quality = -1,
                         bool progressive = false) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return data;
}

// A JPEG with an EXIF block holding only the orientation, put right after the start marker.
inline QByteArray withExifOrientation(const QByteArray& jpeg, quint16 orientation) {
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    const auto le16 = [&tiff](quint16 value) {
        tiff.append(char(value & 0xFF));
        tiff.append(char(value >> 8));
    };
    const auto le32 = [&tiff](quint32 value) {
        for (int i = 0; i < 4; ++i) {
            tiff.append(char((value >> (8 * i)) & 0xFF));
        }
    };
    le16(1);      // one entry
    le16(0x0112); // orientation
    le16(3);      // SHORT
    le32(1);
    le16(orientation);
    le16(0);
    le32(0); // no next directory
    QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const quint16 length = quint16(payload.size() + 2);
    QByteArray segment;
    segment.append(char(0xFF));
    segment.append(char(0xE1));
    segment.append(char(length >> 8));
    segment.append(char(length & 0xFF));
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// The PNG with the zlib header of its first image data chunk (or frame data chunk, when
// `chunkType` says so) broken and the chunk's checksum made right again: a file every reader
// takes apart, whose pixels no inflater will give.
inline QByteArray withBrokenImageData(QByteArray png, const char* chunkType = "IDAT") {
    const qsizetype type = png.indexOf(chunkType);
    const qsizetype length = (qsizetype(quint8(png[type - 4])) << 24) |
                             (qsizetype(quint8(png[type - 3])) << 16) |
                             (qsizetype(quint8(png[type - 2])) << 8) | qsizetype(quint8(png[type - 1]));
    // Frame data starts with a sequence number.
    const qsizetype stream = type + 4 + (QByteArray(chunkType) == "fdAT" ? 4 : 0);
    png[stream] = char(0xFF);
    png[stream + 1] = char(0xFF);
    quint32 crc = 0xFFFFFFFFu;
    for (qsizetype i = type; i < type + 4 + length; ++i) {
        crc ^= quint8(png[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    crc ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) {
        png[type + 4 + length + i] = char((crc >> (24 - 8 * i)) & 0xFF);
    }
    return png;
}

// The pixel budget set for one test and restored after it.
class ScopedPixelBudget {
public:
    explicit ScopedPixelBudget(quint64 pixels) { setPixelBudget(pixels); }
    ~ScopedPixelBudget() { setPixelBudget(0); }
    ScopedPixelBudget(const ScopedPixelBudget&) = delete;
    ScopedPixelBudget& operator=(const ScopedPixelBudget&) = delete;
};

// The data with a big-endian 32-bit value written at an offset (chunk checksums are not
// redone: the readers under test do not check them).
inline QByteArray withBigEndian32(QByteArray data, qsizetype at, quint32 value) {
    for (int i = 0; i < 4; ++i) {
        data[at + i] = char((value >> (24 - 8 * i)) & 0xFF);
    }
    return data;
}

// A GIF whose logical screen is `screen` and whose frames are single pixels, each with a
// delay of `delay` hundredths: tiny on the wire, as large as the screen once composed.
inline QByteArray pixelFramesGif(QSize screen, int frames, int delay = 0) {
    QByteArray gif("GIF89a");
    const auto le16 = [&gif](int value) {
        gif.append(char(value & 0xFF));
        gif.append(char((value >> 8) & 0xFF));
    };
    le16(screen.width());
    le16(screen.height());
    gif.append(char(0x80)); // a global table of two colours
    gif.append(char(0));
    gif.append(char(0));
    gif.append(QByteArray::fromHex("ff0000"
                                   "0000ff"));
    gif.append(QByteArray::fromHex("21ff0b") + "NETSCAPE2.0" +
               QByteArray::fromHex("03010000"
                                   "00"));
    for (int i = 0; i < frames; ++i) {
        gif.append(QByteArray::fromHex("21f904"
                                       "04")); // keep the frame under the next one
        le16(delay);
        gif.append(QByteArray::fromHex("0000"));
        gif.append(char(0x2C));
        le16((i * 7) % screen.width());
        le16((i * 13) % screen.height());
        le16(1);
        le16(1);
        gif.append(char(0));
        // Minimum code size 2: clear, colour i % 2, end, in three-bit codes.
        const int code = 4 | ((i % 2) << 3) | (5 << 6);
        gif.append(char(2));
        gif.append(char(0x02));
        gif.append(char(code & 0xFF));
        gif.append(char(code >> 8));
        gif.append(char(0));
    }
    gif.append(char(0x3B));
    return gif;
}

} // namespace velmora::images::testing
