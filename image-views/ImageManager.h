#pragma once

#include "image-views/IndicatorStatus.h"
#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/ImageError.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::imageviews {

// The observable loader behind one remote image view: it loads one URL through the image
// library's manager, keeps the image and what came with it, reports progress into its
// indicator status and calls the caller's success, failure and progress callbacks. It
// lives on the main thread; every change of the published state is announced once, by
// `objectWillChange` on a later turn of the main thread's event loop.
//
// A result only counts for the URL the manager shows now: the result of a load that a
// newer URL replaced, and the cancelled outcome of any load, change nothing.
class ImageManager : public QObject {
    Q_OBJECT
public:
    using SuccessBlock =
        std::function<void(const images::Image& image, const QByteArray& data, images::ImageCacheType cacheType)>;
    using FailureBlock = std::function<void(const images::ImageError& error)>;
    using ProgressBlock = std::function<void(qint64 receivedSize, qint64 expectedSize)>;

    explicit ImageManager(QObject* parent = nullptr);

    images::Image image() const { return m_image; }
    void setImage(const images::Image& image);
    QByteArray imageData() const { return m_imageData; }
    void setImageData(const QByteArray& data);
    images::ImageCacheType cacheType() const { return m_cacheType; }
    void setCacheType(images::ImageCacheType cacheType);
    images::ImageError error() const { return m_error; }
    void setError(const images::ImageError& error);
    bool isIncremental() const { return m_incremental; }
    void setIncremental(bool incremental);

    IndicatorStatus* indicatorStatus() const { return m_indicatorStatus; }
    // The running load, while the library still holds it.
    std::shared_ptr<images::RemoteImageOperation> currentOperation() const { return m_currentOperation.lock(); }
    std::optional<QUrl> currentURL() const { return m_currentURL; }

    SuccessBlock successBlock;
    FailureBlock failureBlock;
    ProgressBlock progressBlock;

    // Starts loading `url`, unless that URL is loading already.
    void load(const std::optional<QUrl>& url, images::RemoteImageOptions options = 0,
              const images::RemoteImageContext& context = {});
    // Stops the current load; its cancelled outcome is not published.
    void cancel();

signals:
    void objectWillChange();

private:
    void announce();
    void finish(const std::optional<QUrl>& requested, const images::Image& image, const QByteArray& data,
                const images::ImageError& error, images::ImageCacheType cacheType, bool finished);

    images::Image m_image;
    QByteArray m_imageData;
    images::ImageCacheType m_cacheType = images::ImageCacheType::None;
    images::ImageError m_error;
    bool m_incremental = false;
    IndicatorStatus* m_indicatorStatus;
    std::weak_ptr<images::RemoteImageOperation> m_currentOperation;
    std::optional<QUrl> m_currentURL;
};

} // namespace velmora::imageviews
