// What one drawing process may take of the user's machine once a hostile document has taken it
// over: the real program, built with the moves of a renderer taken over (see
// hostile-drawing/HostileMoves.h), in each shape its confinement takes on this machine.
#include "images/coders/vector-render/DrawingConfinement.h"
#include "images/coders/vector-render/DrawingMemoryShare.h"
#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "tests/images/coders/hostile-drawing/HostileMoves.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/KernelStandIn.h"
#include "tests/support/TimeScale.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

int scaled(int milliseconds) {
    return velmora::test::scaledMs(milliseconds);
}

constexpr quint64 mib = 1024 * 1024;

// A shape of a copy's confinement: this kernel's (Landlock, where it has it), or namespaces, the
// kernel stood in for as one without Landlock.
struct Shape {
    const char* name;
    QByteArray kernel;
};

QList<Shape> shapes() {
    QList<Shape> all{{"this kernel", {}}};
    if (userNamespacesWork()) {
        all.append(Shape{"namespaces", "landlock-ENOSYS"});
    }
    return all;
}

// A plain SVG avatar, of bytes of its own.
VectorRenderProtocol::Request svgAvatar(int variant) {
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\"><rect width=\"60\" "
        "height=\"60\" fill=\"#ff0000\"/><!-- " +
        QByteArray::number(variant) + " --></svg>";
    request.pixels = QSize(60, 60);
    return request;
}

// A line of /proc/<pid>/status, as a number (the kB of a memory line); 0 when there is none.
qint64 statusField(qint64 pid, const QByteArray& name) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':')) {
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}

// The soft and hard limit of `name` ("Max cpu time", ...) a process runs under; -1 for unlimited.
std::pair<qint64, qint64> limitOf(qint64 pid, const QByteArray& name) {
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!limits.open(QIODevice::ReadOnly)) {
        return {-2, -2};
    }
    for (const QByteArray& line : limits.readAll().split('\n')) {
        if (line.startsWith(name)) {
            const QList<QByteArray> values = line.mid(name.size()).simplified().split(' ');
            const auto value = [](const QByteArray& text) {
                return text == "unlimited" ? -1 : text.toLongLong();
            };
            return {value(values.value(0)), value(values.value(1))};
        }
    }
    return {-2, -2};
}

int oomScoreAdjustmentOf(qint64 pid) {
    QFile adjustment(QStringLiteral("/proc/%1/oom_score_adj").arg(pid));
    return adjustment.open(QIODevice::ReadOnly) ? adjustment.readAll().trimmed().toInt() : -1001;
}

// Whether a process of this one's has ended, every thread of it (its first thread shows as a
// zombie while the others still end), or is gone.
bool gone(qint64 pid) {
    siginfo_t info{};
    return processState(pid) == 0 ||
           (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid);
}

template <typename Condition> bool eventually(Condition condition, int withinMs = 20000) {
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > scaled(withinMs)) {
            return false;
        }
        QThread::msleep(2);
    }
    return true;
}

// Whether another program of the user (this one) still makes a timer and queues a real-time
// signal: what a copy that drained the user's pending signals took from every program.
bool userStillMakesATimerAndQueuesASignal() {
    sigevent event{};
    event.sigev_notify = SIGEV_NONE;
    timer_t timer{};
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
        return false;
    }
    ::timer_delete(timer);
    // Queued to this thread, which holds it blocked, and taken back at once.
    const int signal = SIGRTMIN + 5;
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, signal);
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &before);
    const bool queued = ::pthread_sigqueue(::pthread_self(), signal, sigval{}) == 0;
    const timespec none{};
    while (::sigtimedwait(&blocked, nullptr, &none) == signal) {
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return queued;
}

class DrawingCopyTest : public ::testing::Test {
protected:
    void SetUp() override { VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000); }
    void TearDown() override {
        VectorRenderHost::setMemoryShareForTesting(0);
        VectorRenderHost::useProgram(m_real);
        VectorRenderHost::setIdleExitMsForTesting(0);
    }

    // Starts the hostile program under `move`, confined in `shape`, from now on.
    void use(const Shape& shape, const char* move) {
        const QString programs = QCoreApplication::applicationDirPath();
        const QString name = shape.kernel.isEmpty() ? QString::fromLatin1(move)
                                                    : QString::fromLatin1(shape.kernel + '@' + move);
        const QString link = m_links.filePath(name);
        if (!QFileInfo::exists(link)) {
            ASSERT_TRUE(QFile::link(programs + (shape.kernel.isEmpty()
                                                    ? QStringLiteral("/velmora_hostile_drawing_program")
                                                    : QStringLiteral("/velmora_kernel_stand_in")),
                                    link));
        }
        VectorRenderHost::useProgram(link);
    }

    const QString m_real = VectorRenderHost::programPath();
    QTemporaryDir m_links;
};

} // namespace

