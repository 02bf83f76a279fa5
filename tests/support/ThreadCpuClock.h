#pragma once

#include <QtGlobal>

#include <algorithm>
#include <ctime>

namespace velmora::test {

// Time this thread spent working, so that other processes on a busy machine don't
// count against a time bound.
class ThreadCpuClock {
public:
    ThreadCpuClock() { restart(); }
    void restart() { m_start = now(); }
    // Milliseconds since the start.
    qint64 elapsed() const { return (now() - m_start) / 1000000; }
    // Microseconds since the start, for work that takes well under a millisecond.
    qint64 elapsedMicroseconds() const { return (now() - m_start) / 1000; }

private:
    static qint64 now() {
        timespec time{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
        return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
    }
    qint64 m_start = 0;
};

// The least milliseconds of this thread's CPU that `work` takes in up to `rounds` runs, stopping at
// the first within `bound`: a busy machine slows a run now and then (its caches, not this
// thread's clock), never every one, while work that costs more than the bound does in each run.
template <typename Work> qint64 leastCpuMilliseconds(Work&& work, qint64 bound, int rounds = 3) {
    qint64 least = -1;
    for (int round = 0; round < rounds && (least < 0 || least >= bound); ++round) {
        ThreadCpuClock clock;
        work();
        const qint64 spent = clock.elapsed();
        least = least < 0 ? spent : std::min(least, spent);
    }
    return least;
}

// A time bound that holds for an optimised build. An unoptimised build under the
// sanitizers does the same work 10 to 50 times slower; there the bound only guards
// against the runaway cases (each of which took seconds to minutes before it was
// bounded).
constexpr qint64 cpuBudget(qint64 milliseconds) {
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
    return milliseconds * 10;
#else
    return milliseconds;
#endif
}

} // namespace velmora::test
