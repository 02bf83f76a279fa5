#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

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

} // namespace velmora::images::testing
