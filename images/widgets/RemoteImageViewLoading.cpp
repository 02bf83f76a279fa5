#include "images/widgets/RemoteImageViewLoading.h"

#include "images/pipeline/RemoteImageManager.h"
#include "images/widgets/AnimatedImageView.h"
#include "images/widgets/RemoteImageIndicator.h"
#include "images/widgets/RemoteImageTransition.h"

#include <QAbstractAnimation>
#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

namespace velmora::images {

namespace {

// The per-widget record, kept in a side table until the widget is destroyed.
struct ViewState {
    std::recursive_mutex lock;
    QString latestKey;
    std::map<QString, std::weak_ptr<RemoteImageOperation>> operations;
    std::map<QString, RemoteImageLoadState> loadStates;
    std::shared_ptr<RemoteImageTransition> transition;
    std::shared_ptr<RemoteImageIndicator> indicator;
};

std::mutex tableLock;
std::map<const QWidget*, std::shared_ptr<ViewState>>& table() {
    static std::map<const QWidget*, std::shared_ptr<ViewState>> states;
    return states;
}

std::shared_ptr<ViewState> stateOf(QWidget* view) {
    std::lock_guard lock(tableLock);
    auto& states = table();
    const auto it = states.find(view);
    if (it != states.end()) {
        return it->second;
    }
    auto state = std::make_shared<ViewState>();
    states.emplace(view, state);
    QObject::connect(view, &QObject::destroyed, [view] {
        std::lock_guard lock(tableLock);
        table().erase(view);
    });
    return state;
}

QString keyFor(QWidget* view, const QString& key) {
    return key.isEmpty() ? QString::fromLatin1(view->metaObject()->className()) : key;
}

// At once on the main thread, else queued to it.
void onMain(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
    }
}

void startIndicator(QWidget* view) {
    const auto indicator = imageIndicator(view);
    if (indicator) {
        onMain([indicator] { indicator->startAnimatingIndicator(); });
    }
}

void stopIndicator(QWidget* view) {
    const auto indicator = imageIndicator(view);
    if (indicator) {
        onMain([indicator] { indicator->stopAnimatingIndicator(); });
    }
}

bool stillCurrent(const QPointer<QWidget>& view, const QString& startingKey) {
    if (!view) {
        return false;
    }
    const QString latest = latestOperationKey(view);
    return !latest.isEmpty() && latest == startingKey;
}

} // namespace

// --- tables ---------------------------------------------------------------------------------

std::shared_ptr<RemoteImageOperation> imageLoadOperation(QWidget* view, const QString& key) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    const auto it = state->operations.find(keyFor(view, key));
    return it == state->operations.end() ? nullptr : it->second.lock();
}

void setImageLoadOperation(QWidget* view, const std::shared_ptr<RemoteImageOperation>& operation, const QString& key) {
    if (!operation) {
        return;
    }
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    state->operations[keyFor(view, key)] = operation;
}

void cancelImageLoadOperation(QWidget* view, const QString& key) {
    const auto operation = imageLoadOperation(view, key);
    if (operation) {
        operation->cancel();
    }
    removeImageLoadOperation(view, key);
}

void removeImageLoadOperation(QWidget* view, const QString& key) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    state->operations.erase(keyFor(view, key));
}

std::optional<RemoteImageLoadState> imageLoadState(QWidget* view, const QString& key) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    const auto it = state->loadStates.find(keyFor(view, key));
    return it == state->loadStates.end() ? std::nullopt : std::optional<RemoteImageLoadState>(it->second);
}

void setImageLoadState(QWidget* view, std::optional<RemoteImageLoadState> loadState, const QString& key) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    if (loadState) {
        state->loadStates[keyFor(view, key)] = std::move(*loadState);
    } else {
        state->loadStates.erase(keyFor(view, key));
    }
}

QString latestOperationKey(QWidget* view) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    return state->latestKey;
}

std::optional<QUrl> imageURL(QWidget* view) {
    const auto loadState = imageLoadState(view, latestOperationKey(view));
    return loadState ? loadState->url : std::nullopt;
}