// A copy made 96,356 timers (or queued as many signals to itself) and held them: the user's every
// program got EAGAIN from timer_create and sigqueue, and every avatar went undrawn, for seconds.
// It also sent an out-of-band byte on its socket, read the app's CPU clock, asked whether any pid
// exists, and locked memory through mmap.
TEST_F(DrawingCopyTest, ACopyDrainsNoQuotaOfTheUsersAndAsksNothingOfAnotherProcess) {
    int variant = 0;
    for (const Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        use(shape, "probe");
        VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
        const auto answer = VectorRenderHost::ask(svgAvatar(++variant), &failure);
        ASSERT_TRUE(answer.has_value()) << "the probe's avatar was not answered: " << int(failure);
        const int could = int(answer->pageSize.width()) - 1;
        EXPECT_EQ(could & HostileMoves::OutOfBandByte, 0) << "sent an out-of-band byte";
        EXPECT_EQ(could & HostileMoves::UnusedSocketFlags, 0) << "used flags the protocol never passes";
        EXPECT_EQ(could & HostileMoves::OtherProcessCpuClock, 0) << "read the app's CPU clock";
        EXPECT_EQ(could & HostileMoves::OtherProcessScheduling, 0) << "asked the app's scheduling";
        EXPECT_EQ(could & HostileMoves::LockedMapping, 0) << "locked memory";
        EXPECT_EQ(could & HostileMoves::SharedAnonymousMapping, 0) << "mapped memory beyond its data";
        const int timers = (int(answer->pageSize.height()) - 1) / 1000;
        const int queued = (int(answer->pageSize.height()) - 1) % 1000;
        EXPECT_EQ(timers, 0) << "timers made beside its budget's";
        EXPECT_LE(queued, VectorRenderProtocol::pendingSignals) << "signals queued to itself";
        // Kept idle, it holds what it made; the user's other programs go on.
        EXPECT_TRUE(userStillMakesATimerAndQueuesASignal());
    }
}

// What the kernel holds a copy to, whatever runs in it: its CPU time in all, the signals pending
// for it, no locked memory and its part of the memory share; and every copy and template is the
// first the kernel ends when the machine runs out of memory (a stopped copy of 895 MB scored 690,
// below a browser's tab).
TEST_F(DrawingCopyTest, EveryCopyRunsUnderLimitsOfItsOwnAndIsTheFirstTheOutOfMemoryKillerTakes) {
    const auto plan = DrawingMemoryShare::current();
    int variant = 0;
    for (const Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        use(shape, "none");
        ASSERT_TRUE(VectorRenderHost::ask(svgAvatar(++variant)).has_value());
        // The copy kept for its avatar, and the one its template made ready.
        const std::set<qint64> copies = childProcesses();
        ASSERT_FALSE(copies.empty());
        ASSERT_TRUE(eventually([&] { return std::all_of(copies.begin(), copies.end(), doneConfining); }));
        for (const qint64 pid : copies) {
            if (gone(pid)) {
                continue;
            }
            SCOPED_TRACE("copy " + std::to_string(pid));
            const qint64 cpuSeconds = VectorRenderProtocol::processCpuSeconds;
            EXPECT_EQ(limitOf(pid, "Max cpu time"), std::make_pair(cpuSeconds, cpuSeconds));
            const qint64 pending = VectorRenderProtocol::pendingSignals;
            EXPECT_EQ(limitOf(pid, "Max pending signals"), std::make_pair(pending, pending));
            EXPECT_EQ(limitOf(pid, "Max locked memory"), std::make_pair(qint64(0), qint64(0)));
            if (!sanitized) {
                const qint64 data = qint64(VectorRenderProtocol::dataLimitOf(plan.perCopy));
                EXPECT_EQ(limitOf(pid, "Max data size"), std::make_pair(data, data));
            }
            EXPECT_EQ(oomScoreAdjustmentOf(pid), 1000);
        }
        const std::set<qint64> templates = templateProcesses();
        ASSERT_FALSE(templates.empty());
        for (const qint64 pid : templates) {
            EXPECT_EQ(oomScoreAdjustmentOf(pid), 1000) << "template " << pid;
        }
        // The copies made ready killed, as that killer would: the next avatar is drawn all the same.
        std::set<qint64> killed;
        for (const qint64 pid : childProcesses()) {
            if (processState(pid) != 'T' && ::kill(pid_t(pid), SIGKILL) == 0) {
                killed.insert(pid);
            }
        }
        ASSERT_TRUE(eventually([&] { return std::all_of(killed.begin(), killed.end(), gone); }));
        VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
        EXPECT_TRUE(VectorRenderHost::ask(svgAvatar(++variant), &failure).has_value())
            << "the copies made ready were killed: " << int(failure);
    }
}

