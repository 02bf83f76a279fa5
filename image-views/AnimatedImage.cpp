#include "image-views/AnimatedImage.h"

#include "image-views/FrameBinding.h"

#include "images/animation/AnimatedImage.h"
#include "images/animation/ImageAssetManager.h"
#include "images/coders/ImageCodersManager.h"
#include "images/widgets/RemoteImageActivityIndicator.h"
#include "images/widgets/RemoteImageProgressIndicator.h"
#include "images/widgets/RemoteImageViewLoading.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace velmora::imageviews {

namespace {

// One for the process, set and read on the main thread.
AnimatedImage::DestroyBlock& viewDestroyBlock() {
    static AnimatedImage::DestroyBlock block;
    return block;
}

const QString defaultFolder = QStringLiteral(":/images");

images::Image decodedStill(const QByteArray& data, double scale) {
    images::DecodeOptions options;
    options.scaleFactor = scale;
    options.firstFrameOnly = false;
    return images::ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

} // namespace

AnimatedImage::AnimatedImage(bool isAnimating, QWidget* parent)
    : QWidget(parent), m_model(new AnimatedImageModel(this)), m_indicatorStatus(new IndicatorStatus(this)),
      m_wrapper(new AnimatedImageViewWrapper(this)), m_isAnimating(isAnimating) {
    m_wrapper->setGeometry(rect());
    connect(m_model, &AnimatedImageModel::objectWillChange, this, &AnimatedImage::scheduleUpdate);
    connect(m_wrapper, &AnimatedImageViewWrapper::intrinsicContentSizeInvalidated, this,
            &QWidget::updateGeometry);
    // The caller shapes the view first; its view-create callback and first update come after.
    QTimer::singleShot(0, this, [this] {
        if (m_handler.viewCreateBlock) {
            m_handler.viewCreateBlock(m_wrapper->wrapped(), m_coordinator);
        }
    });
    scheduleUpdate();
}

AnimatedImage::AnimatedImage(std::optional<QUrl> url, images::RemoteImageOptions options,
                             std::optional<images::RemoteImageContext> context,
                             images::Image placeholderImage, bool isAnimating, QWidget* parent)
    : AnimatedImage(isAnimating, parent) {
    m_model->kind = AnimatedImageModel::Kind::Url;
    m_model->setUrl(std::move(url));
    m_model->setWebOptions(options);
    m_model->setWebContext(std::move(context));
    m_model->setPlaceholderImage(std::move(placeholderImage));
}

AnimatedImage* AnimatedImage::withPlaceholderView(std::optional<QUrl> url, images::RemoteImageOptions options,
                                                  std::optional<images::RemoteImageContext> context,
                                                  bool isAnimating,
                                                  const std::function<QWidget*()>& placeholder,
                                                  QWidget* parent) {
    auto* view = new AnimatedImage(std::move(url), options, std::move(context), {}, isAnimating, parent);
    if (placeholder) {
        view->m_model->setPlaceholderView(placeholder());
    }
    return view;
}

AnimatedImage* AnimatedImage::named(std::optional<QString> name, std::optional<QString> bundle,
                                    bool isAnimating, QWidget* parent) {
    auto* view = new AnimatedImage(isAnimating, parent);
    view->m_model->kind = AnimatedImageModel::Kind::Name;
    view->m_model->setName(std::move(name));
    view->m_model->setBundle(std::move(bundle));
    return view;
}

AnimatedImage* AnimatedImage::fromData(std::optional<QByteArray> data, double scale, bool isAnimating,
                                       QWidget* parent) {
    auto* view = new AnimatedImage(isAnimating, parent);
    view->m_model->kind = AnimatedImageModel::Kind::Data;
    view->m_model->setData(std::move(data));
    view->m_model->setScale(scale);
    return view;
}

AnimatedImage::~AnimatedImage() {
    // Nothing keeps loading or playing for a view that has gone.
    images::AnimatedImageView* view = m_wrapper->wrapped();
    if (view) {
        view->cancelCurrentImageLoad();
        view->setAnimates(false);
    }
    if (viewDestroyBlock()) {
        viewDestroyBlock()(view, m_coordinator);
    }
}

void AnimatedImage::onViewDestroy(DestroyBlock block) {
    viewDestroyBlock() = std::move(block);
}

void AnimatedImage::setAnimating(bool animating) {
    m_isAnimating = animating;
    scheduleUpdate();
}

void AnimatedImage::scheduleUpdate() {
    if (m_updateScheduled) {
        return;
    }
    m_updateScheduled = true;
    QTimer::singleShot(0, this, [this] {
        if (m_updateScheduled) {
            updateView();
        }
    });
}

// --- update ---------------------------------------------------------------------------------------

void AnimatedImage::updateView() {
    m_updateScheduled = false;
    switch (m_model->kind) {
    case AnimatedImageModel::Kind::Name:
        loadName(m_model->name());
        break;
    case AnimatedImageModel::Kind::Data:
        loadData(m_model->data());
        break;
    case AnimatedImageModel::Kind::Url:
        decideURL(m_model->url());
        break;
    case AnimatedImageModel::Kind::Unknown:
        break;
    }
    configure();
    layOut();
    if (m_handler.viewUpdateBlock) {
        m_handler.viewUpdateBlock(m_wrapper->wrapped(), m_coordinator);
    }
}

void AnimatedImage::loadName(const std::optional<QString>& name) {
    AnimatedLoadingModel& loading = m_coordinator.imageLoading;
    if (!name || loading.imageName() == name) {
        return;
    }
    const QString folder = m_model->bundle().value_or(defaultFolder);
    images::Image image = images::AnimatedImage::imageNamed(*name, folder);
    if (!image) {
        double scale = 0; // no preferred scale: the screen's order decides
        const QString path =
            images::ImageAssetManager::sharedAssetManager()->pathForName(*name, folder, &scale);
        QFile file(path);
        if (!path.isEmpty() && file.open(QIODevice::ReadOnly)) {
            image = decodedStill(file.readAll(), std::max(scale, 1.0));
        }
    }
    loading.setImageName(name);
    m_wrapper->wrapped()->setImage(image);
}

void AnimatedImage::loadData(const std::optional<QByteArray>& data) {
    AnimatedLoadingModel& loading = m_coordinator.imageLoading;
    if (!data || loading.imageData() == data) {
        return;
    }
    images::Image image = images::AnimatedImage::imageWithData(*data, m_model->scale());
    if (!image) {
        image = decodedStill(*data, m_model->scale());
    }
    loading.setImageData(data);
    m_wrapper->wrapped()->setImage(image);
}

void AnimatedImage::decideURL(const std::optional<QUrl>& url) {
    AnimatedLoadingModel& loading = m_coordinator.imageLoading;
    if (url == loading.imageURL()) {
        // A load that was called off never reports back: with no load left in the view's
        // slot, the record is not loading any more, or it would never load again.
        if (loading.isLoading() && images::imageLoadOperation(m_wrapper->wrapped(), QString())) {
            return;
        }
        if (loading.image()) {
            m_wrapper->wrapped()->setImage(loading.image());
            return;
        }
    } else {
        loading.setImageURL(url);
        // The image of the previous URL must never be shown again for this one.
        loading.setImage({});
    }
    setUpIndicator();
    loadURL(url);
}

void AnimatedImage::setUpIndicator() {
    images::AnimatedImageView* view = m_wrapper->wrapped();
    images::setImageIndicator(view, m_configuration.indicator);
    images::setImageTransition(view, m_configuration.transition);
    QWidget* placeholder = m_model->placeholderView();
    if (!placeholder) {
        return;
    }
    placeholder->setParent(view);
    placeholder->hide();
    QWidget* indicatorView = m_configuration.indicator ? m_configuration.indicator->indicatorView() : nullptr;
    if (indicatorView && indicatorView->parentWidget() == view) {
        placeholder->stackUnder(indicatorView);
    } else {
        placeholder->raise();
    }
    bindFrameToSuperviewBounds(placeholder);
}

void AnimatedImage::loadURL(const std::optional<QUrl>& url) {
    AnimatedLoadingModel& loading = m_coordinator.imageLoading;
    loading.setLoading(true);
    const images::RemoteImageOptions options = m_model->webOptions();
    if (QWidget* placeholder = m_model->placeholderView()) {
        placeholder->setVisible(!(options & images::RemoteImageDelayPlaceholder));
    }
    images::RemoteImageContext context = m_model->webContext().value_or(images::RemoteImageContext());
    context.animatedImageClass = images::AnimatedImage::animatedImageClass();

    QPointer<AnimatedImage> guarded(this);
    auto progress = [guarded](qint64 received, qint64 expected, const QUrl&) {
        const double fraction =
            expected >= 1 ? static_cast<double>(received) / static_cast<double>(expected) : 0.0;
        // Progress reaches the record and the caller on the main thread only.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guarded, received, expected, fraction] {
                if (!guarded) {
                    return;
                }
                guarded->m_coordinator.imageLoading.setProgress(fraction);
                if (guarded->m_handler.progressBlock) {
                    guarded->m_handler.progressBlock(received, expected);
                }
            },
            Qt::QueuedConnection);
    };
    auto completed = [guarded, url](const images::Image& image, const QByteArray& data,
                                    const images::ImageError& error, images::ImageCacheType cacheType, bool,
                                    const QUrl&) {
        if (!guarded) {
            return;
        }
        AnimatedLoadingModel& record = guarded->m_coordinator.imageLoading;
        if (!image && error.is(images::ImageErrorCode::Cancelled)) {
            // A load that was called off is no failure: a newer load, or none, follows.
            if (record.imageURL() == url) {
                record.setLoading(false);
            }
            return;
        }
        record.setImage(image);
        record.setLoading(false);
        record.setProgress(1.0);
        QWidget* placeholder = guarded->m_model->placeholderView();
        if (image) {
            if (placeholder) {
                placeholder->hide();
            }
            if (guarded->m_handler.successBlock) {
                guarded->m_handler.successBlock(image, data, cacheType);
            }
        } else {
            if (placeholder) {
                placeholder->show();
            }
            if (guarded->m_handler.failureBlock) {
                guarded->m_handler.failureBlock(error);
            }
        }
        guarded->configure();
        guarded->layOut();
    };
    images::internalSetImageWithURL(m_wrapper->wrapped(), url, m_model->placeholderImage(), options, context,
                                    nullptr, progress, completed);
}

