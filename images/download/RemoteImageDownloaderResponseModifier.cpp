#include "images/download/RemoteImageDownloaderResponseModifier.h"

namespace velmora::images {

RemoteImageDownloaderResponseModifier::RemoteImageDownloaderResponseModifier(Block block)
    : m_block(std::move(block)) {}

std::shared_ptr<RemoteImageDownloaderResponseModifier>
RemoteImageDownloaderResponseModifier::withBlock(Block block) {
    return std::make_shared<RemoteImageDownloaderResponseModifier>(std::move(block));
}

std::shared_ptr<RemoteImageDownloaderResponseModifier>
RemoteImageDownloaderResponseModifier::withStatusCode(int statusCode) {
    return with(statusCode, std::nullopt, {});
}

std::shared_ptr<RemoteImageDownloaderResponseModifier>
RemoteImageDownloaderResponseModifier::withVersion(QByteArray version) {
    return with(200, std::move(version), {});
}

std::shared_ptr<RemoteImageDownloaderResponseModifier>
RemoteImageDownloaderResponseModifier::withHeaders(ImageResponse::Headers headers) {
    return with(200, std::nullopt, std::move(headers));
}

std::shared_ptr<RemoteImageDownloaderResponseModifier>
RemoteImageDownloaderResponseModifier::with(int statusCode, std::optional<QByteArray> version,
                                            ImageResponse::Headers headers) {
    const QByteArray httpVersion = version.value_or(QByteArray("HTTP/1.1"));
    return withBlock([statusCode, httpVersion, headers = std::move(headers)](const ImageResponse& response) {
        if (!response.isHttp()) {
            return std::optional<ImageResponse>(response);
        }
        ImageResponse changed;
        changed.url = response.url;
        changed.statusCode = statusCode;
        changed.httpVersion = httpVersion;
        changed.headers = response.headers;
        for (const auto& [name, value] : headers) {
            changed.setHeader(name, value);
        }
        return std::optional<ImageResponse>(std::move(changed));
    });
}

std::optional<ImageResponse>
RemoteImageDownloaderResponseModifier::modifiedResponse(const ImageResponse& response) const {
    return m_block ? m_block(response) : std::nullopt;
}

} // namespace velmora::images
