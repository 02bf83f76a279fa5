#include "platform/async/Publisher.h"
#include "tests/support/EventLoop.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <string>

using namespace velmora;

namespace {
struct Err {
    int code = 0;
    friend bool operator==(const Err&, const Err&) = default;
};
using P = Publisher<int, Err>;

// Completes after `ms` on the event loop; counts how often it was started and aborted.
P delayed(int value, int ms, int* starts = nullptr, int* aborts = nullptr) {
    return P::create([=](P::Sink sink) -> std::function<void()> {
        if (starts) {
            ++*starts;
        }
        auto timer = new QTimer;
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, [timer, sink, value] {
            timer->deleteLater();
            sink(P::ResultType::success(value));
        });
        timer->start(ms);
        return [timer, aborts] {
            if (aborts) {
                ++*aborts;
            }
            timer->stop();
            timer->deleteLater();
        };
    });
}
} // namespace

TEST(Publisher, IsColdAndRunsAnewForEachSubscription) {
    int starts = 0;
    auto p = delayed(1, 1, &starts);
    EXPECT_EQ(starts, 0);
    std::optional<int> a, b;
    auto c1 = p.sink([&](int v) { a = v; }, {});
    auto c2 = p.sink([&](int v) { b = v; }, {});
    EXPECT_EQ(starts, 2);
    ASSERT_TRUE(test::waitUntil([&] { return a && b; }));
}

TEST(Publisher, OperatorsChainValuesAndErrors) {
    std::optional<std::string> out;
    auto c = P::just(20)
                 .map([](int v) { return v + 1; })
                 .flatMap([](int v) { return delayed(v * 2, 1); })
                 .map([](int v) { return std::to_string(v); })
                 .sink([&](std::string v) { out = v; }, {});
    ASSERT_TRUE(test::waitUntil([&] { return out.has_value(); }));
    EXPECT_EQ(*out, "42");

    std::optional<Err> error;
    bool mappedAfterError = false;
    auto c2 = P::fail(Err{7})
                  .map([&](int v) {
                      mappedAfterError = true;
                      return v;
                  })
                  .sink({}, [&](Err e) { error = e; });
    EXPECT_EQ(error, Err{7});
    EXPECT_FALSE(mappedAfterError);
}

TEST(Publisher, TryMapTurnsAValueIntoAnError) {
    std::optional<Err> error;
    auto c = P::just(3).tryMap([](int v) { return Result<int, Err>::failure(Err{v}); }).sink({}, [&](Err e) {
        error = e;
    });
    EXPECT_EQ(error, Err{3});
}

TEST(Publisher, CatchErrorRetriesWithAnotherPublisher) {
    int attempts = 0;
    auto flaky = P::deferred([&] { return ++attempts == 1 ? P::fail(Err{401}) : P::just(5); });
    std::optional<int> out;
    auto c = flaky.catchError([&](Err e) { return e.code == 401 ? flaky : P::fail(e); })
                 .sink([&](int v) { out = v; }, {});
    EXPECT_EQ(out, 5);
    EXPECT_EQ(attempts, 2);
}

TEST(Publisher, CancellingStopsTheRunningStageAndDeliversNothing) {
    int aborts = 0;
    bool delivered = false;
    {
        auto c = P::just(1)
                     .flatMap([&](int v) { return delayed(v, 50, nullptr, &aborts); })
                     .sink([&](int) { delivered = true; }, [&](Err) { delivered = true; });
        test::drainEvents();
    } // the Cancellable goes out of scope
    EXPECT_EQ(aborts, 1);
    // A later stage of a longer delay, started after the cancel, ends after the cancelled
    // one would have.
    std::optional<int> later;
    auto after = delayed(2, 60).sink([&](int v) { later = v; }, {});
    ASSERT_TRUE(test::waitUntil([&] { return later.has_value(); }));
    EXPECT_FALSE(delivered);
}