// A copy that armed a timer to continue itself once the app had stopped it ran 1.9 s of CPU time
// before the kernel's limit ended it: whatever continues a copy kept idle (its own timer, another
// program of the user, a shell's job control), it is ended once it runs on.
TEST_F(DrawingCopyTest, AStoppedCopyThatRunsAgainIsEndedBeforeItBurnsItsCpuTime) {
    int variant = 0;
    for (const Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        use(shape, "spin-when-continued");
        ASSERT_TRUE(VectorRenderHost::ask(svgAvatar(++variant)).has_value());
        // Kept for its document, stopped.
        qint64 copy = -1;
        ASSERT_TRUE(eventually([&] {
            for (const qint64 pid : childProcesses()) {
                if (processState(pid) == 'T') {
                    copy = pid;
                }
            }
            return copy > 0;
        }));
        const qint64 atStop = processCpuMsOf(pid_t(copy));
        ASSERT_GE(atStop, 0);
        ASSERT_EQ(::kill(pid_t(copy), SIGCONT), 0);
        // Until it is ended, or past the CPU time the kernel leaves it, whichever comes first.
        qint64 since = 0;
        EXPECT_TRUE(eventually(
            [&] {
                if (const qint64 cpuMs = processCpuMsOf(pid_t(copy)); cpuMs >= 0) {
                    since = cpuMs - atStop;
                }
                return gone(copy);
            },
            60000))
            << "still running after " << since << " ms of CPU time";
        std::printf("%s: CPU time after it was continued: %lld ms (at least)\n", shape.name,
                    static_cast<long long>(since));
        EXPECT_LT(since, VectorRenderProtocol::processCpuSeconds * 1000 / 2);
    }
}

