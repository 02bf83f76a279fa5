#include "images/download/DecodeLanes.h"

#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/Teardown.h"

#include <QThreadPool>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

namespace velmora::images {

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

struct DecodeLanes::State : std::enable_shared_from_this<DecodeLanes::State> {
    struct Running {
        Clock::time_point since;
        bool countedCostly = false;
    };

    const int quickSlots;
    const int costlySlots;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> quick;
    std::deque<Job> costly;
    int quickRunning = 0;
    int costlyRunning = 0;
    std::list<Running> inQuickLane;
    bool stopped = false;
    std::thread watch;
    QThreadPool pool;

    State(int quick, int costly) : quickSlots(std::max(1, quick)), costlySlots(std::max(1, costly)) {
        // The lanes bound what runs; the pool only lends threads (a decode counted as costly
        // while it still runs may leave one more thread busy than the lanes hold).
        pool.setMaxThreadCount(64);
        pool.setExpiryTimeout(2000);
    }

    // Under the lock: what may start now.
    void startWhatFits(std::unique_lock<std::mutex>& lock) {
        std::vector<std::function<void()>> toStart;
        while (!stopped && quickRunning < quickSlots && !quick.empty()) {
            Job job = std::move(quick.back());
            quick.pop_back();
            ++quickRunning;
            const auto place = inQuickLane.insert(inQuickLane.end(), Running{Clock::now()});
            toStart.push_back(
                [self = shared_from_this(), job = std::move(job), place] { self->runQuick(job, place); });
        }
        while (!stopped && costlyRunning < costlySlots && !costly.empty()) {
            Job job = std::move(costly.front());
            costly.pop_front();
            ++costlyRunning;
            toStart.push_back([self = shared_from_this(), job = std::move(job)] { self->runCostly(job); });
        }
        lock.unlock();
        for (auto& start : toStart) {
            pool.start(std::move(start));
        }
        changed.notify_all();
        lock.lock();
    }

    void runQuick(const Job& job, std::list<Running>::iterator place) {
        bool done = true;
        {
            const DecodeAttempt attempt(quickDrawingMs);
            done = job(true);
        }
        std::unique_lock lock(mutex);
        if (place->countedCostly) {
            --costlyRunning;
        } else {
            --quickRunning;
        }
        inQuickLane.erase(place);
        if (!done) {
            costly.push_back(job);
        }
        startWhatFits(lock);
    }

    void runCostly(const Job& job) {
        job(false);
        std::unique_lock lock(mutex);
        --costlyRunning;
        startWhatFits(lock);
    }

    // Counts a decode that stayed in the quick lane too long as costly, while others wait for a
    // quick place.
    void watchTheQuickLane() {
        std::unique_lock lock(mutex);
        while (!stopped) {
            std::optional<Clock::time_point> next;
            if (!quick.empty()) {
                for (auto& running : inQuickLane) {
                    if (running.countedCostly) {
                        continue;
                    }
                    const auto due = running.since + std::chrono::milliseconds(quickStayMs);
                    if (due <= Clock::now()) {
                        running.countedCostly = true;
                        --quickRunning;
                        ++costlyRunning;
                    } else if (!next || due < *next) {
                        next = due;
                    }
                }
                startWhatFits(lock);
            }
            if (next) {
                changed.wait_until(lock, *next);
            } else {
                changed.wait(lock);
            }
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopped = true;
            quick.clear();
            costly.clear();
        }
        changed.notify_all();
        if (watch.joinable()) {
            watch.join();
        }
        // A drawing in flight gives up at the teardown; a decode in this process ends by its bounds.
        pool.waitForDone(5000);
    }
};

DecodeLanes::DecodeLanes(int quickSlots, int costlySlots)
    : m_state(std::make_shared<State>(quickSlots, costlySlots)) {
    m_state->watch = std::thread([state = m_state.get()] { state->watchTheQuickLane(); });
}

DecodeLanes::~DecodeLanes() {
    m_state->stop();
}

DecodeLanes& DecodeLanes::shared() {
    // Never destroyed: its threads end at the teardown, before the statics they use go.
    static DecodeLanes* lanes = [] {
        const int drawings = VectorRenderHost::maxBusyProcesses();
        const int costly = std::max(1, drawings / 2);
        auto* created = new DecodeLanes(std::max(1, drawings - costly), costly);
        Teardown::add(Teardown::Stage::Work, [state = created->m_state] { state->stop(); });
        return created;
    }();
    return *lanes;
}

void DecodeLanes::submit(Job job) {
    std::unique_lock lock(m_state->mutex);
    if (m_state->stopped) {
        lock.unlock();
        // Nothing decodes after the teardown; the caller still hears of it.
        job(false);
        return;
    }
    m_state->quick.push_back(std::move(job));
    m_state->startWhatFits(lock);
}

int DecodeLanes::quickSlots() const {
    return m_state->quickSlots;
}

int DecodeLanes::costlySlots() const {
    return m_state->costlySlots;
}

} // namespace velmora::images
