#include "images/download/ImageRequest.h"

#include <algorithm>

namespace velmora::images {

namespace {
bool sameName(const QByteArray& a, const QByteArray& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
} // namespace

void ImageRequest::setHeader(const QByteArray& name, const QByteArray& value) {
    for (auto& [key, current] : headers) {
        if (sameName(key, name)) {
            current = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

void ImageRequest::removeHeader(const QByteArray& name) {
    std::erase_if(headers, [&](const auto& entry) { return sameName(entry.first, name); });
}

std::optional<QByteArray> ImageRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace velmora::images
