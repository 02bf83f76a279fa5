#include "images/widgets/AnimatedImageView.h"

#include "images/animation/AnimatedImage.h"
#include "images/coders/AnimatedImageCoder.h"
#include "images/coders/ProgressiveImageCoder.h"
#include "images/core/AbstractAnimatedImage.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <qdrawutil.h>

#include <algorithm>
#include <limits>

namespace velmora::images {

namespace {

bool onMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

// The bitmap of an image at its scale, vector images rendered.
QImage bitmapOf(const Image& image) {
    return image ? image.bitmap() : QImage();
}

// Only the alpha of the bitmap counts, in the given colour.
QImage templateOf(const QImage& bitmap, const QColor& colour) {
    QImage tinted = bitmap.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&tinted);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(tinted.rect(), colour);
    return tinted;
}

} // namespace

AnimatedImageView::AnimatedImageView(QWidget* parent) : QWidget(parent) {}

AnimatedImageView::~AnimatedImageView() {
    // The player's handlers point back here; it goes first.
    m_player.reset();
}

AnimatedImageView* AnimatedImageView::imageViewWithImage(const Image& image, QWidget* parent) {
    auto* view = new AnimatedImageView(parent);
    const QSizeF size = image ? image.size() : QSizeF();
    view->resize(qRound(size.width()), qRound(size.height()));
    view->setImage(image);
    return view;
}

// --- the image ------------------------------------------------------------------------------------

void AnimatedImageView::setImage(const Image& image) {
    if (image == m_image) {
        return;
    }
    updateIsProgressiveWithImage(image);
    if (!m_isProgressive) {
        m_player.reset();
        m_currentFrame = Image();
        m_currentFrameIndex = 0;
        m_currentLoopCount = 0;
    }
    m_image = image;
    updateGeometry();
    emit imageChanged();

    const auto provider = image ? image.animatedProvider() : nullptr;
    const unsigned frameCount = provider ? provider->animatedImageFrameCount() : 0;
    if (frameCount >= 2) {
        if (m_player) {
            m_player->setTotalFrameCount(frameCount);
        } else {
            std::shared_ptr<AnimatedImageProvider> source = provider;
            if (m_isProgressive) {
                source = progressiveAnimatedCoderForImage(image);
            }
            m_player = AnimatedImagePlayer::playerWithProvider(source);
            if (!m_player) {
                update();
                return;
            }
        }
        if (m_shouldCustomLoopCount) {
            m_player->setTotalLoopCount(playerLoopCount());
        }
        m_player->setRunLoopMode(runLoopMode());
        m_player->setMaxBufferSize(m_maxBufferSize);
        m_player->setPlaybackRate(m_playbackRate);
        m_player->setPlaybackMode(m_playbackMode);
        installPlayerHandlers();
        m_highlighted = false;
        stopAnimating();
        checkPlay();
    }
    update();
}

std::shared_ptr<AnimatedImageCoder> AnimatedImageView::progressiveAnimatedCoderForImage(const Image& image) {
    if (!image || !image.isIncremental()) {
        return nullptr;
    }
    const auto animated = std::dynamic_pointer_cast<AbstractAnimatedImage>(image.animatedProvider());
    if (!animated) {
        return nullptr;
    }
    auto coder = animated->animatedCoder();
    if (!std::dynamic_pointer_cast<ProgressiveImageCoder>(coder)) {
        return nullptr;
    }
    return coder;
}

void AnimatedImageView::updateIsProgressiveWithImage(const Image& image) {
    m_isProgressive = false;
    if (!m_shouldIncrementalLoad) {
        return;
    }
    const auto coder = progressiveAnimatedCoderForImage(image);
    if (!coder) {
        return;
    }
    // Both partial images come from one download when they share its coder.
    m_isProgressive = !m_image || progressiveAnimatedCoderForImage(m_image) == coder;
}

void AnimatedImageView::installPlayerHandlers() {
    QPointer<AnimatedImageView> guarded(this);
    m_player->setAnimationFrameHandler([guarded](unsigned index, const Image& frame) {
        // Frames reach the view on the main thread only.
        if (onMainThread()) {
            if (guarded) {
                guarded->frameChanged(index, frame);
            }
        } else if (guarded) {
            QMetaObject::invokeMethod(
                guarded.data(),
                [guarded, index, frame] {
                    if (guarded) {
                        guarded->frameChanged(index, frame);
                    }
                },
                Qt::QueuedConnection);
        }
    });
    m_player->setAnimationLoopHandler([guarded](unsigned loopCount) {
        if (guarded && onMainThread()) {
            guarded->loopChanged(loopCount);
        } else if (guarded) {
            QMetaObject::invokeMethod(
                guarded.data(),
                [guarded, loopCount] {
                    if (guarded) {
                        guarded->loopChanged(loopCount);
                    }
                },
                Qt::QueuedConnection);
        }
    });
}

