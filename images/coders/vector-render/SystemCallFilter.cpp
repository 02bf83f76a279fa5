#include "images/coders/vector-render/SystemCallFilter.h"

#include <seccomp.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#ifndef PR_SET_VMA
#define PR_SET_VMA 0x53564d41
#endif

namespace velmora::images {

namespace {

// Set once the filter holds: the leak checker of a sanitised build traces the process from a
// helper process at its end, which the filter refuses.
std::atomic<bool> filtered{false};

// The system calls drawing and the protocol make, whatever their arguments: no more (each other
// call a library might probe for fails with EPERM, which it takes as the call's absence).
// clang-format off
const char* const allowedCalls[] = {
    // Files opened for reading (see the rules on open below), and what is asked of them.
    "read", "readv", "pread64", "preadv", "preadv2", "lseek", "close", "close_range", "fstat", "newfstatat",
    "stat", "lstat", "statx", "fstatfs", "statfs", "access", "faccessat", "faccessat2", "readlink",
    "readlinkat", "getdents", "getdents64", "getcwd", "fadvise64", "dup", "dup2", "dup3",
    // The protocol's socket (given, never made; see the rules on send and receive below) and the
    // error stream.
    "write", "writev", "poll", "ppoll",
    // Qt converts and scales a large image on the threads of its pool, and each thread makes an
    // event dispatcher, which is woken through an eventfd (without one it ends the process).
    "eventfd2",
    // Memory (see the rules on mmap below).
    "brk", "munmap", "mremap", "mprotect", "madvise",
    // Threads of this process, and their waits (the clocks they wait on are below).
    "futex", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "sched_yield",
    "sched_get_priority_max", "sched_get_priority_min", "nanosleep", "gettimeofday", "time",
    // Who and where this process is.
    "getpid", "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid",
    "getgroups", "uname", "getrandom", "getrlimit", "getrusage",
    // Signals within this process (those to a process are below), and the budget's timers, made
    // before the filter (no timer is made after it).
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigpending", "rt_sigtimedwait", "sigaltstack",
    "restart_syscall", "timer_settime", "timer_gettime", "timer_getoverrun", "timer_delete",
    "exit", "exit_group",
};
// clang-format on

// Adds `name` with `action` under `conditions`; a call this architecture does not have is left
// out. False when the filter refused the rule.
bool addRule(scmp_filter_ctx filter, uint32_t action, const char* name,
             std::initializer_list<scmp_arg_cmp> conditions = {}) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR || call < 0) {
        return true;
    }
    return seccomp_rule_add_array(filter, action, call, unsigned(conditions.size()),
                                  conditions.size() ? conditions.begin() : nullptr) == 0;
}

bool kernelHasSeccompFilters() {
    // A kernel without seccomp knows no such question.
    return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

// Where the filter compares a signal's target with this process's id: the filter is built once
// (libseccomp takes milliseconds to build it) with this in its place, and each process puts its
// own id there. No process id reaches it (they stay below 2^22).
constexpr quint32 ownIdPlaceholder = 0x3c5ee1f5;

// The first real-time signal as the kernel numbers it (the C library keeps the first two for
// itself): signals below it are pending once at most.
constexpr scmp_datum_t firstRealTimeSignal = 32;
// The clocks named by number (CLOCK_REALTIME to CLOCK_TAI and room for more): a process's or
// thread's CPU clock by its id is a negative number.
constexpr scmp_datum_t namedClocks = 16;

} // namespace

std::optional<SystemCallFilter::Program> SystemCallFilter::build() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter) {
        return std::nullopt;
    }
    bool ok = true;
    // A binary tree rather than a list of calls.
    (void)seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const char* name : allowedCalls) {
        ok = ok && addRule(filter, SCMP_ACT_ALLOW, name);
    }
#if defined(__SANITIZE_ADDRESS__)
    // A sanitised build's checks (of an object's type before a call on it) learn whether memory
    // can be read by writing it to a pipe; drawing itself makes none.
    for (const char* name : {"pipe", "pipe2"}) {
        ok = ok && addRule(filter, SCMP_ACT_ALLOW, name);
    }
