#include "images/core/CallbackQueue.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace velmora::images;

namespace {

// Spins the main event loop until the flag is set or a second has passed.
bool waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::msleep(1);
    }
    return flag;
}

} // namespace

TEST(CallbackQueueTest, MainQueueRunsAtOnceOnTheMainThreadAndLaterFromOthers) {
    bool ranInline = false;
    CallbackQueue::mainQueue()->async([&] { ranInline = true; });
    EXPECT_TRUE(ranInline);

    std::atomic<bool> ran = false;
    std::atomic<bool> onMain = false;
    std::thread([&] {
        CallbackQueue::mainQueue()->async([&] {
            onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
            ran = true;
        });
    }).join();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(waitFor(ran));
    EXPECT_TRUE(onMain);
}

TEST(CallbackQueueTest, InvokeRunsOnTheCallingThreadEvenOffTheMainThread) {
    CallbackQueue queue(DispatchQueue::main());
    queue.setPolicy(CallbackPolicy::Invoke);
    std::thread::id ranOn;
    std::thread::id caller;
    std::thread([&] {
        caller = std::this_thread::get_id();
        queue.async([&] { ranOn = std::this_thread::get_id(); });
    }).join();
    EXPECT_EQ(ranOn, caller);
}

TEST(CallbackQueueTest, DispatchAlwaysDefersEvenOnTheTargetQueue) {
    CallbackQueue queue(DispatchQueue::main());
    queue.setPolicy(CallbackPolicy::Dispatch);
    std::atomic<bool> ran = false;
    queue.async([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(waitFor(ran));
}

TEST(CallbackQueueTest, TwoInstancesOverOneSerialQueueRecogniseItsTasks) {
    const auto serial = DispatchQueue::serial("test.serial");
    CallbackQueue first(serial);
    CallbackQueue second(serial);
    std::promise<std::pair<bool, bool>> result;
    serial.async([&] {
        bool firstInline = false;
        bool secondInline = false;
        first.async([&] { firstInline = true; });
        // A synchronous block from inside the queue runs at once instead of waiting for itself.
        second.sync([&] { secondInline = true; });
        result.set_value({firstInline, secondInline});
    });
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), std::make_pair(true, true));
}

TEST(CallbackQueueTest, SerialQueueRunsInOrderOneAtATime) {
    const auto serial = DispatchQueue::serial("test.order");
    std::vector<int> order;
    std::atomic<int> running = 0;
    std::atomic<bool> overlapped = false;
    for (int i = 0; i < 50; ++i) {
        serial.async([&, i] {
            if (++running > 1) {
                overlapped = true;
            }
            order.push_back(i);
            --running;
        });
    }
    serial.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(CallbackQueueTest, GlobalQueueRunsOffTheMainThread) {
    auto queue = CallbackQueue::globalQueue();
    std::thread::id ranOn;
    queue->sync([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_NE(ranOn, std::this_thread::get_id());
}