void AnimatedImageView::frameChanged(unsigned index, const Image& frame) {
    m_currentFrameIndex = index;
    m_currentFrame = frame;
    update();
}

void AnimatedImageView::loopChanged(unsigned loopCount) {
    if (!m_player) {
        return;
    }
    if (m_isProgressive) {
        // A partly downloaded animation waits on its last frame instead of looping.
        m_player->seekToFrameAtIndex(m_player->totalFrameCount() - 1, 0);
        m_player->pausePlaying();
    } else {
        m_currentLoopCount = loopCount;
    }
}

unsigned AnimatedImageView::playerLoopCount() const {
    // Negative counts mean nothing to the player; huge ones are as good as endless.
    return static_cast<unsigned>(
        std::clamp<qint64>(m_animationRepeatCount, 0, std::numeric_limits<unsigned>::max()));
}

// --- drawing settings -----------------------------------------------------------------------------

void AnimatedImageView::setImageScaling(ImageScaling scaling) {
    m_imageScaling = scaling;
    update();
}

void AnimatedImageView::setCapInsets(const QMarginsF& insets) {
    m_capInsets = insets;
    update();
}

void AnimatedImageView::setResizingMode(std::optional<ResizingMode> mode) {
    m_resizingMode = mode;
    update();
}

void AnimatedImageView::setTemplate(bool isTemplate) {
    m_template = isTemplate;
    update();
}

void AnimatedImageView::setSmoothTransformation(bool smooth) {
    m_smooth = smooth;
    update();
}

void AnimatedImageView::setAntialiased(bool antialiased) {
    m_antialiased = antialiased;
    update();
}

void AnimatedImageView::setAlphaValue(double alpha) {
    m_alphaValue = std::clamp(alpha, 0.0, 1.0);
    update();
    checkPlay();
}

void AnimatedImageView::setHighlighted(bool highlighted) {
    if (!m_player) {
        m_highlighted = highlighted;
        update();
    }
}

QSizeF AnimatedImageView::intrinsicContentSize() const {
    if (!m_image) {
        return QSizeF(-1, -1);
    }
    return m_image.size();
}

QSize AnimatedImageView::sizeHint() const {
    const QSizeF size = intrinsicContentSize();
    return size.width() < 0 ? QWidget::sizeHint() : size.toSize();
}

QRectF AnimatedImageView::imageRect() const {
    const QRectF bounds(rect());
    const QSizeF own = m_image ? m_image.size() : QSizeF();
    if (own.isEmpty() || bounds.isEmpty()) {
        return QRectF();
    }
    QSizeF size = own;
    switch (m_imageScaling) {
    case ImageScaling::AxesIndependently:
        return bounds;
    case ImageScaling::None:
        break;
    case ImageScaling::ProportionallyDown:
        if (own.width() > bounds.width() || own.height() > bounds.height()) {
            size = own.scaled(bounds.size(), Qt::KeepAspectRatio);
        }
        break;
    case ImageScaling::ProportionallyUpOrDown:
        size = own.scaled(bounds.size(), Qt::KeepAspectRatio);
        break;
    }
    return QRectF(bounds.x() + (bounds.width() - size.width()) / 2,
                  bounds.y() + (bounds.height() - size.height()) / 2, size.width(), size.height());
}

void AnimatedImageView::paintEvent(QPaintEvent*) {
    QImage bitmap = bitmapOf(m_currentFrame ? m_currentFrame : m_image);
    const QRectF target = imageRect();
    if (bitmap.isNull() || target.isEmpty() || m_alphaValue <= 0) {
        return;
    }
    if (m_template) {
        bitmap = templateOf(bitmap, palette().color(QPalette::WindowText));
    }
    QPainter painter(this);
    painter.setOpacity(m_alphaValue);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m_smooth);
    painter.setRenderHint(QPainter::Antialiasing, m_antialiased);
    const bool caps = m_resizingMode && !m_capInsets.isNull();
    if (!caps) {
        painter.drawImage(target, bitmap);
        return;
    }
    // Caps are in points; the bitmap is in pixels.
    const qreal scale = std::max<qreal>(1.0, bitmap.devicePixelRatio());
    const QPixmap pixmap = QPixmap::fromImage(bitmap);
    const QMargins source((m_capInsets * scale).toMargins());
    const QMargins destination(m_capInsets.toMargins());
    const Qt::TileRule rule = *m_resizingMode == ResizingMode::Tile ? Qt::RepeatTile : Qt::StretchTile;
    qDrawBorderPixmap(&painter, target.toRect(), destination, pixmap, QRect(QPoint(0, 0), bitmap.size()),
                      source, QTileRules(rule, rule));
}

