#include "tests/images/coders/hostile-drawing/HostileMoves.h"

#include "images/coders/vector-render/DrawingMoves.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QThreadPool>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace velmora::images::testing {

namespace {

enum class Move { None, Threads, Spin, ReadSwapped, Probe, Hoard, SpinWhenContinued, SpinToDeadline };
Move chosen = Move::None;

void* asleep(void*) {
    while (true) {
        ::pause();
    }
    return nullptr;
}

// What the file at `path` gave: nothing (it could not be opened), its bytes, or the tests' secret.
enum class Read { Nothing, Bytes, Secret };
Read readAt(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Read::Nothing;
    }
    char bytes[4096];
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    return got > 0 && QByteArray(bytes, int(got)).contains(HostileMoves::secret) ? Read::Secret : Read::Bytes;
}

[[noreturn]] void spinForEver() {
    volatile unsigned long burnt = 0;
    while (true) {
        burnt = burnt + 1;
    }
}

// Whether a call answered anything but a refusal (a call that ran and failed for its own reasons,
// EAGAIN say, was not refused).
bool ran(long result) {
    return result >= 0 || (errno != EPERM && errno != EACCES && errno != ENOSYS);
}

// Tries each move of the probe (see HostileMoves::Probed); what it could do goes to the answer.
void probe(VectorRenderProtocol::Answer& answer) {
    int could = 0;
    const pid_t app = ::getppid();
    if (ran(::send(STDOUT_FILENO, "!", 1, MSG_OOB | MSG_DONTWAIT | MSG_NOSIGNAL))) {
        could |= HostileMoves::OutOfBandByte;
    }
    char byte = 0;
    if (ran(::send(STDOUT_FILENO, &byte, 0, MSG_MORE | MSG_DONTWAIT | MSG_NOSIGNAL)) ||
        ran(::recv(STDIN_FILENO, &byte, 1, MSG_PEEK | MSG_DONTWAIT))) {
        could |= HostileMoves::UnusedSocketFlags;
    }
    clockid_t clock{};
    timespec used{};
    if (::clock_getcpuclockid(app, &clock) == 0 && ran(::clock_gettime(clock, &used))) {
        could |= HostileMoves::OtherProcessCpuClock;
    }
    sched_param parameters{};
    cpu_set_t cpus;
    if (ran(::sched_getparam(app, &parameters)) || ran(::sched_getscheduler(app)) ||
        ran(::sched_getaffinity(app, sizeof cpus, &cpus))) {
        could |= HostileMoves::OtherProcessScheduling;
    }
    constexpr size_t mapped = 1 << 20;
    if (void* locked =
            ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_LOCKED, -1, 0);
        locked != MAP_FAILED) {
        could |= HostileMoves::LockedMapping;
    }
    if (void* shared = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        shared != MAP_FAILED) {
        could |= HostileMoves::SharedAnonymousMapping;
    }
    // Timers, each kept, as a renderer would keep them to hold the user's pending signals.
    int timers = 0;
    for (int i = 0; i < HostileMoves::probeMost; ++i) {
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGCONT;
        timer_t timer{};
        if (::timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
            ++timers;
        }
    }
    // Real-time signals queued to itself and held blocked: to the process, to its thread, and
    // queued with a value.
    sigset_t realTime;
    sigemptyset(&realTime);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        sigaddset(&realTime, signal);
    }
    // Blocked on both its threads, so that they wait (a signal to the process goes to a thread that
    // does not block it, and its default ends the process).
    ::pthread_sigmask(SIG_BLOCK, &realTime, nullptr);
    QSemaphore blocked;
    QThreadPool::globalInstance()->start([&realTime, &blocked] {
        ::pthread_sigmask(SIG_BLOCK, &realTime, nullptr);
        blocked.release();
    });
    blocked.acquire();
    int queued = 0;
    for (int i = 0; i < HostileMoves::probeMost; ++i) {
        const int signal = SIGRTMIN + 1 + i % 3;
        long sent = -1;
        switch (i % 3) {
        case 0:
            sent = ::kill(::getpid(), signal);
            break;
        case 1:
            sent = ::syscall(SYS_tgkill, ::getpid(), ::gettid(), signal);
            break;
        default: {
            siginfo_t info{};
            info.si_code = SI_QUEUE;
            info.si_pid = ::getpid();
            info.si_uid = ::getuid();
            sent = ::syscall(SYS_rt_sigqueueinfo, ::getpid(), signal, &info);
        }
        }
        queued += sent == 0 ? 1 : 0;
    }
    // Each side at least 1: a page of no area is no answer.
    answer.pageSize = QSizeF(1 + could, 1 + timers * 1000 + queued);
}

