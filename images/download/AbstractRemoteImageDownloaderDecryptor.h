#pragma once

#include "images/download/ImageResponse.h"

#include <QByteArray>

#include <optional>

namespace velmora::images {

// Turns downloaded bytes into image bytes before they are decoded. Answering nothing
// fails the download as if no data had come.
class AbstractRemoteImageDownloaderDecryptor {
public:
    virtual ~AbstractRemoteImageDownloaderDecryptor() = default;
    virtual std::optional<QByteArray> decryptedData(const QByteArray& data,
                                                    const std::optional<ImageResponse>& response) const = 0;
};

} // namespace velmora::images