// --- playback -------------------------------------------------------------------------------------

QString AnimatedImageView::defaultRunLoopMode() {
    return AnimatedImagePlayer::defaultRunLoopMode();
}

QString AnimatedImageView::runLoopMode() const {
    if (m_runLoopMode.isNull()) {
        m_runLoopMode = defaultRunLoopMode();
    }
    return m_runLoopMode;
}

void AnimatedImageView::setRunLoopMode(const QString& mode) {
    m_runLoopMode = mode;
    if (m_player) {
        m_player->setRunLoopMode(mode);
    }
}

void AnimatedImageView::setMaxBufferSize(quint64 bytes) {
    m_maxBufferSize = bytes;
    if (m_player) {
        m_player->setMaxBufferSize(bytes);
    }
}

void AnimatedImageView::setPlaybackRate(double rate) {
    m_playbackRate = rate;
    if (m_player) {
        m_player->setPlaybackRate(rate);
    }
}

void AnimatedImageView::setPlaybackMode(AnimatedImagePlaybackMode mode) {
    m_playbackMode = mode;
    if (m_player) {
        m_player->setPlaybackMode(mode);
    }
}

void AnimatedImageView::setAnimationRepeatCount(qint64 count) {
    m_animationRepeatCount = count;
    if (m_player && m_shouldCustomLoopCount) {
        m_player->setTotalLoopCount(playerLoopCount());
    }
}

void AnimatedImageView::updateShouldAnimate() {
    // Shown means its window is shown too: a hidden or closed window hides its children.
    m_shouldAnimate = m_player && isVisible() && window() && m_alphaValue > 0;
}

void AnimatedImageView::checkPlay() {
    if (!m_player || !m_autoPlay) {
        return;
    }
    updateShouldAnimate();
    if (m_shouldAnimate) {
        startAnimating();
    } else {
        stopAnimating();
    }
}

void AnimatedImageView::startAnimating() {
    if (!m_player) {
        m_ownAnimates = true;
        return;
    }
    updateShouldAnimate();
    if (m_shouldAnimate) {
        m_player->startPlaying();
    }
}

void AnimatedImageView::stopAnimating() {
    if (!m_player) {
        m_ownAnimates = false;
        return;
    }
    if (m_resetFrameIndexWhenStopped) {
        m_player->stopPlaying();
        m_currentFrame = Image();
        m_currentFrameIndex = 0;
        m_currentLoopCount = 0;
        update();
    } else {
        m_player->pausePlaying();
    }
    if (m_clearBufferWhenStopped) {
        m_player->clearFrameBuffer();
    }
}

bool AnimatedImageView::animates() const {
    return m_player ? m_player->isPlaying() : m_ownAnimates;
}

void AnimatedImageView::setAnimates(bool animates) {
    if (animates) {
        startAnimating();
    } else {
        stopAnimating();
    }
}

void AnimatedImageView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    checkPlay();
}

void AnimatedImageView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    checkPlay();
}

bool AnimatedImageView::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::ParentChange) {
        checkPlay();
    }
    return handled;
}

// --- loading --------------------------------------------------------------------------------------

std::shared_ptr<RemoteImageOperation>
AnimatedImageView::setImageWithURL(const std::optional<QUrl>& url, const Image& placeholder,
                                   RemoteImageOptions options, const RemoteImageContext& context,
                                   ImageLoaderProgressBlock progress,
                                   RemoteImageViewSimpleCompletedBlock completed) {
    RemoteImageContext animatedContext = context;
    animatedContext.animatedImageClass = AnimatedImage::animatedImageClass();
    return internalSetImageWithURL(this, url, placeholder, options, animatedContext, nullptr,
                                   std::move(progress),
                                   [completed](const Image& image, const QByteArray&, const ImageError& error,
                                               ImageCacheType cacheType, bool, const QUrl& imageURL) {
                                       if (completed) {
                                           completed(image, error, cacheType, imageURL);
                                       }
                                   });
}

void AnimatedImageView::cancelCurrentImageLoad() {
    cancelImageLoadOperation(this, QString());
}

} // namespace velmora::images
