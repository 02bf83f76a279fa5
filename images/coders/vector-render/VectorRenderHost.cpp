#include "images/coders/vector-render/VectorRenderHost.h"

#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/coders/vector-render/VectorRenderStream.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/ImageLibraryLog.h"
#include "images/core/Teardown.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QThread>
#include <QtEndian>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::images {

namespace {

struct Process {
    pid_t pid = -1;
    int socket = -1;
};

// How often a wait looks whether the teardown has begun.
constexpr int teardownPollMs = 20;

// Kills the process and waits for it; its wait status (of its own end, when it had ended before
// the kill), or -1 when there was no process.
int end(Process& process) {
    int status = -1;
    if (process.pid > 0) {
        ::kill(process.pid, SIGKILL);
        while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (process.socket >= 0) {
        ::close(process.socket);
    }
    process = Process{};
    return status;
}

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
    std::chrono::milliseconds templateIdleExit{VectorRenderHost::templateIdleExitMs};
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
        end(waiting.process);
    }
}

// Ends a process of the pool's, drawing or idle.
void retire(Process& process);

// Ends the template processes (at the teardown).
void endTemplates();

// How long a template is kept idle now.
std::chrono::milliseconds templateIdleExitNow();

void reap() {
    // Named so that a look at the app's threads tells what this one waits for.
    pthread_setname_np(pthread_self(), "vector-idle");
    auto& shared = pool();
    std::unique_lock lock(shared.mutex);
    while (!shared.stopped && !shared.idle.empty()) {
        const auto now = std::chrono::steady_clock::now();
        // Those not yet seen stopped, once their time to stop is up: stopped, or ended.
        std::optional<Process> ranOn;
        auto due = shared.idle.front().since + shared.idleExit;
        for (auto it = shared.idle.begin(); it != shared.idle.end(); ++it) {
            if (it->stopped) {
                continue;
            }
            const auto stopDue = it->since + std::chrono::milliseconds(VectorRenderHost::stopWithinMs);
            if (now < stopDue) {
                due = std::min(due, stopDue);
            } else if (hasStopped(it->process.pid)) {
                it->stopped = true;
            } else {
                ranOn = it->process;
                shared.idle.erase(it);
                break;
            }
        }
        if (!ranOn && now < due) {
            shared.reaperWake.wait_until(lock, due);
            continue;
        }
        Process process = ranOn ? *ranOn : shared.idle.front().process;
        if (!ranOn) {
            shared.idle.pop_front();
        }
        --shared.counts.alive;
        lock.unlock();
        end(process);
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
            endTemplates();
        });
        return created;
    }();
    return *instance;
}

// The environment a drawing process gets: what fonts and the locale read, and the sanitisers'
// options of a sanitised build; nothing else of the app's.
std::vector<QByteArray> drawingEnvironment() {
    static const char* const kept[] = {"HOME",          "XDG_CACHE_HOME",  "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                       "XDG_DATA_DIRS", "FONTCONFIG_FILE", "FONTCONFIG_PATH", "LANG",
                                       "LC_ALL",        "LC_CTYPE",        "ASAN_OPTIONS",    "UBSAN_OPTIONS",
                                       "LSAN_OPTIONS"};
    std::vector<QByteArray> out;
    for (const char* name : kept) {
        if (qEnvironmentVariableIsSet(name)) {
            out.push_back(QByteArray(name) + '=' + qgetenv(name));
        }
    }
    out.push_back("QT_QPA_PLATFORM=offscreen");
    return out;
}

// A descriptor above the standard three, so that moving the socket onto them never closes it.
int aboveStandard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// Whether the child closes the app's descriptors with close_range (tests pretend it is missing).
std::atomic<bool> closeRangeAvailable{true};

// Where the program's descriptor lies in the child, the first above the standard three.
constexpr int programDescriptor = STDERR_FILENO + 1;

// What the child of the fork does, with only calls that are safe in a copy of a threaded process.
// The program is started from the descriptor opened when it was found, so whatever has become of
// its path since (an upgrade replaced or removed it) the program this app was started with runs.
[[noreturn]] void becomeDrawingProcess(pid_t parent, int socket, int devNull, int program, bool closeRange,
                                       int descriptorLimit, const char* directory, char* const* arguments,
                                       char* const* environment) {
    // Killed when the thread that forked ends (it lives as long as the app), and checked after
    // the fork: the app may have ended before the request took.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        ::_exit(127);
    }
    // A working directory of its own, removed once it is in it: nothing can be put there for
    // anything that opens a relative name.
    if (::chdir(directory) != 0 || ::rmdir(directory) != 0) {
        ::_exit(127);
    }
    // Poppler's allocator reports refused sizes straight to the error stream.
    if (::dup2(socket, STDIN_FILENO) < 0 || ::dup2(socket, STDOUT_FILENO) < 0 ||
        ::dup2(devNull, STDERR_FILENO) < 0) {
        ::_exit(127);
    }
    // Closed as the program starts.
    if (program != programDescriptor && ::dup3(program, programDescriptor, O_CLOEXEC) < 0) {
        ::_exit(127);
    }
    // Nothing else the app holds open: at once where the kernel can (since Linux 5.9), else one
    // by one up to the limit of descriptors, which none can lie above; a process that cannot be
    // sure of it does not go on to read documents.
    if (!closeRange || ::syscall(SYS_close_range, programDescriptor + 1, ~0U, 0) != 0) {
        if (descriptorLimit <= 0) {
            ::_exit(127);
        }
        for (int descriptor = programDescriptor + 1; descriptor < descriptorLimit; ++descriptor) {
            ::close(descriptor);
        }
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &byDefault, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execveat(programDescriptor, "", arguments, environment, AT_EMPTY_PATH);
    ::_exit(127);
}

