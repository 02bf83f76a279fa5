#pragma once

#include "images/download/AbstractRemoteImageDownloaderDecryptor.h"

#include <functional>
#include <memory>

namespace velmora::images {

// A decryptor made of a function.
class RemoteImageDownloaderDecryptor : public AbstractRemoteImageDownloaderDecryptor {
public:
    using Block =
        std::function<std::optional<QByteArray>(const QByteArray&, const std::optional<ImageResponse>&)>;

    explicit RemoteImageDownloaderDecryptor(Block block);
    static std::shared_ptr<RemoteImageDownloaderDecryptor> withBlock(Block block);

    // One shared decryptor that reads the bytes as Base64 text (standard alphabet),
    // skipping anything outside the alphabet such as line breaks.
    static std::shared_ptr<RemoteImageDownloaderDecryptor> base64Decryptor();

    std::optional<QByteArray> decryptedData(const QByteArray& data,
                                            const std::optional<ImageResponse>& response) const override;

private:
    Block m_block;
};

} // namespace velmora::images
