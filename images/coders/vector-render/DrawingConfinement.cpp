#include "images/coders/vector-render/DrawingConfinement.h"

#include <fontconfig/fontconfig.h>
#include <seccomp.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLibraryInfo>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSet>
#include <QThreadPool>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
#include <memory>
#include <optional>
#include <vector>

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
    if (path == "/" || other == path) {
        return true;
    }
    const qsizetype length = path.endsWith('/') ? path.size() - 1 : path.size();
    return other.size() > length && other.at(length) == '/' &&
           other.startsWith(QByteArrayView(path).first(length));
}

// The home folder, and where a user's fonts and font caches lie in it, resolved.
struct Home {
    QByteArray home;
    QList<QByteArray> fontFolders;
    QList<QByteArray> cacheFolders;

    static Home ofThisProcess() {
        Home out;
        out.home = canonical(qgetenv("HOME"));
        if (out.home.isEmpty()) {
            return out;
        }
        const auto under = [&out](const char* variable, const QByteArray& fallback) {
            const QByteArray set = qgetenv(variable);
            return set.startsWith('/') ? set : out.home + '/' + fallback;
        };
        for (const QByteArray& folder :
             {under("XDG_DATA_HOME", ".local/share") + "/fonts", out.home + "/.fonts"}) {
            if (const QByteArray resolved = canonical(folder); !resolved.isEmpty()) {
                out.fontFolders.append(resolved);
            }
        }
        if (const QByteArray resolved = canonical(under("XDG_CACHE_HOME", ".cache") + "/fontconfig");
            !resolved.isEmpty()) {
            out.cacheFolders.append(resolved);
        }
        return out;
    }

    // Whether `resolved` is the home, a folder holding it, or "/".
    bool opensTheHome(const QByteArray& resolved) const {
        return resolved == "/" || (!home.isEmpty() && holds(resolved, home));
    }
    bool isUnder(const QByteArray& resolved) const {
        return !home.isEmpty() && holds(home, resolved) && resolved != home;
    }
};

// Whether what `info` tells of is a regular file with no other name: a file under the home that
// is also a hard link elsewhere may be any of the user's files, whatever folder it was put in.
bool isSingleFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// `path` as a single file (see above), with the device and inode it is now; nothing otherwise.
std::optional<struct stat> singleFile(const QByteArray& path) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !isSingleFile(info)) {
        return std::nullopt;
    }
    return info;
}

// Opens `path` (absolute, with no "." or ".." in it) for its place alone (O_PATH), one folder at
// a time, following no link: a link anywhere on the way, the last part included, is no path of
// what was judged (every link of it was resolved), but one put there since. -1 then.
int openWithoutLinks(const QByteArray& path) {
    if (!path.startsWith('/')) {
        return -1;
    }
    int at = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const QList<QByteArray> parts = path.split('/');
    qsizetype last = parts.size() - 1;
    while (last > 0 && parts.at(last).isEmpty()) {
        --last;
    }
    for (qsizetype i = 1; at >= 0 && i <= last; ++i) {
        const QByteArray& part = parts.at(i);
        if (part.isEmpty()) {
            continue;
        }
        const int next = part == "." || part == ".."
                             ? -1
                             : ::openat(at, part.constData(),
                                        O_PATH | O_NOFOLLOW | O_CLOEXEC | (i < last ? O_DIRECTORY : 0));
        ::close(at);
        at = next;
    }
    struct stat info {};
    if (at >= 0 && (::fstat(at, &info) != 0 || S_ISLNK(info.st_mode))) {
        ::close(at);
        at = -1;
    }
    return at;
}

// The font files fontconfig lists (the system's and the application's sets).
QList<QByteArray> fontconfigFontFiles() {
    QList<QByteArray> files;
    for (const FcSetName set : {FcSetSystem, FcSetApplication}) {
        const FcFontSet* fonts = FcConfigGetFonts(nullptr, set);
        for (int i = 0; fonts && i < fonts->nfont; ++i) {
            FcChar8* file = nullptr;
            if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) == FcResultMatch && file) {
                const QByteArray path(reinterpret_cast<const char*>(file));
                if (files.isEmpty() || files.last() != path) {
                    files.append(path);
                }
            }
        }
    }
    return files;
}

