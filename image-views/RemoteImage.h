#pragma once

#include "image-views/ImageManager.h"
#include "image-views/ImagePlayer.h"
#include "image-views/Indicator.h"
#include "image-views/RemoteImagePhase.h"

#include <QImage>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QPainter;

namespace velmora::imageviews {

class IndicatorViewModifier;

// A widget that shows an image loaded from a URL: the caller's content for each phase
// (nothing yet, failed, loaded), with the loaded image passed through the caller's
// configuration first. It loads when it is first shown or its URL changes, loads a failed
// image again when it is shown again, and lets a failed load go when it is hidden.
// Changes are drawn through one coalesced, queued update.
//
// The setters that shape it return the widget, so they chain:
//   auto* avatar = RemoteImage::withContentAndPlaceholder(url, 1.0, 0, {}, true, drawRound, drawPerson);
//   avatar->onFailure([](const images::ImageError& e) { ... }).indicator(Indicator::activity());
class RemoteImage : public QWidget {
    Q_OBJECT
public:
    // Draws one phase into the widget's rectangle.
    using Content = std::function<void(QPainter& painter, const QRect& rect, const RemoteImagePhase& phase)>;
    using ImageContent = std::function<void(QPainter& painter, const QRect& rect, const QImage& image)>;
    using PlaceholderContent = std::function<void(QPainter& painter, const QRect& rect)>;

    // The image form: a loaded image is drawn (see `resizable`), any other phase draws the
    // one shared empty image, i.e. nothing.
    explicit RemoteImage(std::optional<QUrl> url = std::nullopt, double scale = 1.0,
                         images::RemoteImageOptions options = 0, images::RemoteImageContext context = {},
                         bool animating = true, QWidget* parent = nullptr);
    RemoteImage(std::optional<QUrl> url, double scale, images::RemoteImageOptions options,
                images::RemoteImageContext context, bool animating, Content content, QWidget* parent = nullptr);
    // The loaded image through `content`, every other phase through `placeholder`.
    static RemoteImage* withContentAndPlaceholder(std::optional<QUrl> url, double scale,
                                                  images::RemoteImageOptions options,
                                                  images::RemoteImageContext context, bool animating,
                                                  ImageContent content, PlaceholderContent placeholder,
                                                  QWidget* parent = nullptr);

    std::optional<QUrl> url() const { return m_url; }
    void setUrl(std::optional<QUrl> url);
    images::RemoteImageOptions options() const { return m_options; }
    void setOptions(images::RemoteImageOptions options);
    const images::RemoteImageContext& context() const { return m_context; }
    void setContext(images::RemoteImageContext context);
    bool isAnimating() const { return m_animating; }
    void setAnimating(bool animating);

    ImageManager* imageManager() const { return m_manager; }
    ImagePlayer* imagePlayer() const { return m_player; }
    IndicatorStatus* indicatorStatus() const { return m_manager->indicatorStatus(); }
    // The phase the widget draws now.
    RemoteImagePhase phase() const;

    // Shaping the loaded image, applied in the order given.
    RemoteImage& configure(std::function<QImage(const QImage&)> configuration);
    // Drawn scaled into the whole widget instead of at its own size, centred.
    RemoteImage& resizable(bool resizable = true);
    // Template: only the image's alpha counts, filled with the palette's text colour.
    enum class RenderingMode { Original, Template };
    RemoteImage& renderingMode(RenderingMode mode);
    RemoteImage& interpolation(Qt::TransformationMode mode);
    RemoteImage& antialiased(bool antialiased);

    RemoteImage& onSuccess(ImageManager::SuccessBlock block);
    RemoteImage& onFailure(ImageManager::FailureBlock block);
    RemoteImage& onProgress(ImageManager::ProgressBlock block);
    RemoteImage& indicator(Indicator indicator);
    RemoteImage& retryOnAppear(bool retry);
    RemoteImage& cancelOnDisappear(bool cancel);
    // Animation settings, handed to the frame player when it is set up.
    RemoteImage& customLoopCount(std::optional<unsigned> count);
    RemoteImage& maxBufferSize(std::optional<quint64> bytes);
    RemoteImage& pausable(bool pausable);
    RemoteImage& purgeable(bool purgeable);
    RemoteImage& playbackRate(double rate);
    RemoteImage& playbackMode(images::AnimatedImagePlaybackMode mode);
    RemoteImage& runLoopMode(const QString& mode);

    struct Configuration {
        bool retryOnAppear = true;
        bool cancelOnDisappear = true;
        std::optional<quint64> maxBufferSize;
        std::optional<unsigned> customLoopCount;
        bool pausable = true;
        bool purgeable = false;
        double playbackRate = 1.0;
        images::AnimatedImagePlaybackMode playbackMode = images::AnimatedImagePlaybackMode::Normal;
        QString runLoopMode = images::AnimatedImagePlayer::defaultRunLoopMode();
    };
    const Configuration& configuration() const { return m_configuration; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void scheduleEvaluation();
    void evaluate();
    void setUpManager();
    bool showsLoadedImage() const;
    QImage configuredImage() const;
    void showStill();
    void showPlayer();
    void drawImage(QPainter& painter, const QRect& rect, const QImage& image) const;

    std::optional<QUrl> m_url;
    images::RemoteImageOptions m_options = 0;
    images::RemoteImageContext m_context;
    bool m_animating = true;
    Content m_content;
    ImageManager* m_manager;
    ImagePlayer* m_player;
    // The frame the widget draws instead of the manager's image, while one is chosen.
    images::Image m_shownFrame;
    IndicatorViewModifier* m_indicator = nullptr;
    ImageManager::SuccessBlock m_successBlock;
    ImageManager::FailureBlock m_failureBlock;
    ImageManager::ProgressBlock m_progressBlock;
    std::vector<std::function<QImage(const QImage&)>> m_configurations;
    bool m_resizable = false;
    RenderingMode m_renderingMode = RenderingMode::Original;
    Qt::TransformationMode m_interpolation = Qt::SmoothTransformation;
    bool m_antialiased = true;
    Configuration m_configuration;
    bool m_evaluationScheduled = false;
};

} // namespace velmora::imageviews