// 40 hostile avatars on 4 CPUs made their copies hold 3.36 GB together, each keeping what it took
// while it was stopped: the copies alive at once hold no more than their share, each no more than
// its part of it, and a copy that took much of its part is not kept.
TEST_F(DrawingCopyTest, TheCopiesHoldNoMoreThanTheirShareAtOnceAndAHoardIsNotKept) {
    if (sanitized) {
        GTEST_SKIP() << "a sanitised build's copies reserve terabytes of address space: no memory limit";
    }
    constexpr quint64 share = 256 * mib;
    VectorRenderHost::setMemoryShareForTesting(share);
    const auto plan = DrawingMemoryShare::current();
    ASSERT_EQ(plan.share, share);
    int variant = 0;
    for (const Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        use(shape, "hoard");
        std::atomic<bool> sampling{true};
        std::atomic<qint64> mostKiB{0};
        std::thread sampler([&] {
            while (sampling.load()) {
                qint64 kib = 0;
                for (const qint64 pid : childProcesses()) {
                    kib += statusField(pid, "RssAnon") + statusField(pid, "RssShmem");
                }
                mostKiB = std::max(mostKiB.load(), kib);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const auto stopSampling = qScopeGuard([&] {
            sampling = false;
            sampler.join();
        });
        // Twice as many avatars as the slots, at once.
        std::mutex mutex;
        std::vector<QSizeF> held;
        std::vector<std::thread> asking;
        const int first = 1000 * ++variant;
        for (int i = 0; i < 2 * plan.drawingSlots; ++i) {
            asking.emplace_back([&, i] {
                const auto answer = VectorRenderHost::ask(svgAvatar(first + i));
                std::lock_guard lock(mutex);
                held.push_back(answer ? answer->pageSize : QSizeF());
            });
        }
        for (std::thread& thread : asking) {
            thread.join();
        }
        sampling = false;
        std::printf("%s: the copies held %lld KiB at most together, of a share of %lld\n", shape.name,
                    static_cast<long long>(mostKiB.load()), static_cast<long long>(share / 1024));
        EXPECT_LE(quint64(mostKiB.load()) * 1024, share);
        for (const QSizeF& page : held) {
            ASSERT_FALSE(page.isEmpty()) << "an avatar was not answered";
            const quint64 heldMiB = quint64(page.width()) - 1;
            EXPECT_LE(heldMiB * mib, plan.perCopy) << "MiB one copy held";
            EXPECT_TRUE(gone(qint64(page.height()))) << "a copy holding " << heldMiB << " MiB was kept";
        }
    }
}

// A copy kept idle holds what it took until it is ended: kept for its document only while it holds
// under half its part of the share, one that took more is ended at its answer.
TEST_F(DrawingCopyTest, ACopyIsKeptIdleOnlyWhileItHoldsUnderHalfItsPartOfTheShare) {
    if (sanitized) {
        GTEST_SKIP() << "a sanitised build's copies hold the sanitiser's own memory besides";
    }
    VectorRenderHost::setMemoryShareForTesting(quint64(1) << 40);
    const auto most = DrawingMemoryShare::current();
    const quint64 copies = quint64(most.drawingSlots + most.templates);
    use(shapes().first(), "hoard");
    int variant = 0;
    // The hoard holds its most, which is over half of the first part and under half of the second.
    for (const quint64 partMiB : {256, 512}) {
        SCOPED_TRACE(std::to_string(partMiB) + " MiB a copy");
        VectorRenderHost::setMemoryShareForTesting(partMiB * mib * copies);
        ASSERT_EQ(DrawingMemoryShare::current().perCopy, partMiB * mib);
        const auto answer = VectorRenderHost::ask(svgAvatar(++variant));
        ASSERT_TRUE(answer.has_value());
        ASSERT_EQ(int(answer->pageSize.width()) - 1, HostileMoves::hoardMostMiB);
        EXPECT_EQ(!gone(qint64(answer->pageSize.height())),
                  HostileMoves::hoardMostMiB * mib * 2 < partMiB * mib);
    }
}

// Whatever the cores, the copies alive at once hold an eighth of the RAM at most: fewer draw at
// once where their parts would be too small to draw in, never more than the cores (or two).
TEST(DrawingMemoryShareTest, TheCopiesAliveAtOnceHoldAnEighthOfTheRamAtMostWhateverTheCores) {
    constexpr quint64 gib = 1024 * mib;
    for (const int cores : {1, 2, 8, 64, 256}) {
        for (const quint64 ram : {2 * gib, 8 * gib, 64 * gib, 512 * gib}) {
            SCOPED_TRACE(std::to_string(cores) + " cores, " + std::to_string(ram / gib) + " GiB");
            const auto plan = DrawingMemoryShare::forMachine(ram, cores);
            EXPECT_EQ(plan.share, ram / 8);
            EXPECT_LE(quint64(plan.drawingSlots + plan.templates) * plan.perCopy, plan.share);
            EXPECT_LE(plan.perCopy, gib);
            EXPECT_GE(plan.perCopy, DrawingMemoryShare::leastPerCopy);
            EXPECT_GE(plan.drawingSlots, 1);
            EXPECT_LE(plan.drawingSlots, std::max(2, cores));
            if (cores <= 8 && ram >= 8 * gib) {
                EXPECT_EQ(plan.drawingSlots, std::max(2, cores)) << "the memory holds a copy for each core";
            }
            if ((ram == 8 * gib || ram == 64 * gib) && (cores == 8 || cores == 64)) {
                std::printf("%d cores, %llu GiB: %d drawing, %d ready, %llu MiB each, %llu MiB at most\n",
                            cores, static_cast<unsigned long long>(ram / gib), plan.drawingSlots,
                            plan.templates, static_cast<unsigned long long>(plan.perCopy / mib),
                            static_cast<unsigned long long>(quint64(plan.drawingSlots + plan.templates) *
                                                            plan.perCopy / mib));
            }
        }
    }
}
