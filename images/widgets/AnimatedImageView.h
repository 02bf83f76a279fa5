#pragma once

#include "images/animation/AnimatedImagePlaybackMode.h"
#include "images/animation/AnimatedImagePlayer.h"
#include "images/core/Image.h"
#include "images/core/RemoteImageOperation.h"
#include "images/widgets/RemoteImageViewLoading.h"

#include <QMarginsF>
#include <QRectF>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

namespace velmora::images {

class AnimatedImageCoder;

// An image view that plays animated images frame by frame through an `AnimatedImagePlayer`
// and shows still images as they are. Playback runs only while the view can be seen: it is
// shown (so its window is too) and its alpha is above 0; hiding it, closing or hiding its
// window, or setting alpha 0 stops the player and with it the display link. While a download
// is still arriving, the successive partial images of that download keep one player, which
// grows its frame count and waits on the last frame it knows.
class AnimatedImageView : public QWidget {
    Q_OBJECT
public:
    // How the image is fitted into the view.
    enum class ImageScaling {
        ProportionallyDown = 0, // own size, scaled down to fit when too large
        AxesIndependently = 1,  // fills the view exactly
        None = 2,               // own size, centred
        ProportionallyUpOrDown = 3,
    };
    // How a resizable image with cap insets fills the parts between its caps.
    enum class ResizingMode { Tile = 0, Stretch = 1 };

    explicit AnimatedImageView(QWidget* parent = nullptr);
    ~AnimatedImageView() override;

    // A view of the image's size showing the image.
    static AnimatedImageView* imageViewWithImage(const Image& image, QWidget* parent = nullptr);

    const Image& image() const { return m_image; }
    // Nothing happens for the image already shown. A new image replaces the player, unless
    // it continues the download of the current one.
    void setImage(const Image& image);

    ImageScaling imageScaling() const { return m_imageScaling; }
    void setImageScaling(ImageScaling scaling);
    // Caps that keep their size when the image is drawn larger; they take effect with a
    // resizing mode.
    QMarginsF capInsets() const { return m_capInsets; }
    void setCapInsets(const QMarginsF& insets);
    std::optional<ResizingMode> resizingMode() const { return m_resizingMode; }
    void setResizingMode(std::optional<ResizingMode> mode);
    // A template image counts only by its alpha, filled with the palette's text colour.
    bool isTemplate() const { return m_template; }
    void setTemplate(bool isTemplate);
    bool smoothTransformation() const { return m_smooth; }
    void setSmoothTransformation(bool smooth);
    bool antialiased() const { return m_antialiased; }
    void setAntialiased(bool antialiased);
    // 0 (transparent) to 1; a transparent view does not play.
    double alphaValue() const { return m_alphaValue; }
    void setAlphaValue(double alpha);
    bool isHighlighted() const { return m_highlighted; }
    // Ignored while an animation has a player.
    void setHighlighted(bool highlighted);

    // Where the current frame is painted, for the view's size and scaling.
    QRectF imageRect() const;
    // The shown image's size in points, or (-1, -1) without an image.
    QSizeF intrinsicContentSize() const;
    QSize sizeHint() const override;

