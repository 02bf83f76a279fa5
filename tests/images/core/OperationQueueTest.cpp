#include "images/core/OperationQueue.h"
#include "images/core/DispatchQueue.h"

#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

using namespace velmora::images;

namespace {

// Finishes only when told to, like a download.
class ManualOperation : public Operation {
public:
    bool isAsynchronous() const override { return true; }
    void start() override {
        if (isCancelled()) {
            markFinished();
            return;
        }
        setExecuting(true);
        started = true;
    }
    void finish() { markFinished(); }
    std::atomic<bool> started{false};
};

// A manual operation that keeps count of how many such operations run at once.
class CountedOperation : public ManualOperation {
public:
    CountedOperation(std::atomic<int>& running, std::atomic<int>& mostRunning)
        : m_running(running), m_mostRunning(mostRunning) {}
    void start() override {
        if (!isCancelled()) {
            const int now = ++m_running;
            int most = m_mostRunning.load();
            while (now > most && !m_mostRunning.compare_exchange_weak(most, now)) {
            }
        }
        ManualOperation::start();
    }
    void finish() {
        if (started && !m_counted.exchange(true)) {
            --m_running;
        }
        ManualOperation::finish();
    }

private:
    std::atomic<int>& m_running;
    std::atomic<int>& m_mostRunning;
    std::atomic<bool> m_counted{false};
};

// Polls `done` until it holds, for a bound that a loaded machine (and a build under the
// sanitizers, through the run's time scale) meets for a thread to take up queued work.
bool waitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(velmora::test::scaledMs(20000));
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(1);
    }
    return true;
}

int threadCount() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

// A pool's idle thread wakes once more, to end. Ending a moment after the work, while
// the app is awake anyway, keeps that wake-up out of the quiet that follows (a running
// timer's minute must not see the threads of the last scroll end in it).
TEST(OperationQueueTest, IdlePoolThreadsEndSoonAfterTheirWork) {
    const int before = threadCount();
    {
        OperationQueue queue(QStringLiteral("idle"), 4);
        std::vector<std::shared_ptr<ManualOperation>> operations;
        for (int i = 0; i < 4; ++i) {
            operations.push_back(std::make_shared<ManualOperation>());
            queue.addOperation(operations.back());
        }
        std::atomic<int> ran{0};
        const DispatchQueue concurrent = DispatchQueue::concurrent(QStringLiteral("idle"));
        for (int i = 0; i < 4; ++i) {
            concurrent.async([&ran] {
                QThread::msleep(20);
                ++ran;
            });
        }
        QDeadlineTimer started(velmora::test::scaledMs(5000));
        while (!started.hasExpired() &&
               (ran < 4 || !std::all_of(operations.begin(), operations.end(),
                                        [](const auto& o) { return o->started.load(); }))) {
            QThread::msleep(5);
        }
        ASSERT_EQ(ran, 4);
        EXPECT_GT(threadCount(), before);
        for (const auto& operation : operations) {
            operation->finish();
        }
    }
    QDeadlineTimer ended(velmora::test::scaledMs(5000));
    while (!ended.hasExpired() && threadCount() > before) {
        QThread::msleep(20);
    }
    EXPECT_LE(threadCount(), before) << "idle pool threads still there long after their work";
}

TEST(OperationQueueTest, runsAtMostTheLimitAndStartsTheNextWhenOneFinishes) {
    OperationQueue queue(QStringLiteral("test"), 2);
    // Each operation counts itself in while it runs; the most ever running at once is
    // what the limit bounds, however late the pool's threads get to them.
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::vector<std::shared_ptr<CountedOperation>> operations;
    for (int i = 0; i < 4; ++i) {
        operations.push_back(std::make_shared<CountedOperation>(running, mostRunning));
        queue.addOperation(operations.back());
    }
    auto startedCount = [&] {
        return std::count_if(operations.begin(), operations.end(),
                             [](const auto& operation) { return operation->started.load(); });
    };
    ASSERT_TRUE(waitFor([&] { return startedCount() == 2; })) << startedCount() << " started";
    EXPECT_FALSE(operations[2]->started);
    EXPECT_FALSE(operations[3]->started);

    operations[0]->finish();
    ASSERT_TRUE(waitFor([&] { return operations[2]->started.load(); }));
    EXPECT_FALSE(operations[3]->started);
    for (const auto& operation : operations) {
        ASSERT_TRUE(waitFor([&] { return operation->started.load(); }));
        operation->finish();
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0);
    EXPECT_EQ(mostRunning, 2);
}

TEST(OperationQueueTest, higherPriorityAndDependenciesDecideTheOrderAfterResuming) {
    OperationQueue queue(QStringLiteral("test"), 1);
    queue.setSuspended(true);
    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int value) {
        return std::make_shared<BlockOperation>([&, value] {
            std::lock_guard lock(mutex);
            order.push_back(value);
        });
    };
    auto low = record(1);
    low->setQueuePriority(Operation::QueuePriority::Low);
    auto normal = record(2);
    auto high = record(3);
    high->setQueuePriority(Operation::QueuePriority::High);
    auto first = record(4);
    high->addDependency(first);
    queue.addOperation(low);
    queue.addOperation(normal);
    queue.addOperation(high);
    queue.addOperation(first);
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order, (std::vector<int>{2, 4, 3, 1}));
}

TEST(OperationQueueTest, aCancelledQueuedOperationFinishesWithoutRunning) {
    OperationQueue queue(QStringLiteral("test"), 1);
    queue.setSuspended(true);
    std::atomic<bool> ran{false};
    std::atomic<bool> completed{false};
    auto operation = queue.addOperation([&] { ran = true; });
    operation->setCompletionBlock([&] { completed = true; });
    queue.cancelAllOperations();
    queue.setSuspended(false);
    operation->waitUntilFinished();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(completed);
}

TEST(OperationQueueTest, aBarrierWaitsForEverythingBeforeIt) {
    OperationQueue queue(QStringLiteral("test"));
    std::atomic<int> done{0};
    for (int i = 0; i < 5; ++i) {
        queue.addOperation([&] {
            QThread::msleep(10);
            ++done;
        });
    }
    std::atomic<int> seenByBarrier{-1};
    queue.addBarrierBlock([&] { seenByBarrier = done.load(); });
    std::atomic<int> seenAfter{-1};
    queue.addOperation([&] { seenAfter = seenByBarrier.load(); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(seenByBarrier, 5);
    EXPECT_EQ(seenAfter, 5);
}
