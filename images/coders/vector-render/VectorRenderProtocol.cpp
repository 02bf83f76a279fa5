#include "images/coders/vector-render/VectorRenderProtocol.h"

#include "images/coders/ImageCoderHelper.h"
#include "images/core/Image.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
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

// The fit's flags word.
constexpr quint32 fitFlag = 1;
constexpr quint32 fitKeepsAspectRatioFlag = 2;
// More pixels a point than any screen has.
constexpr double largestFitScale = 64;

void putWide(QByteArray& out, quint64 value) {
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

} // namespace

namespace {
constexpr quint32 unconfinedBit = 1u << 31;
constexpr quint32 templateBit = 1u << 30;
constexpr quint32 heldMask = 0xff;
constexpr int filterErrorShift = 20;
constexpr quint32 filterErrorMask = 0x3ff;

VectorRenderProtocol::MeansAnswer answerAt(quint32 word, int shift) {
    const quint32 value = (word >> shift) & 0xf;
    return value <= quint32(VectorRenderProtocol::MeansAnswer::NotTried)
               ? VectorRenderProtocol::MeansAnswer(value)
               : VectorRenderProtocol::MeansAnswer::Failed;
}
} // namespace

QByteArray VectorRenderProtocol::encodeGreeting(const Greeting& greeting) {
    QByteArray out;
    out.reserve(greetingSize);
    putWord(out, magic);
    putWord(out, greeting.version);
    putWord(out, (greeting.held & heldMask) | (quint32(greeting.landlock) << 8) |
                     (quint32(greeting.namespaces) << 12) | (quint32(greeting.filter) << 16) |
                     ((greeting.filterError & filterErrorMask) << filterErrorShift) |
                     (greeting.isTemplate ? templateBit : 0) | (greeting.unconfined ? unconfinedBit : 0));
    return out;
}

bool VectorRenderProtocol::greetingStartsWell(const char* first4) {
    return word(first4) == magic;
}

VectorRenderProtocol::Greeting VectorRenderProtocol::decodeGreeting(const char* greeting) {
    Greeting out;
    out.version = word(greeting + 4);
    const quint32 confinement = word(greeting + 8);
    out.held = confinement & heldMask;
    out.landlock = answerAt(confinement, 8);
    out.namespaces = answerAt(confinement, 12);
    out.filter = answerAt(confinement, 16);
    out.filterError = (confinement >> filterErrorShift) & filterErrorMask;
    out.isTemplate = (confinement & templateBit) != 0;
    out.unconfined = (confinement & unconfinedBit) != 0;
    return out;
}

