#include "images/coders/PngWriter.h"

#include <QColorSpace>

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace velmora::images {

namespace {

const QByteArray signature("\x89PNG\r\n\x1a\n", 8);

void put32(QByteArray& out, quint32 value) {
    out.append(char(value >> 24));
    out.append(char(value >> 16));
    out.append(char(value >> 8));
    out.append(char(value));
}

// The filter of one row that leaves the smallest sum of differences (as signed bytes): the
// choice libpng makes by default. `previous` is the row above, or zeros for the first.
void filterRow(const uchar* row, const uchar* previous, qsizetype length, int bytesPerPixel, uchar* out,
               uchar* candidate) {
    const auto cost = [length](const uchar* filtered) {
        unsigned long sum = 0;
        for (qsizetype i = 0; i < length; ++i) {
            sum += unsigned(std::abs(int(static_cast<signed char>(filtered[i]))));
        }
        return sum;
    };
    const auto paeth = [](int a, int b, int c) {
        const int p = a + b - c;
        const int pa = std::abs(p - a);
        const int pb = std::abs(p - b);
        const int pc = std::abs(p - c);
        return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    };
    unsigned long best = 0;
    for (int type = 0; type < 5; ++type) {
        uchar* target = type == 0 ? out + 1 : candidate;
        for (qsizetype i = 0; i < length; ++i) {
            const int left = i >= bytesPerPixel ? row[i - bytesPerPixel] : 0;
            const int up = previous[i];
            const int upLeft = i >= bytesPerPixel ? previous[i - bytesPerPixel] : 0;
            int predicted = 0;
            switch (type) {
            case 1:
                predicted = left;
                break;
            case 2:
                predicted = up;
                break;
            case 3:
                predicted = (left + up) / 2;
                break;
            case 4:
                predicted = paeth(left, up, upLeft);
                break;
            default:
                break;
            }
            target[i] = uchar(row[i] - predicted);
        }
        const unsigned long sum = cost(target);
        if (type == 0) {
            best = sum;
            out[0] = 0;
        } else if (sum < best) {
            best = sum;
            out[0] = char(type);
            std::memcpy(out + 1, candidate, size_t(length));
        }
    }
}

// Deflates what `stream` holds into `out` from `used` on; false when zlib fails.
bool pump(z_stream& stream, QByteArray& out, qsizetype& used, int flush) {
    for (;;) {
        if (out.size() - used < 16 * 1024) {
            out.resize(out.size() + 64 * 1024);
        }
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        stream.avail_out = uInt(out.size() - used);
        const int result = deflate(&stream, flush);
        used = out.size() - qsizetype(stream.avail_out);
        if (result == Z_STREAM_END) {
            return true;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            return false;
        }
        if (flush != Z_FINISH && stream.avail_in == 0 && stream.avail_out > 0) {
            return true;
        }
    }
}

// The bitmap in the layout it is written in, with its colour type and bytes per pixel.
struct Pixels {
    QImage image;
    int colourType = 2;
    int bytesPerPixel = 3;
};

Pixels pixelsToWrite(const QImage& bitmap) {
    QImage source = bitmap;
    // A colour space with no profile to name it is written in sRGB instead.
    const QColorSpace space = source.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb) && space.iccProfile().isEmpty()) {
        source.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    }
    if (source.hasAlphaChannel()) {
        return {source.convertToFormat(QImage::Format_RGBA8888), 6, 4};
    }
    if (source.format() == QImage::Format_Grayscale8 || source.format() == QImage::Format_Grayscale16) {
        return {source.convertToFormat(QImage::Format_Grayscale8), 0, 1};
    }
    return {source.convertToFormat(QImage::Format_RGB888), 2, 3};
}

} // namespace

QByteArray PngWriter::chunk(const QByteArray& type, const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + 12);
    put32(out, quint32(body.size()));
    out.append(type);
    out.append(body);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.constData()), uInt(type.size()));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    put32(out, quint32(crc));
    return out;
}

std::optional<PngWriter::Encoded> PngWriter::encode(const QImage& bitmap) {
    if (bitmap.isNull()) {
        return std::nullopt;
    }
    const Pixels pixels = pixelsToWrite(bitmap);
    const QImage& image = pixels.image;
    if (image.isNull()) {
        return std::nullopt;
    }
    Encoded encoded;
    put32(encoded.header, quint32(image.width()));
    put32(encoded.header, quint32(image.height()));
    encoded.header.append(char(8)); // bits a sample
    encoded.header.append(char(pixels.colourType));
    encoded.header.append(3, char(0)); // deflate, adaptive filtering, no interlace

    const qsizetype rowBytes = qsizetype(image.width()) * pixels.bytesPerPixel;
    QByteArray filtered(rowBytes + 1, Qt::Uninitialized);
    QByteArray candidate(rowBytes, Qt::Uninitialized);
    const QByteArray zeros(rowBytes, char(0));
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        return std::nullopt;
    }
    qsizetype used = 0;
    bool ok = true;
    for (int y = 0; y < image.height() && ok; ++y) {
        const uchar* previous = y == 0 ? reinterpret_cast<const uchar*>(zeros.constData()) : image.constScanLine(y - 1);
        filterRow(image.constScanLine(y), previous, rowBytes, pixels.bytesPerPixel,
                  reinterpret_cast<uchar*>(filtered.data()), reinterpret_cast<uchar*>(candidate.data()));
        stream.next_in = reinterpret_cast<Bytef*>(filtered.data());
        stream.avail_in = uInt(filtered.size());
        ok = pump(stream, encoded.data, used, Z_NO_FLUSH);
    }
    ok = ok && pump(stream, encoded.data, used, Z_FINISH);
    deflateEnd(&stream);
    if (!ok) {
        return std::nullopt;
    }
    encoded.data.truncate(used);
    return encoded;
}

QByteArray PngWriter::write(const QImage& bitmap) {
    const std::optional<Encoded> encoded = encode(bitmap);
    if (!encoded) {
        return {};
    }
    QByteArray png = signature + chunk("IHDR", encoded->header);
    const QColorSpace space = bitmap.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        const QByteArray profile = space.iccProfile();
        if (!profile.isEmpty()) {
            // Keyword, its end, the compression method (deflate), then the profile deflated.
            QByteArray body("ICC Profile");
            body.append(2, char(0));
            uLongf size = compressBound(uLong(profile.size()));
            QByteArray packed(qsizetype(size), Qt::Uninitialized);
            if (compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                         reinterpret_cast<const Bytef*>(profile.constData()), uLong(profile.size())) == Z_OK) {
                packed.truncate(qsizetype(size));
                png.append(chunk("iCCP", body + packed));
            }
        }
    }
    png.append(chunk("IDAT", encoded->data));
    png.append(chunk("IEND", QByteArray()));
    return png;
}

} // namespace velmora::images
