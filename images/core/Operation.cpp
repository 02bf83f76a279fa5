#include "images/core/Operation.h"

#include <algorithm>

namespace velmora::images {

void Operation::start() {
    if (isFinished()) {
        return;
    }
    if (!isCancelled()) {
        setExecuting(true);
        main();
        setExecuting(false);
    }
    markFinished();
}

void Operation::cancel() {
    markCancelled();
}

void Operation::markCancelled() {
    if (m_cancelled.exchange(true)) {
        return;
    }
    // A cancelled operation becomes ready: its queue may start it now.
    notifyObservers();
}

bool Operation::isReady() const {
    if (isCancelled()) {
        return true;
    }
    std::lock_guard lock(m_stateMutex);
    return std::all_of(m_dependencies.begin(), m_dependencies.end(),
                       [](const std::shared_ptr<Operation>& dependency) { return dependency->isFinished(); });
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
    if (!operation || operation.get() == this) {
        return;
    }
    {
        std::lock_guard lock(m_stateMutex);
        if (std::find(m_dependencies.begin(), m_dependencies.end(), operation) != m_dependencies.end()) {
            return;
        }
        m_dependencies.push_back(operation);
    }
    std::lock_guard lock(operation->m_stateMutex);
    operation->m_dependents.push_back(weak_from_this());
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
    {
        std::lock_guard lock(m_stateMutex);
        std::erase(m_dependencies, operation);
    }
    notifyObservers();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
    std::lock_guard lock(m_stateMutex);
    return m_dependencies;
}

void Operation::setCompletionBlock(std::function<void()> block) {
    std::lock_guard lock(m_stateMutex);
    m_completionBlock = std::move(block);
}

void Operation::addCompletionBlock(std::function<void()> block) {
    std::lock_guard lock(m_stateMutex);
    m_completionBlock = [first = std::move(m_completionBlock), block = std::move(block)] {
        if (first) {
            first();
        }
        if (block) {
            block();
        }
    };
}

void Operation::waitUntilFinished() {
    std::unique_lock lock(m_stateMutex);
    m_finishedCondition.wait(lock, [this] { return m_settled.load(); });
}

void Operation::setExecuting(bool executing) {
    m_executing = executing;
}

void Operation::markFinished() {
    std::function<void()> completion;
    {
        std::lock_guard lock(m_stateMutex);
        if (m_finished.exchange(true)) {
            return;
        }
        m_executing = false;
        completion = std::move(m_completionBlock);
        m_completionBlock = nullptr;
        // Dependencies are no longer needed; dropping them breaks chains of ownership.
        m_dependencies.clear();
    }
    if (completion) {
        completion();
    }
    {
        std::lock_guard lock(m_stateMutex);
        m_settled = true;
    }
    m_finishedCondition.notify_all();
    notifyObservers();
}

void Operation::notifyObservers() {
    std::function<void()> queueObserver;
    std::vector<std::weak_ptr<Operation>> dependents;
    {
        std::lock_guard lock(m_stateMutex);
        queueObserver = m_queueObserver;
        if (isFinished()) {
            dependents = m_dependents;
        }
    }
    if (queueObserver) {
        queueObserver();
    }
    for (const auto& weakDependent : dependents) {
        if (const auto dependent = weakDependent.lock()) {
            std::function<void()> observer;
            {
                std::lock_guard lock(dependent->m_stateMutex);
                observer = dependent->m_queueObserver;
            }
            if (observer) {
                observer();
            }
        }
    }
}

} // namespace velmora::images
