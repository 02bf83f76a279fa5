#include "image-views/AnimatedImageViewWrapper.h"

#include <QPainter>

namespace velmora::imageviews {

AnimatedImageViewWrapper::AnimatedImageViewWrapper(QWidget* parent)
    : QWidget(parent), m_wrapped(new images::AnimatedImageView(this)) {
    m_wrapped->setGeometry(rect());
    m_wrapped->setAntialiased(m_shouldAntialias);
    m_observation = connect(m_wrapped, &images::AnimatedImageView::imageChanged, this,
                            &AnimatedImageViewWrapper::invalidateIntrinsicContentSize);
}

AnimatedImageViewWrapper::~AnimatedImageViewWrapper() {
    disconnect(m_observation);
}

void AnimatedImageViewWrapper::setInterpolationQuality(InterpolationQuality quality) {
    m_interpolationQuality = quality;
    // The inner view paints on its own, so the quality goes to it.
    if (m_wrapped) {
        m_wrapped->setSmoothTransformation(quality != InterpolationQuality::None &&
                                           quality != InterpolationQuality::Low);
    }
    update();
}

void AnimatedImageViewWrapper::setShouldAntialias(bool antialias) {
    m_shouldAntialias = antialias;
    if (m_wrapped) {
        m_wrapped->setAntialiased(antialias);
    }
    update();
}

QSizeF AnimatedImageViewWrapper::intrinsicContentSize() const {
    const QSizeF size = m_wrapped ? m_wrapped->intrinsicContentSize() : QSizeF(-1, -1);
    if (m_resizingMode && size.width() > 0 && size.height() > 0) {
        return QSizeF(size.width() / size.height(), 1.0);
    }
    return size;
}

QSize AnimatedImageViewWrapper::sizeHint() const {
    const QSizeF size = intrinsicContentSize();
    if (size.width() < 0 || size.height() < 0) {
        return QWidget::sizeHint();
    }
    return QSize(qMax(1, qRound(size.width())), qMax(1, qRound(size.height())));
}

void AnimatedImageViewWrapper::invalidateIntrinsicContentSize() {
    updateGeometry();
    emit intrinsicContentSizeInvalidated();
}

void AnimatedImageViewWrapper::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_wrapped) {
        m_wrapped->setGeometry(rect());
    }
}

void AnimatedImageViewWrapper::paintEvent(QPaintEvent*) {
    // Nothing of its own to draw; the settings are the inner view's to use.
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform,
                          m_interpolationQuality != InterpolationQuality::None &&
                              m_interpolationQuality != InterpolationQuality::Low);
    painter.setRenderHint(QPainter::Antialiasing, m_shouldAntialias);
}

} // namespace velmora::imageviews
