#pragma once

#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/ImageError.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"
#include "images/download/ImageLoaderBlocks.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QLabel;
class QWidget;

namespace velmora::images {

class RemoteImageIndicator;
class RemoteImageTransition;

// Loading a remote image into any widget: the widget's loads, load states, latest key,
// indicator and transition live in a small helper object that the widget owns, so they
// last as long as the widget and are never shared between widgets. Everything that
// touches the widget runs on the main thread; the calls may come from any thread.

// Progress counters of one load slot, written on the main thread.
struct RemoteImageLoadProgress {
    std::atomic<qint64> totalUnitCount{0};
    std::atomic<qint64> completedUnitCount{0};
};

// What a slot last asked for.
struct RemoteImageLoadState {
    std::optional<QUrl> url;
    std::shared_ptr<RemoteImageLoadProgress> progress;
};

using RemoteImageSetImageBlock = std::function<void(const Image& image, const QByteArray& data,
                                                    ImageCacheType cacheType, const QUrl& imageURL)>;
using RemoteImageViewCompletedBlock =
    std::function<void(const Image& image, const QByteArray& data, const ImageError& error, ImageCacheType cacheType,
                       bool finished, const QUrl& imageURL)>;
using RemoteImageViewSimpleCompletedBlock =
    std::function<void(const Image& image, const ImageError& error, ImageCacheType cacheType, const QUrl& imageURL)>;

// The general entry: `setImageBlock` puts an image into the widget (none: a QLabel's
// pixmap or a button's icon). Returns the started load, or none for no URL.
std::shared_ptr<RemoteImageOperation> internalSetImageWithURL(QWidget* view, const std::optional<QUrl>& url,
                                                              const Image& placeholder, RemoteImageOptions options,
                                                              const RemoteImageContext& context,
                                                              RemoteImageSetImageBlock setImageBlock,
                                                              ImageLoaderProgressBlock progress,
                                                              RemoteImageViewCompletedBlock completed);
// The same from text; text that is no URL loads as none.
std::shared_ptr<RemoteImageOperation> internalSetImageWithURL(QWidget* view, const QString& url,
                                                              const Image& placeholder, RemoteImageOptions options,
                                                              const RemoteImageContext& context,
                                                              RemoteImageSetImageBlock setImageBlock,
                                                              ImageLoaderProgressBlock progress,
                                                              RemoteImageViewCompletedBlock completed);

// For image views (QLabel): the missing arguments are none or 0.
void setImageWithURL(QLabel* view, const std::optional<QUrl>& url, const Image& placeholder = {},
                     RemoteImageOptions options = 0, const RemoteImageContext& context = {},
                     ImageLoaderProgressBlock progress = nullptr, RemoteImageViewSimpleCompletedBlock completed = nullptr);
std::optional<QUrl> currentImageURL(QLabel* view);

// Puts an image into the widget, with a transition when one is given; `callback` runs
// once the image is in (after the transition with the wait option).
void setImageOnView(QWidget* view, const Image& image, const QByteArray& data, RemoteImageOptions options,
                    RemoteImageSetImageBlock setImageBlock, std::shared_ptr<RemoteImageTransition> transition,
                    ImageCacheType cacheType, const QUrl& imageURL, std::function<void()> callback);

// The key of the widget's most recent load; the widget's class name by default.
QString latestOperationKey(QWidget* view);
std::optional<QUrl> imageURL(QWidget* view);
// The progress of the latest load slot, made on first use.
std::shared_ptr<RemoteImageLoadProgress> imageProgress(QWidget* view);
void cancelLatestImageLoad(QWidget* view);

std::shared_ptr<RemoteImageTransition> imageTransition(QWidget* view);
void setImageTransition(QWidget* view, std::shared_ptr<RemoteImageTransition> transition);
std::shared_ptr<RemoteImageIndicator> imageIndicator(QWidget* view);
// Centres the indicator's widget in `view`; none removes the old one.
void setImageIndicator(QWidget* view, std::shared_ptr<RemoteImageIndicator> indicator);

// The widget's table of running loads and load states, by key (empty: the class name).
std::shared_ptr<RemoteImageOperation> imageLoadOperation(QWidget* view, const QString& key);
void setImageLoadOperation(QWidget* view, const std::shared_ptr<RemoteImageOperation>& operation, const QString& key);
void cancelImageLoadOperation(QWidget* view, const QString& key);
void removeImageLoadOperation(QWidget* view, const QString& key);
std::optional<RemoteImageLoadState> imageLoadState(QWidget* view, const QString& key);
void setImageLoadState(QWidget* view, std::optional<RemoteImageLoadState> state, const QString& key);

} // namespace velmora::images