// The descriptors below which a child closes each one where close_range is missing: the limit of
// descriptors a process may open; none (0) when it is too high to close each in reasonable time.
int descriptorsToClose() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(1) << 20) {
        return 0;
    }
    return int(limit.rlim_cur);
}

// The drawing program: where it was found, and a descriptor of the file found there.
struct Program {
    QByteArray path;
    int descriptor = -1;
};

std::optional<Process> forkProgram(const Program& program) {
    // Everything the child uses is made before the fork.
    QByteArray directory = QFile::encodeName(QDir::tempPath()) + "/velmora-drawing-XXXXXX";
    if (!::mkdtemp(directory.data())) {
        return std::nullopt;
    }
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        ::rmdir(directory.constData());
        return std::nullopt;
    }
    const int theirs = aboveStandard(sockets[1]);
    const int devNull = aboveStandard(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const std::vector<QByteArray> environment = drawingEnvironment();
    std::vector<char*> environmentPointers;
    for (const QByteArray& entry : environment) {
        environmentPointers.push_back(const_cast<char*>(entry.constData()));
    }
    environmentPointers.push_back(nullptr);
    char* arguments[] = {const_cast<char*>(program.path.constData()), nullptr};
    const pid_t parent = ::getpid();
    const int descriptorLimit = descriptorsToClose();
    pid_t pid = -1;
    if (theirs >= 0 && devNull >= 0) {
        pid = ::fork();
        if (pid == 0) {
            becomeDrawingProcess(parent, theirs, devNull, program.descriptor, closeRangeAvailable.load(),
                                 descriptorLimit, directory.constData(), arguments,
                                 environmentPointers.data());
        }
    }
    if (theirs >= 0) {
        ::close(theirs);
    }
    if (devNull >= 0) {
        ::close(devNull);
    }
    if (pid < 0) {
        ::close(sockets[0]);
        ::rmdir(directory.constData());
        return std::nullopt;
    }
    return Process{pid, sockets[0]};
}

// The program at `path`, opened to be started from; no descriptor when there is none to open.
Program openProgram(const QString& path) {
    Program program{QFile::encodeName(path), -1};
    if (!path.isEmpty()) {
        // Above the standard three, which the child points at its socket before it moves this.
        program.descriptor = aboveStandard(::open(program.path.constData(), O_PATH | O_CLOEXEC));
    }
    return program;
}

struct ProgramAtStart {
    Program program;
    QStringList lookedAt;
};

// Looked for once, as the library is loaded (before main()), from the running binary as it was
// started: once an upgrade has replaced or removed that binary, its path leads nowhere or to
// another version, until the app is started again.
const ProgramAtStart& programAtStart() {
    static const ProgramAtStart found = [] {
        ProgramAtStart at;
        // The running binary itself, as the kernel knows it, whoever started it and however.
        const QString binary = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
        const QString path =
            binary.isEmpty() ? QString()
                             : VectorRenderHost::findProgram(QFileInfo(binary).absolutePath(), &at.lookedAt);
        at.program = openProgram(path);
        return at;
    }();
    return found;
}

[[maybe_unused]] const bool drawingProgramLookedForAtStart = (programAtStart(), true);

struct ProgramChoice {
    std::mutex mutex;
    std::optional<Program> chosen; // set by tests
    // Whether a program that ended before it greeted was logged (once for each program).
    bool endLogged = false;
    // Whether the program was refused at a greeting (another version, or a drawing process not
    // confined as a whole): it is not started again until another is chosen, which in the app
    // is at the next start.
    bool refused = false;
    // What was said of the program once (for each program).
    bool versionLogged = false;
    bool unconfinedLogged = false;
    bool namespacesLogged = false;
};

ProgramChoice& programChoice() {
    static auto* instance = new ProgramChoice;
    return *instance;
}

Program program() {
    auto& choice = programChoice();
    std::lock_guard lock(choice.mutex);
    return choice.chosen ? *choice.chosen : programAtStart().program;
}

// Whether `said` of the program at `path` was logged before, and that it is now.
bool loggedBefore(const QByteArray& path, bool ProgramChoice::*said) {
    auto& choice = programChoice();
    std::lock_guard lock(choice.mutex);
    const QByteArray current = choice.chosen ? choice.chosen->path : programAtStart().program.path;
    return current != path || std::exchange(choice.*said, true);
}

void refuseProgram(const QByteArray& path) {
    auto& choice = programChoice();
    std::lock_guard lock(choice.mutex);
    const QByteArray current = choice.chosen ? choice.chosen->path : programAtStart().program.path;
    if (current == path) {
        choice.refused = true;
    }
}

enum class Greeted { Yes, Refused, Silent };

