#include "platform/notifications/NotificationCenter.h"

#include <QObject>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora;

namespace {
struct Payload {
    int value = 0;
};
} // namespace

TEST(NotificationCenter, DeliversByNameWithItsObjectInOrderOfRegistration) {
    NotificationCenter center;
    std::vector<QString> seen;
    auto first = center.addObserver("Saved", [&](const Notification& n) {
        const auto* payload = n.objectAs<Payload>();
        seen.push_back(QString("first:%1").arg(payload ? payload->value : -1));
    });
    auto second = center.addObserver("Saved", [&](const Notification& n) {
        // Another type than the one posted reads as nothing.
        seen.push_back(QString("second:%1").arg(n.objectAs<int>() ? "int" : "none"));
    });
    auto other = center.addObserver("Other", [&](const Notification&) { seen.push_back("other"); });

    center.post("Saved", Payload{5});
    center.post("Saved");
    EXPECT_EQ(seen, (std::vector<QString>{"first:5", "second:none", "first:-1", "second:none"}));
}

TEST(NotificationCenter, RemovedObserversAreNotCalledAnyMore) {
    NotificationCenter center;
    int a = 0;
    int b = 0;
    auto tokenA = center.addObserver("N", [&](const Notification&) { ++a; });
    Cancellable tokenB;
    {
        auto scoped = center.addObserver("N", [&](const Notification&) { ++b; });
        center.post("N");
    } // destroying the token removes the observer
    EXPECT_EQ(center.observerCount("N"), 1u);
    center.post("N");
    tokenA.cancel();
    center.post("N");
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(center.observerCount("N"), 0u);
}

TEST(NotificationCenter, ObserversMayRemoveOthersAndAddNewOnesWhileBeingCalled) {
    NotificationCenter center;
    std::vector<int> calls;
    Cancellable second;
    Cancellable added;
    auto first = center.addObserver("N", [&](const Notification&) {
        calls.push_back(1);
        second.cancel(); // removed during this very delivery: not called for it
        if (!added.isActive()) {
            added = center.addObserver("N", [&](const Notification&) { calls.push_back(3); });
        }
    });
    second = center.addObserver("N", [&](const Notification&) { calls.push_back(2); });

    center.post("N");
    EXPECT_EQ(calls, std::vector<int>{1}) << "one added during delivery waits for the next notice";
    center.post("N");
    EXPECT_EQ(calls, (std::vector<int>{1, 1, 3}));
}

TEST(NotificationCenter, ObserversEndWithTheirContextAndOutliveNoCentre) {
    auto center = std::make_unique<NotificationCenter>();
    int calls = 0;
    auto context = std::make_unique<QObject>();
    auto token = center->addObserver("N", context.get(), [&](const Notification&) { ++calls; });
    center->post("N");
    context.reset();
    center->post("N");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(center->observerCount("N"), 0u);

    auto late = center->addObserver("N", [&](const Notification&) { ++calls; });
    center.reset();
    late.cancel(); // the centre is gone: cancelling is harmless
}

TEST(NotificationCenter, DeliversOnThePostingThread) {
    NotificationCenter center;
    QThread* deliveredOn = nullptr;
    auto token =
        center.addObserver("N", [&](const Notification&) { deliveredOn = QThread::currentThread(); });
    std::unique_ptr<QThread> poster(QThread::create([&] { center.post("N"); }));
    QThread* posterThread = poster.get();
    poster->start();
    ASSERT_TRUE(poster->wait(5000));
    EXPECT_EQ(deliveredOn, posterThread);
}

TEST(NotificationCenter, TheDefaultCentreIsOneForTheProcess) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    int calls = 0;
    auto token = NotificationCenter::defaultCenter().addObserver("DefaultCentreTest",
                                                                 [&](const Notification&) { ++calls; });
    NotificationCenter::defaultCenter().post("DefaultCentreTest");
    EXPECT_EQ(calls, 1);
}