    // Playback settings, handed to the player at once.
    QString runLoopMode() const;
    void setRunLoopMode(const QString& mode);
    static QString defaultRunLoopMode();
    quint64 maxBufferSize() const { return m_maxBufferSize; }
    void setMaxBufferSize(quint64 bytes);
    double playbackRate() const { return m_playbackRate; }
    void setPlaybackRate(double rate);
    AnimatedImagePlaybackMode playbackMode() const { return m_playbackMode; }
    void setPlaybackMode(AnimatedImagePlaybackMode mode);
    // Replaces the image's own loop count, but only while `shouldCustomLoopCount` is on.
    qint64 animationRepeatCount() const { return m_animationRepeatCount; }
    void setAnimationRepeatCount(qint64 count);
    bool shouldCustomLoopCount() const { return m_shouldCustomLoopCount; }
    void setShouldCustomLoopCount(bool custom) { m_shouldCustomLoopCount = custom; }
    bool autoPlayAnimatedImage() const { return m_autoPlay; }
    void setAutoPlayAnimatedImage(bool autoPlay) { m_autoPlay = autoPlay; }
    // Off: every partial image of a download starts a new player.
    bool shouldIncrementalLoad() const { return m_shouldIncrementalLoad; }
    void setShouldIncrementalLoad(bool incremental) { m_shouldIncrementalLoad = incremental; }
    // Stopping drops the decoded frames.
    bool clearBufferWhenStopped() const { return m_clearBufferWhenStopped; }
    void setClearBufferWhenStopped(bool clear) { m_clearBufferWhenStopped = clear; }
    // Stopping goes back to the first frame instead of pausing.
    bool resetFrameIndexWhenStopped() const { return m_resetFrameIndexWhenStopped; }
    void setResetFrameIndexWhenStopped(bool reset) { m_resetFrameIndexWhenStopped = reset; }

    AnimatedImagePlayer* player() const { return m_player.get(); }
    const Image& currentFrame() const { return m_currentFrame; }
    unsigned currentFrameIndex() const { return m_currentFrameIndex; }
    unsigned currentLoopCount() const { return m_currentLoopCount; }
    bool shouldAnimate() const { return m_shouldAnimate; }
    bool isProgressive() const { return m_isProgressive; }

    void startAnimating();
    void stopAnimating();
    // With a player, whether it plays; without one, the view's own flag.
    bool animates() const;
    void setAnimates(bool animates);

    // Loads the URL into the view, decoding downloads as animated images. The completion
    // gets the image, the error, where it came from and the URL.
    std::shared_ptr<RemoteImageOperation>
    setImageWithURL(const std::optional<QUrl>& url, const Image& placeholder = {},
                    RemoteImageOptions options = 0, const RemoteImageContext& context = {},
                    ImageLoaderProgressBlock progress = nullptr,
                    RemoteImageViewSimpleCompletedBlock completed = nullptr);
    void cancelCurrentImageLoad();

signals:
    // The shown image was replaced (nil included).
    void imageChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;

private:
    void checkPlay();
    void updateShouldAnimate();
    void updateIsProgressiveWithImage(const Image& image);
    static std::shared_ptr<AnimatedImageCoder> progressiveAnimatedCoderForImage(const Image& image);
    void installPlayerHandlers();
    void frameChanged(unsigned index, const Image& frame);
    void loopChanged(unsigned loopCount);
    unsigned playerLoopCount() const;

    Image m_image;
    std::unique_ptr<AnimatedImagePlayer> m_player;
    Image m_currentFrame;
    unsigned m_currentFrameIndex = 0;
    unsigned m_currentLoopCount = 0;

    ImageScaling m_imageScaling = ImageScaling::ProportionallyDown;
    QMarginsF m_capInsets;
    std::optional<ResizingMode> m_resizingMode;
    bool m_template = false;
    bool m_smooth = true;
    bool m_antialiased = false;
    double m_alphaValue = 1.0;
    bool m_highlighted = false;
    // The view's own flag, used while no player runs.
    bool m_ownAnimates = true;

    mutable QString m_runLoopMode;
    quint64 m_maxBufferSize = 0;
    double m_playbackRate = 1.0;
    AnimatedImagePlaybackMode m_playbackMode = AnimatedImagePlaybackMode::Normal;
    qint64 m_animationRepeatCount = 0;
    bool m_shouldCustomLoopCount = false;
    bool m_autoPlay = true;
    bool m_shouldIncrementalLoad = true;
    bool m_clearBufferWhenStopped = false;
    bool m_resetFrameIndexWhenStopped = false;
    bool m_shouldAnimate = false;
    bool m_isProgressive = false;
};

} // namespace velmora::images