// Why a drawing process is not confined as a whole, in words a user can act on.
QString whyUnconfined(const VectorRenderProtocol::Greeting& said) {
    using MeansAnswer = VectorRenderProtocol::MeansAnswer;
    QStringList why;
    if (!(said.held & VectorRenderProtocol::SystemCallFilter)) {
        switch (said.filter) {
        case MeansAnswer::Missing:
            why << QStringLiteral("the kernel has no system-call filter (seccomp; a kernel built with "
                                  "CONFIG_SECCOMP_FILTER has it)");
            break;
        case MeansAnswer::Refused:
            why << QStringLiteral("a sandbox around the app refused the system-call filter (seccomp)");
            break;
        default:
            // What the kernel said, as it said it: a kernel that refuses a filter as invalid has
            // filters all the same.
            why << (said.filterError != 0
                        ? QStringLiteral("the kernel refused the system-call filter (seccomp answered: %1)")
                              .arg(QString::fromLocal8Bit(std::strerror(int(said.filterError))))
                        : QStringLiteral("the system-call filter (seccomp) could not be loaded"));
        }
    }
    if (!(said.held &
          (VectorRenderProtocol::LandlockFileSystem | VectorRenderProtocol::NamespaceFileSystem))) {
        QString landlock;
        switch (said.landlock) {
        case MeansAnswer::Missing:
            landlock = QStringLiteral("the kernel has no Landlock (Linux 5.13 or later has it)");
            break;
        case MeansAnswer::TurnedOff:
            landlock = QStringLiteral(
                "Landlock is turned off (add landlock to the lsm= list the kernel boots with)");
            break;
        case MeansAnswer::Refused:
            landlock = QStringLiteral("a sandbox around the app refused Landlock");
            break;
        default:
            landlock = QStringLiteral("Landlock could not close the file system");
        }
        const QString namespaces =
            said.namespaces == MeansAnswer::Refused
                ? QStringLiteral(
                      "user namespaces are not allowed to users (the sysctl "
                      "kernel.unprivileged_userns_clone or user.max_user_namespaces, or a sandbox)")
                : QStringLiteral("namespaces could not close it instead");
        why << landlock + QStringLiteral(", and ") + namespaces;
    }
    return why.join(QStringLiteral("; "));
}

// Whether a started process greets as a drawing program of this version, as the template when
// `asTemplate`, otherwise as a drawing process confined as a whole. A program of another version,
// or a drawing process that is not confined as a whole, is refused as soon as it says so; that
// is logged once, and the program is not started again. A file system closed by namespaces,
// Landlock being missing, is logged once too. A process that says nothing (it ended, or the
// deadline passed) is silent.
Greeted greeted(const Process& process, const QByteArray& path, bool asTemplate,
                const QDeadlineTimer& deadline) {
    char greeting[VectorRenderProtocol::greetingSize];
    const auto receive = [&](char* into, qsizetype size) {
        return VectorRenderStream::receive(process.socket, into, size, deadline,
                                           VectorRenderStream::Watch::Teardown);
    };
    if (!receive(greeting, 4)) {
        return Greeted::Silent;
    }
    const auto otherVersion = [&path](const QString& theirs) {
        refuseProgram(path);
        if (!loggedBefore(path, &ProgramChoice::versionLogged)) {
            qCWarning(imageLibraryLog).noquote()
                << "The vector drawing program is of another version (" + theirs +
                       ", this app speaks version " + QString::number(VectorRenderProtocol::version) +
                       "): PDF and SVG images are not drawn until the app is started again";
        }
        return Greeted::Refused;
    };
    if (!VectorRenderProtocol::greetingStartsWell(greeting)) {
        return otherVersion(qFromLittleEndian<quint32>(greeting) == VectorRenderProtocol::unversionedMagic
                                ? QStringLiteral("one from before versions")
                                : QStringLiteral("an unknown greeting"));
    }
    if (!receive(greeting + 4, VectorRenderProtocol::greetingSize - 4)) {
        return Greeted::Silent;
    }
    const VectorRenderProtocol::Greeting said = VectorRenderProtocol::decodeGreeting(greeting);
    if (said.version != VectorRenderProtocol::version) {
        return otherVersion(QStringLiteral("version %1").arg(said.version));
    }
    if (said.isTemplate != asTemplate) {
        return otherVersion(asTemplate ? QStringLiteral("one that starts as a drawing process")
                                       : QStringLiteral("one whose drawing process greets as a template"));
    }
    if (asTemplate) {
        return Greeted::Yes;
    }
    if (said.unconfined || !VectorRenderProtocol::confinedAsAWhole(said.held)) {
        refuseProgram(path);
        {
            std::lock_guard lock(pool().mutex);
            ++pool().counts.refused;
        }
        if (!loggedBefore(path, &ProgramChoice::unconfinedLogged)) {
            qCWarning(imageLibraryLog).noquote()
                << "PDF and SVG images are not drawn: the vector drawing process cannot be confined, since " +
                       whyUnconfined(said) +
                       QStringLiteral(". They show their placeholder until that changes "
                                      "and the app is started again.");
        }
        return Greeted::Refused;
    }
    if (said.held & VectorRenderProtocol::NamespaceFileSystem) {
        if (!loggedBefore(path, &ProgramChoice::namespacesLogged)) {
            VectorRenderProtocol::Greeting landlockOnly = said;
            landlockOnly.held = VectorRenderProtocol::SystemCallFilter;
            landlockOnly.namespaces = VectorRenderProtocol::MeansAnswer::Held;
            const QString landlock = whyUnconfined(landlockOnly).section(QStringLiteral(", and "), 0, 0);
            qCWarning(imageLibraryLog).noquote()
                << "The vector drawing processes close their file system with namespaces, since " + landlock;
        }
    }
    return Greeted::Yes;
}

