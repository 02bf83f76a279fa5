#include "images/download/DecodeLanes.h"

#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/Teardown.h"

#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora::images {

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

struct DecodeLanes::State : std::enable_shared_from_this<DecodeLanes::State> {
    struct Waiting {
        Job job;
        qint64 bytes = 0;
        quint64 asked = 0;
    };
    struct Running {
        Clock::time_point since;
        bool movedToCostly = false;
    };

    const int quickSlots;
    const int costlySlots;
    const qint64 budget;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Waiting> quick;
    std::deque<Waiting> costly;
    qint64 waitingBytes = 0;
    // Room held for bytes on their way, counted with the waiting bytes against the budget.
    qint64 heldBytes = 0;
    std::map<int, std::function<void()>> roomListeners;
    int nextListener = 0;
    // Places taken: a decode moved out of the quick lane while it runs holds a costly one.
    int quickRunning = 0;
    int costlyRunning = 0;
    std::list<Running> inQuickLane;
    bool stopped = false;
    std::thread watch;
    QThreadPool pool;

    State(int quick, int costly, qint64 waitingBudget)
        : quickSlots(std::max(1, quick)), costlySlots(std::max(1, costly)), budget(waitingBudget) {
        // The lanes bound what runs; the pool only lends threads (one that ends a decode starts the
        // next before it is given back).
        pool.setMaxThreadCount(2 * (quickSlots + costlySlots));
        pool.setExpiryTimeout(2000);
    }

    // The one asked for last (or first) of `lane`.
    Waiting take(std::deque<Waiting>& lane, bool newest) {
        auto chosen = lane.begin();
        for (auto it = lane.begin(); it != lane.end(); ++it) {
            if (newest ? it->asked > chosen->asked : it->asked < chosen->asked) {
                chosen = it;
            }
        }
        Waiting taken = std::move(*chosen);
        lane.erase(chosen);
        waitingBytes -= taken.bytes;
        return taken;
    }

    // Under the lock: moves the decodes overdue in the quick lane to the costly places free (only
    // while others wait for a quick place), then starts what fits. Returns when the next one is due,
    // as the lanes are once it has the lock again: what came while it had let it go (a decode
    // handed in, its wake-up sent to nobody) is counted too.
    std::optional<Clock::time_point> startWhatFits(std::unique_lock<std::mutex>& lock) {
        if (!quick.empty()) {
            const auto now = Clock::now();
            for (auto& running : inQuickLane) {
                const auto due = running.since + std::chrono::milliseconds(quickStayMs);
                if (!running.movedToCostly && due <= now && costlyRunning < costlySlots) {
                    running.movedToCostly = true;
                    --quickRunning;
                    ++costlyRunning;
                }
            }
        }
        std::vector<std::function<void()>> toStart;
        const qint64 waitingBefore = waitingBytes;
        while (!stopped && quickRunning < quickSlots && !quick.empty()) {
            Waiting waiting = take(quick, true);
            ++quickRunning;
            const auto place = inQuickLane.insert(inQuickLane.end(), Running{Clock::now()});
            toStart.push_back([self = shared_from_this(), waiting = std::move(waiting), place] {
                self->runQuick(waiting, place);
            });
        }
        while (!stopped && costlyRunning < costlySlots && !costly.empty()) {
            Waiting waiting = take(costly, false);
            ++costlyRunning;
            toStart.push_back(
                [self = shared_from_this(), waiting = std::move(waiting)] { self->runCostly(waiting.job); });
        }
        // What started left room for what waits for it.
        std::vector<std::function<void()>> listeners;
        if (waitingBytes < waitingBefore) {
            listeners = listenersLocked();
        }
        lock.unlock();
        for (auto& start : toStart) {
            pool.start(std::move(start));
        }
        changed.notify_all();
        for (const auto& listener : listeners) {
            listener();
        }
        lock.lock();
        return nextDue();
    }

    // Under the lock: when the next decode overdue in the quick lane is to move, while others wait
    // for a quick place. One overdue already moves now where a costly place is free, else once
    // one frees (its end starts what fits).
    std::optional<Clock::time_point> nextDue() const {
        if (quick.empty()) {
            return std::nullopt;
        }
        const auto now = Clock::now();
        std::optional<Clock::time_point> next;
        for (const auto& running : inQuickLane) {
            const auto due = running.since + std::chrono::milliseconds(quickStayMs);
            if (running.movedToCostly || (due <= now && costlyRunning >= costlySlots)) {
                continue;
            }
            if (!next || due < *next) {
                next = due;
            }
        }
        return next;
    }

    // Under the lock: those to tell that room may have been made, told once the lock is let go.
    std::vector<std::function<void()>> listenersLocked() const {
        std::vector<std::function<void()>> listeners;
        listeners.reserve(roomListeners.size());
        for (const auto& [id, listener] : roomListeners) {
            listeners.push_back(listener);
        }
        return listeners;
    }

    // Whether `bytes` fit beside what waits and is held: bytes past the whole budget fit once
    // nothing else waits or is held, as the newest decode always gets in.
    bool fits(qint64 bytes) const {
        return waitingBytes + heldBytes + bytes <= budget || (waitingBytes == 0 && heldBytes == 0);
    }

