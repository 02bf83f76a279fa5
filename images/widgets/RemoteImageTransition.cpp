#include "images/widgets/RemoteImageTransition.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QWidget>

namespace velmora::images {

namespace {
std::shared_ptr<RemoteImageTransition> preset(quint64 options, double duration) {
    auto transition = std::make_shared<RemoteImageTransition>();
    transition->animationOptions = options;
    transition->duration = duration;
    return transition;
}
} // namespace

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::fadeTransition(double duration) {
    return preset(0x500000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::flipFromLeftTransition(double duration) {
    return preset(0x100000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::flipFromRightTransition(double duration) {
    return preset(0x200000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::flipFromTopTransition(double duration) {
    return preset(0x600000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::flipFromBottomTransition(double duration) {
    return preset(0x700000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::curlUpTransition(double duration) {
    return preset(0x300000, duration);
}

std::shared_ptr<RemoteImageTransition> RemoteImageTransition::curlDownTransition(double duration) {
    return preset(0x400000, duration);
}

std::optional<RemoteImageTransitionEffect> transitionForTransitionOptions(quint64 options) {
    using Effect = RemoteImageTransitionEffect;
    const bool left = options & 0x100000;
    const bool right = options & 0x200000;
    const bool bottom = options & 0x400000;
    if (left && bottom) {
        return Effect{Effect::Type::Fade, Effect::Subtype::None};
    }
    if (left) {
        return Effect{Effect::Type::Push, Effect::Subtype::FromLeft};
    }
    if (right) {
        return Effect{Effect::Type::Push, Effect::Subtype::FromRight};
    }
    if (bottom) {
        return Effect{Effect::Type::Reveal, Effect::Subtype::FromBottom};
    }
    return std::nullopt;
}

QEasingCurve timingFunctionForTransitionOptions(quint64 options) {
    if ((options & ~RemoteImageTransition::curveMask) == 0) {
        return QEasingCurve(QEasingCurve::Linear);
    }
    switch ((options & RemoteImageTransition::curveMask) >> 16) {
    case 1:
        return QEasingCurve(QEasingCurve::InQuad);
    case 2:
        return QEasingCurve(QEasingCurve::OutQuad);
    default:
        return QEasingCurve(QEasingCurve::InOutQuad);
    }
}

QAbstractAnimation* animationForTransitionEffect(QWidget* view, const RemoteImageTransitionEffect& effect,
                                                 double durationSeconds, const QEasingCurve& curve) {
    const int ms = static_cast<int>(std::max(0.0, durationSeconds) * 1000);
    if (effect.type == RemoteImageTransitionEffect::Type::Fade) {
        return fadeInAnimation(view, ms, curve);
    }
    QPoint start = view->pos();
    switch (effect.subtype) {
    case RemoteImageTransitionEffect::Subtype::FromLeft:
        start.rx() -= view->width();
        break;
    case RemoteImageTransitionEffect::Subtype::FromRight:
        start.rx() += view->width();
        break;
    case RemoteImageTransitionEffect::Subtype::FromBottom:
        start.ry() += view->height();
        break;
    case RemoteImageTransitionEffect::Subtype::None:
        break;
    }
    return slideInAnimation(view, start, ms, curve);
}

QAbstractAnimation* fadeInAnimation(QWidget* view, int durationMs, const QEasingCurve& curve) {
    auto* opacity = new QGraphicsOpacityEffect(view);
    opacity->setOpacity(0);
    view->setGraphicsEffect(opacity);
    auto* animation = new QPropertyAnimation(opacity, "opacity", view);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(durationMs);
    animation->setEasingCurve(curve);
    QObject::connect(animation, &QAbstractAnimation::finished, view,
                     [view] { view->setGraphicsEffect(nullptr); });
    return animation;
}

QAbstractAnimation* slideInAnimation(QWidget* view, const QPoint& start, int durationMs,
                                     const QEasingCurve& curve) {
    auto* animation = new QPropertyAnimation(view, "pos", view);
    animation->setStartValue(start);
    animation->setEndValue(view->pos());
    animation->setDuration(durationMs);
    animation->setEasingCurve(curve);
    return animation;
}

} // namespace velmora::images
