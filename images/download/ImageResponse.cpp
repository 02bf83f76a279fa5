#include "images/download/ImageResponse.h"

namespace velmora::images {

std::optional<QByteArray> ImageResponse::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

void ImageResponse::setHeader(const QByteArray& name, const QByteArray& value) {
    for (auto& [key, current] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            current = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

QByteArray ImageResponse::mimeType() const {
    if (!isHttp()) {
        return {};
    }
    const QByteArray type = header("Content-Type").value_or(QByteArray());
    const auto semicolon = type.indexOf(';');
    return (semicolon < 0 ? type : type.left(semicolon)).trimmed().toLower();
}

qint64 ImageResponse::expectedContentLength() const {
    const auto length = header("Content-Length");
    if (!length) {
        return -1;
    }
    bool ok = false;
    const qint64 value = length->trimmed().toLongLong(&ok);
    return ok && value >= 0 ? value : -1;
}

} // namespace velmora::images
