#include "images/coders/vector-render/DrawingProcessPool.h"

#include "images/coders/vector-render/DrawingMemoryShare.h"
#include "images/coders/vector-render/DrawingTemplates.h"
#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/core/Teardown.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace velmora::images {

namespace {

using Process = DrawingProcess;
struct IdleProcess {
    Process process;
    std::chrono::steady_clock::time_point since;
    // The document it drew (see documentKey), the only one it is given again.
    QByteArray document;
    // Its CPU time when it was given back, in milliseconds.
    qint64 cpuMs = 0;
    // Whether it has been seen stopped since its answer (see hasStopped): until it is, the reaper
    // looks again at `since` and VectorRenderHost::stopWithinMs, and ends it then if it is not.
    bool stopped = false;
    // A timer of its CPU clock (see watchCpu), deleted as it leaves the idle ones.
    std::optional<timer_t> cpuWatch;
};

// Whether a process of this one's has stopped itself, as a drawing process does once its answer is
// written: its stop waits to be told to its parent, and is left so (WNOWAIT).
bool hasStopped(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid &&
           info.si_code == CLD_STOPPED;
}

// Whether the process stops itself by `until` (it writes its answer a moment before it stops, and
// the asking side has read it by then): looked at again and again, letting it run, a while apart
// once it takes longer than a moment.
bool stopsBy(pid_t pid, std::chrono::steady_clock::time_point until) {
    for (int look = 0;; ++look) {
        if (hasStopped(pid)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        if (look < 32) {
            sched_yield();
        } else {
            const timespec moment{0, look < 64 ? 30000 : 500000};
            ::nanosleep(&moment, nullptr);
        }
    }
}

// The CPU time a process may have used and still be kept to draw its document again: what the
// kernel leaves it (VectorRenderProtocol::processCpuSeconds) holds another drawing's budget, with
// room for the kernel's accounting, which ends it only at a tick.
constexpr qint64 reusableCpuMs =
    qint64(VectorRenderProtocol::processCpuSeconds) * 1000 - VectorRenderProtocol::cpuBudgetMs - 250;
// What an idle process may use between its answer and the next request: the end of its answer's
// write and of the drawing's clean-up, a fraction of this. One that used more ran on after its
// answer (a renderer taken over) and is ended, never asked again.
constexpr qint64 idleCpuSlackMs = 50;

// The anonymous memory a process holds now (what its copy of the template wrote, and all it took
// since), in bytes; 0 when it cannot be read.
quint64 anonymousMemoryOf(pid_t pid) {
    // Read as it is, without Qt: this is asked after each drawing kept.
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/statm", int(pid));
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return 0;
    }
    char text[128];
    const ssize_t read = ::read(file, text, sizeof text - 1);
    ::close(file);
    if (read <= 0) {
        return 0;
    }
    text[read] = '\0';
    // Pages: all, resident, resident shared with files ...
    char* next = nullptr;
    (void)std::strtoll(text, &next, 10);
    const long long resident = std::strtoll(next, &next, 10);
    const long long shared = std::strtoll(next, &next, 10);
    return resident > shared ? quint64(resident - shared) * quint64(::sysconf(_SC_PAGESIZE)) : 0;
}

// What an idle process may hold to be kept: half of what a process may hold. It is kept to draw
// its document again within moments, which saves a copy's start (a few milliseconds); one that took
// more to draw gives it back now, not at the end of its idle time, and the copies that start
// meanwhile find it free.
quint64 keptMemoryAtMost() {
    return DrawingMemoryShare::current().perCopy / 2;
}

void cpuWatchFired(sigval);

// A timer of the process's CPU clock that fires once it has used `cpuMs` and its slack: kept idle,
// it is stopped and uses none, so it fires only when something continued the process (a timer of
// its own, another program of the user, a shell's job control) and it runs on. The reaper ends it
// then, rather than whoever asks for it next. Nothing when the kernel makes none.
std::optional<timer_t> watchCpu(pid_t pid, qint64 cpuMs) {
    clockid_t clock{};
    if (::clock_getcpuclockid(pid, &clock) != 0) {
        return std::nullopt;
    }
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = cpuWatchFired;
    timer_t timer{};
    if (::timer_create(clock, &event, &timer) != 0) {
        return std::nullopt;
    }
    // Just past its slack, and again every few milliseconds of its CPU time until it is ended.
    const qint64 at = cpuMs + idleCpuSlackMs + 1;
    itimerspec when{};
    when.it_value.tv_sec = time_t(at / 1000);
    when.it_value.tv_nsec = long(at % 1000) * 1000000;
    when.it_interval.tv_nsec = 10 * 1000000;
    if (::timer_settime(timer, TIMER_ABSTIME, &when, nullptr) != 0) {
        ::timer_delete(timer);
        return std::nullopt;
    }
    return timer;
}

// The process of an idle one that leaves them, its timer deleted.
Process leaving(IdleProcess& idle) {
    if (idle.cpuWatch) {
        ::timer_delete(*idle.cpuWatch);
        idle.cpuWatch.reset();
    }
    return idle.process;
}

// Whether an idle process ran on: it used more than its slack since its answer.
bool ranOn(const IdleProcess& idle) {
    const qint64 cpuMs = processCpuMsOf(idle.process.pid);
    return cpuMs < 0 || cpuMs - idle.cpuMs > idleCpuSlackMs;
}

struct Pool {
    std::mutex mutex;
    std::condition_variable slotFreed;
    // Wakes the reaper when its next end comes sooner, or at the teardown.
    std::condition_variable reaperWake;
    // The one used last at the back: taken first, so the front is idle longest.
    std::deque<IdleProcess> idle;
    // Processes drawing now: each may hold its address-space limit of memory until it is killed,
    // so no more draw at once than the machine has cores.
    int busy = 0;
    std::chrono::milliseconds idleExit{VectorRenderHost::idleExitMs};
    // How long the asking side waits for an answer (a test may wait longer).
    std::atomic<int> answerDeadlineMs{VectorRenderProtocol::answerDeadlineMs};
    // Runs while processes are idle, asleep until the front one's time is up.
    std::thread reaper;
    bool reaping = false;
    bool stopped = false;
    VectorRenderHost::Counts counts;
};

Pool& pool();

// Ends every process the pool keeps idle (outside its lock: each end waits for the process).
void endIdle(Pool& shared) {
    std::deque<IdleProcess> idle;
    {
        std::lock_guard lock(shared.mutex);
        idle.swap(shared.idle);
        shared.counts.alive -= int(idle.size());
    }
    for (IdleProcess& waiting : idle) {
        Process process = leaving(waiting);
        DrawingProcess::end(process);
    }
}

void reap() {
    // Named so that a look at the app's threads tells what this one waits for.
    pthread_setname_np(pthread_self(), "vector-idle");
    auto& shared = pool();
    std::unique_lock lock(shared.mutex);
    while (!shared.stopped && !shared.idle.empty()) {
        const auto now = std::chrono::steady_clock::now();
        // Those that ran on since their answer (their CPU clock's timer woke this), and those not
        // yet seen stopped once their time to stop is up: stopped, or ended.
        std::optional<Process> ended;
        auto due = shared.idle.front().since + shared.idleExit;
        for (auto it = shared.idle.begin(); it != shared.idle.end(); ++it) {
            if (ranOn(*it)) {
                ended = leaving(*it);
                shared.idle.erase(it);
                break;
            }
            if (it->stopped) {
                continue;
            }
            const auto stopDue = it->since + std::chrono::milliseconds(VectorRenderHost::stopWithinMs);
            if (now < stopDue) {
                due = std::min(due, stopDue);
            } else if (hasStopped(it->process.pid)) {
                it->stopped = true;
            } else {
                ended = leaving(*it);
                shared.idle.erase(it);
                break;
            }
        }
        if (!ended && now < due) {
            shared.reaperWake.wait_until(lock, due);
            continue;
        }
        Process process = ended ? *ended : leaving(shared.idle.front());
        if (!ended) {
            shared.idle.pop_front();
        }
        --shared.counts.alive;
        lock.unlock();
        DrawingProcess::end(process);
        lock.lock();
    }
    shared.reaping = false;
}

Pool& pool() {
    // Never destroyed: the teardown step may run after statics are gone.
    static Pool* instance = [] {
        auto* created = new Pool;
        Teardown::add(Teardown::Stage::DrawingProcesses, [created] {
            std::thread reaper;
            {
                std::lock_guard lock(created->mutex);
                created->stopped = true;
                reaper.swap(created->reaper);
            }
            created->reaperWake.notify_all();
            endIdle(*created);
            if (reaper.joinable()) {
                reaper.join();
            }
            DrawingTemplates::endAll();
        });
        return created;
    }();
    return *instance;
}

// Whether an idle process has said nothing since its last answer: anything it sent unasked
// (or its end) would otherwise be read as the answer to the next request.
bool saidNothing(const Process& process) {
    pollfd entry{process.socket, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 0;
}

void cpuWatchFired(sigval) {
    // Under the lock: the reaper is then either asleep or about to look again, never between.
    auto& shared = pool();
    std::lock_guard lock(shared.mutex);
    shared.reaperWake.notify_all();
}

} // namespace

// A process for the document `key` names: an idle one that drew that very document, if it has
// said nothing and used no CPU time since, or a new one. A process never draws another document
// than its first: one taken over by a hostile document could answer the next ones as it pleased.
// Before a new one starts, the idle process kept longest is ended when the processes alive would
// otherwise be more than the drawing slots.
std::optional<DrawingProcess> DrawingProcessPool::take(const QByteArray& key, const QDeadlineTimer& deadline,
                                                       VectorRenderHost::Failure* failure) {
    auto& shared = pool();
    std::optional<IdleProcess> kept;
    std::optional<Process> oldest;
    {
        std::lock_guard lock(shared.mutex);
        if (shared.stopped) {
            *failure = VectorRenderHost::Failure::TornDown;
            return std::nullopt;
        }
        for (auto it = shared.idle.rbegin(); it != shared.idle.rend(); ++it) {
            if (it->document == key) {
                kept = *it;
                leaving(*kept);
                shared.idle.erase(std::next(it).base());
                break;
            }
        }
        if (!kept && !shared.idle.empty() &&
            shared.busy + int(shared.idle.size()) > VectorRenderHost::maxBusyProcesses()) {
            oldest = leaving(shared.idle.front());
            shared.idle.pop_front();
        }
    }
    if (oldest) {
        retire(*oldest);
    }
    if (kept) {
        // Stopped since its answer and still (nothing continued it), silent, and no CPU time used:
        // continued, and asked. One not seen stopped yet (on a busy machine) is waited for as long
        // as its time to stop.
        const pid_t pid = kept->process.pid;
        const bool stopped =
            kept->stopped
                ? hasStopped(pid)
                : stopsBy(pid, kept->since + std::chrono::milliseconds(VectorRenderHost::stopWithinMs));
        if (stopped && saidNothing(kept->process) && !ranOn(*kept) && ::kill(pid, SIGCONT) == 0) {
            return kept->process;
        }
        retire(kept->process);
    }
    return DrawingTemplates::startDrawingProcess(deadline, failure);
}

// A drawing slot; none when the teardown begins, or when every slot stays taken for as long as a
// drawing and the start of its process may take (each is given back by then, so only a flood of
// drawings waits this long).
bool DrawingProcessPool::takeSlot() {
    auto& shared = pool();
    const QDeadlineTimer deadline(VectorRenderHost::startDeadlineMs + shared.answerDeadlineMs.load());
    std::unique_lock lock(shared.mutex);
    while (shared.busy >= VectorRenderHost::maxBusyProcesses()) {
        if (shared.stopped || Teardown::hasBegun() || deadline.hasExpired()) {
            return false;
        }
        shared.slotFreed.wait_for(lock, std::chrono::milliseconds(DrawingProcess::teardownPollMs));
    }
    ++shared.busy;
    shared.counts.mostBusy = std::max(shared.counts.mostBusy, shared.busy);
    ++shared.counts.requests;
    return true;
}

void DrawingProcessPool::giveBackSlot() {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        --shared.busy;
    }
    shared.slotFreed.notify_one();
}

