#include "image-views/ImageManager.h"

#include "images/pipeline/RemoteImageCombinedOperation.h"
#include "images/pipeline/RemoteImageManager.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

namespace velmora::imageviews {

using images::ImageCacheType;
using images::ImageError;
using images::ImageErrorCode;

namespace {

// Runs `work` on the manager's (the main) thread: at once when already there.
void onMain(QObject* context, std::function<void()> work) {
    if (QThread::currentThread() == context->thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
    }
}

} // namespace

ImageManager::ImageManager(QObject* parent) : QObject(parent), m_indicatorStatus(new IndicatorStatus(this)) {}

void ImageManager::announce() {
    QMetaObject::invokeMethod(this, [this] { emit objectWillChange(); }, Qt::QueuedConnection);
}

void ImageManager::setImage(const images::Image& image) {
    m_image = image;
    announce();
}

void ImageManager::setImageData(const QByteArray& data) {
    m_imageData = data;
    announce();
}

void ImageManager::setCacheType(ImageCacheType cacheType) {
    m_cacheType = cacheType;
    announce();
}

void ImageManager::setError(const ImageError& error) {
    m_error = error;
    announce();
}

void ImageManager::setIncremental(bool incremental) {
    m_incremental = incremental;
    announce();
}

void ImageManager::load(const std::optional<QUrl>& url, images::RemoteImageOptions options,
                        const images::RemoteImageContext& context) {
    const std::shared_ptr<images::RemoteImageManager> manager =
        context.customManager.hasValue() && context.customManager.value() ? context.customManager.value()
                                                                          : images::RemoteImageManager::sharedManager();
    if (currentOperation() && m_currentURL == url) {
        return;
    }
    m_currentURL = url;
    m_indicatorStatus->setLoading(true);
    m_indicatorStatus->setProgress(0);

    QPointer<ImageManager> self(this);
    const std::optional<QUrl> requested = url;
    auto progress = [self, requested](qint64 received, qint64 expected, const QUrl&) {
        if (!self) {
            return;
        }
        // Progress is written on the main thread only, and only for the URL shown now.
        onMain(self, [self, requested, received, expected] {
            if (!self || self->m_currentURL != requested) {
                return;
            }
            self->m_indicatorStatus->setProgress(
                expected >= 1 ? static_cast<double>(received) / static_cast<double>(expected) : 0.0);
            if (self->progressBlock) {
                self->progressBlock(received, expected);
            }
        });
    };
    auto completed = [self, requested](const images::Image& image, const QByteArray& data, const ImageError& error,
                                       ImageCacheType cacheType, bool finished, const QUrl&) {
        if (!self) {
            return;
        }
        onMain(self, [self, requested, image, data, error, cacheType, finished] {
            if (self) {
                self->finish(requested, image, data, error, cacheType, finished);
            }
        });
    };
    // The manager must not reach itself through the context it is handed: decoded images keep
    // their context, the manager's cache keeps the images, and the three would keep each other.
    images::RemoteImageContext handedOn = context;
    handedOn.customManager.clear();
    m_currentOperation = manager->loadImage(url.value_or(QUrl()), options, handedOn, progress, completed);
}

void ImageManager::finish(const std::optional<QUrl>& requested, const images::Image& image, const QByteArray& data,
                          const ImageError& error, ImageCacheType cacheType, bool finished) {
    if (error.is(ImageErrorCode::Cancelled)) {
        return;
    }
    // A load that a newer URL replaced never overwrites what that URL shows.
    if (requested != m_currentURL) {
        return;
    }
    setImage(image);
    setError(error);
    setIncremental(!finished);
    if (!finished) {
        return;
    }
    setImageData(data);
    setCacheType(cacheType);
    m_indicatorStatus->setLoading(false);
    m_indicatorStatus->setProgress(1.0);
    if (image) {
        if (successBlock) {
            successBlock(image, data, cacheType);
        }
    } else if (failureBlock) {
        failureBlock(error);
    }
}

void ImageManager::cancel() {
    if (const auto operation = currentOperation()) {
        operation->cancel();
    }
    m_currentOperation.reset();
    m_indicatorStatus->setLoading(false);
    m_currentURL.reset();
}

} // namespace velmora::imageviews
