#include "images/download/DecodeLanes.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/core/DecodeAttempt.h"

#include "tests/support/EventLoop.h"

#include "tests/support/TimeScale.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

using namespace velmora;
using namespace velmora::images;

namespace {

// Jobs that wait until let go, and what the lanes did with them.
class Jobs {
public:
    // A job that records its runs and, in the quick lane, gives up when `costly`.
    DecodeLanes::Job job(int id, bool costly = false) {
        return [this, id, costly](DecodeLanes::Lane lane) {
            const bool quick = lane == DecodeLanes::Lane::Quick;
            std::unique_lock lock(m_mutex);
            m_started.push_back({id, quick, DecodeAttempt::quickDrawingMs()});
            ++m_running;
            if (!quick) {
                m_peakCostly = std::max(m_peakCostly, ++m_costlyRunning);
            }
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
            --m_running;
            if (!quick) {
                --m_costlyRunning;
            }
            m_changed.notify_all();
            return !(quick && costly);
        };
    }
    void letGo() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool waitForStarts(size_t count, int timeoutMs = 10000) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(velmora::test::scaledMs(timeoutMs)),
                                  [&] { return m_started.size() >= count; });
    }
    bool waitForNoneRunning() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, velmora::test::scaled(std::chrono::seconds(10)),
                                  [&] { return m_running == 0; });
    }

    struct Start {
        int id;
        bool quick;
        int quickDrawingMs;
    };
    std::vector<Start> started() {
        std::lock_guard lock(m_mutex);
        return m_started;
    }
    int peakCostly() {
        std::lock_guard lock(m_mutex);
        return m_peakCostly;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Start> m_started;
    bool m_open = false;
    int m_running = 0;
    int m_costlyRunning = 0;
    int m_peakCostly = 0;
};

} // namespace

TEST(DecodeLanesTest, TheNewestWaitingDecodeTakesTheNextQuickPlace) {
    DecodeLanes lanes(1, 1);
    Jobs blocked;
    lanes.submit(blocked.job(0));
    ASSERT_TRUE(blocked.waitForStarts(1));
    Jobs waiting;
    for (int id = 1; id <= 3; ++id) {
        lanes.submit(waiting.job(id));
    }
    blocked.letGo();
    waiting.letGo();
    ASSERT_TRUE(waiting.waitForStarts(3));
    const auto started = waiting.started();
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[0].id, 3);
    EXPECT_EQ(started[1].id, 2);
    EXPECT_EQ(started[2].id, 1);
    for (const auto& start : started) {
        EXPECT_TRUE(start.quick);
        EXPECT_EQ(start.quickDrawingMs, DecodeLanes::quickDrawingMs);
    }
}

TEST(DecodeLanesTest, ADecodeThatGivesUpItsQuickTryRunsAgainInTheBoundedCostlyPool) {
    DecodeLanes lanes(2, 2);
    Jobs jobs;
    for (int id = 0; id < 6; ++id) {
        lanes.submit(jobs.job(id, true));
    }
    jobs.letGo();
    ASSERT_TRUE(jobs.waitForStarts(12));
    ASSERT_TRUE(jobs.waitForNoneRunning());
    int quick = 0;
    int costly = 0;
    for (const auto& start : jobs.started()) {
        if (start.quick) {
            ++quick;
        } else {
            ++costly;
            // The costly pool leaves the drawing its whole budget.
            EXPECT_EQ(start.quickDrawingMs, 0);
        }
    }
    EXPECT_EQ(quick, 6);
    EXPECT_EQ(costly, 6);
    EXPECT_LE(jobs.peakCostly(), 2);
}

namespace {

// On a busy machine, and under the sanitizers, a thread wakes later and a drawing takes longer:
// bounds on time get room by the run's time scale (3 in the sanitised preset).
const int slackMs = velmora::test::scaledMs(500);
const int quickSlackMs = velmora::test::scaledMs(270);

// Decodes that cannot be cut short and take a while, and how many ran at once.
class SlowDecodes {
public:
    explicit SlowDecodes(int ms) : m_ms(ms) {}
    DecodeLanes::Job job() {
        return [this](DecodeLanes::Lane) {
            {
                std::lock_guard lock(m_mutex);
                m_peak = std::max(m_peak, ++m_running);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(m_ms));
            std::lock_guard lock(m_mutex);
            --m_running;
            ++m_done;
            m_changed.notify_all();
            return true;
        };
    }
    bool waitForDone(int count, int timeoutMs) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_done >= count; });
    }
    int peak() {
        std::lock_guard lock(m_mutex);
        return m_peak;
    }