// Keeps a process that drew well for its document, while what the kernel leaves it of its CPU
// time holds another drawing and it holds little of its memory: each one alive held a drawing
// slot when it started, and a start ends the oldest idle one when more would be alive than the
// slots. Kept, it is stopped (by itself, after its answer): it runs only while it draws, and is
// ended once it runs on (see watchCpu).
void DrawingProcessPool::giveBack(DrawingProcess process, const QByteArray& key) {
    auto& shared = pool();
    std::thread finished;
    // Looked at once, and once more after letting it run: what has not stopped by then is left
    // to the reaper (the asking side waits for no process it is done with).
    const bool stopped = hasStopped(process.pid) || (sched_yield(), hasStopped(process.pid));
    const qint64 cpuMs = processCpuMsOf(process.pid);
    std::optional<timer_t> cpuWatch;
    if (cpuMs >= 0 && cpuMs <= reusableCpuMs && anonymousMemoryOf(process.pid) <= keptMemoryAtMost()) {
        cpuWatch = watchCpu(process.pid, cpuMs);
    }
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.stopped && cpuWatch) {
            if (!shared.reaping) {
                // The last reaper left when the pool emptied (or never ran): it is done or
                // about to return.
                finished.swap(shared.reaper);
                try {
                    shared.reaper = std::thread(reap);
                    shared.reaping = true;
                } catch (const std::system_error&) {
                    // No thread to end it later: the process is not kept.
                }
            }
            if (shared.reaping) {
                shared.idle.push_back({process, std::chrono::steady_clock::now(), key, cpuMs, stopped,
                                       std::exchange(cpuWatch, {})});
                process = Process{};
                if (!stopped) {
                    // Looked at again once its time to stop is up.
                    shared.reaperWake.notify_all();
                }
            }
        }
    }
    if (finished.joinable()) {
        finished.join();
    }
    if (cpuWatch) {
        ::timer_delete(*cpuWatch);
    }
    if (process.pid > 0) {
        retire(process);
    }
}

