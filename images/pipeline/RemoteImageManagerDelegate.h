#pragma once

#include "images/core/ImageError.h"

#include <QUrl>

#include <optional>

namespace velmora::images {

class RemoteImageManager;

// Lets an owner of a manager decide two questions; none (the default) leaves the decision to the
// manager and its loader.
class RemoteImageManagerDelegate {
public:
    virtual ~RemoteImageManagerDelegate() = default;

    virtual std::optional<bool> shouldDownloadImageForURL(RemoteImageManager& manager, const QUrl& url) {
        Q_UNUSED(manager);
        Q_UNUSED(url);
        return std::nullopt;
    }
    virtual std::optional<bool> shouldBlockFailedURL(RemoteImageManager& manager, const QUrl& url,
                                                     const ImageError& error) {
        Q_UNUSED(manager);
        Q_UNUSED(url);
        Q_UNUSED(error);
        return std::nullopt;
    }
};

} // namespace velmora::images