    void runQuick(const Waiting& waiting, std::list<Running>::iterator place) {
        bool done = true;
        {
            const DecodeAttempt attempt(quickDrawingMs);
            done = waiting.job(Lane::Quick);
        }
        std::unique_lock lock(mutex);
        if (place->movedToCostly) {
            --costlyRunning;
        } else {
            --quickRunning;
        }
        inQuickLane.erase(place);
        if (!done) {
            costly.push_back(waiting);
            waitingBytes += waiting.bytes;
        }
        startWhatFits(lock);
    }

    void runCostly(const Job& job) {
        job(Lane::Costly);
        std::unique_lock lock(mutex);
        --costlyRunning;
        startWhatFits(lock);
    }

    // Moves a decode that stayed in the quick lane too long to a costly place, while others wait
    // for a quick place.
    void watchTheQuickLane() {
        std::unique_lock lock(mutex);
        while (!stopped) {
            const auto next = startWhatFits(lock);
            if (stopped) {
                break;
            }
            if (next) {
                changed.wait_until(lock, *next);
            } else {
                changed.wait(lock);
            }
        }
    }

    void stop() {
        std::deque<Waiting> unanswered;
        {
            std::lock_guard lock(mutex);
            stopped = true;
            std::move(quick.begin(), quick.end(), std::back_inserter(unanswered));
            std::move(costly.begin(), costly.end(), std::back_inserter(unanswered));
            quick.clear();
            costly.clear();
            waitingBytes = 0;
        }
        changed.notify_all();
        std::vector<std::function<void()>> listeners;
        {
            std::lock_guard lock(mutex);
            listeners = listenersLocked();
        }
        // Whoever waits for room waits no longer: what it hands in now is answered at once.
        for (const auto& listener : listeners) {
            listener();
        }
        // Nothing waiting is decoded any more, but each caller hears that it was not drawn.
        for (const auto& waiting : unanswered) {
            waiting.job(Lane::None);
        }
        if (watch.joinable()) {
            watch.join();
        }
        // A drawing in flight gives up at the teardown; a decode in this process ends by its bounds.
        pool.waitForDone(5000);
    }
};

DecodeLanes::DecodeLanes(int quickSlots, int costlySlots, qint64 waitingBytesBudget)
    : m_state(std::make_shared<State>(quickSlots, costlySlots, waitingBytesBudget)) {
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

DecodeLanes::Hold::~Hold() {
    const auto state = m_state.lock();
    if (!state) {
        return;
    }
    std::vector<std::function<void()>> listeners;
    {
        std::lock_guard lock(state->mutex);
        if (m_handedIn) {
            return;
        }
        state->heldBytes -= m_bytes;
        listeners = state->listenersLocked();
    }
    for (const auto& listener : listeners) {
        listener();
    }
}

std::shared_ptr<DecodeLanes::Hold> DecodeLanes::tryHold(qint64 bytes) {
    bytes = std::max<qint64>(bytes, 0);
    std::lock_guard lock(m_state->mutex);
    if (!m_state->stopped && !m_state->fits(bytes)) {
        return nullptr;
    }
    m_state->heldBytes += bytes;
    return std::shared_ptr<Hold>(new Hold(m_state, bytes));
}

int DecodeLanes::addRoomListener(std::function<void()> listener) {
    std::lock_guard lock(m_state->mutex);
    const int id = ++m_state->nextListener;
    m_state->roomListeners.emplace(id, std::move(listener));
    return id;
}

void DecodeLanes::removeRoomListener(int id) {
    std::lock_guard lock(m_state->mutex);
    m_state->roomListeners.erase(id);
}

void DecodeLanes::submit(Job job, qint64 bytes, std::optional<quint64> asked,
                         const std::shared_ptr<Hold>& hold) {
    std::unique_lock lock(m_state->mutex);
    if (hold && !hold->m_handedIn && hold->m_state.lock() == m_state) {
        hold->m_handedIn = true;
        m_state->heldBytes -= hold->m_bytes;
    }
    if (m_state->stopped) {
        lock.unlock();
        // Nothing decodes after the teardown; the caller still hears of it.
        job(Lane::None);
        return;
    }
    m_state->quick.push_back({std::move(job), std::max<qint64>(bytes, 0), asked ? *asked : askedNow()});
    m_state->waitingBytes += m_state->quick.back().bytes;
    // Room for the newest: the oldest that gave their quick try up go first, then the oldest asked
    // of those not tried yet.
    std::vector<Job> dropped;
    while (m_state->waitingBytes + m_state->heldBytes > m_state->budget &&
           m_state->quick.size() + m_state->costly.size() > 1) {
        auto& from = m_state->costly.empty() ? m_state->quick : m_state->costly;
        dropped.push_back(m_state->take(from, false).job);
    }
    m_state->startWhatFits(lock);
    lock.unlock();
    for (const auto& oldest : dropped) {
        oldest(Lane::None);
    }
}

quint64 DecodeLanes::askedNow() {
    static std::atomic<quint64> last{0};
    return ++last;
}

int DecodeLanes::quickSlots() const {
    return m_state->quickSlots;
}

int DecodeLanes::costlySlots() const {
    return m_state->costlySlots;
}

qint64 DecodeLanes::waitingBytes() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->waitingBytes;
}

qint64 DecodeLanes::heldBytes() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->heldBytes;
}

qint64 DecodeLanes::waitingBytesBudget() const {
    return m_state->budget;
}

} // namespace velmora::images
