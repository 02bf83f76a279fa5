#include "images/pipeline/ImageLoadersManager.h"

#include "images/download/RemoteImageDownloader.h"

#include <algorithm>

namespace velmora::images {

ImageLoadersManager::ImageLoadersManager() : m_loaders{RemoteImageDownloader::sharedDownloader()} {}

std::shared_ptr<ImageLoadersManager> ImageLoadersManager::sharedManager() {
    static const auto manager = std::make_shared<ImageLoadersManager>();
    return manager;
}

std::vector<std::shared_ptr<ImageLoader>> ImageLoadersManager::loaders() const {
    std::lock_guard lock(m_mutex);
    return m_loaders;
}

void ImageLoadersManager::setLoaders(std::vector<std::shared_ptr<ImageLoader>> loaders) {
    loaders.erase(std::remove(loaders.begin(), loaders.end(), nullptr), loaders.end());
    std::lock_guard lock(m_mutex);
    m_loaders = std::move(loaders);
}

void ImageLoadersManager::addLoader(const std::shared_ptr<ImageLoader>& loader) {
    if (!loader) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_loaders.push_back(loader);
}

void ImageLoadersManager::removeLoader(const std::shared_ptr<ImageLoader>& loader) {
    std::lock_guard lock(m_mutex);
    m_loaders.erase(std::remove(m_loaders.begin(), m_loaders.end(), loader), m_loaders.end());
}

std::shared_ptr<ImageLoader> ImageLoadersManager::loaderFor(const QUrl& url, RemoteImageOptions options,
                                                            const RemoteImageContext& context) const {
    const auto list = loaders();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if ((*it)->canRequestImage(url, options, context)) {
            return *it;
        }
    }
    return nullptr;
}

bool ImageLoadersManager::canRequestImage(const QUrl& url, RemoteImageOptions options,
                                          const RemoteImageContext& context) {
    return loaderFor(url, options, context) != nullptr;
}

std::shared_ptr<RemoteImageOperation> ImageLoadersManager::requestImage(const QUrl& url,
                                                                        RemoteImageOptions options,
                                                                        const RemoteImageContext& context,
                                                                        ImageLoaderProgressBlock progress,
                                                                        ImageLoaderCompletedBlock completed) {
    const auto loader = url.isEmpty() ? nullptr : loaderFor(url, options, context);
    if (!loader) {
        // A load nobody takes still ends, so its caller is never left waiting.
        if (completed) {
            completed(Image(), QByteArray(),
                      url.isEmpty()
                          ? ImageError(ImageErrorCode::InvalidURL, QStringLiteral("Image url is nil"))
                          : ImageError(ImageErrorCode::InvalidDownloadOperation,
                                       QStringLiteral("Downloader operation is nil")),
                      true);
        }
        return nullptr;
    }
    return loader->requestImage(url, options, context, std::move(progress), std::move(completed));
}

bool ImageLoadersManager::shouldBlockFailedURL(const QUrl& url, const ImageError& error,
                                               RemoteImageOptions options,
                                               const RemoteImageContext& context) {
    const auto loader = loaderFor(url, options, context);
    return loader && loader->shouldBlockFailedURL(url, error, options, context);
}

} // namespace velmora::images