int DrawingProcessPool::retire(DrawingProcess& process) {
    // Waited for: a process holds its memory until it is gone, and no more are alive at once than
    // the slots.
    const int status = DrawingProcess::end(process);
    std::lock_guard lock(pool().mutex);
    --pool().counts.alive;
    return status;
}

void DrawingProcessPool::endIdle() {
    images::endIdle(pool());
}

int DrawingProcessPool::answerDeadlineMs() {
    return pool().answerDeadlineMs.load();
}

void DrawingProcessPool::setAnswerDeadlineMs(int milliseconds) {
    pool().answerDeadlineMs.store(milliseconds);
}

void DrawingProcessPool::setIdleExit(std::chrono::milliseconds idle) {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        shared.idleExit = idle;
    }
    shared.reaperWake.notify_all();
}

void DrawingProcessPool::count(int VectorRenderHost::Counts::*what) {
    std::lock_guard lock(pool().mutex);
    ++(pool().counts.*what);
}

void DrawingProcessPool::noteStarted() {
    std::lock_guard lock(pool().mutex);
    ++pool().counts.started;
    ++pool().counts.alive;
}

VectorRenderHost::Counts DrawingProcessPool::takeCounts() {
    auto& shared = pool();
    std::lock_guard lock(shared.mutex);
    const VectorRenderHost::Counts counts = shared.counts;
    shared.counts.started = 0;
    shared.counts.requests = 0;
    shared.counts.refused = 0;
    shared.counts.sent = 0;
    shared.counts.programs = 0;
    shared.counts.mostBusy = shared.busy;
    return counts;
}

} // namespace velmora::images