TEST(Publisher, FinishedWorkIsNotUndoneByALaterCancel) {
    int aborts = 0;
    std::optional<int> out;
    auto c = delayed(9, 1, nullptr, &aborts).sink([&](int v) { out = v; }, {});
    ASSERT_TRUE(test::waitUntil([&] { return out.has_value(); }));
    c.cancel();
    EXPECT_EQ(aborts, 0);
}

TEST(Publisher, ReceiveOnMainIsAlwaysQueued) {
    std::optional<int> out;
    auto c = P::just(1).receiveOnMain().sink([&](int v) { out = v; }, {});
    EXPECT_FALSE(out.has_value()) << "delivered inside the subscribing call";
    ASSERT_TRUE(test::waitUntil([&] { return out.has_value(); }));
}

TEST(Publisher, ReceiveOnMainFromAWorkerThreadArrivesOnTheMainThread) {
    auto fromWorker = P::create([](P::Sink sink) -> std::function<void()> {
        auto* t = QThread::create([sink] { sink(P::ResultType::success(3)); });
        QObject::connect(t, &QThread::finished, t, &QObject::deleteLater);
        t->start();
        return {};
    });
    QThread* deliveredOn = nullptr;
    auto c = fromWorker.receiveOnMain().sink([&](int) { deliveredOn = QThread::currentThread(); }, {});
    ASSERT_TRUE(test::waitUntil([&] { return deliveredOn != nullptr; }));
    EXPECT_EQ(deliveredOn, QCoreApplication::instance()->thread());
}

TEST(Publisher, HandleEventsSeesTheOutcomeBeforeTheSubscriber) {
    std::vector<std::string> order;
    auto c = P::just(1)
                 .handleEvents([&](const int&) { order.push_back("side"); })
                 .sink([&](int) { order.push_back("sink"); }, {});
    EXPECT_EQ(order, (std::vector<std::string>{"side", "sink"}));
}

TEST(WhenAll, KeepsInputOrderAndBoundsConcurrency) {
    int running = 0, peak = 0;
    std::vector<P> ps;
    for (int i = 0; i < 6; ++i) {
        ps.push_back(P::create([&, i](P::Sink sink) -> std::function<void()> {
            peak = std::max(peak, ++running);
            QTimer::singleShot(6 - i, [&, sink, i] {
                --running;
                sink(P::ResultType::success(i));
            });
            return {};
        }));
    }
    std::optional<std::vector<int>> out;
    auto c = whenAll(ps, 2).sink([&](std::vector<int> v) { out = v; }, {});
    ASSERT_TRUE(test::waitUntil([&] { return out.has_value(); }));
    EXPECT_EQ(*out, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_LE(peak, 2);
}

TEST(WhenAll, FirstErrorFailsAndCancelsTheRest) {
    int aborts = 0;
    std::vector<P> ps{delayed(1, 200, nullptr, &aborts), delayed(3, 200, nullptr, &aborts), P::fail(Err{2})};
    std::optional<Err> error;
    auto c = whenAll(ps).sink({}, [&](Err e) { error = e; });
    EXPECT_EQ(error, Err{2});
    EXPECT_EQ(aborts, 2);
}

TEST(WhenAll, EmptyInputYieldsAnEmptyList) {
    std::optional<std::vector<int>> out;
    auto c = whenAll(std::vector<P>{}).sink([&](std::vector<int> v) { out = v; }, {});
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->empty());
}

TEST(Publisher, ADetachedSubscriptionStillDeliversItsOutcome) {
    std::optional<int> out;
    P::just(1).flatMap([](int v) { return delayed(v + 1, 5); }).sink([&](int v) { out = v; }, {}).detach();
    ASSERT_TRUE(test::waitUntil([&] { return out.has_value(); }));
    EXPECT_EQ(*out, 2);

    // Detaching after the outcome arrived changes nothing.
    std::optional<int> sync;
    auto done = P::just(3).sink([&](int v) { sync = v; }, {});
    done.detach();
    EXPECT_EQ(sync, 3);
}