std::shared_ptr<RemoteImageLoadProgress> imageProgress(QWidget* view) {
    const QString key = latestOperationKey(view);
    auto loadState = imageLoadState(view, key).value_or(RemoteImageLoadState());
    if (!loadState.progress) {
        loadState.progress = std::make_shared<RemoteImageLoadProgress>();
        setImageLoadState(view, loadState, key);
    }
    return loadState.progress;
}

void cancelLatestImageLoad(QWidget* view) {
    cancelImageLoadOperation(view, latestOperationKey(view));
}

std::shared_ptr<RemoteImageTransition> imageTransition(QWidget* view) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    return state->transition;
}

void setImageTransition(QWidget* view, std::shared_ptr<RemoteImageTransition> transition) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    state->transition = std::move(transition);
}

std::shared_ptr<RemoteImageIndicator> imageIndicator(QWidget* view) {
    const auto state = stateOf(view);
    std::lock_guard lock(state->lock);
    return state->indicator;
}

void setImageIndicator(QWidget* view, std::shared_ptr<RemoteImageIndicator> indicator) {
    std::shared_ptr<RemoteImageIndicator> old;
    {
        const auto state = stateOf(view);
        std::lock_guard lock(state->lock);
        old = std::exchange(state->indicator, indicator);
    }
    if (old && old->indicatorView()) {
        old->indicatorView()->setParent(nullptr);
    }
    if (!indicator || !indicator->indicatorView()) {
        return;
    }
    QWidget* indicatorView = indicator->indicatorView();
    if (indicatorView->size().isEmpty()) {
        indicatorView->resize(view->size());
    }
    indicatorView->setParent(view);
    indicatorView->move(static_cast<int>(std::lround((view->width() - indicatorView->width()) / 2.0)),
                        static_cast<int>(std::lround((view->height() - indicatorView->height()) / 2.0)));
    indicatorView->show();
}

// --- putting an image in -------------------------------------------------------------------------

void setImageOnView(QWidget* view, const Image& image, const QByteArray& data, RemoteImageOptions options,
                    RemoteImageSetImageBlock setImageBlock, std::shared_ptr<RemoteImageTransition> transition,
                    ImageCacheType cacheType, const QUrl& imageURL, std::function<void()> callback) {
    RemoteImageSetImageBlock finalBlock = std::move(setImageBlock);
    if (!finalBlock) {
        QPointer<QWidget> guarded(view);
        if (qobject_cast<AnimatedImageView*>(view)) {
            finalBlock = [guarded](const Image& image, const QByteArray&, ImageCacheType, const QUrl&) {
                if (auto* animated = qobject_cast<AnimatedImageView*>(guarded.data())) {
                    animated->setImage(image);
                }
            };
        } else if (qobject_cast<QLabel*>(view)) {
            finalBlock = [guarded](const Image& image, const QByteArray&, ImageCacheType, const QUrl&) {
                if (auto* label = qobject_cast<QLabel*>(guarded.data())) {
                    label->setPixmap(image ? QPixmap::fromImage(image.bitmap()) : QPixmap());
                }
            };
        } else if (qobject_cast<QAbstractButton*>(view)) {
            finalBlock = [guarded](const Image& image, const QByteArray&, ImageCacheType, const QUrl&) {
                if (auto* button = qobject_cast<QAbstractButton*>(guarded.data())) {
                    button->setIcon(image ? QIcon(QPixmap::fromImage(image.bitmap())) : QIcon());
                }
            };
        }
    }
    const bool wait = options & RemoteImageWaitTransition;
    if (!transition) {
        if (finalBlock) {
            finalBlock(image, data, cacheType, imageURL);
        }
        // With the wait option a callback still runs once the image is in, even without
        // anything that puts it in.
        if (callback) {
            callback();
        }
        return;
    }
    const QString startingKey = latestOperationKey(view);
    QPointer<QWidget> guarded(view);
    if (transition->prepares && stillCurrent(guarded, startingKey)) {
        transition->prepares(view, image, data, cacheType, imageURL);
    }
    // The animated part begins on the next turn, after the preparation took effect.
    QTimer::singleShot(0, view, [guarded, startingKey, transition, finalBlock, image, data, cacheType, imageURL,
                                 callback, wait] {
        if (!stillCurrent(guarded, startingKey)) {
            return;
        }
        if (finalBlock && !transition->avoidAutoSetImage) {
            finalBlock(image, data, cacheType, imageURL);
        }
        const QEasingCurve curve =
            transition->timingFunction.value_or(timingFunctionForTransitionOptions(transition->animationOptions));
        QAbstractAnimation* animation = nullptr;
        if (const auto effect = transitionForTransitionOptions(transition->animationOptions)) {
            animation = animationForTransitionEffect(guarded, *effect, transition->duration, curve);
        }
        if (transition->animations) {
            transition->animations(guarded, image);
        }
        auto finish = [guarded, startingKey, transition, callback, wait] {
            if (!stillCurrent(guarded, startingKey)) {
                return;
            }
            if (transition->completion) {
                transition->completion(true);
            }
            if (wait && callback) {
                callback();
            }
        };
        if (animation) {
            QObject::connect(animation, &QAbstractAnimation::finished, guarded, finish);
            animation->start(QAbstractAnimation::DeleteWhenStopped);
        } else {
            QTimer::singleShot(static_cast<int>(transition->duration * 1000), guarded.data(), finish);
        }
    });
    if (!wait && callback) {
        callback();
    }
}