private:
    const int m_ms;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_running = 0;
    int m_peak = 0;
    int m_done = 0;
};

// One path of many crossing lines, filled and finely dashed, drawn thousands of times over.
QByteArray slowSvg() {
    QByteArray path = "<path id=\"p\" d=\"M0 0";
    for (int j = 0; j < 400; ++j) {
        path += " L" + QByteArray::number((j * 37) % 60) + " " + QByteArray::number((j * 53) % 60);
    }
    path += "\" stroke=\"black\" stroke-width=\"0.3\" stroke-dasharray=\"0.05\" fill=\"red\" "
            "fill-rule=\"evenodd\"/>";
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"60\" height=\"60\"><defs>" +
           path + "</defs>" + QByteArray("<use xlink:href=\"#p\"/>").repeated(4000) + "</svg>";
}

} // namespace

TEST(DecodeLanesTest, SixtySlowDecodesNeverRunMoreThanThePlacesAtOnce) {
    // Each outlasts the quick lane's stay, so each is moved out of it while it runs: a moved one
    // takes a costly place, never an extra one.
    DecodeLanes lanes(4, 4);
    SlowDecodes decodes(2 * DecodeLanes::quickStayMs + 300);
    for (int i = 0; i < 60; ++i) {
        lanes.submit(decodes.job());
    }
    ASSERT_TRUE(decodes.waitForDone(60, 120000));
    EXPECT_LE(decodes.peak(), lanes.quickSlots() + lanes.costlySlots());
    EXPECT_GE(decodes.peak(), lanes.quickSlots() + 1) << "the stuck ones never left the quick lane";
}

TEST(DecodeLanesTest, TheCostlyPoolRunsAtMostItsPlacesAtOnce) {
    DecodeLanes lanes(1, 2);
    // Each gives its quick try up at once and then holds its costly place until let go.
    std::mutex mutex;
    std::condition_variable changed;
    int quickTries = 0;
    int running = 0;
    int peak = 0;
    int started = 0;
    int released = 0;
    for (int i = 0; i < 6; ++i) {
        lanes.submit([&](DecodeLanes::Lane lane) {
            std::unique_lock lock(mutex);
            if (lane == DecodeLanes::Lane::Quick) {
                ++quickTries;
                changed.notify_all();
                return false;
            }
            const int ticket = started++;
            peak = std::max(peak, ++running);
            changed.notify_all();
            changed.wait(lock, [&] { return released > ticket; });
            --running;
            changed.notify_all();
            return true;
        });
    }
    std::unique_lock lock(mutex);
    // Every quick try is over (each one's end started what the pool had room for) and the pool is
    // full before the first is let go: a third place would have been taken by then.
    ASSERT_TRUE(
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return quickTries == 6 && started >= 2; }));
    for (int i = 0; i < 6; ++i) {
        const int expected = std::min(6, i + 2);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return started >= expected; }))
            << i;
        ++released;
        changed.notify_all();
    }
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return running == 0; }));
    EXPECT_EQ(peak, 2) << "started " << started;
}

TEST(DecodeLanesTest, ADecodeThatCannotBeCutShortLeavesTheQuickLaneAfterASecond) {
    // The quick place is held by a decode that does not end: after a second it moves to the free
    // costly place, and the next decode takes the quick place while it still runs.
    DecodeLanes lanes(1, 1);
    QElapsedTimer clock;
    clock.start();
    Jobs stuck;
    lanes.submit(stuck.job(0));
    ASSERT_TRUE(stuck.waitForStarts(1));
    Jobs next;
    lanes.submit(next.job(1));
    next.letGo();
    ASSERT_TRUE(next.waitForStarts(1, 30000));
    const qint64 waited = clock.elapsed();
    EXPECT_GE(waited, 1000);
    EXPECT_LE(waited, 1000 + slackMs);
    stuck.letGo();
    EXPECT_TRUE(stuck.waitForNoneRunning());
}

