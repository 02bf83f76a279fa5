#pragma once

#include "image-views/AnimatedImageConfiguration.h"
#include "image-views/AnimatedImageCoordinator.h"
#include "image-views/AnimatedImageHandler.h"
#include "image-views/AnimatedImageLayout.h"
#include "image-views/AnimatedImageModel.h"
#include "image-views/AnimatedImageViewWrapper.h"
#include "image-views/IndicatorStatus.h"

#include "images/animation/AnimatedImagePlaybackMode.h"
#include "images/core/Image.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QMarginsF>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::imageviews {

// A view that shows a still or animated image through the image library's animated image
// view: from a URL (with a placeholder image or view, an indicator and a transition), from a
// named image of a folder, or from data. Changes to its source are applied through one
// coalesced, queued update; layout and playback settings take effect at the next update.
//
// The setters that shape it return the view, so they chain:
//   auto* gif = new AnimatedImage(url);
//   gif->resizable().customLoopCount(1).onFailure([](const images::ImageError& e) { ... });
class AnimatedImage : public QWidget {
    Q_OBJECT
public:
    using DestroyBlock = std::function<void(images::AnimatedImageView*, AnimatedImageCoordinator&)>;

    // From a URL, with a placeholder image shown while it loads.
    explicit AnimatedImage(std::optional<QUrl> url, images::RemoteImageOptions options = 0,
                           std::optional<images::RemoteImageContext> context = std::nullopt,
                           images::Image placeholderImage = {}, bool isAnimating = true,
                           QWidget* parent = nullptr);
    // From a URL, with a placeholder widget that `placeholder` makes once, here.
    static AnimatedImage* withPlaceholderView(std::optional<QUrl> url, images::RemoteImageOptions options,
                                              std::optional<images::RemoteImageContext> context,
                                              bool isAnimating, const std::function<QWidget*()>& placeholder,
                                              QWidget* parent = nullptr);
    // A named image of a folder (a resource path or a folder on disk; none: ":/images").
    static AnimatedImage* named(std::optional<QString> name, std::optional<QString> bundle = std::nullopt,
                                bool isAnimating = true, QWidget* parent = nullptr);
    static AnimatedImage* fromData(std::optional<QByteArray> data, double scale = 1.0,
                                   bool isAnimating = true, QWidget* parent = nullptr);
    ~AnimatedImage() override;

    AnimatedImageModel* imageModel() const { return m_model; }
    AnimatedImageHandler& imageHandler() { return m_handler; }
    AnimatedImageLayout& imageLayout() { return m_layout; }
    AnimatedImageConfiguration& imageConfiguration() { return m_configuration; }
    IndicatorStatus* indicatorStatus() const { return m_indicatorStatus; }
    AnimatedImageCoordinator& coordinator() { return m_coordinator; }
    AnimatedImageViewWrapper* wrapper() const { return m_wrapper; }

    bool isAnimating() const { return m_isAnimating; }
    void setAnimating(bool animating);

    // Applies the source, the configuration and the layout now.
    void updateView();

    // Called with the image view and its coordinator as each view goes away; one for the process.
    static void onViewDestroy(DestroyBlock block);

    AnimatedImage& onSuccess(AnimatedImageHandler::SuccessBlock block);
    AnimatedImage& onFailure(AnimatedImageHandler::FailureBlock block);
    AnimatedImage& onProgress(AnimatedImageHandler::ProgressBlock block);
    AnimatedImage& onViewCreate(AnimatedImageHandler::ViewBlock block);
    AnimatedImage& onViewUpdate(AnimatedImageHandler::ViewBlock block);

    AnimatedImage&
    resizable(QMarginsF capInsets = {},
              AnimatedImageLayout::ResizingMode mode = AnimatedImageLayout::ResizingMode::Stretch);
    AnimatedImage& renderingMode(std::optional<AnimatedImageLayout::TemplateRenderingMode> mode);
    AnimatedImage& interpolation(AnimatedImageLayout::Interpolation interpolation);
    AnimatedImage& antialiased(bool antialiased);
    AnimatedImage& customLoopCount(std::optional<quint64> count);
    AnimatedImage& maxBufferSize(std::optional<quint64> bytes);
    AnimatedImage& incrementalLoad(bool incremental);
    AnimatedImage& runLoopMode(const QString& mode);
    AnimatedImage& pausable(bool pausable);
    AnimatedImage& purgeable(bool purgeable);
    AnimatedImage& playbackRate(double rate);
    AnimatedImage& playbackMode(images::AnimatedImagePlaybackMode mode);
    AnimatedImage& indicator(std::shared_ptr<images::RemoteImageIndicator> indicator);
    AnimatedImage& transition(std::shared_ptr<images::RemoteImageTransition> transition);

    // New indicators for `indicator`.
    static std::shared_ptr<images::RemoteImageIndicator> activityIndicator();
    static std::shared_ptr<images::RemoteImageIndicator> progressIndicator();

    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    explicit AnimatedImage(bool isAnimating, QWidget* parent);
    void scheduleUpdate();
    void loadName(const std::optional<QString>& name);
    void loadData(const std::optional<QByteArray>& data);
    void decideURL(const std::optional<QUrl>& url);
    void setUpIndicator();
    void loadURL(const std::optional<QUrl>& url);
    void configure();
    void layOut();

    AnimatedImageModel* m_model;
    AnimatedImageHandler m_handler;
    AnimatedImageLayout m_layout;
    AnimatedImageConfiguration m_configuration;
    IndicatorStatus* m_indicatorStatus;
    AnimatedImageCoordinator m_coordinator;
    AnimatedImageViewWrapper* m_wrapper;
    bool m_isAnimating = true;
    bool m_updateScheduled = false;
};

} // namespace velmora::imageviews
