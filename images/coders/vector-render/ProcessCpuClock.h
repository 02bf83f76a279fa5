#pragma once

#include <QtGlobal>

#include <ctime>

#include <sys/types.h>

namespace velmora::images {

// The CPU time of the whole drawing process (Qt hands some of a drawing's work to threads of its
// own), the one measure of what a document costs. Read with clock_gettime() alone, so the
// program's budget signal handler reads it too.
inline timespec processCpuNow() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now;
}

inline qint64 processCpuMsSince(const timespec& start) {
    const timespec now = processCpuNow();
    return qint64(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// The CPU time another process has used so far (all its threads'), in milliseconds, read from its
// CPU clock by its id (no file, no wake-up of it; also once it has ended, until it is waited for);
// -1 when it cannot be read.
inline qint64 processCpuMsOf(pid_t pid) {
    clockid_t clock{};
    timespec used{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
        return -1;
    }
    return qint64(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
}

} // namespace velmora::images