// Says once what is known of a program that ended before it greeted: its own exit status or the
// signal that ended it (a status of 127 is what the loader gives a program without its libraries).
void logEndBeforeGreeting(const QByteArray& path, int status) {
    const bool ownEnd = WIFEXITED(status) || (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL);
    if (!ownEnd) {
        return;
    }
    {
        auto& choice = programChoice();
        std::lock_guard lock(choice.mutex);
        if (std::exchange(choice.endLogged, true)) {
            return;
        }
    }
    QString how;
    if (!WIFEXITED(status)) {
        how = QStringLiteral("was ended by signal %1 (%2)")
                  .arg(WTERMSIG(status))
                  .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    } else if (WEXITSTATUS(status) == 127) {
        how = QStringLiteral("ended with status 127: it could not be started (a library missing?)");
    } else if (WEXITSTATUS(status) == VectorRenderProtocol::noDrawingThreadStatus) {
        how = QStringLiteral("ended with status %1: it could not start its drawing thread (the user's "
                             "processes at their limit?)")
                  .arg(WEXITSTATUS(status));
    } else {
        how = QStringLiteral("ended with status %1").arg(WEXITSTATUS(status));
    }
    qCWarning(imageLibraryLog).noquote()
        << "The vector drawing program" << QFile::decodeName(path)
        << how + QStringLiteral(" before it greeted:") << "PDF and SVG images are not drawn while it does so";
}

// The template processes. Each hands over one drawing process at a time (made ready before it is
// asked for), and a copy costs it about a millisecond, so a burst of documents is shared among a
// few templates, one for every four drawing slots and at least two, each started when every
// running one is busy. More did not draw a screen of avatars sooner: each is a program's start,
// and they took the cores from the drawings (a first screen of 40 avatars took 130-150 ms with a
// template for each of 8 slots, 80-87 with two or three, at a load of 11-13).
struct Templates {
    struct Entry {
        Process process;
        // The drawing processes it made ready and has not handed over.
        std::vector<qint64> ready;
        QByteArray program;
        // When it last made a drawing process.
        std::chrono::steady_clock::time_point used;
        // Taken by a thread that asks it (or starts it).
        bool busy = false;
        // The program whose last template here died (or ended before it greeted), and when one
        // was last started in place of one that died: the next is started no sooner than the
        // spacing after that. Another program starts at once.
        QByteArray died;
        std::optional<std::chrono::steady_clock::time_point> restarted;
    };
    std::mutex mutex;
    std::condition_variable released;
    std::vector<Entry> entries;
    int started = 0;
};

Templates& templates() {
    // Never destroyed: the teardown step may run after statics are gone.
    static auto* instance = [] {
        auto* created = new Templates;
        created->entries.resize(std::size_t(std::max(2, (VectorRenderHost::maxBusyProcesses() + 3) / 4)));
        return created;
    }();
    return *instance;
}

// A template taken out of its place, to be ended.
struct EndingTemplate {
    Process process;
    std::vector<qint64> ready;
};

EndingTemplate takeOut(Templates::Entry& entry) {
    return {std::exchange(entry.process, Process{}), std::exchange(entry.ready, {})};
}

// Ends a template and the drawing processes it made ready: told its stream ends, it says what it
// made ready since its last answer and ends (within a second, or it is killed); each is waited
// for, as they are this app's children.
void endTemplate(EndingTemplate ending) {
    if (ending.process.socket >= 0) {
        ::shutdown(ending.process.socket, SHUT_WR);
        VectorRenderStream::drainReady(ending.process.socket, QDeadlineTimer(1000), &ending.ready);
    }
    end(ending.process);
    for (const qint64 pid : ending.ready) {
        Process ready{pid_t(pid), -1};
        end(ready);
    }
}

// Starts the template processes from one thread that lives as long as the app: the kernel sends a
// process its death signal when the thread that forked it ends, and image threads come and go. The
// drawing processes a template makes are children of this thread too (see
// VectorRenderStream::forkDrawingProcess), and die with it. The thread also ends a template once
// it has made no process for the idle time; it sleeps until then.
class Starter {
public:
    static Starter& instance() {
        // Never destroyed: its thread is blocked for the process's whole life.
        static auto* created = new Starter;
        return *created;
    }

    // A started process (not yet greeted); nothing when it could not be started in time.
    std::optional<Process> start(const Program& program, const QDeadlineTimer& deadline) {
        auto job = std::make_shared<Job>();
        job->program = program;
        std::unique_lock lock(m_mutex);
        m_jobs.push_back(job);
        m_wake.notify_all();
        while (!job->done) {
            if (Teardown::hasBegun() || deadline.hasExpired()) {
                // The thread ends the process once it has started it.
                job->abandoned = true;
                return std::nullopt;
            }
            m_done.wait_for(lock, std::chrono::milliseconds(teardownPollMs));
        }
        return job->process;
    }

    // Looks again when the templates' idle time is up: when it sleeps with no end due (a template
    // was used for the first time since), or when asked to (the idle time changed). A template
    // used again meanwhile makes it look again when the end it waits for comes.
    void lookAgain(bool always = false) {
        std::lock_guard lock(m_mutex);
        if (always || !m_endDue) {
            m_lookAgain = true;
            m_wake.notify_all();
        }
    }

private:
    struct Job {
        Program program;
        std::optional<Process> process;
        bool done = false;
        bool abandoned = false;
    };

    Starter() {
        std::thread([this] { run(); }).detach();
    }

    // Ends the templates whose idle time is up; when the next one is due, or nothing.
    static std::optional<std::chrono::steady_clock::time_point> endIdleTemplates() {
        auto& shared = templates();
        std::vector<EndingTemplate> ending;
        std::optional<std::chrono::steady_clock::time_point> next;
        {
            std::lock_guard lock(shared.mutex);
            const auto now = std::chrono::steady_clock::now();
            const auto idle = templateIdleExitNow();
            for (Templates::Entry& entry : shared.entries) {
                if (entry.busy || entry.process.pid <= 0) {
                    continue;
                }
                const auto due = entry.used + idle;
                if (now >= due) {
                    ending.push_back(takeOut(entry));
                } else if (!next || due < *next) {
                    next = due;
                }
            }
        }
        for (EndingTemplate& template_ : ending) {
            endTemplate(std::move(template_));
        }
        return next;
    }