// Takes memory a MiB at a time, each page written, until refused or at the most; the MiB held.
int hoard() {
    int held = 0;
    while (held < HostileMoves::hoardMostMiB) {
        void* block = std::malloc(1 << 20);
        if (!block) {
            break;
        }
        std::memset(block, 0x5a, 1 << 20);
        ++held;
    }
    return held;
}

} // namespace

void HostileMoves::choose(const char* argv0) {
    const char* slash = std::strrchr(argv0, '/');
    const QByteArray name = slash ? slash + 1 : argv0;
    chosen = name == "threads"               ? Move::Threads
             : name == "spin"                ? Move::Spin
             : name == "read-swapped"        ? Move::ReadSwapped
             : name == "probe"               ? Move::Probe
             : name == "hoard"               ? Move::Hoard
             : name == "spin-when-continued" ? Move::SpinWhenContinued
             : name == "spin-to-deadline"    ? Move::SpinToDeadline
                                             : Move::None;
}

void HostileMoves::beforeAnswer(VectorRenderProtocol::Answer& answer) {
    if (chosen == Move::Probe) {
        probe(answer);
        return;
    }
    if (chosen == Move::Hoard) {
        answer.pageSize = QSizeF(1 + hoard(), ::getpid());
        return;
    }
    if (chosen == Move::SpinToDeadline) {
        // The budget's alarm finds no handler, and the drawing thread burns beside this one.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGALRM, &ignore, nullptr);
        QThreadPool::globalInstance()->start([] { spinForEver(); });
        spinForEver();
    }
    if (chosen != Move::ReadSwapped) {
        return;
    }
    const QByteArray home = qgetenv("HOME");
    for (const char* file :
         {"/.local/share/fonts/velmora-swapped.ttf", "/.cache/fontconfig/velmora-swapped.cache-8"}) {
        const Read read = readAt(home + file);
        answer.pageSize.rwidth() += read == Read::Secret ? 1 : 0;
        answer.pageSize.rheight() += read != Read::Nothing ? 1 : 0;
    }
}

void HostileMoves::afterAnswer() {
    if (chosen == Move::Spin) {
        spinForEver();
    }
    if (chosen == Move::SpinWhenContinued) {
        ::kill(::getpid(), SIGSTOP);
        spinForEver();
    }
    if (chosen != Move::Threads) {
        return;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    QElapsedTimer taking;
    taking.start();
    int started = 0;
    while (taking.elapsed() < 2000 && started < 1000) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, asleep, nullptr) == 0) {
            ++started;
        } else {
            const timespec moment{0, 1000000};
            ::nanosleep(&moment, nullptr);
        }
    }
    pthread_attr_destroy(&attributes);
}

} // namespace velmora::images::testing

// The drawing program's hooks, in this build of it.
namespace velmora::images::drawingmoves {

void choose(const char* argv0) {
    testing::HostileMoves::choose(argv0);
}

void beforeAnswer(VectorRenderProtocol::Answer& answer) {
    testing::HostileMoves::beforeAnswer(answer);
}

void afterAnswer() {
    testing::HostileMoves::afterAnswer();
}

} // namespace velmora::images::drawingmoves