QList<QByteArray> fontconfigCacheFolders() {
    QList<QByteArray> folders;
    const QByteArray home = qgetenv("HOME");
    if (FcStrList* list = FcConfigGetCacheDirs(nullptr)) {
        while (FcChar8* entry = FcStrListNext(list)) {
            QByteArray path(reinterpret_cast<const char*>(entry));
            if (path.startsWith("~/") && !home.isEmpty()) {
                path = home + path.mid(1);
            }
            folders.append(path);
        }
        FcStrListDone(list);
    }
    return folders;
}

// The folders of the Qt this process loaded, wherever it is installed (under /usr, /opt, a home
// or a bundle): its libraries and its plugins, which a drawing loads when a document asks for
// them (an image format's plugin, and the libraries that plugin needs).
QList<QByteArray> qtFolders() {
    QList<QByteArray> folders{QFile::encodeName(QLibraryInfo::path(QLibraryInfo::PluginsPath)),
                              QFile::encodeName(QLibraryInfo::path(QLibraryInfo::LibrariesPath))};
    Dl_info loaded{};
    if (::dladdr(reinterpret_cast<const void*>(&qVersion), &loaded) != 0 && loaded.dli_fname) {
        const QByteArray library = canonical(loaded.dli_fname);
        if (const qsizetype slash = library.lastIndexOf('/'); slash > 0) {
            folders.append(library.left(slash));
        }
    }
    return folders;
}

// The system's paths drawing reads. A top-level one that is a link (/lib to usr/lib) is given
// as the link, so that namespaces make the same link.
const char* const systemPaths[] = {"/usr",    "/lib",       "/lib64",           "/lib32",
                                   "/libx32", "/etc/fonts", "/etc/ld.so.cache", "/sys/devices/system/cpu"};
constexpr const char* ownProcEntry = "/proc/self";

// A path a drawing process may read, opened once by the process that prepared and held: what the
// rules and binds of each copy are made of.
struct Held {
    DrawingConfinement::Readable entry;
    int descriptor = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool folder = false;
};

// What prepare() worked out, for every drawing process the template makes.
struct Prepared {
    std::vector<Held> held;
    std::optional<std::vector<sock_filter>> filter;
    // Top-level links of the system (/lib -> usr/lib), made again in a namespace's root.
    QList<std::pair<QByteArray, QByteArray>> links;
};
std::optional<Prepared>& prepared() {
    static std::optional<Prepared> instance;
    return instance;
}

int landlockVersion() {
    const long version = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version < 0 ? -errno : int(version);
}

// Opens this process's own /proc entry (which the template's is not), following its link.
int openOwnProcEntry() {
    return ::open(ownProcEntry, O_PATH | O_CLOEXEC);
}

// Closes the file system to all but what is `held` and this process's own /proc entry, for
// reading. Empty when done; what failed otherwise. The kernel's Landlock is `version` (at least 1).
QByteArray closeFileSystem(int version, const std::vector<Held>& held) {
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
    // Each rule from the descriptor held since the template judged its path: never the path
    // opened again, which may lead elsewhere by now.
    const auto addRule = [ruleset, &failure](int fd, bool folder, const QByteArray& path) {
        landlock_path_beneath_attr rule{};
        rule.parent_fd = fd;
        rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
        if (::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
            failure = "no Landlock rule for " + path + ": " + QByteArray(std::strerror(errno));
        }
    };
    for (const Held& entry : held) {
        if (failure.isEmpty()) {
            addRule(entry.descriptor, entry.folder, entry.entry.resolved);
        }
    }
    if (const int own = failure.isEmpty() ? openOwnProcEntry() : -1; own >= 0) {
        addRule(own, true, ownProcEntry);
        ::close(own);
    }
    if (failure.isEmpty() && ::syscall(__NR_landlock_restrict_self, ruleset, 0) != 0) {
        failure = "Landlock refused: " + QByteArray(std::strerror(errno));
    }
    ::close(ruleset);
    return failure;
}