TEST(DecodeLanesTest, ADecodeHandedInWhileTheWatchHasLetTheLockGoStillMovesTheStuckOneOn) {
    // The watch moves the stuck first decode on after a second and starts the second, which sticks
    // as well; the room listener it then tells (with the lock let go) hands a third in. The second
    // is moved on a second later and the third runs: the watch counted the third although its
    // wake-up came while it was not waiting (it waited for ever).
    DecodeLanes lanes(1, 2);
    Jobs stuck;
    Jobs third;
    third.letGo();
    std::atomic<bool> armed = false;
    const int listener = lanes.addRoomListener([&] {
        if (armed.exchange(false)) {
            lanes.submit(third.job(2), 1);
        }
    });
    const auto removeListener = qScopeGuard([&] { lanes.removeRoomListener(listener); });
    lanes.submit(stuck.job(0), 1);
    ASSERT_TRUE(stuck.waitForStarts(1));
    lanes.submit(stuck.job(1), 1);
    armed = true;
    ASSERT_TRUE(stuck.waitForStarts(2));
    EXPECT_TRUE(third.waitForStarts(1, 5000));
    stuck.letGo();
    EXPECT_TRUE(stuck.waitForNoneRunning());
}

TEST(DecodeLanesTest, ACostlyDrawingGivesItsQuickPlaceUpAfterAQuarterSecond) {
    // A plain avatar draws in a few milliseconds; a costly document holds a quick place a quarter
    // of a second. The least of three tries is taken: a busy machine only ever adds to it.
    DecodeLanes lanes(1, 1);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<qint64> held;
    int gaveUp = 0;
    for (int i = 0; i < 3; ++i) {
        lanes.submit([&](DecodeLanes::Lane lane) {
            if (lane != DecodeLanes::Lane::Quick) {
                return true;
            }
            QElapsedTimer clock;
            clock.start();
            const DecodeAttempt attempt;
            ImageSVGCoder::createBitmapSVG(slowSvg(), QSizeF(32, 32), true, 0);
            std::lock_guard lock(mutex);
            held.push_back(clock.elapsed());
            gaveUp += attempt.gaveUpAtQuickLimit() ? 1 : 0;
            changed.notify_all();
            return !attempt.gaveUpAtQuickLimit();
        });
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return held.size() == 3; }));
    EXPECT_EQ(gaveUp, 3);
    const qint64 least = *std::min_element(held.begin(), held.end());
    EXPECT_GE(least, 250);
    EXPECT_LE(least, 250 + quickSlackMs);
}

TEST(DecodeLanesTest, TheTeardownAnswersEveryQueuedDecode) {
    auto lanes = std::make_unique<DecodeLanes>(1, 1);
    Jobs running;
    lanes->submit(running.job(0));
    ASSERT_TRUE(running.waitForStarts(1));
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0;
    int decoded = 0;
    for (int i = 0; i < 5; ++i) {
        lanes->submit([&](DecodeLanes::Lane lane) {
            std::lock_guard lock(mutex);
            ++answered;
            decoded += lane == DecodeLanes::Lane::None ? 0 : 1;
            changed.notify_all();
            return true;
        });
    }
    std::thread teardown([&] { lanes.reset(); });
    {
        // The teardown answers the waiting ones before it waits for the running one to end.
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return answered == 5; });
    }
    running.letGo();
    teardown.join();
    std::lock_guard lock(mutex);
    EXPECT_EQ(answered, 5);
    EXPECT_EQ(decoded, 0);
}

namespace {

// Decodes that only note, in order, in which lane each of them was answered.
class Answers {
public:
    using Answer = std::pair<char, DecodeLanes::Lane>;
    DecodeLanes::Job job(char name) {
        return [this, name](DecodeLanes::Lane lane) {
            std::lock_guard lock(m_mutex);
            m_answers.emplace_back(name, lane);
            return true;
        };
    }
    std::vector<Answer> list() {
        std::lock_guard lock(m_mutex);
        return m_answers;
    }
    bool waitFor(size_t count) {
        return test::waitUntil([&] { return list().size() >= count; }, 10000);
    }

private:
    std::mutex m_mutex;
    std::vector<Answer> m_answers;
};

} // namespace

