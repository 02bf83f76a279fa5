#include "images/coders/ApngSupport.h"

#include "images/coders/PngWriter.h"
#include "images/core/Image.h"

#include <QBuffer>
#include <QImageReader>

#include <zlib.h>

#include <cmath>

namespace velmora::images {

namespace {

const QByteArray signature("\x89PNG\r\n\x1a\n", 8);

quint32 be32(const QByteArray& data, qsizetype at) {
    return (quint32(quint8(data.at(at))) << 24) | (quint32(quint8(data.at(at + 1))) << 16) |
           (quint32(quint8(data.at(at + 2))) << 8) | quint32(quint8(data.at(at + 3)));
}

quint16 be16(const QByteArray& data, qsizetype at) {
    return quint16((quint8(data.at(at)) << 8) | quint8(data.at(at + 1)));
}

void put32(QByteArray& out, quint32 value) {
    out.append(char(value >> 24));
    out.append(char(value >> 16));
    out.append(char(value >> 8));
    out.append(char(value));
}

void put16(QByteArray& out, quint16 value) {
    out.append(char(value >> 8));
    out.append(char(value));
}

struct Chunk {
    QByteArray type;
    QByteArray body;
};

// The chunks that are whole, in order; stops at the first one the data cuts off.
QList<Chunk> chunks(const QByteArray& data) {
    QList<Chunk> result;
    qsizetype at = signature.size();
    while (at + 12 <= data.size()) {
        const quint32 length = be32(data, at);
        if (length > quint32(data.size()) || at + 12 + qsizetype(length) > data.size()) {
            break;
        }
        result.append({data.mid(at + 4, 4), data.mid(at + 8, length)});
        at += 12 + qsizetype(length);
        if (result.last().type == "IEND") {
            break;
        }
    }
    return result;
}

// A frame lies inside the canvas; sums are taken wide, as the fields are 32 bits unsigned.
bool fitsCanvas(const QByteArray& body, const QSize& canvas) {
    const quint64 width = be32(body, 4);
    const quint64 height = be32(body, 8);
    const quint64 x = be32(body, 12);
    const quint64 y = be32(body, 16);
    return width > 0 && height > 0 && x + width <= quint64(canvas.width()) &&
           y + height <= quint64(canvas.height());
}

bool isShared(const QByteArray& type) {
    return type == "PLTE" || type == "tRNS" || type == "gAMA" || type == "cHRM" || type == "sRGB" ||
           type == "iCCP" || type == "sBIT";
}

} // namespace

std::optional<ApngSupport::Layout> ApngSupport::parse(const QByteArray& data) {
    if (!data.startsWith(signature)) {
        return std::nullopt;
    }
    const QList<Chunk> all = chunks(data);
    if (all.isEmpty() || all.first().type != "IHDR" || all.first().body.size() != 13) {
        return std::nullopt;
    }
    Layout layout;
    layout.header = all.first().body;
    const quint32 width = be32(layout.header, 0);
    const quint32 height = be32(layout.header, 4);
    if (!fitsPixelBudget(qint64(width), qint64(height))) {
        return std::nullopt;
    }
    layout.canvas = QSize(int(width), int(height));
    bool seenImageData = false;
    bool ended = false;
    // The frame being gathered: its control and whether its data may still grow.
    std::optional<FrameControl> pending;
    QByteArray pendingData;
    bool defaultImageIsFrame = false;
    QByteArray defaultImage;
    const auto closePending = [&] {
        if (pending && !pendingData.isEmpty()) {
            layout.controls.append(*pending);
            layout.frameData.append(pendingData);
        }
        pending.reset();
        pendingData.clear();
    };
    for (const Chunk& part : all) {
        if (part.type == "IEND") {
            ended = true;
            break;
        }
        if (part.type == "acTL" && part.body.size() >= 8 && !seenImageData) {
            layout.animated = true;
            layout.loopCount = be32(part.body, 4);
        } else if (part.type == "fcTL" && part.body.size() >= 26) {
            closePending();
            if (!fitsCanvas(part.body, layout.canvas)) {
                if (!layout.animated) {
                    continue; // a still image's stray control is no frame of anything
                }
                ended = true;
                break;
            }
            FrameControl control;
            control.size = QSize(int(be32(part.body, 4)), int(be32(part.body, 8)));
            control.offset = QPoint(int(be32(part.body, 12)), int(be32(part.body, 16)));
            const quint16 numerator = be16(part.body, 20);
            const quint16 denominator = be16(part.body, 22);
            control.delay = double(numerator) / (denominator == 0 ? 100.0 : double(denominator));
            control.dispose = quint8(part.body.at(24));
            control.blend = quint8(part.body.at(25));
            pending = control;
            if (!seenImageData) {
                defaultImageIsFrame = true;
            }
        } else if (part.type == "IDAT") {
            seenImageData = true;
            defaultImage.append(part.body);
            if (defaultImageIsFrame && pending) {
                pendingData.append(part.body);
            }
        } else if (part.type == "fdAT" && part.body.size() > 4) {
            pendingData.append(part.body.mid(4));
        } else if (isShared(part.type) && !seenImageData) {
            layout.sharedChunks.append(PngWriter::chunk(part.type, part.body));
        }
    }
    // The last frame is whole only when the stream reached its end marker.
    if (ended) {
        closePending();
    }
    if (!layout.animated) {
        layout.controls.clear();
        layout.frameData.clear();
        if (!ended || defaultImage.isEmpty()) {
            return std::nullopt;
        }
        FrameControl whole;
        whole.size = layout.canvas;
        layout.controls.append(whole);
        layout.frameData.append(defaultImage);
    }
    if (layout.frameData.isEmpty()) {
        return std::nullopt;
    }
    return layout;
}

bool ApngSupport::isAnimated(const QByteArray& data) {
    if (!data.startsWith(signature)) {
        return false;
    }
    qint64 at = signature.size();
    while (at + 8 <= data.size()) {
        const QByteArrayView type(data.constData() + at + 4, 4);
        if (type == "acTL") {
            return true;
        }
        if (type == "IDAT" || type == "IEND") {
            return false;
        }
        at += 12 + qint64(be32(data, at));
    }
    return false;
}

QImage ApngSupport::decodeFrame(const Layout& layout, int index) {
    if (index < 0 || index >= layout.frameData.size()) {
        return {};
    }
    const FrameControl& control = layout.controls.at(index);
    if (control.size.isEmpty()) {
        return {};
    }
    QByteArray header = layout.header;
    header.replace(0, 8, QByteArray());
    QByteArray sized;
    put32(sized, quint32(control.size.width()));
    put32(sized, quint32(control.size.height()));
    header.prepend(sized);
    QByteArray png = signature + PngWriter::chunk("IHDR", header);
    for (const QByteArray& shared : layout.sharedChunks) {
        png.append(shared);
    }
    png.append(PngWriter::chunk("IDAT", layout.frameData.at(index)));
    png.append(PngWriter::chunk("IEND", QByteArray()));
    // Qt's PNG handler alone: with detection on, Qt first asks every image plugin, loading each.
    QBuffer buffer(&png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QByteArray ApngSupport::write(const QSize& canvas, const QList<Frame>& frames, unsigned loopCount) {
    if (frames.isEmpty() || canvas.isEmpty()) {
        return {};
    }
    QByteArray header;
    QList<QByteArray> imageData;
    for (const Frame& frame : frames) {
        if (frame.image.isNull()) {
            return {};
        }
        // Every frame with an alpha channel, so that all share the header's colour type.
        const std::optional<PngWriter::Encoded> encoded =
            PngWriter::encode(frame.image.convertToFormat(QImage::Format_ARGB32));
        if (!encoded || encoded->data.isEmpty()) {
            return {};
        }
        if (header.isEmpty()) {
            header = encoded->header;
        }
        imageData.append(encoded->data);
    }
    header.replace(0, 8, QByteArray());
    QByteArray sized;
    put32(sized, quint32(canvas.width()));
    put32(sized, quint32(canvas.height()));
    header.prepend(sized);

    QByteArray out = signature + PngWriter::chunk("IHDR", header);
    QByteArray control;
    put32(control, quint32(frames.size()));
    put32(control, loopCount);
    out.append(PngWriter::chunk("acTL", control));
    quint32 sequence = 0;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const Frame& frame = frames.at(i);
        QByteArray fc;
        put32(fc, sequence++);
        put32(fc, quint32(frame.image.width()));
        put32(fc, quint32(frame.image.height()));
        put32(fc, quint32(std::max(frame.offset.x(), 0)));
        put32(fc, quint32(std::max(frame.offset.y(), 0)));
        const double milliseconds =
            std::isfinite(frame.delay) ? std::clamp(frame.delay * 1000.0, 0.0, 65535.0) : 0;
        put16(fc, quint16(std::lround(milliseconds)));
        put16(fc, 1000);
        fc.append(char(frame.dispose));
        fc.append(char(frame.blend));
        out.append(PngWriter::chunk("fcTL", fc));
        if (i == 0) {
            out.append(PngWriter::chunk("IDAT", imageData.at(i)));
        } else {
            QByteArray body;
            put32(body, sequence++);
            body.append(imageData.at(i));
            out.append(PngWriter::chunk("fdAT", body));
        }
    }
    out.append(PngWriter::chunk("IEND", QByteArray()));
    return out;
}

} // namespace velmora::images