#endif
    const auto allow = SCMP_ACT_ALLOW;
    // Files only for reading: nothing written, created, emptied or made anonymous.
    const scmp_datum_t writing = O_ACCMODE | O_CREAT | O_TRUNC | (O_TMPFILE & ~O_DIRECTORY);
    ok = ok && addRule(filter, allow, "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
    ok = ok && addRule(filter, allow, "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
    // No clone at all, of a thread or of a process: the threads drawing needs run before the
    // filter does (see DrawingConfinement::drawingThreads), and a renderer taken over starts
    // none, which would take the user's processes and the machine's pids. clone3 passes its
    // flags in memory, out of a filter's sight: as if the kernel had none, so that the C library
    // tries clone, which is refused. The same for openat2.
    ok = ok && addRule(filter, SCMP_ACT_ERRNO(ENOSYS), "clone3");
    ok = ok && addRule(filter, SCMP_ACT_ERRNO(ENOSYS), "openat2");
    // Signals to this process alone (its own threads included): its stop after an answer, an
    // abort. None of the real-time ones, which queue without end (up to the user's limit, which
    // is all of the user's programs' to share).
    ok = ok && addRule(filter, allow, "kill",
                       {SCMP_A0(SCMP_CMP_EQ, ownIdPlaceholder), SCMP_A1(SCMP_CMP_LT, firstRealTimeSignal)});
    ok = ok && addRule(filter, allow, "tgkill",
                       {SCMP_A0(SCMP_CMP_EQ, ownIdPlaceholder), SCMP_A2(SCMP_CMP_LT, firstRealTimeSignal)});
    // The clocks of this process and the machine, by name, never another process's by its id
    // (which tells what that process does, and whether it is there).
    for (const char* name : {"clock_gettime", "clock_getres", "clock_nanosleep"}) {
        ok = ok && addRule(filter, allow, name, {SCMP_A0(SCMP_CMP_LT, namedClocks)});
    }
    // What is asked of scheduling, of this process alone (0 or its own id).
    for (const char* name : {"sched_getaffinity", "sched_getparam", "sched_getscheduler"}) {
        ok = ok && addRule(filter, allow, name, {SCMP_A0(SCMP_CMP_EQ, 0)});
        ok = ok && addRule(filter, allow, name, {SCMP_A0(SCMP_CMP_EQ, ownIdPlaceholder)});
    }
    // The protocol's socket, with the flags the protocol passes (MSG_NOSIGNAL and MSG_DONTWAIT
    // sending, MSG_DONTWAIT receiving) and no address: never an out-of-band byte, a peek or a
    // message held back, each of which runs parts of the kernel the protocol never needs.
    ok = ok && addRule(filter, allow, "sendto",
                       {SCMP_A3(SCMP_CMP_MASKED_EQ, ~scmp_datum_t(MSG_NOSIGNAL | MSG_DONTWAIT), 0),
                        SCMP_A4(SCMP_CMP_EQ, 0)});
    ok =
        ok && addRule(filter, allow, "recvfrom",
                      {SCMP_A3(SCMP_CMP_MASKED_EQ, ~scmp_datum_t(MSG_DONTWAIT), 0), SCMP_A4(SCMP_CMP_EQ, 0)});
    // Memory mapped from a file, or anonymous and private: never locked (which the user's limit
    // of locked memory would allow), and never anonymous and shared, which its limit of data does
    // not count.
    ok = ok && addRule(filter, allow, "mmap", {SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_LOCKED | MAP_ANONYMOUS, 0)});
    ok = ok && addRule(filter, allow, "mmap",
                       {SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_LOCKED | MAP_ANONYMOUS | MAP_SHARED, MAP_ANONYMOUS)});
    // Limits read, never set.
    ok = ok && addRule(filter, allow, "prlimit64", {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
    // What is asked of descriptors: flags and duplicates, never a lock or an owner for signals.
    for (const scmp_datum_t command :
         {F_DUPFD, F_DUPFD_CLOEXEC, F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_GET_SEALS}) {
        ok = ok && addRule(filter, allow, "fcntl", {SCMP_A1(SCMP_CMP_EQ, command)});
    }
    for (const scmp_datum_t request :
         {scmp_datum_t(TCGETS), scmp_datum_t(TIOCGWINSZ), scmp_datum_t(FIONREAD), scmp_datum_t(FIONBIO),
          scmp_datum_t(FIOCLEX), scmp_datum_t(FIONCLEX)}) {
        ok = ok && addRule(filter, allow, "ioctl", {SCMP_A1(SCMP_CMP_EQ, request)});
    }
    // Names of threads and mappings, and what the process may ask of its own state.
    for (const scmp_datum_t option : {PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, PR_SET_VMA, PR_GET_SECCOMP,
                                      PR_GET_NO_NEW_PRIVS, PR_GET_TIMERSLACK, PR_CAPBSET_READ}) {
        ok = ok && addRule(filter, allow, "prctl", {SCMP_A0(SCMP_CMP_EQ, option)});
    }
    std::optional<std::vector<sock_filter>> program;
    int pipe[2];
    if (ok && ::pipe2(pipe, O_CLOEXEC) == 0) {
        // Some hundreds of instructions: far less than a pipe holds.
        if (seccomp_export_bpf(filter, pipe[1]) == 0) {
            ::close(pipe[1]);
            pipe[1] = -1;
            std::vector<sock_filter> read;
            sock_filter instruction{};
            while (::read(pipe[0], &instruction, sizeof instruction) == ssize_t(sizeof instruction)) {
                read.push_back(instruction);
            }
            if (!read.empty()) {
                program = std::move(read);
            }
        }
        for (const int end : pipe) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    seccomp_release(filter);
    return program;
}

QByteArray SystemCallFilter::load(const std::optional<Program>& built, MeansAnswer* answer, For whom,
                                  int* error) {
    int ignored = 0;
    int& said = error ? *error : ignored;
    said = 0;
    *answer = MeansAnswer::Held;
    if (!kernelHasSeccompFilters()) {
        *answer = MeansAnswer::Missing;
        return "the kernel has no system-call filter";
    }
    if (!built) {
        *answer = MeansAnswer::Failed;
        return "no system-call filter was built";
    }
    Program instructions = *built;
    int placed = 0;
    for (sock_filter& instruction : instructions) {
        if (BPF_CLASS(instruction.code) == BPF_JMP && instruction.k == ownIdPlaceholder) {
            instruction.k = quint32(::getpid());
            ++placed;
        }
    }
    if (placed == 0) {
        *answer = MeansAnswer::Failed;
        return "the filter compares no signal's target";
    }
    sock_fprog program{static_cast<unsigned short>(instructions.size()), instructions.data()};
    // Every thread of the process is made to take it only where another thread runs: the
    // synchronisation is a flag a kernel (or a sandbox) may refuse, and a single thread has
    // nothing to synchronise.
    const bool everyThread = whom == For::EveryThread && threadsOfThisProcess() != 1;
    long loaded = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                            everyThread ? SECCOMP_FILTER_FLAG_TSYNC : 0u, &program);
    if (loaded != 0 && errno == ENOSYS && !everyThread) {
        // A kernel from before the call: this thread's, inherited by those it starts.
        loaded = ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0);
    }
    if (loaded != 0) {
        said = errno;
        *answer = DrawingConfinement::answerTo(said);
        QByteArray refused = "the system-call filter was refused";
        if (everyThread) {
            refused += " for every thread";
        }
        return refused + ": " + QByteArray(std::strerror(said));
    }
    filtered = true;
    return {};
}

int SystemCallFilter::threadsOfThisProcess() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(tasks);
    return count;
}

} // namespace velmora::images

#if defined(__SANITIZE_ADDRESS__)
// Asked by the leak checker at the process's end: a confined process is not checked, rather than
// ending with the checker's failure.
extern "C" int __lsan_is_turned_off() {
    return velmora::images::filtered ? 1 : 0;
}
#endif
