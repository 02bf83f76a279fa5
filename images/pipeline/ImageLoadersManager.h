#pragma once

#include "images/download/ImageLoader.h"

#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

// A loader that hands each request to one of several loaders: the first, counting from the one
// registered last, that says it can load the request. Every question is routed by that same
// answer, and a request no loader takes completes with an error.
class ImageLoadersManager : public ImageLoader {
public:
    using ImageLoader::canRequestImage;
    using ImageLoader::shouldBlockFailedURL;

    // Holds the shared downloader.
    ImageLoadersManager();

    static std::shared_ptr<ImageLoadersManager> sharedManager();

    std::vector<std::shared_ptr<ImageLoader>> loaders() const;
    void setLoaders(std::vector<std::shared_ptr<ImageLoader>> loaders);
    void addLoader(const std::shared_ptr<ImageLoader>& loader);
    void removeLoader(const std::shared_ptr<ImageLoader>& loader);

    bool canRequestImage(const QUrl& url, RemoteImageOptions options,
                         const RemoteImageContext& context) override;
    std::shared_ptr<RemoteImageOperation> requestImage(const QUrl& url, RemoteImageOptions options,
                                                       const RemoteImageContext& context,
                                                       ImageLoaderProgressBlock progress,
                                                       ImageLoaderCompletedBlock completed) override;
    bool shouldBlockFailedURL(const QUrl& url, const ImageError& error, RemoteImageOptions options,
                              const RemoteImageContext& context) override;

private:
    std::shared_ptr<ImageLoader> loaderFor(const QUrl& url, RemoteImageOptions options,
                                           const RemoteImageContext& context) const;

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<ImageLoader>> m_loaders;
};

} // namespace velmora::images
