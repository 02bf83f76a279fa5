#include "image-views/FrameBinding.h"

#include <QEvent>
#include <QWidget>

#include <cstdio>

namespace velmora::imageviews {

namespace {

// Follows the parent's resizes on behalf of one child; it dies with the child.
class ParentBoundsBinding : public QObject {
public:
    ParentBoundsBinding(QWidget* child, QWidget* parent) : QObject(child), m_child(child), m_parent(parent) {
        m_parent->installEventFilter(this);
        m_child->setGeometry(m_parent->rect());
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_parent && event->type() == QEvent::Resize && m_child->parentWidget() == m_parent) {
            m_child->setGeometry(m_parent->rect());
        }
        return false;
    }

private:
    QWidget* m_child;
    QWidget* m_parent;
};

} // namespace

void bindFrameToSuperviewBounds(QWidget* view) {
    if (!view) {
        return;
    }
    QWidget* parent = view->parentWidget();
    if (!parent) {
        std::fputs("Error! `superview` was nil \u2013 call `addSubview(view: UIView)` before calling "
                   "`bindFrameToSuperviewBounds()` to fix this.\n",
                   stdout);
        std::fflush(stdout);
        return;
    }
    new ParentBoundsBinding(view, parent);
}

} // namespace velmora::imageviews
