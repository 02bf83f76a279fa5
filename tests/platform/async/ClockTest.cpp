#include "platform/async/Clock.h"

#include <QObject>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora;
using namespace std::chrono_literals;

TEST(ManualClockTest, ScheduledWorkRunsWhenTheClockPassesItsTimeInThatOrder) {
    ManualClock clock;
    QObject context;
    auto gone = std::make_unique<QObject>();
    std::vector<int> ran;
    clock.callAfter(300ms, &context, [&] { ran.push_back(300); });
    clock.callAfter(100ms, &context, [&] { ran.push_back(100); });
    clock.callAfter(100ms, &context, [&] { ran.push_back(101); });
    clock.callAfter(50ms, gone.get(), [&] { ran.push_back(50); });
    gone.reset();

    clock.advance(99);
    EXPECT_TRUE(ran.empty());
    clock.advance(1);
    EXPECT_EQ(ran, (std::vector<int>{100, 101})) << "due work in the order it was asked for";
    // Work asked for now with no pause still waits for the clock to move, and then runs
    // before work that is due later.
    clock.callAfter(0ms, &context, [&] { ran.push_back(0); });
    EXPECT_EQ(ran.size(), 2u);
    clock.advance(500);
    EXPECT_EQ(ran, (std::vector<int>{100, 101, 0, 300}));
    EXPECT_EQ(clock.scheduledCount(), 0u) << "work of a context that is gone is dropped";
}
