#include "images/download/RemoteImageDownloaderDecryptor.h"

namespace velmora::images {

RemoteImageDownloaderDecryptor::RemoteImageDownloaderDecryptor(Block block) : m_block(std::move(block)) {}

std::shared_ptr<RemoteImageDownloaderDecryptor> RemoteImageDownloaderDecryptor::withBlock(Block block) {
    return std::make_shared<RemoteImageDownloaderDecryptor>(std::move(block));
}

std::shared_ptr<RemoteImageDownloaderDecryptor> RemoteImageDownloaderDecryptor::base64Decryptor() {
    static const auto shared = withBlock([](const QByteArray& data, const std::optional<ImageResponse>&) {
        QByteArray alphabetOnly;
        alphabetOnly.reserve(data.size());
        for (const char c : data) {
            const bool inAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                    (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
            if (inAlphabet) {
                alphabetOnly.append(c);
            }
        }
        const auto decoded = QByteArray::fromBase64Encoding(
            alphabetOnly, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        return decoded ? std::optional<QByteArray>(*decoded) : std::nullopt;
    });
    return shared;
}

std::optional<QByteArray>
RemoteImageDownloaderDecryptor::decryptedData(const QByteArray& data,
                                              const std::optional<ImageResponse>& response) const {
    return m_block ? m_block(data, response) : std::nullopt;
}

} // namespace velmora::images
