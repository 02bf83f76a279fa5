#include "images/pipeline/RemoteImageCombinedOperation.h"

#include "images/pipeline/RemoteImageManager.h"

namespace velmora::images {

RemoteImageCombinedOperation::RemoteImageCombinedOperation(std::weak_ptr<RemoteImageManager> manager)
    : m_manager(std::move(manager)) {}

void RemoteImageCombinedOperation::cancel() {
    std::shared_ptr<RemoteImageOperation> cacheOperation;
    std::shared_ptr<RemoteImageOperation> loaderOperation;
    {
        std::lock_guard lock(m_monitor);
        if (m_cancelled) {
            return;
        }
        m_cancelled = true;
        cacheOperation = std::move(m_cacheOperation);
        loaderOperation = std::move(m_loaderOperation);
        m_cacheOperation = nullptr;
        m_loaderOperation = nullptr;
    }
    // Outside the monitor: cancelling may run completions at once.
    if (cacheOperation) {
        cacheOperation->cancel();
    }
    if (loaderOperation) {
        loaderOperation->cancel();
    }
    if (const auto manager = m_manager.lock()) {
        manager->safelyRemoveOperationFromRunning(shared_from_this());
    }
}

bool RemoteImageCombinedOperation::isCancelled() const {
    std::lock_guard lock(m_monitor);
    return m_cancelled;
}

std::shared_ptr<RemoteImageOperation> RemoteImageCombinedOperation::cacheOperation() const {
    std::lock_guard lock(m_monitor);
    return m_cacheOperation;
}

void RemoteImageCombinedOperation::setCacheOperation(std::shared_ptr<RemoteImageOperation> operation) {
    {
        std::lock_guard lock(m_monitor);
        if (!m_cancelled) {
            m_cacheOperation = std::move(operation);
            return;
        }
    }
    if (operation) {
        operation->cancel();
    }
}

std::shared_ptr<RemoteImageOperation> RemoteImageCombinedOperation::loaderOperation() const {
    std::lock_guard lock(m_monitor);
    return m_loaderOperation;
}

void RemoteImageCombinedOperation::setLoaderOperation(std::shared_ptr<RemoteImageOperation> operation) {
    {
        std::lock_guard lock(m_monitor);
        if (!m_cancelled) {
            m_loaderOperation = std::move(operation);
            return;
        }
    }
    if (operation) {
        operation->cancel();
    }
}

} // namespace velmora::images
