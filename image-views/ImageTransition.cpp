#include "image-views/ImageTransition.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QWidget>

namespace velmora::imageviews {

QAbstractAnimation* ImageTransition::insertionAnimation(QWidget* view) const {
    if (m_kind == Kind::Identity || !view) {
        return nullptr;
    }
    const int ms = static_cast<int>(m_duration.value_or(defaultDuration) * 1000);
    const QEasingCurve curve(QEasingCurve::InOutQuad);
    if (m_kind == Kind::Opacity) {
        auto* opacity = new QGraphicsOpacityEffect(view);
        opacity->setOpacity(0);
        view->setGraphicsEffect(opacity);
        auto* animation = new QPropertyAnimation(opacity, "opacity", view);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        animation->setDuration(ms);
        animation->setEasingCurve(curve);
        QObject::connect(animation, &QAbstractAnimation::finished, view, [view] { view->setGraphicsEffect(nullptr); });
        return animation;
    }
    const bool rightToLeft = view->layoutDirection() == Qt::RightToLeft;
    const QPoint end = view->pos();
    QPoint start = end;
    switch (m_edge) {
    case Edge::Top:
        start.ry() -= view->height();
        break;
    case Edge::Bottom:
        start.ry() += view->height();
        break;
    case Edge::Leading:
        start.rx() += rightToLeft ? view->width() : -view->width();
        break;
    case Edge::Trailing:
        start.rx() += rightToLeft ? -view->width() : view->width();
        break;
    }
    auto* animation = new QPropertyAnimation(view, "pos", view);
    animation->setStartValue(start);
    animation->setEndValue(end);
    animation->setDuration(ms);
    animation->setEasingCurve(curve);
    return animation;
}

} // namespace velmora::imageviews
