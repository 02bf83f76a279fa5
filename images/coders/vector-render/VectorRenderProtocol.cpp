#include "images/coders/vector-render/VectorRenderProtocol.h"

#include "images/core/Image.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace velmora::images {

namespace {

void putWord(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void putReal(QByteArray& out, double value) {
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    char bytes[8];
    qToLittleEndian(bits, bytes);
    out.append(bytes, 8);
}

quint32 word(const char* at) {
    return qFromLittleEndian<quint32>(at);
}

double real(const char* at) {
    const quint64 bits = qFromLittleEndian<quint64>(at);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

QByteArray VectorRenderProtocol::encodeRequestHeader(const Request& request) {
    QByteArray out;
    out.reserve(requestHeaderSize);
    putWord(out, magic);
    putWord(out, quint32(request.kind));
    putWord(out, request.id);
    putWord(out, quint32(request.document.size()));
    putWord(out, quint32(request.page));
    putWord(out, quint32(std::max(0, request.pixels.width())));
    putWord(out, quint32(std::max(0, request.pixels.height())));
    return out;
}

std::optional<VectorRenderProtocol::Request> VectorRenderProtocol::decodeRequestHeader(const char* header,
                                                                                 quint32* documentLength) {
    if (word(header) != magic) {
        return std::nullopt;
    }
    const quint32 kind = word(header + 4);
    *documentLength = word(header + 12);
    const auto page = qint32(word(header + 16));
    const auto width = qint32(word(header + 20));
    const auto height = qint32(word(header + 24));
    if (kind > quint32(Kind::Svg) || *documentLength > maxDocumentBytes || page < 0 || width < 0 ||
        height < 0 || (width > 0 && height > 0 && !fitsPixelBudget(QSize(width, height)))) {
        return std::nullopt;
    }
    Request request;
    request.kind = Kind(kind);
    request.id = word(header + 8);
    request.page = page;
    request.pixels = QSize(width, height);
    return request;
}

QByteArray VectorRenderProtocol::encodeAnswer(const Answer& answer) {
    const QImage image =
        answer.image.isNull() ? QImage() : answer.image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QByteArray out;
    out.reserve(answerHeaderSize + pixelBytes(image.size()));
    putWord(out, quint32(answer.status));
    putWord(out, answer.id);
    putReal(out, answer.pageSize.width());
    putReal(out, answer.pageSize.height());
    putWord(out, quint32(image.width()));
    putWord(out, quint32(image.height()));
    for (int y = 0; y < image.height(); ++y) {
        out.append(reinterpret_cast<const char*>(image.constScanLine(y)), qsizetype(image.width()) * 4);
    }
    return out;
}

std::optional<VectorRenderProtocol::Answer> VectorRenderProtocol::decodeAnswerHeader(const char* header,
                                                                               const Request& request) {
    const quint32 status = word(header);
    // An answer to anything but this request (one sent ahead, or late) is no answer.
    if (status > quint32(Status::OutOfTime) || word(header + 4) != request.id) {
        return std::nullopt;
    }
    Answer answer;
    answer.status = Status(status);
    answer.id = request.id;
    const QSize pixels(int(qint32(word(header + 24))), int(qint32(word(header + 28))));
    const QSizeF page(real(header + 8), real(header + 16));
    if (answer.status != Status::Drawn) {
        return pixels.isNull() ? std::optional(answer) : std::nullopt;
    }
    // A page's size is a finite area; pixels come only as asked for.
    if (!std::isfinite(page.width()) || !std::isfinite(page.height()) || !(page.width() > 0) ||
        !(page.height() > 0)) {
        return std::nullopt;
    }
    answer.pageSize = page;
    if (request.pixels.isEmpty()) {
        return pixels.isNull() ? std::optional(answer) : std::nullopt;
    }
    if (pixels != request.pixels) {
        return std::nullopt;
    }
    answer.image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    if (answer.image.isNull()) {
        return std::nullopt;
    }
    return answer;
}

} // namespace velmora::images
