#include "images/download/DecodeLanes.h"
#include "images/core/DecodeAttempt.h"

#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

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
        return [this, id, costly](bool quick) {
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
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_started.size() >= count; });
    }
    bool waitForNoneRunning() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_running == 0; });
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

TEST(DecodeLanesTest, ADecodeThatCannotBeCutShortLeavesTheQuickLaneToTheNextOne) {
    DecodeLanes lanes(1, 1);
    Jobs stuck;
    lanes.submit(stuck.job(0));
    ASSERT_TRUE(stuck.waitForStarts(1));
    // The quick place is held by a decode that does not end: after a while it counts as costly,
    // and the next decode takes the quick place while it still runs.
    Jobs next;
    lanes.submit(next.job(1));
    next.letGo();
    EXPECT_TRUE(next.waitForStarts(1, DecodeLanes::quickStayMs * 10));
    EXPECT_EQ(stuck.started().size(), 1u);
    stuck.letGo();
    EXPECT_TRUE(stuck.waitForNoneRunning());
}