// The system calls drawing and the protocol make, whatever their arguments: no more (each other
// call a library might probe for fails with EPERM, which it takes as the call's absence).
// clang-format off
const char* const allowedCalls[] = {
    // Files opened for reading (see the rules on open below), and what is asked of them.
    "read", "readv", "pread64", "preadv", "preadv2", "lseek", "close", "close_range", "fstat", "newfstatat",
    "stat", "lstat", "statx", "fstatfs", "statfs", "access", "faccessat", "faccessat2", "readlink",
    "readlinkat", "getdents", "getdents64", "getcwd", "fadvise64", "dup", "dup2", "dup3",
    // The protocol's socket (given, never made) and the error stream.
    "write", "writev", "recvfrom", "sendto", "poll", "ppoll",
    // Qt converts and scales a large image on the threads of its pool, and each thread makes an
    // event dispatcher, which is woken through an eventfd (without one it ends the process).
    "eventfd2",
    // Memory.
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise",
    // Threads of this process, and their waits.
    "futex", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "sched_yield",
    "sched_getaffinity", "sched_getparam", "sched_getscheduler", "sched_get_priority_max",
    "sched_get_priority_min", "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres",
    "gettimeofday", "time",
    // Who and where this process is.
    "getpid", "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid",
    "getgroups", "uname", "getrandom", "getrlimit", "getrusage",
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

// What an errno from a call of a means says of it.
DrawingConfinement::MeansAnswer answerOf(int error) {
    using MeansAnswer = DrawingConfinement::MeansAnswer;
    switch (error) {
    case ENOSYS:
        return MeansAnswer::Missing;
    case EOPNOTSUPP:
        return MeansAnswer::TurnedOff;
    case EPERM:
    case EACCES:
    case ENOSPC: // no user namespace left to make (user.max_user_namespaces)
    case EUSERS:
        return MeansAnswer::Refused;
    default:
        return MeansAnswer::Failed;
    }
}

// The threads of this process, as its /proc entry lists them; -1 when it cannot be read.
int threadCount() {
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

bool kernelHasSeccompFilters() {
    // A kernel without seccomp knows no such question.
    return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

// Where the filter compares a signal's target with this process's id: the filter is built once
// (libseccomp takes milliseconds to build it) with this in its place, and each process puts its
// own id there. No process id reaches it (they stay below 2^22).
constexpr quint32 ownIdPlaceholder = 0x3c5ee1f5;

// The system-call filter as the kernel takes it; nothing when it could not be built.
std::optional<std::vector<sock_filter>> buildFilter() {
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
    // Signals to this process alone (its own threads included): an abort, the budget's alarm.
    ok = ok && addRule(filter, allow, "kill", {SCMP_A0(SCMP_CMP_EQ, ownIdPlaceholder)});
    ok = ok && addRule(filter, allow, "tgkill", {SCMP_A0(SCMP_CMP_EQ, ownIdPlaceholder)});
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

const std::optional<std::vector<sock_filter>>& builtFilter();

// Whom a filter is loaded for: the calling thread (each thread of a drawing process loads its
// own, so none is left out and the kernel is asked nothing more), or every thread of the process.
enum class FilterFor { ThisThread, EveryThread };

// Loads the system-call filter. Empty when done; what failed otherwise, with the kernel's errno in
// `error` when it answered one.
QByteArray loadFilter(DrawingConfinement::MeansAnswer* answer, FilterFor whom, int* error = nullptr) {
    int ignored = 0;
    int& said = error ? *error : ignored;
    said = 0;
    *answer = DrawingConfinement::MeansAnswer::Held;
    if (!kernelHasSeccompFilters()) {
        *answer = DrawingConfinement::MeansAnswer::Missing;
        return "the kernel has no system-call filter";
    }
    if (!builtFilter()) {
        *answer = DrawingConfinement::MeansAnswer::Failed;
        return "no system-call filter was built";
    }
    std::vector<sock_filter> instructions = *builtFilter();
    int placed = 0;
    for (sock_filter& instruction : instructions) {
        if (BPF_CLASS(instruction.code) == BPF_JMP && instruction.k == ownIdPlaceholder) {
            instruction.k = quint32(::getpid());
            ++placed;
        }
    }
    if (placed == 0) {
        *answer = DrawingConfinement::MeansAnswer::Failed;
        return "the filter compares no signal's target";
    }
    sock_fprog program{static_cast<unsigned short>(instructions.size()), instructions.data()};
    // Every thread of the process is made to take it only where another thread runs: the
    // synchronisation is a flag a kernel (or a sandbox) may refuse, and a single thread has
    // nothing to synchronise.
    const bool everyThread = whom == FilterFor::EveryThread && threadCount() != 1;
    long loaded = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                            everyThread ? SECCOMP_FILTER_FLAG_TSYNC : 0u, &program);
    if (loaded != 0 && errno == ENOSYS && !everyThread) {
        // A kernel from before the call: this thread's, inherited by those it starts.
        loaded = ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0);
    }
    if (loaded != 0) {
        said = errno;
        *answer = answerOf(said);
        QByteArray refused = "the system-call filter was refused";
        if (everyThread) {
            refused += " for every thread";
        }
        return refused + ": " + QByteArray(std::strerror(said));
    }
    return {};
}

const std::optional<std::vector<sock_filter>>& builtFilter() {
    if (prepared() && prepared()->filter) {
        return prepared()->filter;
    }
    static const std::optional<std::vector<sock_filter>> built = buildFilter();
    return built;
}

// Makes `path` under `root` (and the folders above it): a folder, or an empty file to bind a file on.
bool makeMountPoint(const QByteArray& root, const QByteArray& path, bool folder) {
    QByteArray at = root;
    const QList<QByteArray> parts = path.split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts.at(i).isEmpty()) {
            continue;
        }
        at += '/' + parts.at(i);
        const bool last = i == parts.size() - 1;
        if (last && !folder) {
            const int fd = ::open(at.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0) {
                return false;
            }
            ::close(fd);
        } else if (::mkdir(at.constData(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

// The flags of the mount `path` lies on that a user namespace may not clear (a read-only bind
// keeps them, or its remount is refused).
unsigned long lockedMountFlags(const QByteArray& path) {
    struct statvfs info {};
    if (::statvfs(path.constData(), &info) != 0) {
        return 0;
    }
    unsigned long flags = 0;
    for (const auto& [st, ms] :
         {std::pair{ST_NOSUID, MS_NOSUID}, std::pair{ST_NODEV, MS_NODEV}, std::pair{ST_NOEXEC, MS_NOEXEC},
          std::pair{ST_NOATIME, MS_NOATIME}, std::pair{ST_NODIRATIME, MS_NODIRATIME},
          std::pair{ST_RELATIME, MS_RELATIME}}) {
        if (info.f_flag & st) {
            flags |= ms;
        }
    }
    return flags;
}

bool writeFile(const char* path, const QByteArray& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    ::close(fd);
    return written;
}

// Closes the file system with namespaces, where Landlock cannot: a user namespace of this process
// alone, in which it makes a mount namespace whose root is an empty, read-only folder holding
// read-only binds of what drawing reads and nothing else (the old root is gone from it), and a
// network namespace with no network. Empty when done; what failed otherwise, with what the kernel
// answered in `answer`.
QByteArray closeFileSystemWithNamespaces(const Prepared& what, DrawingConfinement::MeansAnswer* answer) {
    using MeansAnswer = DrawingConfinement::MeansAnswer;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    const auto failed = [answer](const QByteArray& step) {
        const int error = errno;
        if (*answer == MeansAnswer::Held) {
            *answer = MeansAnswer::Failed;
        }
        return step + ": " + QByteArray(std::strerror(error));
    };
    *answer = MeansAnswer::Held;
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0) {
        *answer = answerOf(errno);
        return failed("no namespaces of its own");
    }
    // Itself inside as outside; no other user or group to become.
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1")) {
        return failed("no user of its own");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("the mounts stay shared");
    }
    // What is given is opened first: the new root is mounted on a folder of the old, which it
    // hides (what lies under /tmp, say), and each is bound from its descriptor. The kernel binds
    // nothing from a descriptor of another mount namespace (the template's are of the app's), so
    // each held path is found again in this one, following no link, and bound only when it is
    // the very file or folder the template holds (its device and inode): a path swapped since
    // binds nothing.
    struct Source {
        QByteArray path;
        int descriptor;
        bool folder;
    };
    std::vector<Source> sources;
    const auto closeSources = qScopeGuard([&sources] {
        for (const Source& source : sources) {
            ::close(source.descriptor);
        }
    });
    for (const Held& held : what.held) {
        const int descriptor = openWithoutLinks(held.entry.resolved);
        struct stat info {};
        if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 && info.st_dev == held.device &&
            info.st_ino == held.inode) {
            sources.push_back({held.entry.path, descriptor, held.folder});
        } else if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    if (const int own = openOwnProcEntry(); own >= 0) {
        sources.push_back({ownProcEntry, own, true});
    }
    // Any folder will do to mount the new root on: this namespace alone sees it.
    QByteArray root;
    for (const char* candidate : {"/tmp", "/mnt", "/run", "/srv", "/media", "/opt", "/var"}) {
        struct stat info {};
        if (::lstat(candidate, &info) == 0 && S_ISDIR(info.st_mode)) {
            root = candidate;
            break;
        }
    }
    if (root.isEmpty() || ::mount("velmora-drawing", root.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                                  "size=1m,mode=0755") != 0) {
        return failed("no root of its own");
    }
    for (const Source& source : sources) {
        const QByteArray from = "/proc/self/fd/" + QByteArray::number(source.descriptor);
        const QByteArray target = root + source.path;
        if (!makeMountPoint(root, source.path, source.folder)) {
            return failed("no place to bind " + source.path);
        }
        if (::mount(from.constData(), target.constData(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            // A file removed since it was found again (swapped by another program of the user)
            // binds nothing, and is left out as if it had been swapped before: no name leads to it.
            struct stat info {};
            if (::fstat(source.descriptor, &info) == 0 && info.st_nlink == 0) {
                continue;
            }
            return failed("no bind of " + source.path);
        }
        if (::mount(nullptr, target.constData(), nullptr,
                    MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | lockedMountFlags(from),
                    nullptr) != 0) {
            return failed("no read-only bind of " + source.path);
        }
    }
    for (const auto& [link, target] : what.links) {
        if (::symlink(target.constData(), (root + link).constData()) != 0) {
            return failed("no link " + link);
        }
    }
    if (::mount(nullptr, root.constData(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) !=
        0) {
        return failed("the root stays writable");
    }
    // The new root in place of the old, which is then let go: nothing of it is reachable.
    if (::chdir(root.constData()) != 0 || ::syscall(SYS_pivot_root, ".", ".") != 0 ||
        ::umount2(".", MNT_DETACH) != 0 || ::chdir("/") != 0) {
        return failed("the old root stays");
    }
    // No capability of the namespace is left (it could undo the binds).
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        return failed("its capabilities stay");
    }
    return {};
}

// Opens each path drawing may read once, following no link, and holds what is still what it was
// judged to be: a file under the home a regular file of one link, on the device and inode it was
// judged on. What is not (swapped since, or gone) is left out. This process's own /proc entry is
// each process's own, and opened by each.
std::vector<Held> hold(const QList<DrawingConfinement::Readable>& readable) {
    // A descriptor for each: where the fonts of a home are many, as many as the limit allows.
    rlimit files{};
    const rlim_t wanted = rlim_t(readable.size()) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        files.rlim_cur < wanted) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(files.rlim_max, wanted);
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<Held> held;
    for (const DrawingConfinement::Readable& entry : readable) {
        if (entry.path == ownProcEntry) {
            continue;
        }
        const int descriptor = openWithoutLinks(entry.resolved);
        if (descriptor < 0) {
            continue;
        }
        struct stat info {};
        const bool judged = entry.device != 0 || entry.inode != 0;
        if (::fstat(descriptor, &info) != 0 ||
            (judged && (!isSingleFile(info) || quint64(info.st_dev) != entry.device ||
                        quint64(info.st_ino) != entry.inode))) {
            ::close(descriptor);
            continue;
        }
        held.push_back({entry, descriptor, info.st_dev, info.st_ino, S_ISDIR(info.st_mode)});
    }
    return held;
}

void closeHeld(Prepared& what) {
    for (Held& entry : what.held) {
        if (entry.descriptor >= 0) {
            ::close(entry.descriptor);
            entry.descriptor = -1;
        }
    }
}

// How long the drawing thread may take to load its filter: a moment, or seconds on a busy machine.
constexpr int drawingThreadStartMs = 5000;

// Starts the drawing thread (see DrawingConfinement::drawingThreads): the one thread of Qt's pool,
// for the process's life, which loads the filter for itself before it is given any work (nothing
// of a document has been read yet). What that load answered goes to `answer` and `error`. Empty
// when it runs filtered; what failed otherwise, with `noThread` set when no thread ran.
QByteArray startDrawingThread(DrawingConfinement::MeansAnswer* answer, int* error, bool* noThread) {
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(DrawingConfinement::drawingThreads - 1);
    // Never ended for idleness: one started again later would be refused.
    pool->setExpiryTimeout(-1);
    struct Loaded {
        QSemaphore done;
        QByteArray failure;
        DrawingConfinement::MeansAnswer answer = DrawingConfinement::MeansAnswer::Held;
        int error = 0;
    };
    auto loaded = std::make_shared<Loaded>();
    pool->start([loaded] {
        loaded->failure = loadFilter(&loaded->answer, FilterFor::ThisThread, &loaded->error);
        loaded->done.release();
    });
    // A thread is made before start() returns, or never (the user's processes at their limit).
    if (const int threads = threadCount(); threads != DrawingConfinement::drawingThreads) {
        *noThread = true;
        return "no drawing thread (" + QByteArray::number(threads) + " threads run)";
    }
    if (!loaded->done.tryAcquire(1, drawingThreadStartMs)) {
        *noThread = true;
        return "the drawing thread did not run";
    }
    *answer = loaded->answer;
    *error = loaded->error;
    return loaded->failure;
}

} // namespace

QList<DrawingConfinement::Readable> DrawingConfinement::readablePaths() {
    const Home home = Home::ofThisProcess();
    QList<Readable> candidates;
    for (const char* path : systemPaths) {
        candidates.append(Readable{path, canonical(path)});
    }
    candidates.append(Readable{ownProcEntry, ownProcEntry});
    // Font files, one by one, rather than the folders fontconfig scanned: a folder opens all that
    // lies beneath it, and fontconfig lists every folder it scanned beneath a configured one. A
    // configuration that names the home (or ~/.config, or the folder holding the homes), or a link
    // in a font folder to the home, would open the user's files; and a folder opens what is put in
    // it later, hard links to any file of the user included. A font file is what fontconfig read
    // as a font, and no more.
    // Resolved through their folders, each once (fonts come hundreds to a folder): only a file
    // that is itself a link is resolved whole.
    QHash<QByteArray, QByteArray> folders;
    const auto resolveFont = [&folders](const QByteArray& file) {
        struct stat info {};
        const qsizetype slash = file.lastIndexOf('/');
        if (slash <= 0 || ::lstat(file.constData(), &info) != 0) {
            return QByteArray();
        }
        if (S_ISLNK(info.st_mode)) {
            return canonical(file);
        }
        const QByteArray folder = file.left(slash);
        auto found = folders.find(folder);
        if (found == folders.end()) {
            found = folders.insert(folder, canonical(folder));
        }
        return found->isEmpty() ? QByteArray() : *found + file.mid(slash);
    };
    QSet<QByteArray> fontFiles;
    for (const QByteArray& file : fontconfigFontFiles()) {
        fontFiles.insert(file);
        const QByteArray resolved = resolveFont(file);
        if (resolved.isEmpty()) {
            continue;
        }
        Readable entry{file, resolved};
        // Under the home, a file with another name may be any of the user's files.
        if (home.isUnder(resolved)) {
            const auto single = singleFile(resolved);
            if (!single) {
                continue;
            }
            entry.device = single->st_dev;
            entry.inode = single->st_ino;
        }
        candidates.append(entry);
    }
    // Font caches: outside the home, as folders; under it, only its cache folder, and that as the
    // files in it, for the same reason (a hard link put there).
    for (const QByteArray& folder : fontconfigCacheFolders()) {
        const QByteArray resolved = canonical(folder);
        if (resolved.isEmpty() || home.opensTheHome(resolved)) {
            continue;
        }
        if (!home.isUnder(resolved)) {
            candidates.append(Readable{folder, resolved});
            continue;
        }
        if (!home.cacheFolders.contains(resolved)) {
            continue;
        }
        const QDir cache(QFile::decodeName(resolved));
        for (const QString& name : cache.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
            const QByteArray file = resolved + '/' + QFile::encodeName(name);
            if (const auto single = singleFile(file)) {
                candidates.append(Readable{file, file, quint64(single->st_dev), quint64(single->st_ino)});
            }
        }
    }
    for (const QByteArray& folder : qtFolders()) {
        candidates.append(Readable{folder, canonical(folder)});
    }
    // Never a path that opens the home: the home itself, "/" or a folder holding it.
    QList<Readable> readable;
    QSet<QByteArray> seen;
    const QList<QByteArray> qt = qtFolders();
    for (const Readable& candidate : candidates) {
        if (candidate.resolved.isEmpty() || home.opensTheHome(candidate.resolved) ||
            seen.contains(candidate.path)) {
            continue;
        }
        // A folder under the home is none of drawing's business, but a font cache's.
        struct stat info {};
        if (home.isUnder(candidate.resolved) && ::stat(candidate.resolved.constData(), &info) == 0 &&
            S_ISDIR(info.st_mode) && !home.cacheFolders.contains(candidate.resolved)) {
            const bool ofQt = std::any_of(qt.begin(), qt.end(), [&candidate](const QByteArray& folder) {
                return canonical(folder) == candidate.resolved;
            });
            if (!ofQt) {
                continue;
            }
        }
        seen.insert(candidate.path);
        readable.append(candidate);
    }
    // A path beneath another given one, where it is found under its own name, is given already
    // (the fonts under /usr).
    QList<QByteArray> givenFolders;
    for (const Readable& entry : readable) {
        struct stat info {};
        if (entry.path == entry.resolved && entry.path != ownProcEntry && !fontFiles.contains(entry.path) &&
            ::stat(entry.resolved.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
            givenFolders.append(entry.resolved);
        }
    }
    QList<Readable> uncovered;
    for (const Readable& entry : readable) {
        const bool beneath =
            entry.path == entry.resolved && entry.path != ownProcEntry &&
            std::any_of(givenFolders.begin(), givenFolders.end(), [&entry](const QByteArray& folder) {
                return folder != entry.resolved && holds(folder, entry.resolved);
            });
        if (!beneath) {
            uncovered.append(entry);
        }
    }
    return uncovered;
}

void DrawingConfinement::prepare() {
    // Fonts' configuration is read here, before any drawing process closes its file system, since
    // it names the font files and caches left readable. Font files and the renderers' font lookups
    // are loaded when a drawing first asks for them, read-only as the confinement allows, so a
    // document without text pays nothing for them.
    FcInit();
    if (prepared()) {
        closeHeld(*prepared());
    }
    Prepared what;
    QList<Readable> given;
    const QList<Readable> readable = readablePaths();
    for (const Readable& entry : readable) {
        // A system path that is a link (/lib to usr/lib) is made as the same link in a namespace's
        // root; what it leads to is given as itself, unless it is given already (under /usr).
        struct stat info {};
        if (entry.path.count('/') == 1 && ::lstat(entry.path.constData(), &info) == 0 &&
            S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(entry.path.constData(), target, sizeof target);
            if (length > 0) {
                what.links.append({entry.path, QByteArray(target, length)});
                const bool covered =
                    std::any_of(readable.begin(), readable.end(), [&entry](const Readable& other) {
                        return other.path == other.resolved && holds(other.resolved, entry.resolved);
                    });
                if (!covered) {
                    given.append(Readable{entry.resolved, entry.resolved});
                }
                continue;
            }
        }
        given.append(entry);
    }
    what.held = hold(given);
    what.filter = buildFilter();
    prepared() = std::move(what);
}

std::vector<int> DrawingConfinement::heldDescriptors() {
    std::vector<int> descriptors;
    if (prepared()) {
        for (const Held& entry : prepared()->held) {
            descriptors.push_back(entry.descriptor);
        }
    }
    return descriptors;
}

DrawingConfinement::Outcome DrawingConfinement::confine() {
    if (!prepared()) {
        prepare();
    }
    Prepared& what = *prepared();
    // Its rules and binds made, it holds nothing of the template's (however it ends).
    const auto closeHeldDescriptors = qScopeGuard([&what] { closeHeld(what); });
    Outcome outcome;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        outcome.failure = "no-new-privileges refused";
        return outcome;
    }
    if (const int threads = threadCount(); threads != 1) {
        outcome.failure = QByteArray::number(threads) + " threads run: the confinement would bind one";
        return outcome;
    }
    // The file system: Landlock, or where the kernel lacks it, has it turned off or a sandbox
    // refuses it, namespaces.
    const int landlock = landlockVersion();
    QByteArray landlockFailure;
    if (landlock >= 1) {
        landlockFailure = closeFileSystem(landlock, what.held);
        outcome.landlock = landlockFailure.isEmpty() ? MeansAnswer::Held : MeansAnswer::Failed;
    } else {
        outcome.landlock = answerOf(-landlock);
        landlockFailure = "Landlock answered " + QByteArray(std::strerror(-landlock));
    }
    if (outcome.landlock == MeansAnswer::Held) {
        outcome.held |= Means::LandlockFileSystem;
    } else {
        const QByteArray namespaceFailure = closeFileSystemWithNamespaces(what, &outcome.namespaces);
        if (outcome.namespaces == MeansAnswer::Held) {
            outcome.held |= Means::NamespaceFileSystem;
        } else {
            outcome.failure = landlockFailure + "; " + namespaceFailure;
        }
    }
    closeHeld(what);
    const auto failed = [&outcome](const QByteArray& failure) {
        outcome.failure += (outcome.failure.isEmpty() ? "" : "; ") + failure;
    };
    // Last, on each of its threads (it refuses the calls of the other means, and the start of
    // any other thread): the drawing thread, started for it, then this one.
    MeansAnswer threadAnswer = MeansAnswer::Held;
    int threadError = 0;
    const QByteArray threadFailure =
        startDrawingThread(&threadAnswer, &threadError, &outcome.noDrawingThread);
    if (outcome.noDrawingThread) {
        failed(threadFailure);
        return outcome;
    }
    const QByteArray filterFailure = loadFilter(&outcome.filter, FilterFor::ThisThread, &outcome.filterError);
    filtered = filtered || outcome.filter == MeansAnswer::Held;
    if (outcome.filter == MeansAnswer::Held && threadAnswer != MeansAnswer::Held) {
        outcome.filter = threadAnswer;
        outcome.filterError = threadError;
    }
    if (outcome.filter != MeansAnswer::Held) {
        failed(filterFailure.isEmpty() ? threadFailure : filterFailure);
    } else if (const int threads = threadCount(); threads != drawingThreads) {
        // Another thread came between the drawing thread and the filter: not one of drawing's.
        failed(QByteArray::number(threads) + " threads run, not " + QByteArray::number(drawingThreads));
    } else {
        outcome.held |= Means::SystemCallFilter;
    }
    return outcome;
}

DrawingConfinement::Outcome DrawingConfinement::prepareAndConfine() {
    prepare();
    return confine();
}

QByteArray DrawingConfinement::loadSystemCallFilter(MeansAnswer* answer) {
    MeansAnswer ignored = MeansAnswer::Held;
    MeansAnswer& said = answer ? *answer : ignored;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        said = MeansAnswer::Failed;
        return "no-new-privileges refused";
    }
    const QByteArray failure = loadFilter(&said, FilterFor::EveryThread);
    filtered = filtered || said == MeansAnswer::Held;
    return failure;
}

} // namespace velmora::images

#if defined(__SANITIZE_ADDRESS__)
// Asked by the leak checker at the process's end: a confined process is not checked, rather than
// ending with the checker's failure.
extern "C" int __lsan_is_turned_off() {
    return velmora::images::filtered ? 1 : 0;
}
#endif