// --- configuration and layout ---------------------------------------------------------------------

void AnimatedImage::configure() {
    images::AnimatedImageView* view = m_wrapper->wrapped();
    const AnimatedImageConfiguration& c = m_configuration;
    view->setShouldIncrementalLoad(c.incrementalLoad.value_or(true));
    view->setMaxBufferSize(c.maxBufferSize.value_or(0));
    if (c.customLoopCount) {
        // The flag first: the view hands a repeat count to its player only while it is on.
        view->setShouldCustomLoopCount(true);
        view->setAnimationRepeatCount(static_cast<qint64>(
            std::min<quint64>(*c.customLoopCount, static_cast<quint64>(std::numeric_limits<qint64>::max()))));
    } else {
        view->setShouldCustomLoopCount(false);
    }
    view->setRunLoopMode(c.runLoopMode.value_or(QStringLiteral("common")));
    view->setResetFrameIndexWhenStopped(!c.pausable.value_or(true));
    view->setClearBufferWhenStopped(c.purgeable.value_or(false));
    view->setPlaybackRate(c.playbackRate.value_or(1.0));
    view->setPlaybackMode(c.playbackMode.value_or(images::AnimatedImagePlaybackMode::Normal));
    // A view told not to animate must not start by itself when it is shown later.
    view->setAutoPlayAnimatedImage(m_isAnimating);
    if (m_isAnimating != view->animates()) {
        view->setAnimates(m_isAnimating);
    }
}

