#include "images/coders/vector-render/DrawingConfinement.h"

#include <fontconfig/fontconfig.h>
#include <seccomp.h>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// What the kernel may know beyond the headers this is built with (they may be older than it).
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif
#ifndef LANDLOCK_CREATE_RULESET_VERSION
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0)
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#ifndef PR_SET_VMA
#define PR_SET_VMA 0x53564d41
#endif

namespace velmora::images {

namespace {

// Set once the system-call filter holds: the leak checker of a sanitised build traces the process
// from a helper process at its end, which the filter refuses.
std::atomic<bool> filtered{false};

// The ruleset's attributes as the newest kernel knows them; an older one is given the first
// fields only (its size says which).
struct ConfinementRulesetAttributes {
    quint64 handledAccessFs = 0;
    quint64 handledAccessNet = 0;
    quint64 scoped = 0;
};

// A path, canonical, or nothing when it does not exist.
QByteArray canonical(const QByteArray& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.constData(), resolved) ? QByteArray(resolved) : QByteArray();
}

// Whether `path` is `other` or a folder above it.
bool holds(const QByteArray& path, const QByteArray& other) {
    return other == path || path == "/" || other.startsWith(path.endsWith('/') ? path : path + '/');
}

void addFontconfigDirectories(FcStrList* list, QList<QByteArray>& out) {
    if (!list) {
        return;
    }
    const QByteArray home = qgetenv("HOME");
    while (FcChar8* entry = FcStrListNext(list)) {
        QByteArray path(reinterpret_cast<const char*>(entry));
        if (path.startsWith("~/") && !home.isEmpty()) {
            path = home + path.mid(1);
        }
        out.append(path);
    }
    FcStrListDone(list);
}

int landlockVersion() {
    const long version = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version < 0 ? -errno : int(version);
}

// Closes the file system to all but `readable`, for reading. Empty when done; what failed
// otherwise. The kernel's Landlock is `version` (at least 1).
QByteArray closeFileSystem(int version, const QList<QByteArray>& readable) {
    ConfinementRulesetAttributes attributes;
    attributes.handledAccessFs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
        LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
        LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
        LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
        LANDLOCK_ACCESS_FS_MAKE_SYM;
    std::size_t size = sizeof attributes.handledAccessFs;
    if (version >= 2) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (version >= 3) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    }
    if (version >= 4) {
        // No TCP port to bind or connect to (the filter refuses sockets too).
        attributes.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = offsetof(ConfinementRulesetAttributes, scoped);
    }
    if (version >= 5) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    }
    if (version >= 6) {
        // No abstract socket of another process to connect to, no signal to one.
        attributes.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = sizeof attributes;
    }
    const int ruleset = int(::syscall(__NR_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0) {
        return "no Landlock ruleset: " + QByteArray(std::strerror(errno));
    }
    QByteArray failure;
    for (const QByteArray& path : readable) {
        const int fd = ::open(path.constData(), O_PATH | O_CLOEXEC);
        if (fd < 0) {
            continue; // nothing there to read
        }
        struct stat info {};
        landlock_path_beneath_attr rule{};
        rule.parent_fd = fd;
        rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
        if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
        }
        const long added = ::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        const int error = errno;
        ::close(fd);
        if (added != 0) {
            failure = "no Landlock rule for " + path + ": " + QByteArray(std::strerror(error));
            break;
        }
    }
    if (failure.isEmpty() && ::syscall(__NR_landlock_restrict_self, ruleset, 0) != 0) {
        failure = "Landlock refused: " + QByteArray(std::strerror(errno));
    }
    ::close(ruleset);
    return failure;
}

