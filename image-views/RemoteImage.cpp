#include "image-views/RemoteImage.h"

#include "image-views/IndicatorViewModifier.h"
#include "images/animation/AnimatedImage.h"

#include <QPainter>

namespace velmora::imageviews {

namespace {

images::RemoteImageContext prepared(images::RemoteImageContext context, double scale, bool animating) {
    // A scale or an animated kind the context names already wins.
    if (context.imageScaleFactor.isAbsent()) {
        context.imageScaleFactor = scale;
    }
    if (animating && context.animatedImageClass.isAbsent()) {
        context.animatedImageClass = images::AnimatedImage::animatedImageClass();
    }
    return context;
}

} // namespace

RemoteImage::RemoteImage(std::optional<QUrl> url, double scale, images::RemoteImageOptions options,
                         images::RemoteImageContext context, bool animating, QWidget* parent)
    : RemoteImage(std::move(url), scale, options, std::move(context), animating, Content(), parent) {}

RemoteImage::RemoteImage(std::optional<QUrl> url, double scale, images::RemoteImageOptions options,
                         images::RemoteImageContext context, bool animating, Content content, QWidget* parent)
    : QWidget(parent), m_url(std::move(url)), m_options(options), m_context(prepared(std::move(context), scale, animating)),
      m_animating(animating), m_content(std::move(content)), m_manager(new ImageManager(this)),
      m_player(new ImagePlayer(this)) {
    if (!m_content) {
        m_content = [this](QPainter& painter, const QRect& rect, const RemoteImagePhase& phase) {
            if (const auto image = phase.image()) {
                drawImage(painter, rect, *image);
            }
        };
    }
    connect(m_manager, &ImageManager::objectWillChange, this, &RemoteImage::scheduleEvaluation);
    connect(m_player, &ImagePlayer::objectWillChange, this, &RemoteImage::scheduleEvaluation);
}

RemoteImage* RemoteImage::withContentAndPlaceholder(std::optional<QUrl> url, double scale,
                                                   images::RemoteImageOptions options,
                                                   images::RemoteImageContext context, bool animating,
                                                   ImageContent content, PlaceholderContent placeholder,
                                                   QWidget* parent) {
    auto draw = [content = std::move(content), placeholder = std::move(placeholder)](
                    QPainter& painter, const QRect& rect, const RemoteImagePhase& phase) {
        if (const auto image = phase.image()) {
            if (content) {
                content(painter, rect, *image);
            }
        } else if (placeholder) {
            placeholder(painter, rect);
        }
    };
    return new RemoteImage(std::move(url), scale, options, std::move(context), animating, std::move(draw), parent);
}

void RemoteImage::setUrl(std::optional<QUrl> url) {
    m_url = std::move(url);
    scheduleEvaluation();
}

void RemoteImage::setOptions(images::RemoteImageOptions options) {
    m_options = options;
    scheduleEvaluation();
}

void RemoteImage::setContext(images::RemoteImageContext context) {
    m_context = std::move(context);
    scheduleEvaluation();
}

void RemoteImage::setAnimating(bool animating) {
    m_animating = animating;
    scheduleEvaluation();
}

// --- evaluation -------------------------------------------------------------------------

void RemoteImage::scheduleEvaluation() {
    if (m_evaluationScheduled) {
        return;
    }
    m_evaluationScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_evaluationScheduled = false;
            evaluate();
        },
        Qt::QueuedConnection);
}

bool RemoteImage::showsLoadedImage() const {
    return m_manager->image() && m_url == m_manager->currentURL();
}

void RemoteImage::evaluate() {
    // Nothing loads before the widget is first shown.
    if (!isVisible()) {
        return;
    }
    if (showsLoadedImage()) {
        if (m_animating && !m_manager->isIncremental()) {
            showPlayer();
        } else {
            showStill();
        }
    } else {
        m_shownFrame = {};
        setUpManager();
        if (m_manager->error().isNull()) {
            m_manager->load(m_url, m_options, m_context);
        }
    }
    update();
}

void RemoteImage::showStill() {
    // Animation off freezes the view on the frame that was showing.
    if (m_configuration.pausable) {
        m_player->pausePlaying();
    } else {
        m_player->stopPlaying();
    }
    if (m_configuration.purgeable) {
        m_player->clearFrameBuffer();
    }
    m_shownFrame = m_player->currentFrame();
}

void RemoteImage::showPlayer() {
    const images::Image image = m_manager->image();
    const bool reset = m_player->currentAnimatedImage() && !(m_player->currentAnimatedImage() == image);
    if (!reset) {
        m_player->startPlaying();
    }
    if (m_player->currentFrame() && !reset) {
        m_shownFrame = m_player->currentFrame();
        return;
    }
    m_shownFrame = {};
    if (reset) {
        m_player->resetPlayer();
    }
    if (image.animatedProvider()) {
        m_player->customLoopCount = m_configuration.customLoopCount;
        m_player->maxBufferSize = m_configuration.maxBufferSize;
        m_player->runLoopMode = m_configuration.runLoopMode;
        m_player->playbackMode = m_configuration.playbackMode;
        m_player->playbackRate = m_configuration.playbackRate;
        m_player->setupPlayer(image);
        m_player->startPlaying();
    }
}

void RemoteImage::setUpManager() {
    m_manager->successBlock = m_successBlock;
    m_manager->failureBlock = m_failureBlock;
    m_manager->progressBlock = m_progressBlock;
    if (m_url == m_manager->currentURL()) {
        return;
    }
    // Another URL: what the manager holds belongs to the old one.
    m_manager->cancel();
    m_manager->setImage({});
    m_manager->setImageData({});
    m_manager->setCacheType(images::ImageCacheType::None);
    m_manager->setError({});
    m_manager->setIncremental(false);
    m_manager->indicatorStatus()->setLoading(false);
    m_manager->indicatorStatus()->setProgress(0);
}

