#include "image-views/IndicatorStatus.h"

#include <algorithm>
#include <cmath>

namespace velmora::imageviews {

IndicatorStatus::IndicatorStatus(QObject* parent) : QObject(parent) {}

void IndicatorStatus::setLoading(bool loading) {
    m_loading = loading;
    notifyChanged();
}

void IndicatorStatus::setProgress(double progress) {
    m_progress = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
    notifyChanged();
}

void IndicatorStatus::notifyChanged() {
    // Queued to this object's (the main) thread even from there, so observers always read
    // the stored value on a later turn; a status deleted meanwhile sends nothing.
    QMetaObject::invokeMethod(this, [this] { emit objectWillChange(); }, Qt::QueuedConnection);
}

} // namespace velmora::imageviews