void AnimatedImage::layOut() {
    images::AnimatedImageView* view = m_wrapper->wrapped();
    const AnimatedImageLayout& y = m_layout;
    view->setImageScaling(!y.aspectRatio && y.contentMode
                              ? images::AnimatedImageView::ImageScaling::ProportionallyUpOrDown
                              : images::AnimatedImageView::ImageScaling::AxesIndependently);
    m_wrapper->setResizingMode(y.resizingMode);
    if (view->image()) {
        // Kept on the view, never on the image, which the memory cache may share.
        if (y.resizingMode && !y.capInsets.isNull()) {
            view->setResizingMode(y.resizingMode);
            view->setCapInsets(y.capInsets);
        }
        if (y.renderingMode) {
            view->setTemplate(*y.renderingMode == AnimatedImageLayout::TemplateRenderingMode::Template);
        }
    }
    using Quality = AnimatedImageViewWrapper::InterpolationQuality;
    if (!y.interpolation) {
        m_wrapper->setInterpolationQuality(Quality::Default);
    } else {
        switch (*y.interpolation) {
        case AnimatedImageLayout::Interpolation::None:
            m_wrapper->setInterpolationQuality(Quality::None);
            break;
        case AnimatedImageLayout::Interpolation::Low:
            m_wrapper->setInterpolationQuality(Quality::Low);
            break;
        case AnimatedImageLayout::Interpolation::Medium:
            m_wrapper->setInterpolationQuality(Quality::Medium);
            break;
        case AnimatedImageLayout::Interpolation::High:
            m_wrapper->setInterpolationQuality(Quality::High);
            break;
        }
    }
    m_wrapper->setShouldAntialias(y.antialiased);
    m_wrapper->invalidateIntrinsicContentSize();
}