// --- loading --------------------------------------------------------------------------------------

std::shared_ptr<RemoteImageOperation> internalSetImageWithURL(QWidget* view, const QString& url,
                                                              const Image& placeholder, RemoteImageOptions options,
                                                              const RemoteImageContext& context,
                                                              RemoteImageSetImageBlock setImageBlock,
                                                              ImageLoaderProgressBlock progress,
                                                              RemoteImageViewCompletedBlock completed) {
    const QUrl parsed(url, QUrl::StrictMode);
    return internalSetImageWithURL(view, parsed.isValid() && !url.isEmpty() ? std::optional<QUrl>(parsed) : std::nullopt,
                                   placeholder, options, context, std::move(setImageBlock), std::move(progress),
                                   std::move(completed));
}

std::shared_ptr<RemoteImageOperation> internalSetImageWithURL(QWidget* view, const std::optional<QUrl>& url,
                                                              const Image& placeholder, RemoteImageOptions options,
                                                              const RemoteImageContext& givenContext,
                                                              RemoteImageSetImageBlock setImageBlock,
                                                              ImageLoaderProgressBlock progress,
                                                              RemoteImageViewCompletedBlock completed) {
    RemoteImageContext context = givenContext;
    QString key = context.setImageOperationKey.valueOr(QString());
    if (key.isEmpty()) {
        key = QString::fromLatin1(view->metaObject()->className());
        context.setImageOperationKey = key;
    }
    {
        const auto state = stateOf(view);
        std::lock_guard lock(state->lock);
        state->latestKey = key;
    }
    if (!(options & RemoteImageAvoidAutoCancelImage)) {
        cancelImageLoadOperation(view, key);
    }
    RemoteImageLoadState loadState = imageLoadState(view, key).value_or(RemoteImageLoadState());
    loadState.url = url;
    setImageLoadState(view, loadState, key);

    std::shared_ptr<RemoteImageManager> manager = RemoteImageManager::sharedManager();
    if (context.customManager.hasValue() && context.customManager.value()) {
        manager = context.customManager.value();
        // The manager must not reach itself through the context it is handed.
        context.customManager.clear();
    }
    QPointer<QWidget> guarded(view);
    const QUrl requested = url.value_or(QUrl());
    if (!(options & RemoteImageDelayPlaceholder)) {
        onMain([guarded, placeholder, options, setImageBlock, requested] {
            if (guarded) {
                setImageOnView(guarded, placeholder, {}, options, setImageBlock, nullptr, ImageCacheType::None,
                               requested, nullptr);
            }
        });
    }
    if (!url || url->isEmpty()) {
        stopIndicator(view);
        if (completed) {
            onMain([completed] {
                completed(Image(), QByteArray(), ImageError(ImageErrorCode::InvalidURL, QStringLiteral("Image url is nil")),
                          ImageCacheType::None, true, QUrl());
            });
        }
        return nullptr;
    }
    if (loadState.progress) {
        loadState.progress->totalUnitCount = 0;
        loadState.progress->completedUnitCount = 0;
    }
    startIndicator(view);
    const auto indicator = imageIndicator(view);
    auto combinedProgress = [indicator, progress, guarded, key, requested](
                                qint64 received, qint64 expected, const QUrl& target) {
        const double fraction =
            expected > 0 ? std::clamp(static_cast<double>(received) / static_cast<double>(expected), 0.0, 1.0) : 0.0;
        // Counters and indicator change on the main thread only, and only while the slot
        // still shows this URL.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [indicator, guarded, key, requested, received, expected, fraction] {
                if (!guarded) {
                    return;
                }
                const auto state = imageLoadState(guarded, key);
                if (!state || state->url != requested) {
                    return;
                }
                if (state->progress) {
                    state->progress->totalUnitCount = expected;
                    state->progress->completedUnitCount = received;
                }
                if (indicator && indicator->showsProgress()) {
                    indicator->updateIndicatorProgress(fraction);
                }
            },
            Qt::QueuedConnection);
        if (progress) {
            progress(received, expected, target);
        }
    };
    auto done = [guarded, key, requested, options, completed, setImageBlock, placeholder](
                    const Image& image, const QByteArray& data, const ImageError& error, ImageCacheType cacheType,
                    bool finished, const QUrl& imageURL) {
        onMain([=] {
            if (!guarded) {
                return;
            }
            // A result for a URL this slot no longer shows is dropped.
            const auto state = imageLoadState(guarded, key);
            if (!state || state->url != std::optional<QUrl>(requested)) {
                return;
            }
            // The slot's progress as it is now: somebody may have asked for it since the start.
            const auto progress = state->progress;
            if (error.isNull() && progress && finished && progress->totalUnitCount == 0 &&
                progress->completedUnitCount == 0) {
                progress->totalUnitCount = 1;
                progress->completedUnitCount = 1;
            }
            if (finished) {
                stopIndicator(guarded);
            }
            const bool cancelled = error.is(ImageErrorCode::Cancelled);
            const bool shouldCallCompletion = finished || (options & RemoteImageAvoidAutoSetImage);
            const bool shouldNotSetImage = (image && (options & RemoteImageAvoidAutoSetImage)) ||
                                           (!image && !(options & RemoteImageDelayPlaceholder)) || cancelled;
            auto completionStep = [guarded, shouldNotSetImage, completed, shouldCallCompletion, image, data, error,
                                   cacheType, finished, requested] {
                if (guarded && !shouldNotSetImage) {
                    guarded->updateGeometry();
                    guarded->update();
                }
                if (completed && shouldCallCompletion) {
                    completed(image, data, error, cacheType, finished, requested);
                }
            };
            if (shouldNotSetImage) {
                completionStep();
                return;
            }
            const Image target = image ? image : placeholder;
            const QByteArray targetData = image ? data : QByteArray();
            std::shared_ptr<RemoteImageTransition> transition;
            if (finished) {
                const bool fromDiskAsync = cacheType == ImageCacheType::Disk &&
                                           !(options & (RemoteImageQueryMemoryDataSync | RemoteImageQueryDiskDataSync));
                if ((options & RemoteImageForceTransition) || cacheType == ImageCacheType::None || fromDiskAsync) {
                    transition = imageTransition(guarded);
                }
            }
            setImageOnView(guarded, target, targetData, options, setImageBlock, transition, cacheType, imageURL,
                           completionStep);
        });
    };
    auto operation = manager->loadImage(requested, options, context, combinedProgress, done);
    setImageLoadOperation(view, operation, key);
    return operation;
}

void setImageWithURL(QLabel* view, const std::optional<QUrl>& url, const Image& placeholder, RemoteImageOptions options,
                     const RemoteImageContext& context, ImageLoaderProgressBlock progress,
                     RemoteImageViewSimpleCompletedBlock completed) {
    internalSetImageWithURL(view, url, placeholder, options, context, nullptr, std::move(progress),
                            [completed](const Image& image, const QByteArray&, const ImageError& error,
                                        ImageCacheType cacheType, bool, const QUrl& imageURL) {
                                if (completed) {
                                    completed(image, error, cacheType, imageURL);
                                }
                            });
}

std::optional<QUrl> currentImageURL(QLabel* view) {
    const auto state = imageLoadState(view, QString());
    return state ? state->url : std::nullopt;
}

} // namespace velmora::images
