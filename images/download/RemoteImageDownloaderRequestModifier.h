#pragma once

#include "images/download/AbstractRemoteImageDownloaderRequestModifier.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::images {

// A request modifier made of a function, or of a fixed method, headers and body.
class RemoteImageDownloaderRequestModifier : public AbstractRemoteImageDownloaderRequestModifier {
public:
    using Block = std::function<std::optional<ImageRequest>(const ImageRequest&)>;

    explicit RemoteImageDownloaderRequestModifier(Block block);
    static std::shared_ptr<RemoteImageDownloaderRequestModifier> withBlock(Block block);

    // Each sets the method (GET when none is given), replaces the body (no body when
    // none is given) and sets the given headers, replacing those of the same name.
    static std::shared_ptr<RemoteImageDownloaderRequestModifier> withMethod(QByteArray method);
    static std::shared_ptr<RemoteImageDownloaderRequestModifier> withHeaders(ImageRequest::Headers headers);
    static std::shared_ptr<RemoteImageDownloaderRequestModifier> withBody(QByteArray body);
    static std::shared_ptr<RemoteImageDownloaderRequestModifier>
    with(std::optional<QByteArray> method, ImageRequest::Headers headers, std::optional<QByteArray> body);

    std::optional<ImageRequest> modifiedRequest(const ImageRequest& request) const override;

private:
    Block m_block;
};

} // namespace velmora::images
