#include "images/coders/vector-render/DrawingConfinement.h"

#include "images/coders/vector-render/LandlockFileSystem.h"
#include "images/coders/vector-render/NamespaceFileSystem.h"
#include "images/coders/vector-render/ReadablePaths.h"
#include "images/coders/vector-render/SystemCallFilter.h"

#include <fontconfig/fontconfig.h>

#include <QScopeGuard>
#include <QSemaphore>
#include <QThreadPool>

#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace velmora::images {

namespace {

// What prepare() worked out, for every drawing process the template makes.
struct Prepared {
    ReadablePaths::Given given;
    std::optional<SystemCallFilter::Program> filter;
};
std::optional<Prepared>& prepared() {
    static std::optional<Prepared> instance;
    return instance;
}

// The filter this process loads: the one prepare() built, or else one built once here.
const std::optional<SystemCallFilter::Program>& builtFilter() {
    if (prepared() && prepared()->filter) {
        return prepared()->filter;
    }
    static const std::optional<SystemCallFilter::Program> built = SystemCallFilter::build();
    return built;
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
        loaded->failure = SystemCallFilter::load(builtFilter(), &loaded->answer,
                                                 SystemCallFilter::For::ThisThread, &loaded->error);
        loaded->done.release();
    });
    // A thread is made before start() returns, or never (the user's processes at their limit).
    if (const int threads = SystemCallFilter::threadsOfThisProcess();
        threads != DrawingConfinement::drawingThreads) {
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

DrawingConfinement::MeansAnswer DrawingConfinement::answerTo(int error) {
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

QList<DrawingConfinement::Readable> DrawingConfinement::readablePaths() {
    return ReadablePaths::list();
}

void DrawingConfinement::prepare() {
    // Fonts' configuration is read here, before any drawing process closes its file system, since
    // it names the font files and caches left readable. Font files and the renderers' font lookups
    // are loaded when a drawing first asks for them, read-only as the confinement allows, so a
    // document without text pays nothing for them.
    FcInit();
    if (prepared()) {
        ReadablePaths::close(prepared()->given.held);
    }
    Prepared what;
    what.given = ReadablePaths::open();
    what.filter = SystemCallFilter::build();
    prepared() = std::move(what);
}

std::vector<int> DrawingConfinement::heldDescriptors() {
    std::vector<int> descriptors;
    if (prepared()) {
        for (const ReadablePaths::Held& entry : prepared()->given.held) {
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
    const auto closeHeldDescriptors = qScopeGuard([&what] { ReadablePaths::close(what.given.held); });
    Outcome outcome;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        outcome.failure = "no-new-privileges refused";
        return outcome;
    }
    if (const int threads = SystemCallFilter::threadsOfThisProcess(); threads != 1) {
        outcome.failure = QByteArray::number(threads) + " threads run: the confinement would bind one";
        return outcome;
    }
    // The file system: Landlock, or where the kernel lacks it, has it turned off or a sandbox
    // refuses it, namespaces.
    const int landlock = LandlockFileSystem::version();
    QByteArray landlockFailure;
    if (landlock >= 1) {
        landlockFailure = LandlockFileSystem::close(landlock, what.given.held);
        outcome.landlock = landlockFailure.isEmpty() ? MeansAnswer::Held : MeansAnswer::Failed;
    } else {
        outcome.landlock = answerTo(-landlock);
        landlockFailure = "Landlock answered " + QByteArray(std::strerror(-landlock));
    }
    if (outcome.landlock == MeansAnswer::Held) {
        outcome.held |= Means::LandlockFileSystem;
    } else {
        const QByteArray namespaceFailure = NamespaceFileSystem::close(what.given, &outcome.namespaces);
        if (outcome.namespaces == MeansAnswer::Held) {
            outcome.held |= Means::NamespaceFileSystem;
        } else {
            outcome.failure = landlockFailure + "; " + namespaceFailure;
        }
    }
    ReadablePaths::close(what.given.held);
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
    const QByteArray filterFailure = SystemCallFilter::load(
        builtFilter(), &outcome.filter, SystemCallFilter::For::ThisThread, &outcome.filterError);
    if (outcome.filter == MeansAnswer::Held && threadAnswer != MeansAnswer::Held) {
        outcome.filter = threadAnswer;
        outcome.filterError = threadError;
    }
    if (outcome.filter != MeansAnswer::Held) {
        failed(filterFailure.isEmpty() ? threadFailure : filterFailure);
    } else if (const int threads = SystemCallFilter::threadsOfThisProcess(); threads != drawingThreads) {
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
    const QByteArray failure =
        SystemCallFilter::load(builtFilter(), &said, SystemCallFilter::For::EveryThread);
    return failure;
}

} // namespace velmora::images
