#pragma once

#include "images/core/Image.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>

namespace velmora::images::test {

inline QImage paintedBitmap(int side, bool alpha) {
    QImage bitmap(side, side, alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    bitmap.fill(alpha ? QColor(10, 120, 200, 128) : QColor(200, 30, 40));
    return bitmap;
}

inline QByteArray encoded(const QImage& bitmap, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.write(bitmap);
    return bytes;
}

} // namespace velmora::images::test
