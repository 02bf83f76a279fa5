#include "core/model/DebouncedState.h"
#include "tests/support/EventLoop.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace velmora;
using namespace std::chrono_literals;

TEST(DebouncedState, InitialValueIsPublishedOnceAfterTheDelay) {
    DebouncedState<int> state(7, 50ms);
    std::vector<int> debounced;
    auto token = state.debouncedValueChanges().subscribe([&](const int& v) { debounced.push_back(v); });
    EXPECT_EQ(state.currentValue(), 7);
    EXPECT_EQ(state.debouncedValue(), 7);
    ASSERT_TRUE(test::waitUntil([&] { return !debounced.empty(); }, 2000));
    EXPECT_EQ(debounced, std::vector<int>{7});
    test::drainEvents();
    EXPECT_EQ(debounced, std::vector<int>{7});
}

TEST(DebouncedState, ABurstOfWritesLeadsToOneDebouncedValueAfterTheLastWrite) {
    DebouncedState<QString> state("a", 120ms);
    ASSERT_TRUE(test::waitUntil([&] { return !state.isPending(); }, 2000)); // the initial publication

    std::vector<QString> debounced;
    std::vector<QString> current;
    int changes = 0;
    auto t1 = state.debouncedValueChanges().subscribe([&](const QString& v) { debounced.push_back(v); });
    auto t2 = state.currentValueChanges().subscribe([&](const QString& v) { current.push_back(v); });
    auto t3 = state.changes().subscribe([&](const Void&) { ++changes; });

    // Writes 30 ms apart, well inside the delay. On a machine so loaded that a gap
    // outgrew the delay, an earlier publication is right, so only the timing-free
    // facts are checked then.
    QElapsedTimer sinceLastWrite;
    bool gapsInsideDelay = true;
    for (const char* value : {"b", "c", "d"}) {
        if (sinceLastWrite.isValid() && sinceLastWrite.elapsed() >= 120) {
            gapsInsideDelay = false;
        }
        state.setCurrentValue(value);
        sinceLastWrite.start();
        test::waitUntil([] { return false; }, 30);
    }
    if (gapsInsideDelay && sinceLastWrite.elapsed() < 120) {
        EXPECT_TRUE(debounced.empty()) << "nothing before the delay passed after the last write";
        EXPECT_EQ(state.debouncedValue(), "a");
    }
    ASSERT_TRUE(test::waitUntil([&] { return !debounced.empty() && debounced.back() == "d"; }, 2000));
    EXPECT_GE(sinceLastWrite.elapsed(), 115);
    if (gapsInsideDelay) {
        EXPECT_EQ(debounced, std::vector<QString>{"d"});
        EXPECT_EQ(changes, 4);
    }
    EXPECT_EQ(current, (std::vector<QString>{"b", "c", "d"}));

    // Writing the same value again still restarts the delay and publishes again.
    state.setCurrentValue("d");
    const auto before = debounced.size();
    ASSERT_TRUE(test::waitUntil([&] { return debounced.size() == before + 1; }, 2000));
    EXPECT_EQ(debounced.back(), "d");
}
