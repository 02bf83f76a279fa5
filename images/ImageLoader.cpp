#include "images/ImageLoader.h"

#include "images/AbstractRemoteImageDownloaderOperation.h"
#include "images/ProgressiveImageCoder.h"

#include <QImage>

namespace velmora::images {

QString imageLoaderCacheKey(const QUrl& url, const RemoteImageContext* context) {
    Q_UNUSED(context);
    return url.toString(QUrl::FullyEncoded);
}

Image imageLoaderDecodeImageData(const QByteArray& imageData, const QUrl& imageURL, RemoteImageOptions options,
                                 const RemoteImageContext* context) {
    Q_UNUSED(imageURL);
    Q_UNUSED(options);
    Q_UNUSED(context);
    const QImage bitmap = QImage::fromData(imageData);
    return bitmap.isNull() ? Image() : Image(bitmap, 1.0);
}

Image imageLoaderDecodeProgressiveImageData(const QByteArray& imageData, const QUrl& imageURL, bool finished,
                                            AbstractRemoteImageDownloaderOperation& operation,
                                            RemoteImageOptions options, const RemoteImageContext* context) {
    Q_UNUSED(imageData);
    Q_UNUSED(imageURL);
    Q_UNUSED(finished);
    Q_UNUSED(operation);
    Q_UNUSED(options);
    Q_UNUSED(context);
    return {};
}

std::shared_ptr<ProgressiveImageCoder> imageLoaderGetProgressiveCoder(
    const AbstractRemoteImageDownloaderOperation& operation) {
    return operation.progressiveCoder();
}

void imageLoaderSetProgressiveCoder(AbstractRemoteImageDownloaderOperation& operation,
                                    std::shared_ptr<ProgressiveImageCoder> coder) {
    operation.setProgressiveCoder(std::move(coder));
}

} // namespace velmora::images
