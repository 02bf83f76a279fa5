#include "app/BackgroundTaskManager.h"
#include "tests/support/EventLoop.h"

#include <QThread>

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
