#include "app/BackgroundTaskManager.h"
#include "tests/support/EventLoop.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

using namespace velmora;
using namespace velmora::test;

namespace {
struct CountingJob : BackgroundJob {
    explicit CountingJob(QString name) : name(std::move(name)) {}
    QString key() const override { return name; }
    double interval() const override { return 600; }
    void run() override {
        threadName = QThread::currentThread()->objectName();
        ++runs;
    }
    QString name;
    std::atomic<int> runs{0};
    QString threadName;
};
} // namespace

TEST(BackgroundTaskManager, RunsEachJobOnItsOwnThreadFirstAfterOneInterval) {
    BackgroundTaskManager manager;
    auto refresh = std::make_shared<CountingJob>(QStringLiteral("refresh-provider-users"));
    auto other = std::make_shared<CountingJob>(QStringLiteral("other"));
    manager.schedule(refresh, std::chrono::milliseconds(40));
    manager.schedule(other, std::chrono::milliseconds(40));
    drainEvents();
    EXPECT_EQ(refresh->runs, 0) << "no run at scheduling";
    ASSERT_TRUE(waitUntil([&] { return refresh->runs >= 2 && other->runs >= 1; }));
    EXPECT_EQ(manager.threadName("refresh-provider-users"), "app.velmora.Velmora.refresh-provider-users");
    EXPECT_EQ(manager.threadName("other"), "app.velmora.Velmora.other");
    EXPECT_NE(refresh->threadName, QThread::currentThread()->objectName());
}

namespace {
// A run that waits in a local event loop far longer than its interval, as the
// account-user refresh does when the network is slow.
struct SlowJob : BackgroundJob {
    QString key() const override { return QStringLiteral("slow"); }
    double interval() const override { return 600; }
    void run() override {
        const int now = ++underWay;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        QEventLoop loop;
        QTimer::singleShot(150, &loop, &QEventLoop::quit);
        loop.exec();
        --underWay;
        ++finished;
    }
    std::atomic<int> underWay{0};
    std::atomic<int> most{0};
    std::atomic<int> finished{0};
};
} // namespace

TEST(BackgroundTaskManager, ARunSlowerThanItsIntervalIsNeverOverlappedByTheNext) {
    BackgroundTaskManager manager;
    auto job = std::make_shared<SlowJob>();
    manager.schedule(job, std::chrono::milliseconds(10));
    ASSERT_TRUE(waitUntil([&] { return job->finished >= 3; }, 5000));
    EXPECT_EQ(job->most, 1) << "the next run waits for the one under way";
}