// The system calls drawing and the protocol make, whatever their arguments.
// clang-format off
const char* const allowedCalls[] = {
    // Files opened for reading (see the rules on open below), and what is asked of them.
    "read", "readv", "pread64", "preadv", "preadv2", "lseek", "close", "close_range", "fstat", "newfstatat",
    "stat", "lstat", "statx", "fstatfs", "statfs", "access", "faccessat", "faccessat2", "readlink",
    "readlinkat", "getdents", "getdents64", "getcwd", "fadvise64", "dup", "dup2", "dup3",
    // The protocol's socket (given, never made) and the error stream.
    "write", "writev", "recvfrom", "recvmsg", "sendto", "sendmsg", "poll", "ppoll", "select",
    "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "epoll_pwait2", "eventfd2",
    "pipe", "pipe2",
    // Memory.
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "mincore",
    // Threads of this process, and their waits.
    "futex", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "sched_yield",
    "sched_getaffinity", "sched_getparam", "sched_getscheduler", "sched_get_priority_max",
    "sched_get_priority_min", "getcpu", "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres",
    "gettimeofday", "time",
    // Who and where this process is.
    "getpid", "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid",
    "getgroups", "uname", "sysinfo", "getrandom", "getrlimit", "getrusage",
    // Signals within this process (those to a process are below), and the budget's timers.
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigpending", "rt_sigtimedwait", "sigaltstack",
    "restart_syscall", "timer_create", "timer_settime", "timer_gettime", "timer_getoverrun", "timer_delete",
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

// Loads the system-call filter. Empty when done; what failed otherwise.
QByteArray loadFilter() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter) {
        return "no system-call filter";
    }
    bool ok = true;
    // Every thread of the process, now and later, and a binary tree rather than a list of calls.
    ok = ok && seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    ok = ok && seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 1) == 0;
    (void)seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const char* name : allowedCalls) {
        ok = ok && addRule(filter, SCMP_ACT_ALLOW, name);
    }
    const auto allow = SCMP_ACT_ALLOW;
    // Files only for reading: nothing written, created, emptied or made anonymous.
    const scmp_datum_t writing = O_ACCMODE | O_CREAT | O_TRUNC | (O_TMPFILE & ~O_DIRECTORY);
    ok = ok && addRule(filter, allow, "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
    ok = ok && addRule(filter, allow, "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
    // Threads, not processes: a clone that shares the thread group and makes no namespace.
    const scmp_datum_t namespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
                                    CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
    ok = ok && addRule(filter, allow, "clone",
                       {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD | namespaces, CLONE_THREAD)});
    // clone3 passes its flags in memory, out of a filter's sight: as if the kernel had none, so
    // that the C library starts threads through clone. The same for openat2.
    ok = ok && addRule(filter, SCMP_ACT_ERRNO(ENOSYS), "clone3");
    ok = ok && addRule(filter, SCMP_ACT_ERRNO(ENOSYS), "openat2");
    // Signals to this process alone (its own threads included).
    const auto self = scmp_datum_t(::getpid());
    ok = ok && addRule(filter, allow, "kill", {SCMP_A0(SCMP_CMP_EQ, self)});
    ok = ok && addRule(filter, allow, "tgkill", {SCMP_A0(SCMP_CMP_EQ, self)});
    ok = ok && addRule(filter, allow, "rt_sigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, self)});
    ok = ok && addRule(filter, allow, "rt_tgsigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, self)});
    // Limits read, never set.
    ok = ok && addRule(filter, allow, "prlimit64", {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
    // What is asked of descriptors: flags and duplicates, never an owner for their signals.
    for (const scmp_datum_t command : {F_DUPFD, F_DUPFD_CLOEXEC, F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_GETLK,
                                       F_SETLK, F_SETLKW, F_GET_SEALS}) {
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
    QByteArray failure;
    if (!ok) {
        failure = "a system-call rule was refused";
    } else if (const int loaded = seccomp_load(filter); loaded != 0) {
        failure = "the system-call filter was refused: " + QByteArray(std::strerror(-loaded));
    }
    seccomp_release(filter);
    return failure;
}

bool kernelHasSeccompFilters() {
    // A kernel without seccomp knows no such question; one without filters refuses a filter
    // mode's action check.
    return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 && seccomp_api_get() >= 1;
}

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

QList<QByteArray> DrawingConfinement::readablePaths() {
    QList<QByteArray> candidates{"/usr",      "/lib",       "/lib64",           "/lib32",
                                 "/libx32",   "/etc/fonts", "/etc/ld.so.cache", "/sys/devices/system/cpu",
                                 "/proc/self"};
    addFontconfigDirectories(FcConfigGetFontDirs(nullptr), candidates);
    addFontconfigDirectories(FcConfigGetCacheDirs(nullptr), candidates);
    // Never a folder that holds the home folder (a font folder configured as "~", or "/").
    const QByteArray home = canonical(qgetenv("HOME"));
    QList<QByteArray> readable;
    for (const QByteArray& candidate : candidates) {
        const QByteArray path = candidate == "/proc/self" ? candidate : canonical(candidate);
        if (path.isEmpty() || path == "/" || (!home.isEmpty() && holds(path, home)) ||
            readable.contains(path)) {
            continue;
        }
        readable.append(path);
    }
    // A rule for a folder covers what lies beneath it (the font folders under /usr).
    QList<QByteArray> covered;
    for (const QByteArray& path : readable) {
        const bool beneath = std::any_of(readable.begin(), readable.end(), [&path](const QByteArray& other) {
            return other != path && other != "/proc/self" && holds(other, path);
        });
        if (!beneath) {
            covered.append(path);
        }
    }
    return covered;
}

DrawingConfinement::Outcome DrawingConfinement::confine() {
    Outcome outcome;
    const int landlock = landlockVersion();
    const bool hasLandlock = landlock >= 1;
    // ENOSYS: not built in; EOPNOTSUPP: built in and turned off at boot.
    if (!hasLandlock && landlock != -ENOSYS && landlock != -EOPNOTSUPP) {
        outcome.failure = "Landlock answered " + QByteArray(std::strerror(-landlock));
        return outcome;
    }
    if (!hasLandlock) {
        outcome.missing |= FileSystem;
    }
    const bool hasFilter = kernelHasSeccompFilters();
    if (!hasFilter) {
        outcome.missing |= SystemCallFilter;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        outcome.failure = "no-new-privileges refused";
        return outcome;
    }
    if (hasLandlock) {
        if (const int threads = threadCount(); threads != 1) {
            outcome.failure = QByteArray::number(threads) + " threads run: Landlock would bind one";
            return outcome;
        }
        outcome.failure = closeFileSystem(landlock, readablePaths());
        if (!outcome.failure.isEmpty()) {
            return outcome;
        }
    }
    // Last: it refuses Landlock's own calls.
    if (hasFilter) {
        outcome.failure = loadFilter();
        if (!outcome.failure.isEmpty()) {
            return outcome;
        }
    }
    filtered = hasFilter;
    outcome.confined = true;
    return outcome;
}

DrawingConfinement::Outcome DrawingConfinement::prepareAndConfine() {
    // Fonts' configuration is read here, before the file system closes, since it names the font
    // folders and caches left readable. Font files and the renderers' font lookups are loaded when
    // a drawing first asks for them, read-only as the confinement allows, so a document without
    // text pays nothing for them.
    FcInit();
    return confine();
}

} // namespace velmora::images

#if defined(__SANITIZE_ADDRESS__)
// Asked by the leak checker at the process's end: a confined process is not checked, rather than
// ending with the checker's failure.
extern "C" int __lsan_is_turned_off() {
    return velmora::images::filtered ? 1 : 0;
}
#endif
