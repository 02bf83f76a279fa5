#include "images/cache/CachesManagerOperation.h"

namespace velmora::images {

CachesManagerOperation::CachesManagerOperation() = default;
CachesManagerOperation::~CachesManagerOperation() = default;

void CachesManagerOperation::beginWithTotalCount(quint64 count) {
    setExecuting(true);
    setFinished(false);
    std::lock_guard lock(m_mutex);
    m_pendingCount = count;
}

quint64 CachesManagerOperation::pendingCount() const {
    std::lock_guard lock(m_mutex);
    return m_pendingCount;
}

void CachesManagerOperation::completeOne() {
    std::lock_guard lock(m_mutex);
    if (m_pendingCount > 0) {
        --m_pendingCount;
    }
}

void CachesManagerOperation::done() {
    setFinished(true);
    setExecuting(false);
    reset();
}

void CachesManagerOperation::cancel() {
    setCancelled(true);
    reset();
}

void CachesManagerOperation::reset() {
    std::lock_guard lock(m_mutex);
    m_pendingCount = 0;
}

void CachesManagerOperation::setExecuting(bool value) {
    m_executing.store(value);
    emit isExecutingChanged();
}

void CachesManagerOperation::setFinished(bool value) {
    m_finished.store(value);
    emit isFinishedChanged();
}

void CachesManagerOperation::setCancelled(bool value) {
    m_cancelled.store(value);
    emit isCancelledChanged();
}

} // namespace velmora::images
