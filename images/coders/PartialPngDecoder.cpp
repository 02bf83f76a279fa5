#include "images/coders/PartialPngDecoder.h"

#include "images/core/Image.h"

#include <QList>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

namespace velmora::images {

namespace {

quint32 be32(const QByteArray& data, qsizetype at) {
    return (quint32(quint8(data.at(at))) << 24) | (quint32(quint8(data.at(at + 1))) << 16) |
           (quint32(quint8(data.at(at + 2))) << 8) | quint32(quint8(data.at(at + 3)));
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) {
        return a;
    }
    return pb <= pc ? b : c;
}

// As much of the zlib stream as the compressed bytes give, at most `limit` bytes. The output
// grows with what the stream yields, so a short input never costs the whole image.
QByteArray inflatePartial(const QByteArray& compressed, qsizetype limit) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return {};
    }
    QByteArray output;
    qsizetype produced = 0;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.constData()));
    stream.avail_in = uInt(compressed.size());
    int result = Z_OK;
    while (result == Z_OK && stream.avail_in > 0 && produced < limit) {
        if (produced == output.size()) {
            output.resize(std::min(limit, std::max<qsizetype>(64 * 1024, output.size() * 2)));
        }
        stream.next_out = reinterpret_cast<Bytef*>(output.data() + produced);
        stream.avail_out = uInt(std::min<qsizetype>(output.size() - produced, 1 << 30));
        const uLong before = stream.total_out;
        result = inflate(&stream, Z_SYNC_FLUSH);
        produced += qsizetype(stream.total_out - before);
    }
    output.truncate(produced);
    inflateEnd(&stream);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
        return {};
    }
    return output;
}

} // namespace

std::optional<PartialPngDecoder::Header> PartialPngDecoder::header(const QByteArray& data) {
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (!data.startsWith(signature) || data.size() < 33 || data.mid(12, 4) != "IHDR") {
        return std::nullopt;
    }
    Header header;
    header.width = be32(data, 16);
    header.height = be32(data, 20);
    header.depth = quint8(data.at(24));
    header.colourType = quint8(data.at(25));
    header.interlace = quint8(data.at(28));
    switch (header.colourType) {
    case 0:
    case 3:
        header.channels = 1;
        break;
    case 2:
        header.channels = 3;
        break;
    case 4:
        header.channels = 2;
        break;
    case 6:
        header.channels = 4;
        break;
    default:
        return std::nullopt;
    }
    return header;
}

QImage PartialPngDecoder::decode(const QByteArray& data) {
    const std::optional<Header> header = PartialPngDecoder::header(data);
    if (!header) {
        return {};
    }
    const quint32 width = header->width;
    const quint32 height = header->height;
    const int depth = header->depth;
    const int colourType = header->colourType;
    const int interlace = header->interlace;
    const int channels = header->channels;
    if (depth != 8 || interlace != 0 || !fitsPixelBudget(qint64(width), qint64(height))) {
        return {};
    }
    QList<QRgb> palette;
    QByteArray transparency;
    QByteArray compressed;
    qsizetype at = 8;
    while (at + 8 <= data.size()) {
        const quint32 length = be32(data, at);
        const QByteArray type = data.mid(at + 4, 4);
        const qsizetype body = at + 8;
        const qsizetype available = std::min<qsizetype>(qsizetype(length), data.size() - body);
        if (type == "IDAT") {
            // A chunk still arriving gives what it has.
            compressed.append(data.mid(body, available));
        } else if (available == qsizetype(length)) {
            if (type == "PLTE") {
                for (qsizetype i = 0; i + 2 < available; i += 3) {
                    palette.append(qRgb(quint8(data.at(body + i)), quint8(data.at(body + i + 1)),
                                        quint8(data.at(body + i + 2))));
                }
            } else if (type == "tRNS") {
                transparency = data.mid(body, available);
            } else if (type == "IEND") {
                break;
            }
        }
        if (available < qsizetype(length)) {
            break; // the data ends inside this chunk
        }
        at = body + qsizetype(length) + 4;
    }
    const qsizetype stride = qsizetype(width) * channels;
    const QByteArray raw = inflatePartial(compressed, (stride + 1) * qsizetype(height));
    const int rows = int(raw.size() / (stride + 1));
    if (rows == 0 || (colourType == 3 && palette.isEmpty())) {
        return {};
    }
    QImage image(int(width), int(height), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QByteArray previous(stride, '\0');
    QByteArray current(stride, '\0');
    for (int y = 0; y < rows; ++y) {
        const char* line = raw.constData() + qsizetype(y) * (stride + 1);
        const int filter = quint8(line[0]);
        for (qsizetype i = 0; i < stride; ++i) {
            const int x = quint8(line[1 + i]);
            const int a = i >= channels ? quint8(current.at(i - channels)) : 0;
            const int b = quint8(previous.at(i));
            const int c = i >= channels ? quint8(previous.at(i - channels)) : 0;
            int value = x;
            switch (filter) {
            case 1:
                value = x + a;
                break;
            case 2:
                value = x + b;
                break;
            case 3:
                value = x + (a + b) / 2;
                break;
            case 4:
                value = x + paeth(a, b, c);
                break;
            default:
                break;
            }
            current[i] = char(value & 0xFF);
        }
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        const auto* pixels = reinterpret_cast<const quint8*>(current.constData());
        for (quint32 x = 0; x < width; ++x) {
            const quint8* p = pixels + qsizetype(x) * channels;
            switch (colourType) {
            case 0:
                out[x] = qRgb(p[0], p[0], p[0]);
                break;
            case 2:
                out[x] = qRgb(p[0], p[1], p[2]);
                break;
            case 3: {
                const QRgb colour = palette.value(p[0], qRgb(0, 0, 0));
                const int alpha = p[0] < transparency.size() ? quint8(transparency.at(p[0])) : 255;
                out[x] = qRgba(qRed(colour), qGreen(colour), qBlue(colour), alpha);
                break;
            }
            case 4:
                out[x] = qRgba(p[0], p[0], p[0], p[1]);
                break;
            default:
                out[x] = qRgba(p[0], p[1], p[2], p[3]);
                break;
            }
        }
        std::swap(previous, current);
    }
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace velmora::images
