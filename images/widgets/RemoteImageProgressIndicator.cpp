#include "images/widgets/RemoteImageProgressIndicator.h"

#include <cmath>

namespace velmora::images {

RemoteImageProgressIndicator::RemoteImageProgressIndicator() : m_view(new QProgressBar()) {
    m_view->setTextVisible(false);
    m_view->setRange(0, 100);
    m_view->resize(160, m_view->sizeHint().height());
    m_view->hide();
}

RemoteImageProgressIndicator::~RemoteImageProgressIndicator() {
    if (m_view && !m_view->parent()) {
        delete m_view.data();
    }
}

std::shared_ptr<RemoteImageProgressIndicator> RemoteImageProgressIndicator::defaultIndicator() {
    return std::make_shared<RemoteImageProgressIndicator>();
}

bool RemoteImageProgressIndicator::isIndeterminate() const {
    return m_view && m_view->maximum() == 0;
}

double RemoteImageProgressIndicator::value() const {
    return m_view ? m_view->value() : 0;
}

void RemoteImageProgressIndicator::setIndeterminate(bool indeterminate) {
    // QProgressBar shows a busy bar when its range is empty.
    m_view->setRange(0, indeterminate ? 0 : 100);
}

void RemoteImageProgressIndicator::startAnimatingIndicator() {
    if (!m_view) {
        return;
    }
    m_view->show();
    setIndeterminate(true);
    m_view->setValue(0);
}

void RemoteImageProgressIndicator::stopAnimatingIndicator() {
    if (!m_view) {
        return;
    }
    m_view->hide();
    setIndeterminate(false);
    m_view->setValue(100);
}

void RemoteImageProgressIndicator::updateIndicatorProgress(double progress) {
    if (!m_view) {
        return;
    }
    const double clamped = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
    setIndeterminate(!(clamped > 0));
    m_view->setValue(static_cast<int>(std::lround(clamped * 100)));
}

} // namespace velmora::images