TEST(DecodeLanesTest, PastTheBudgetTheOldestWaitingDecodeIsAnsweredAsNotDrawnAndTheNewestGetsIn) {
    // What the decodes reach outlives the lanes, whose end waits for the decodes; a check that
    // fails ends the test, and the running decode with it.
    Jobs running;
    Answers answers;
    DecodeLanes lanes(1, 1, 100);
    const auto release = qScopeGuard([&] { running.letGo(); });
    lanes.submit(running.job(0));
    ASSERT_TRUE(running.waitForStarts(1));
    lanes.submit(answers.job('b'), 60);
    lanes.submit(answers.job('c'), 30);
    EXPECT_EQ(lanes.waitingBytes(), 90);
    // 150 bytes would wait: the oldest makes room.
    lanes.submit(answers.job('d'), 60);
    EXPECT_EQ(lanes.waitingBytes(), 90);
    ASSERT_EQ(answers.list().size(), 1u);
    EXPECT_EQ(answers.list()[0], std::make_pair('b', DecodeLanes::Lane::None));
    running.letGo();
    ASSERT_TRUE(answers.waitFor(3));
    // The newest first, both decoded.
    EXPECT_EQ(answers.list()[1], std::make_pair('d', DecodeLanes::Lane::Quick));
    EXPECT_EQ(answers.list()[2], std::make_pair('c', DecodeLanes::Lane::Quick));
}

TEST(DecodeLanesTest, RoomHeldForBytesOnTheirWayCountsAsWaitingUntilTheyArriveOrTheHoldGoes) {
    // As above: what the decodes and the listener reach outlives the lanes.
    Jobs running;
    Answers answers;
    std::atomic<int> told{0};
    DecodeLanes lanes(1, 1, 100);
    lanes.addRoomListener([&] { ++told; });
    const auto release = qScopeGuard([&] { running.letGo(); });
    lanes.submit(running.job(0));
    ASSERT_TRUE(running.waitForStarts(1));
    lanes.submit(answers.job('b'), 40);
    auto held = lanes.tryHold(50);
    ASSERT_TRUE(held);
    EXPECT_EQ(lanes.heldBytes(), 50);
    // No room beside what waits and what is held.
    EXPECT_FALSE(lanes.tryHold(20));
    // A decode handed in without a hold makes room by the oldest waiting, never by held room.
    lanes.submit(answers.job('c'), 30);
    ASSERT_EQ(answers.list().size(), 1u);
    EXPECT_EQ(answers.list()[0], std::make_pair('b', DecodeLanes::Lane::None));
    // The held bytes arrive: they take their room and push nothing out.
    lanes.submit(answers.job('d'), 50, std::nullopt, held);
    EXPECT_EQ(lanes.heldBytes(), 0);
    EXPECT_EQ(lanes.waitingBytes(), 80);
    EXPECT_EQ(answers.list().size(), 1u);
    held.reset(); // handed in: nothing to let go
    EXPECT_EQ(lanes.waitingBytes(), 80);

    // A hold that goes unused gives its room back and says so.
    auto unused = lanes.tryHold(20);
    ASSERT_TRUE(unused);
    EXPECT_FALSE(lanes.tryHold(1));
    const int toldBefore = told.load();
    unused.reset();
    EXPECT_EQ(lanes.heldBytes(), 0);
    EXPECT_GT(told.load(), toldBefore);
    EXPECT_TRUE(lanes.tryHold(20));

    // Waiting decodes that take their places make room, and say so.
    const int toldBeforeDecodes = told.load();
    running.letGo();
    ASSERT_TRUE(answers.waitFor(3));
    EXPECT_GT(told.load(), toldBeforeDecodes);
    // With nothing waiting or held, bytes past the whole budget fit.
    EXPECT_TRUE(lanes.tryHold(1000));
}
