#include "images/core/OperationQueue.h"
#include "images/core/DispatchQueue.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <algorithm>
#include <atomic>
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
        QDeadlineTimer started(5000);
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
    QDeadlineTimer ended(5000);
    while (!ended.hasExpired() && threadCount() > before) {
        QThread::msleep(20);
    }
    EXPECT_LE(threadCount(), before) << "idle pool threads still there 5 s after their work";
}

TEST(OperationQueueTest, runsAtMostTheLimitAndStartsTheNextWhenOneFinishes) {
    OperationQueue queue(QStringLiteral("test"), 2);
    std::vector<std::shared_ptr<ManualOperation>> operations;
    for (int i = 0; i < 4; ++i) {
        operations.push_back(std::make_shared<ManualOperation>());
        queue.addOperation(operations.back());
    }
    QThread::msleep(50);
    int started = 0;
    for (const auto& operation : operations) {
        started += operation->started ? 1 : 0;
    }
    EXPECT_EQ(started, 2);
    operations[0]->finish();
    for (int i = 0; i < 100 && !operations[2]->started; ++i) {
        QThread::msleep(5);
    }
    EXPECT_TRUE(operations[2]->started);
    EXPECT_FALSE(operations[3]->started);
    for (const auto& operation : operations) {
        operation->finish();
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0);
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
