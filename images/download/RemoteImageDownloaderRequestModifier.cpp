#include "images/download/RemoteImageDownloaderRequestModifier.h"

namespace velmora::images {

RemoteImageDownloaderRequestModifier::RemoteImageDownloaderRequestModifier(Block block)
    : m_block(std::move(block)) {}

std::shared_ptr<RemoteImageDownloaderRequestModifier>
RemoteImageDownloaderRequestModifier::withBlock(Block block) {
    return std::make_shared<RemoteImageDownloaderRequestModifier>(std::move(block));
}

std::shared_ptr<RemoteImageDownloaderRequestModifier>
RemoteImageDownloaderRequestModifier::withMethod(QByteArray method) {
    return with(std::move(method), {}, std::nullopt);
}

std::shared_ptr<RemoteImageDownloaderRequestModifier>
RemoteImageDownloaderRequestModifier::withHeaders(ImageRequest::Headers headers) {
    return with(std::nullopt, std::move(headers), std::nullopt);
}

std::shared_ptr<RemoteImageDownloaderRequestModifier>
RemoteImageDownloaderRequestModifier::withBody(QByteArray body) {
    return with(std::nullopt, {}, std::move(body));
}

std::shared_ptr<RemoteImageDownloaderRequestModifier>
RemoteImageDownloaderRequestModifier::with(std::optional<QByteArray> method, ImageRequest::Headers headers,
                                           std::optional<QByteArray> body) {
    const QByteArray verb = method.value_or(QByteArray("GET"));
    return withBlock(
        [verb, headers = std::move(headers), body = std::move(body)](const ImageRequest& request) {
            ImageRequest changed = request;
            changed.method = verb;
            changed.body = body;
            for (const auto& [name, value] : headers) {
                changed.setHeader(name, value);
            }
            return std::optional<ImageRequest>(std::move(changed));
        });
}

std::optional<ImageRequest>
RemoteImageDownloaderRequestModifier::modifiedRequest(const ImageRequest& request) const {
    return m_block ? m_block(request) : std::nullopt;
}

} // namespace velmora::images
