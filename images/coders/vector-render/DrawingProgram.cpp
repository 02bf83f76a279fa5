#include "images/coders/vector-render/DrawingProgram.h"

#include "images/coders/vector-render/DrawingProcessPool.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/coders/vector-render/VectorRenderStream.h"
#include "images/core/ImageLibraryLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora::images {

namespace {

using Program = DrawingProgram::File;
using Greeted = DrawingProgram::Greeted;

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

} // namespace

DrawingProgram::File DrawingProgram::current() {
    return program();
}

QString DrawingProgram::currentPath() {
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

void DrawingProgram::choose(const QString& path) {
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

bool DrawingProgram::refused() {
    auto& choice = programChoice();
    std::lock_guard lock(choice.mutex);
    return choice.refused;
}

std::optional<DrawingProcess> DrawingProgram::start(const File& program, const QList<QByteArray>& arguments) {
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
    std::vector<char*> argumentPointers{const_cast<char*>(program.path.constData())};
    for (const QByteArray& argument : arguments) {
        argumentPointers.push_back(const_cast<char*>(argument.constData()));
    }
    argumentPointers.push_back(nullptr);
    const pid_t parent = ::getpid();
    const int descriptorLimit = descriptorsToClose();
    pid_t pid = -1;
    if (theirs >= 0 && devNull >= 0) {
        pid = ::fork();
        if (pid == 0) {
            becomeDrawingProcess(parent, theirs, devNull, program.descriptor, closeRangeAvailable.load(),
                                 descriptorLimit, directory.constData(), argumentPointers.data(),
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
    return DrawingProcess{pid, sockets[0]};
}

DrawingProgram::Greeted DrawingProgram::greeted(const DrawingProcess& process, const QByteArray& path,
                                                bool asTemplate, const QDeadlineTimer& deadline) {
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
        DrawingProcessPool::count(&VectorRenderHost::Counts::refused);
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

void DrawingProgram::logEndBeforeGreeting(const QByteArray& path, int status) {
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

void DrawingProgram::setCloseRangeForTesting(bool available) {
    closeRangeAvailable.store(available);
}

} // namespace velmora::images