RemoteImagePhase RemoteImage::phase() const {
    if (showsLoadedImage()) {
        return RemoteImagePhase::success(configuredImage());
    }
    const images::ImageError error = m_manager->error();
    return error.isNull() ? RemoteImagePhase::empty() : RemoteImagePhase::failure(error);
}

QImage RemoteImage::configuredImage() const {
    QImage image = m_shownFrame ? m_shownFrame.bitmap() : m_manager->image().bitmap();
    for (const auto& configuration : m_configurations) {
        image = configuration(image);
    }
    return image;
}

// --- drawing ------------------------------------------------------------------------------

void RemoteImage::drawImage(QPainter& painter, const QRect& rect, const QImage& source) const {
    if (source.isNull()) {
        return;
    }
    QImage image = source;
    if (m_renderingMode == RenderingMode::Template) {
        QImage tinted(image.size(), QImage::Format_ARGB32_Premultiplied);
        tinted.fill(palette().color(QPalette::WindowText));
        QPainter mask(&tinted);
        mask.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        mask.drawImage(0, 0, image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        mask.end();
        tinted.setDevicePixelRatio(image.devicePixelRatio());
        image = tinted;
    }
    painter.setRenderHint(QPainter::Antialiasing, m_antialiased);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m_interpolation == Qt::SmoothTransformation);
    if (m_resizable) {
        painter.drawImage(rect, image);
        return;
    }
    const QSizeF size = image.deviceIndependentSize();
    const QPointF origin(rect.x() + (rect.width() - size.width()) / 2, rect.y() + (rect.height() - size.height()) / 2);
    painter.drawImage(QRectF(origin, size), image);
}

void RemoteImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_content) {
        m_content(painter, rect(), phase());
    }
}

QSize RemoteImage::sizeHint() const {
    const images::Image image = m_manager->image();
    return image ? image.size().toSize() : QSize(32, 32);
}

void RemoteImage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Coming on screen again retries a failed load.
    if (m_configuration.retryOnAppear && !m_manager->error().isNull() && !m_manager->isIncremental()) {
        m_manager->load(m_url, m_options, m_context);
    }
    scheduleEvaluation();
}

void RemoteImage::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Going off screen lets a failed load go, so the next showing loads afresh; a load
    // that runs without error goes on.
    if (m_configuration.cancelOnDisappear && !m_manager->error().isNull() && !m_manager->isIncremental()) {
        m_manager->cancel();
    }
    // Nobody sees the frames of a hidden view; showing it again plays on.
    m_player->pausePlaying();
}

// --- modifiers ------------------------------------------------------------------------------

RemoteImage& RemoteImage::configure(std::function<QImage(const QImage&)> configuration) {
    if (configuration) {
        m_configurations.push_back(std::move(configuration));
    }
    update();
    return *this;
}

RemoteImage& RemoteImage::resizable(bool resizable) {
    m_resizable = resizable;
    update();
    return *this;
}

RemoteImage& RemoteImage::renderingMode(RenderingMode mode) {
    m_renderingMode = mode;
    update();
    return *this;
}

RemoteImage& RemoteImage::interpolation(Qt::TransformationMode mode) {
    m_interpolation = mode;
    update();
    return *this;
}

RemoteImage& RemoteImage::antialiased(bool antialiased) {
    m_antialiased = antialiased;
    update();
    return *this;
}

RemoteImage& RemoteImage::onSuccess(ImageManager::SuccessBlock block) {
    m_successBlock = std::move(block);
    return *this;
}

RemoteImage& RemoteImage::onFailure(ImageManager::FailureBlock block) {
    m_failureBlock = std::move(block);
    return *this;
}

RemoteImage& RemoteImage::onProgress(ImageManager::ProgressBlock block) {
    m_progressBlock = std::move(block);
    return *this;
}

RemoteImage& RemoteImage::indicator(Indicator indicator) {
    delete m_indicator;
    m_indicator = new IndicatorViewModifier(indicatorStatus(), std::move(indicator), this);
    return *this;
}

RemoteImage& RemoteImage::retryOnAppear(bool retry) {
    m_configuration.retryOnAppear = retry;
    return *this;
}

RemoteImage& RemoteImage::cancelOnDisappear(bool cancel) {
    m_configuration.cancelOnDisappear = cancel;
    return *this;
}

RemoteImage& RemoteImage::customLoopCount(std::optional<unsigned> count) {
    m_configuration.customLoopCount = count;
    return *this;
}

RemoteImage& RemoteImage::maxBufferSize(std::optional<quint64> bytes) {
    m_configuration.maxBufferSize = bytes;
    return *this;
}

RemoteImage& RemoteImage::pausable(bool pausable) {
    m_configuration.pausable = pausable;
    return *this;
}

RemoteImage& RemoteImage::purgeable(bool purgeable) {
    m_configuration.purgeable = purgeable;
    return *this;
}

RemoteImage& RemoteImage::playbackRate(double rate) {
    m_configuration.playbackRate = rate;
    return *this;
}

RemoteImage& RemoteImage::playbackMode(images::AnimatedImagePlaybackMode mode) {
    m_configuration.playbackMode = mode;
    return *this;
}

RemoteImage& RemoteImage::runLoopMode(const QString& mode) {
    m_configuration.runLoopMode = mode;
    return *this;
}

} // namespace velmora::imageviews