    void run() {
        // No handler of the app's runs in a child between the fork and its reset of them.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(m_mutex);
        while (true) {
            if (m_jobs.empty()) {
                m_lookAgain = false;
                lock.unlock();
                const auto due = endIdleTemplates();
                lock.lock();
                m_endDue = due.has_value();
                if (m_jobs.empty() && !m_lookAgain) {
                    if (due) {
                        m_wake.wait_until(lock, *due);
                    } else {
                        m_wake.wait(lock);
                    }
                }
                continue;
            }
            const std::shared_ptr<Job> job = m_jobs.front();
            m_jobs.pop_front();
            if (job->abandoned) {
                continue;
            }
            lock.unlock();
            std::optional<Process> process = forkProgram(job->program);
            lock.lock();
            if (job->abandoned && process) {
                end(*process);
                process.reset();
            }
            job->process = process;
            job->done = true;
            m_done.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Job>> m_jobs;
    bool m_lookAgain = false;
    // Whether it sleeps until a template's end.
    bool m_endDue = false;
};

// A template to ask, taken: a running one of `program` that is free, or else a free place to start
// one in; none when every one stays busy past the deadline or the teardown begins.
std::optional<std::size_t> takeTemplate(const QByteArray& program, const QDeadlineTimer& deadline) {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    std::optional<std::size_t> taken;
    {
        std::unique_lock lock(shared.mutex);
        while (!taken) {
            if (Teardown::hasBegun() || deadline.hasExpired()) {
                break;
            }
            std::optional<std::size_t> empty;
            for (std::size_t i = 0; i < shared.entries.size() && !taken; ++i) {
                Templates::Entry& entry = shared.entries[i];
                if (entry.busy) {
                    continue;
                }
                if (entry.process.pid > 0 && entry.program == program) {
                    taken = i;
                } else if (!empty) {
                    empty = i;
                }
            }
            if (!taken && empty) {
                taken = empty;
                Templates::Entry& entry = shared.entries[*empty];
                if (entry.process.pid > 0) {
                    // Of another program.
                    ending.push_back(takeOut(entry));
                }
            }
            if (taken) {
                shared.entries[*taken].busy = true;
            } else {
                shared.released.wait_for(lock, std::chrono::milliseconds(teardownPollMs));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
    return taken;
}

void giveBackTemplate(std::size_t index) {
    auto& shared = templates();
    {
        std::lock_guard lock(shared.mutex);
        shared.entries[index].busy = false;
        shared.entries[index].used = std::chrono::steady_clock::now();
    }
    shared.released.notify_one();
    // Its idle time from now on.
    Starter::instance().lookAgain();
}

enum class Made { Yes, No, Refused };

// Whether a template of `program` may be started in `entry` now: always, unless its last one
// died, when one was started in place of a dead one less than the spacing ago. Taken, so this
// thread alone reads or changes it.
bool mayStartTemplate(Templates::Entry& entry, const QByteArray& program) {
    if (entry.died != program) {
        entry.died.clear();
        entry.restarted.reset();
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (entry.restarted &&
        now - *entry.restarted < std::chrono::milliseconds(VectorRenderHost::templateRestartSpacingMs)) {
        return false;
    }
    entry.restarted = now;
    entry.died.clear();
    return true;
}

// Starts a template in `entry` (taken) and waits for its greeting. False when none greeted, or the
// program was refused (`made` says so).
bool startTemplate(Templates::Entry& entry, const Program& program, const QDeadlineTimer& deadline,
                   Made* made) {
    std::optional<Process> started = Starter::instance().start(program, deadline);
    if (!started) {
        return false;
    }
    {
        std::lock_guard lock(pool().mutex);
        ++pool().counts.programs;
    }
    const Greeted said = greeted(*started, program.path, true, deadline);
    if (said != Greeted::Yes) {
        // Before the deadline, its stream ended without a greeting: the process ended on its
        // own, or is ending.
        const bool ended = said == Greeted::Silent && !deadline.hasExpired() && !Teardown::hasBegun();
        const int status = end(*started);
        if (ended) {
            logEndBeforeGreeting(program.path, status);
            entry.died = program.path;
        }
        *made = said == Greeted::Refused ? Made::Refused : Made::No;
        return false;
    }
    std::lock_guard lock(templates().mutex);
    entry.process = *started;
    entry.program = program.path;
    ++templates().started;
    return true;
}

// A new drawing process (not yet greeted), made by a template, which is started first when none is
// free; nothing when none could be made in time, or the template was refused (`made` says which).
// A template found gone when asked (killed, or crashed) is ended, and another is started in its
// place and asked at once, as the spacing of such starts allows: the document never pays for it.
std::optional<Process> makeDrawingProcess(const Program& program, const QDeadlineTimer& deadline,
                                          Made* made) {
    *made = Made::No;
    const auto index = takeTemplate(program.path, deadline);
    if (!index) {
        return std::nullopt;
    }
    const auto giveBack = qScopeGuard([&index] { giveBackTemplate(*index); });
    // Taken, so this thread alone reads or changes it.
    Templates::Entry& entry = templates().entries[*index];
    for (bool startedHere = false;;) {
        if (entry.process.pid <= 0) {
            if (!mayStartTemplate(entry, program.path) || !startTemplate(entry, program, deadline, made)) {
                return std::nullopt;
            }
            startedHere = true;
        }
        const bool asked = VectorRenderStream::sendForkRequest(entry.process.socket, deadline,
                                                               VectorRenderStream::Watch::Teardown);
        const auto answer =
            asked ? VectorRenderStream::receiveForkAnswer(entry.process.socket, deadline,
                                                          VectorRenderStream::Watch::Teardown, &entry.ready)
                  : std::nullopt;
        if (answer) {
            if (answer->pid <= 0) {
                return std::nullopt;
            }
            *made = Made::Yes;
            return Process{pid_t(answer->pid), answer->socket};
        }
        // Gone, or out of step with its answers: ended, and another started in its place.
        EndingTemplate gone;
        {
            std::lock_guard lock(templates().mutex);
            gone = takeOut(entry);
        }
        endTemplate(std::move(gone));
        if (deadline.hasExpired() || Teardown::hasBegun()) {
            return std::nullopt;
        }
        entry.died = program.path;
        if (startedHere) {
            // The one started for this document died at once: the next document tries again.
            return std::nullopt;
        }
        startedHere = true;
    }
}

// Ends the templates of `program` that no thread is asking, with the processes they made ready
// (when it is refused: none of them is asked again).
void endTemplatesOf(const QByteArray& program) {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    {
        std::lock_guard lock(shared.mutex);
        for (Templates::Entry& entry : shared.entries) {
            if (!entry.busy && entry.process.pid > 0 && entry.program == program) {
                ending.push_back(takeOut(entry));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
}

// Ends every template, waiting for those in use to be given back (at the teardown, within a few
// milliseconds; at most two seconds).
void endTemplates() {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    {
        std::unique_lock lock(shared.mutex);
        shared.released.wait_for(lock, std::chrono::seconds(2), [&shared] {
            return std::none_of(shared.entries.begin(), shared.entries.end(),
                                [](const Templates::Entry& entry) { return entry.busy; });
        });
        for (Templates::Entry& entry : shared.entries) {
            if (!entry.busy && entry.process.pid > 0) {
                ending.push_back(takeOut(entry));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
}

std::chrono::milliseconds templateIdleExitNow() {
    std::lock_guard lock(pool().mutex);
    return pool().templateIdleExit;
}

std::optional<Process> start(const QDeadlineTimer& deadline, VectorRenderHost::Failure* failure) {
    const Program chosen = program();
    if (chosen.descriptor < 0) {
        // Logged once, with the places looked at.
        (void)VectorRenderHost::programPath();
        *failure = VectorRenderHost::Failure::NoProgram;
        return std::nullopt;
    }
    {
        auto& choice = programChoice();
        std::lock_guard lock(choice.mutex);
        if (choice.refused) {
            *failure = VectorRenderHost::Failure::ProgramRefused;
            return std::nullopt;
        }
    }
    *failure = VectorRenderHost::Failure::NoGreeting;
    Made made = Made::No;
    auto process = makeDrawingProcess(chosen, deadline, &made);
    if (!process) {
        if (made == Made::Refused) {
            *failure = VectorRenderHost::Failure::ProgramRefused;
        }
        return std::nullopt;
    }
    if (const Greeted said = greeted(*process, chosen.path, false, deadline); said != Greeted::Yes) {
        const bool ended = said == Greeted::Silent && !deadline.hasExpired() && !Teardown::hasBegun();
        const int status = end(*process);
        if (ended) {
            logEndBeforeGreeting(chosen.path, status);
        }
        if (said == Greeted::Refused) {
            *failure = VectorRenderHost::Failure::ProgramRefused;
            // Asked no more: nor is any process its templates made ready, which would be left
            // this app's children, ended and never waited for.
            endTemplatesOf(chosen.path);
        }
        return std::nullopt;
    }
    *failure = VectorRenderHost::Failure::None;
    std::lock_guard lock(pool().mutex);
    ++pool().counts.started;
    ++pool().counts.alive;
    return process;
}

// Whether an idle process has said nothing since its last answer: anything it sent unasked
// (or its end) would otherwise be read as the answer to the next request.
bool saidNothing(const Process& process) {
    pollfd entry{process.socket, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 0;
}

// A process for the document `key` names: an idle one that drew that very document, if it has
// said nothing and used no CPU time since, or a new one. A process never draws another document
// than its first: one taken over by a hostile document could answer the next ones as it pleased.
// Before a new one starts, the idle process kept longest is ended when the processes alive would
// otherwise be more than the drawing slots.
std::optional<Process> take(const QByteArray& key, const QDeadlineTimer& deadline,
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
                shared.idle.erase(std::next(it).base());
                break;
            }
        }
        if (!kept && !shared.idle.empty() &&
            shared.busy + int(shared.idle.size()) > VectorRenderHost::maxBusyProcesses()) {
            oldest = shared.idle.front().process;
            shared.idle.pop_front();
        }
    }
    if (oldest) {
        retire(*oldest);
    }
    if (kept) {
        // Stopped since its answer, silent, and no CPU time used: continued, and asked.
        // One not seen stopped yet (on a busy machine) is waited for as long as its time to stop.
        const pid_t pid = kept->process.pid;
        const bool stopped =
            kept->stopped ||
            stopsBy(pid, kept->since + std::chrono::milliseconds(VectorRenderHost::stopWithinMs));
        const qint64 cpuMs = processCpuMsOf(pid);
        if (stopped && saidNothing(kept->process) && cpuMs >= 0 && cpuMs - kept->cpuMs <= idleCpuSlackMs &&
            ::kill(pid, SIGCONT) == 0) {
            return kept->process;
        }
        retire(kept->process);
    }
    return start(deadline, failure);
}

// A drawing slot; none when the teardown begins, or when every slot stays taken for as long as a
// drawing and the start of its process may take (each is given back by then, so only a flood of
// drawings waits this long).
bool takeSlot() {
    auto& shared = pool();
    const QDeadlineTimer deadline(VectorRenderHost::startDeadlineMs + shared.answerDeadlineMs.load());
    std::unique_lock lock(shared.mutex);
    while (shared.busy >= VectorRenderHost::maxBusyProcesses()) {
        if (shared.stopped || Teardown::hasBegun() || deadline.hasExpired()) {
            return false;
        }
        shared.slotFreed.wait_for(lock, std::chrono::milliseconds(teardownPollMs));
    }
    ++shared.busy;
    shared.counts.mostBusy = std::max(shared.counts.mostBusy, shared.busy);
    ++shared.counts.requests;
    return true;
}

void giveBackSlot() {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        --shared.busy;
    }
    shared.slotFreed.notify_one();
}

// Keeps a process that drew well for its document, while what the kernel leaves it of its CPU
// time holds another drawing: each one alive held a drawing slot when it started, and a start ends
// the oldest idle one when more would be alive than the slots. Kept, it is stopped (by itself,
// after its answer): it runs only while it draws.
void giveBack(Process process, const QByteArray& key) {
    auto& shared = pool();
    std::thread finished;
    // Looked at once, and once more after letting it run: what has not stopped by then is left
    // to the reaper (the asking side waits for no process it is done with).
    const bool stopped = hasStopped(process.pid) || (sched_yield(), hasStopped(process.pid));
    const qint64 cpuMs = processCpuMsOf(process.pid);
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.stopped && cpuMs >= 0 && cpuMs <= reusableCpuMs) {
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
                shared.idle.push_back({process, std::chrono::steady_clock::now(), key, cpuMs, stopped});
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
    if (process.pid > 0) {
        retire(process);
    }
}

void retire(Process& process) {
    // Waited for: a process holds its memory until it is gone, and no more are alive at once than
    // the slots.
    end(process);
    std::lock_guard lock(pool().mutex);
    --pool().counts.alive;
}

// What names a document: its kind and a digest of its bytes. Two documents from two places with
// the same bytes are one document (whatever a process learnt of one, it has of the other).
QByteArray documentKey(const VectorRenderProtocol::Request& request) {
    QCryptographicHash digest(QCryptographicHash::Sha256);
    const char kind = char(request.kind);
    digest.addData(QByteArrayView(&kind, 1));
    digest.addData(request.document);
    return digest.result();
}

} // namespace

int VectorRenderHost::maxBusyProcesses() {
    static const int count = std::max(2, QThread::idealThreadCount());
    return count;
}

QString VectorRenderHost::findProgram(const QString& binaryDirectory, QStringList* lookedAt) {
    const QString name = QStringLiteral(VELMORA_DRAWING_PROGRAM_NAME);
    const QStringList places{
        QDir::cleanPath(binaryDirectory + QLatin1Char('/') +
                        QStringLiteral(VELMORA_DRAWING_PROGRAM_FROM_BINDIR) + QLatin1Char('/') + name),
        QDir::cleanPath(binaryDirectory + QLatin1Char('/') + name),
    };
    if (lookedAt) {
        *lookedAt = places;
    }
    for (const QString& place : places) {
        const QFileInfo file(place);
        if (file.isFile() && file.isExecutable()) {
            return place;
        }
    }
    return {};
}

QString VectorRenderHost::programPath() {
    {
        auto& choice = programChoice();
        std::lock_guard lock(choice.mutex);
        if (choice.chosen) {
            return QFile::decodeName(choice.chosen->path);
        }
    }
    static const bool logged = [] {
        const ProgramAtStart& found = programAtStart();
        if (found.program.descriptor < 0) {
            qCWarning(imageLibraryLog).noquote()
                << "No vector drawing program: PDF and SVG images are not drawn. Looked for"
                << (found.lookedAt.isEmpty() ? QStringLiteral("nothing: the running binary was not found")
                                             : found.lookedAt.join(QStringLiteral(" and ")));
        }
        return true;
    }();
    (void)logged;
    return QFile::decodeName(programAtStart().program.path);
}

void VectorRenderHost::useProgram(const QString& path) {
    {
        auto& choice = programChoice();
        std::lock_guard lock(choice.mutex);
        if (choice.chosen && choice.chosen->descriptor >= 0) {
            ::close(choice.chosen->descriptor);
        }
        choice.chosen = openProgram(path);
        choice.endLogged = false;
        choice.refused = false;
        choice.versionLogged = choice.unconfinedLogged = choice.namespacesLogged = false;
    }
    endIdle(pool());
    endTemplates();
}

std::optional<VectorRenderProtocol::Answer> VectorRenderHost::ask(const VectorRenderProtocol::Request& asked,
                                                                  Failure* failure) {
    Failure ignored = Failure::None;
    Failure& why = failure ? *failure : ignored;
    why = Failure::None;
    if (asked.document.size() > VectorRenderProtocol::maxDocumentBytes || asked.page < 0 ||
        (asked.fit && (!asked.pixels.isEmpty() || !VectorRenderProtocol::fitted(QSizeF(1, 1), *asked.fit)))) {
        why = Failure::AnswerRefused;
        return std::nullopt;
    }
    // From here on a request without an answer says nothing about the document: no slot or no
    // process in time, a process killed or crashed, or the teardown. Only an answer that the
    // drawing ran out of its budget is the document's own doing.
    if (Teardown::hasBegun()) {
        why = Failure::TornDown;
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    if (!takeSlot()) {
        why = Teardown::hasBegun() ? Failure::TornDown : Failure::Busy;
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    const auto slot = qScopeGuard([] { giveBackSlot(); });
    // A new process's start and greeting have a bound of their own: they are not the document's
    // cost, and take seconds on a busy machine.
    const QDeadlineTimer started(startDeadlineMs);
    const QByteArray key = documentKey(asked);
    auto process = take(key, started, &why);
    if (!process) {
        if (Teardown::hasBegun()) {
            why = Failure::TornDown;
        }
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    // The drawing's time, from the request on. A decode tried in the quick lane gives its drawing
    // only the lane's limit; the process is killed then like at its own deadline, and the decode
    // is tried again with the whole budget.
    const int answerDeadlineMs = pool().answerDeadlineMs.load();
    const QDeadlineTimer deadline(answerDeadlineMs);
    const int quickMs = DecodeAttempt::quickDrawingMs();
    const bool quick = quickMs > 0 && quickMs < answerDeadlineMs;
    QDeadlineTimer drawing = deadline;
    if (quick) {
        const QDeadlineTimer quickLimit(quickMs);
        if (quickLimit < deadline) {
            drawing = quickLimit;
        }
    }
    // An id no process can guess: an answer sent ahead, or late, is refused.
    VectorRenderProtocol::Request request = asked;
    request.id = QRandomGenerator::global()->generate();
    const QByteArray header = VectorRenderProtocol::encodeRequestHeader(request);
    char answerHeader[VectorRenderProtocol::answerHeaderSize];
    std::optional<VectorRenderProtocol::Answer> answer;
    bool refused = false;
    const auto send = [&](const char* data, qsizetype size) {
        return VectorRenderStream::send(process->socket, data, size, drawing,
                                        VectorRenderStream::Watch::Teardown);
    };
    const auto receive = [&](char* data, qsizetype size) {
        return VectorRenderStream::receive(process->socket, data, size, drawing,
                                           VectorRenderStream::Watch::Teardown);
    };
    {
        std::lock_guard lock(pool().mutex);
        ++pool().counts.sent;
    }
    if (send(header.constData(), header.size()) &&
        send(request.document.constData(), request.document.size()) &&
        receive(answerHeader, sizeof answerHeader)) {
        answer = VectorRenderProtocol::decodeAnswerHeader(answerHeader, request);
        refused = !answer;
    }
    if (answer && !answer->image.isNull()) {
        QImage& image = answer->image;
        const qsizetype row = qsizetype(image.width()) * 4;
        if (image.bytesPerLine() == row) {
            // The rows lie one after the other, as they come.
            if (!receive(reinterpret_cast<char*>(image.bits()), row * image.height())) {
                answer.reset();
            }
        }
        for (int y = 0; answer && image.bytesPerLine() != row && y < image.height(); ++y) {
            if (!receive(reinterpret_cast<char*>(image.scanLine(y)), row)) {
                answer.reset();
            }
        }
    }
    if (!answer) {
        why = Teardown::hasBegun()   ? Failure::TornDown
              : refused              ? Failure::AnswerRefused
              : drawing.hasExpired() ? Failure::TimedOut
                                     : Failure::Ended;
    }
    // A process that ran out of its budget may have been stopped anywhere (and ends itself when
    // its own timers stopped it): the next request gets a new one.
    const bool stopped = answer && (answer->status == VectorRenderProtocol::Status::OverBudget ||
                                    answer->status == VectorRenderProtocol::Status::OutOfTime);
    if (answer && !stopped) {
        giveBack(*process, key);
    } else {
        retire(*process);
    }
    if (answer) {
        if (answer->status == VectorRenderProtocol::Status::OverBudget) {
            DecodeAttempt::noteOverBudget();
        } else if (answer->status == VectorRenderProtocol::Status::OutOfTime) {
            // Its wall time ran out with CPU time to spare: the machine's load, not the document.
            DecodeAttempt::noteNoDrawing();
        }
    } else if (quick && drawing.hasExpired() && !Teardown::hasBegun()) {
        DecodeAttempt::noteGaveUpAtQuickLimit();
    } else {
        DecodeAttempt::noteNoDrawing();
    }
    return answer;
}

void VectorRenderHost::setAnswerDeadlineMsForTesting(int milliseconds) {
    pool().answerDeadlineMs.store(milliseconds > 0 ? milliseconds : VectorRenderProtocol::answerDeadlineMs);
}

void VectorRenderHost::setCloseRangeForTesting(bool available) {
    closeRangeAvailable.store(available);
}

void VectorRenderHost::setIdleExitMsForTesting(int milliseconds) {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        shared.idleExit = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : idleExitMs);
        shared.templateIdleExit =
            std::chrono::milliseconds(milliseconds > 0 ? milliseconds : templateIdleExitMs);
    }
    shared.reaperWake.notify_all();
    Starter::instance().lookAgain(true);
}

std::pair<int, int> VectorRenderHost::templatesForTesting() {
    auto& shared = templates();
    std::lock_guard lock(shared.mutex);
    return {shared.started,
            int(std::count_if(shared.entries.begin(), shared.entries.end(),
                              [](const Templates::Entry& entry) { return entry.process.pid > 0; }))};
}

VectorRenderHost::Counts VectorRenderHost::takeCountsForTesting() {
    auto& shared = pool();
    std::lock_guard lock(shared.mutex);
    const Counts counts = shared.counts;
    shared.counts.started = 0;
    shared.counts.requests = 0;
    shared.counts.refused = 0;
    shared.counts.sent = 0;
    shared.counts.programs = 0;
    shared.counts.mostBusy = shared.busy;
    return counts;
}

} // namespace velmora::images
