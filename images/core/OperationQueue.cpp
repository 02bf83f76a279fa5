#include "images/core/OperationQueue.h"

#include "images/core/Teardown.h"

#include <QThreadPool>

#include <climits>
#include <condition_variable>
#include <mutex>

namespace velmora::images {

namespace {

// How long an idle worker thread waits for more work before it ends.
constexpr int idleThreadExpiryMs = 2000;

// One pool for every queue: the queues bound how many operations run, the pool only
// lends threads. Asynchronous operations hold a thread just for their start.
QThreadPool& workerPool() {
    static QThreadPool* pool = [] {
        auto* created = new QThreadPool();
        created->setMaxThreadCount(64);
        created->setObjectName(QStringLiteral("velmora.images.OperationQueue"));
        // An idle thread wakes once more to end: a moment after the work, while the app
        // is awake anyway, not half a minute later in the quiet that follows.
        created->setExpiryTimeout(idleThreadExpiryMs);
        // Kept for the process's life; the operations it runs finish before the statics they
        // use go (a stuck one is not waited for beyond a few seconds).
        Teardown::add(Teardown::Stage::Work, [created] { created->waitForDone(5000); });
        return created;
    }();
    return *pool;
}

} // namespace

struct OperationQueue::Core : std::enable_shared_from_this<OperationQueue::Core> {
    struct Entry {
        std::shared_ptr<Operation> operation;
        bool started = false;
    };

    mutable std::mutex mutex;
    std::condition_variable drained;
    QString name;
    int maxConcurrent = DefaultMaxConcurrentOperationCount;
    bool suspended = false;
    std::vector<Entry> entries;
    std::shared_ptr<Operation> lastBarrier;

    void schedule() {
        std::vector<std::shared_ptr<Operation>> toStart;
        {
            std::lock_guard lock(mutex);
            std::erase_if(entries, [](const Entry& entry) { return entry.operation->m_settled.load(); });
            if (entries.empty()) {
                drained.notify_all();
            }
            if (suspended) {
                return;
            }
            const int limit = maxConcurrent < 0 ? INT_MAX : maxConcurrent;
            int running = 0;
            for (const Entry& entry : entries) {
                running += entry.started ? 1 : 0;
            }
            while (running < limit) {
                Entry* best = nullptr;
                for (Entry& entry : entries) {
                    if (entry.started || !entry.operation->isReady()) {
                        continue;
                    }
                    if (!best || entry.operation->queuePriority() > best->operation->queuePriority()) {
                        best = &entry;
                    }
                }
                if (!best) {
                    break;
                }
                best->started = true;
                ++running;
                toStart.push_back(best->operation);
            }
        }
        for (const auto& operation : toStart) {
            workerPool().start([operation] { operation->start(); });
        }
    }
};

OperationQueue::OperationQueue(QString name, int maxConcurrentOperationCount)
    : m_core(std::make_shared<Core>()) {
    m_core->name = std::move(name);
    m_core->maxConcurrent = maxConcurrentOperationCount;
}

OperationQueue::~OperationQueue() {
    std::lock_guard lock(m_core->mutex);
    for (const auto& entry : m_core->entries) {
        std::lock_guard operationLock(entry.operation->m_stateMutex);
        entry.operation->m_queueObserver = nullptr;
    }
    m_core->entries.clear();
}

QString OperationQueue::name() const {
    return m_core->name;
}

void OperationQueue::addOperation(const std::shared_ptr<Operation>& operation) {
    if (!operation || operation->isFinished()) {
        return;
    }
    {
        std::lock_guard lock(m_core->mutex);
        if (m_core->lastBarrier && m_core->lastBarrier != operation) {
            operation->addDependency(m_core->lastBarrier);
        }
        {
            std::lock_guard operationLock(operation->m_stateMutex);
            operation->m_queueObserver = [weakCore = std::weak_ptr<Core>(m_core)] {
                if (const auto core = weakCore.lock()) {
                    core->schedule();
                }
            };
        }
        m_core->entries.push_back({operation, false});
    }
    m_core->schedule();
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
    auto operation = std::make_shared<BlockOperation>(std::move(block));
    addOperation(operation);
    return operation;
}

std::shared_ptr<Operation> OperationQueue::addBarrierBlock(std::function<void()> block) {
    auto barrier = std::make_shared<BlockOperation>(std::move(block));
    {
        std::lock_guard lock(m_core->mutex);
        for (const auto& entry : m_core->entries) {
            barrier->addDependency(entry.operation);
        }
    }
    addOperation(barrier);
    std::lock_guard lock(m_core->mutex);
    m_core->lastBarrier = barrier;
    return barrier;
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::lock_guard lock(m_core->mutex);
        m_core->maxConcurrent = count;
    }
    m_core->schedule();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard lock(m_core->mutex);
        m_core->suspended = suspended;
    }
    m_core->schedule();
}

void OperationQueue::cancelAllOperations() {
    for (const auto& operation : operations()) {
        operation->cancel();
    }
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    std::lock_guard lock(m_core->mutex);
    std::vector<std::shared_ptr<Operation>> result;
    for (const auto& entry : m_core->entries) {
        if (!entry.operation->isFinished()) {
            result.push_back(entry.operation);
        }
    }
    return result;
}

int OperationQueue::operationCount() const {
    return static_cast<int>(operations().size());
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(m_core->mutex);
    m_core->drained.wait(lock, [this] {
        return std::all_of(m_core->entries.begin(), m_core->entries.end(),
                           [](const Core::Entry& entry) { return entry.operation->m_settled.load(); });
    });
}

} // namespace velmora::images
