#pragma once

#include <QtGlobal>

#include <ctime>

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

} // namespace velmora::images
