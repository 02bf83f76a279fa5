#include "images/widgets/RemoteImageActivityIndicator.h"

namespace velmora::images {

RemoteImageActivityIndicator::RemoteImageActivityIndicator() : m_view(new ActivitySpinner()) {
    m_view->setControlSize(ActivitySpinner::ControlSize::Small);
    m_view->sizeToFit();
    m_view->hide();
}

RemoteImageActivityIndicator::~RemoteImageActivityIndicator() {
    // A view that an image view took in is its parent's to delete.
    if (m_view && !m_view->parent()) {
        delete m_view.data();
    }
}

void RemoteImageActivityIndicator::startAnimatingIndicator() {
    if (m_view) {
        m_view->startAnimation();
        m_view->show();
    }
}

void RemoteImageActivityIndicator::stopAnimatingIndicator() {
    if (m_view) {
        m_view->stopAnimation();
        m_view->hide();
    }
}

namespace {
std::shared_ptr<RemoteImageActivityIndicator> made(ActivitySpinner::ControlSize size, const QColor* colour) {
    auto indicator = std::make_shared<RemoteImageActivityIndicator>();
    if (colour) {
        indicator->spinner()->setColor(*colour);
    }
    indicator->spinner()->setControlSize(size);
    indicator->spinner()->sizeToFit();
    return indicator;
}
const QColor gray(90, 90, 90);
const QColor white(Qt::white);
} // namespace

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::grayIndicator() {
    return made(ActivitySpinner::ControlSize::Small, &gray);
}

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::grayLargeIndicator() {
    return made(ActivitySpinner::ControlSize::Regular, &gray);
}

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::whiteIndicator() {
    return made(ActivitySpinner::ControlSize::Small, &white);
}

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::whiteLargeIndicator() {
    return made(ActivitySpinner::ControlSize::Regular, &white);
}

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::largeIndicator() {
    return made(ActivitySpinner::ControlSize::Regular, nullptr);
}

std::shared_ptr<RemoteImageActivityIndicator> RemoteImageActivityIndicator::mediumIndicator() {
    return made(ActivitySpinner::ControlSize::Small, nullptr);
}

} // namespace velmora::images
