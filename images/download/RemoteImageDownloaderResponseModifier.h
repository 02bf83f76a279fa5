#pragma once

#include "images/download/AbstractRemoteImageDownloaderResponseModifier.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::images {

// A response modifier made of a function, or of a fixed status, HTTP version and headers.
class RemoteImageDownloaderResponseModifier : public AbstractRemoteImageDownloaderResponseModifier {
public:
    using Block = std::function<std::optional<ImageResponse>(const ImageResponse&)>;

    explicit RemoteImageDownloaderResponseModifier(Block block);
    static std::shared_ptr<RemoteImageDownloaderResponseModifier> withBlock(Block block);

    // Each answers an HTTP response with the given status (200 when none is given),
    // version ("HTTP/1.1" when none is given) and the incoming headers with the given
    // ones added or replaced. An answer that is not HTTP passes unchanged.
    static std::shared_ptr<RemoteImageDownloaderResponseModifier> withStatusCode(int statusCode);
    static std::shared_ptr<RemoteImageDownloaderResponseModifier> withVersion(QByteArray version);
    static std::shared_ptr<RemoteImageDownloaderResponseModifier> withHeaders(ImageResponse::Headers headers);
    static std::shared_ptr<RemoteImageDownloaderResponseModifier>
    with(int statusCode, std::optional<QByteArray> version, ImageResponse::Headers headers);

    std::optional<ImageResponse> modifiedResponse(const ImageResponse& response) const override;

private:
    Block m_block;
};

} // namespace velmora::images
