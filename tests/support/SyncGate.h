#pragma once

// Holds a test program's fsyncs for as long as a test likes, as a disk that takes its time
// would: the writer that syncs waits, everything else goes on.
//
// Include it in one file of a test program only: it defines the program's fsync and
// fdatasync (the program's own definitions are the ones the linker binds), which pass every
// sync through while no gate is closed.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

namespace velmora::test {

namespace syncgate {
inline std::mutex lock;
inline std::condition_variable changed;
inline bool closed = false;
inline int held = 0;
} // namespace syncgate

// Holds every sync of the process from its making until `open` or its end.
class SyncGate {
public:
    SyncGate() {
        std::lock_guard lock(syncgate::lock);
        syncgate::closed = true;
    }
    ~SyncGate() { open(); }
    SyncGate(const SyncGate&) = delete;
    SyncGate& operator=(const SyncGate&) = delete;

    // Whether a sync is held at the gate (waits a minute at most for one).
    bool waitForASync() {
        std::unique_lock lock(syncgate::lock);
        return syncgate::changed.wait_for(lock, std::chrono::minutes(1), [] { return syncgate::held > 0; });
    }
    void open() {
        std::lock_guard lock(syncgate::lock);
        syncgate::closed = false;
        syncgate::changed.notify_all();
    }
};

} // namespace velmora::test

namespace velmora::test::syncgate {
// Waits while the gate is closed.
inline void pass() {
    std::unique_lock guard(lock);
    if (closed) {
        ++held;
        changed.notify_all();
        changed.wait(guard, [] { return !closed; });
        --held;
    }
}
} // namespace velmora::test::syncgate

extern "C" int fsync(int fd) {
    velmora::test::syncgate::pass();
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
    velmora::test::syncgate::pass();
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
