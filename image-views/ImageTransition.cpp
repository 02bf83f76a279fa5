#include "image-views/ImageTransition.h"

#include "images/widgets/RemoteImageTransition.h"

#include <QEasingCurve>
#include <QWidget>

namespace velmora::imageviews {

QAbstractAnimation* ImageTransition::insertionAnimation(QWidget* view) const {
    if (m_kind == Kind::Identity || !view) {
        return nullptr;
    }
    const int ms = static_cast<int>(m_duration.value_or(defaultDuration) * 1000);
    const QEasingCurve curve(QEasingCurve::InOutQuad);
    if (m_kind == Kind::Opacity) {
        return images::fadeInAnimation(view, ms, curve);
    }
    const bool rightToLeft = view->layoutDirection() == Qt::RightToLeft;
    QPoint start = view->pos();
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
    return images::slideInAnimation(view, start, ms, curve);
}

} // namespace velmora::imageviews
