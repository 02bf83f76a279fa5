#pragma once

#include "images/widgets/AnimatedImageView.h"

#include <QSizeF>
#include <QWidget>

#include <optional>

namespace velmora::imageviews {

// The widget that holds an `AnimatedImage`'s image view: the inner view always covers it,
// its size hint carries only the image's aspect ratio once the image is resizable, and it
// asks its layout again whenever the inner view's image changes.
class AnimatedImageViewWrapper : public QWidget {
    Q_OBJECT
public:
    // The drawing context's interpolation qualities, in the graphics library's numbering.
    enum class InterpolationQuality { Default = 0, None = 1, Low = 2, High = 3, Medium = 4 };

    explicit AnimatedImageViewWrapper(QWidget* parent = nullptr);
    ~AnimatedImageViewWrapper() override;

    images::AnimatedImageView* wrapped() const { return m_wrapped; }
    // Only replaces the reference: the new view is not put inside.
    void setWrapped(images::AnimatedImageView* view) { m_wrapped = view; }

    InterpolationQuality interpolationQuality() const { return m_interpolationQuality; }
    // Smooth scaling except for the qualities none and low.
    void setInterpolationQuality(InterpolationQuality quality);
    bool shouldAntialias() const { return m_shouldAntialias; }
    void setShouldAntialias(bool antialias);
    std::optional<images::AnimatedImageView::ResizingMode> resizingMode() const { return m_resizingMode; }
    void setResizingMode(std::optional<images::AnimatedImageView::ResizingMode> mode) {
        m_resizingMode = mode;
    }

    // The inner view's size, or only its aspect ratio (width / height, 1) once resizable.
    QSizeF intrinsicContentSize() const;
    QSize sizeHint() const override;
    void invalidateIntrinsicContentSize();

signals:
    void intrinsicContentSizeInvalidated();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    images::AnimatedImageView* m_wrapped;
    QMetaObject::Connection m_observation;
    InterpolationQuality m_interpolationQuality = InterpolationQuality::Default;
    bool m_shouldAntialias = false;
    std::optional<images::AnimatedImageView::ResizingMode> m_resizingMode;
};

} // namespace velmora::imageviews