std::optional<VectorRenderProtocol::Fitted> VectorRenderProtocol::fitted(const QSizeF& page, const Fit& fit) {
    const double width = page.width();
    const double height = page.height();
    const double boxWidth = fit.box.width();
    const double boxHeight = fit.box.height();
    if (!std::isfinite(width) || !std::isfinite(height) || !(width > 0) || !(height > 0) ||
        !(fit.scale > 0) || !(fit.scale <= largestFitScale) || !(std::abs(boxWidth) < 1e9) ||
        !(std::abs(boxHeight) < 1e9)) {
        return std::nullopt;
    }
    // Into the box, its free sides left as they are.
    double xScale = 1;
    double yScale = 1;
    if (boxWidth > 0 || boxHeight > 0) {
        if (fit.keepAspectRatio) {
            const double scale = boxWidth > 0 && boxHeight > 0
                                     ? std::min(boxWidth / width, boxHeight / height)
                                 : boxWidth > 0 ? boxWidth / width
                                                : boxHeight / height;
            xScale = yScale = scale;
        } else {
            xScale = boxWidth > 0 ? boxWidth / width : 1;
            yScale = boxHeight > 0 ? boxHeight / height : 1;
        }
    }
    // A page may declare a size far larger than anything worth a bitmap: it is drawn within the
    // byte limit instead.
    const quint64 byteLimit =
        std::min(fit.byteLimit == 0 ? ImageCoderHelper::defaultScaleDownLimitBytes() : fit.byteLimit,
                 pixelBudget() * 4u);
    const QSizeF pixels(width * xScale * fit.scale, height * yScale * fit.scale);
    if (!std::isfinite(pixels.width()) || !std::isfinite(pixels.height())) {
        return std::nullopt;
    }
    if (ImageCoderHelper::shouldScaleDownImagePixelSize(pixels, byteLimit)) {
        const QSizeF limited = ImageCoderHelper::scaledSize(pixels, byteLimit, 4, 1);
        const double factor = std::min(limited.width() / pixels.width(), limited.height() / pixels.height());
        xScale *= factor;
        yScale *= factor;
    }
    Fitted out;
    out.size = QSizeF(width * xScale, height * yScale);
    const double pixelWidth = std::ceil(out.size.width() * fit.scale);
    const double pixelHeight = std::ceil(out.size.height() * fit.scale);
    if (!(pixelWidth < 1e9) || !(pixelHeight < 1e9)) {
        return std::nullopt;
    }
    out.pixels = QSize(std::max(1, int(pixelWidth)), std::max(1, int(pixelHeight)));
    if (!fitsPixelBudget(out.pixels)) {
        return std::nullopt;
    }
    return out;
}

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
    const Fit fit = request.fit.value_or(Fit{});
    putWord(out, !request.fit ? 0 : fitFlag | (fit.keepAspectRatio ? fitKeepsAspectRatioFlag : 0));
    putReal(out, fit.box.width());
    putReal(out, fit.box.height());
    putReal(out, fit.scale);
    putWide(out, fit.byteLimit);
    return out;
}

std::optional<VectorRenderProtocol::Request>
VectorRenderProtocol::decodeRequestHeader(const char* header, quint32* documentLength) {
    if (word(header) != magic) {
        return std::nullopt;
    }
    const quint32 kind = word(header + 4);
    *documentLength = word(header + 12);
    const auto page = qint32(word(header + 16));
    const auto width = qint32(word(header + 20));
    const auto height = qint32(word(header + 24));
    const quint32 flags = word(header + 28);
    if (kind > quint32(Kind::Svg) || *documentLength > maxDocumentBytes || page < 0 || width < 0 ||
        height < 0 || (width > 0 && height > 0 && !fitsPixelBudget(QSize(width, height))) ||
        (flags & ~(fitFlag | fitKeepsAspectRatioFlag)) != 0 ||
        ((flags & fitFlag) && (width > 0 || height > 0))) {
        return std::nullopt;
    }
    Request request;
    request.kind = Kind(kind);
    request.id = word(header + 8);
    request.page = page;
    request.pixels = QSize(width, height);
    if (flags & fitFlag) {
        Fit fit;
        fit.keepAspectRatio = (flags & fitKeepsAspectRatioFlag) != 0;
        fit.box = QSizeF(real(header + 32), real(header + 40));
        fit.scale = real(header + 48);
        fit.byteLimit = qFromLittleEndian<quint64>(header + 56);
        // A fit of no page at all is no fit: its numbers are checked here, before any page.
        if (!VectorRenderProtocol::fitted(QSizeF(1, 1), fit)) {
            return std::nullopt;
        }
        request.fit = fit;
    }
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
    if (request.fit) {
        // The pixels the page fits, as this side reckons them from the size answered.
        const auto fit = fitted(page, *request.fit);
        if (!fit || pixels != fit->pixels) {
            return std::nullopt;
        }
    } else if (request.pixels.isEmpty()) {
        return pixels.isNull() ? std::optional(answer) : std::nullopt;
    } else if (pixels != request.pixels) {
        return std::nullopt;
    }
    answer.image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    if (answer.image.isNull()) {
        return std::nullopt;
    }
    return answer;
}

} // namespace velmora::images