// --- modifiers ------------------------------------------------------------------------------------

AnimatedImage& AnimatedImage::onSuccess(AnimatedImageHandler::SuccessBlock block) {
    m_handler.successBlock = std::move(block);
    return *this;
}

AnimatedImage& AnimatedImage::onFailure(AnimatedImageHandler::FailureBlock block) {
    m_handler.failureBlock = std::move(block);
    return *this;
}

AnimatedImage& AnimatedImage::onProgress(AnimatedImageHandler::ProgressBlock block) {
    m_handler.progressBlock = std::move(block);
    return *this;
}

AnimatedImage& AnimatedImage::onViewCreate(AnimatedImageHandler::ViewBlock block) {
    m_handler.viewCreateBlock = std::move(block);
    return *this;
}

AnimatedImage& AnimatedImage::onViewUpdate(AnimatedImageHandler::ViewBlock block) {
    m_handler.viewUpdateBlock = std::move(block);
    return *this;
}

AnimatedImage& AnimatedImage::resizable(QMarginsF capInsets, AnimatedImageLayout::ResizingMode mode) {
    m_layout.capInsets = capInsets;
    m_layout.resizingMode = mode;
    return *this;
}

AnimatedImage& AnimatedImage::renderingMode(std::optional<AnimatedImageLayout::TemplateRenderingMode> mode) {
    m_layout.renderingMode = mode;
    return *this;
}

AnimatedImage& AnimatedImage::interpolation(AnimatedImageLayout::Interpolation interpolation) {
    m_layout.interpolation = interpolation;
    return *this;
}

AnimatedImage& AnimatedImage::antialiased(bool antialiased) {
    m_layout.antialiased = antialiased;
    return *this;
}

AnimatedImage& AnimatedImage::customLoopCount(std::optional<quint64> count) {
    m_configuration.customLoopCount = count;
    return *this;
}

AnimatedImage& AnimatedImage::maxBufferSize(std::optional<quint64> bytes) {
    m_configuration.maxBufferSize = bytes;
    return *this;
}

AnimatedImage& AnimatedImage::incrementalLoad(bool incremental) {
    m_configuration.incrementalLoad = incremental;
    return *this;
}

AnimatedImage& AnimatedImage::runLoopMode(const QString& mode) {
    m_configuration.runLoopMode = mode;
    return *this;
}

AnimatedImage& AnimatedImage::pausable(bool pausable) {
    m_configuration.pausable = pausable;
    return *this;
}

AnimatedImage& AnimatedImage::purgeable(bool purgeable) {
    m_configuration.purgeable = purgeable;
    return *this;
}

AnimatedImage& AnimatedImage::playbackRate(double rate) {
    m_configuration.playbackRate = rate;
    return *this;
}

AnimatedImage& AnimatedImage::playbackMode(images::AnimatedImagePlaybackMode mode) {
    m_configuration.playbackMode = mode;
    return *this;
}

AnimatedImage& AnimatedImage::indicator(std::shared_ptr<images::RemoteImageIndicator> indicator) {
    m_configuration.indicator = std::move(indicator);
    return *this;
}

AnimatedImage& AnimatedImage::transition(std::shared_ptr<images::RemoteImageTransition> transition) {
    m_configuration.transition = std::move(transition);
    return *this;
}

std::shared_ptr<images::RemoteImageIndicator> AnimatedImage::activityIndicator() {
    return std::make_shared<images::RemoteImageActivityIndicator>();
}

std::shared_ptr<images::RemoteImageIndicator> AnimatedImage::progressIndicator() {
    return std::make_shared<images::RemoteImageProgressIndicator>();
}

// --- geometry -------------------------------------------------------------------------------------

QSize AnimatedImage::sizeHint() const {
    return m_wrapper->sizeHint();
}

void AnimatedImage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_wrapper->setGeometry(rect());
}

} // namespace velmora::imageviews
