#include "images/coders/ApngSupport.h"

#include <QBuffer>
#include <QImageWriter>

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

QByteArray chunk(const QByteArray& type, const QByteArray& body) {
    QByteArray out;
    put32(out, quint32(body.size()));
    const QByteArray typed = type + body;
    out.append(typed);
    put32(out, quint32(crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size()))));
    return out;
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
    layout.canvas = QSize(int(be32(layout.header, 0)), int(be32(layout.header, 4)));
    if (layout.canvas.isEmpty()) {
        return std::nullopt;
    }
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
            layout.sharedChunks.append(chunk(part.type, part.body));
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
    QByteArray png = signature + chunk("IHDR", header);
    for (const QByteArray& shared : layout.sharedChunks) {
        png.append(shared);
    }
    png.append(chunk("IDAT", layout.frameData.at(index)));
    png.append(chunk("IEND", QByteArray()));
    QImage image;
    if (!image.loadFromData(png, "png")) {
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
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage pixels = frame.image.convertToFormat(QImage::Format_ARGB32);
        pixels.setDevicePixelRatio(1.0);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(pixels)) {
            return {};
        }
        QByteArray data;
        for (const Chunk& part : chunks(png)) {
            if (part.type == "IHDR" && header.isEmpty()) {
                header = part.body;
            } else if (part.type == "IDAT") {
                data.append(part.body);
            }
        }
        if (data.isEmpty() || header.size() != 13) {
            return {};
        }
        imageData.append(data);
    }
    header.replace(0, 8, QByteArray());
    QByteArray sized;
    put32(sized, quint32(canvas.width()));
    put32(sized, quint32(canvas.height()));
    header.prepend(sized);

    QByteArray out = signature + chunk("IHDR", header);
    QByteArray control;
    put32(control, quint32(frames.size()));
    put32(control, loopCount);
    out.append(chunk("acTL", control));
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
        out.append(chunk("fcTL", fc));
        if (i == 0) {
            out.append(chunk("IDAT", imageData.at(i)));
        } else {
            QByteArray body;
            put32(body, sequence++);
            body.append(imageData.at(i));
            out.append(chunk("fdAT", body));
        }
    }
    out.append(chunk("IEND", QByteArray()));
    return out;
}

} // namespace velmora::images
