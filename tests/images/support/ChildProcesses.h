#pragma once

#include "images/coders/vector-render/DrawingConfinement.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

// What the tests of the drawing processes share: a wait that a drawing which never ends cannot
// hang, the processes this one started, and this test executable run again for one test.
namespace velmora::images::testing {

// Runs `work` on a thread of its own and waits at most `limitMs` for it, so that a drawing that
// never ends fails its test rather than hanging it (the thread is left to the process's end).
template <typename Result>
std::optional<Result> within(int limitMs, std::function<Result()> work, qint64* elapsedMs = nullptr) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    auto shared = std::make_shared<Shared>();
    QElapsedTimer timer;
    timer.start();
    std::thread([shared, work = std::move(work)] {
        Result result = work();
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->done.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, std::chrono::milliseconds(limitMs),
                          [&] { return shared->result.has_value(); });
    if (elapsedMs) {
        *elapsedMs = timer.elapsed();
    }
    return shared->result;
}

// The name the drawing program's template process gives itself: it reads no document, and is
// not one of the drawing processes the tests count.
inline constexpr const char* drawingTemplateName = "vector-template";

// This process's children not yet reaped but the drawing template; those that have ended
// (zombies, which hold nothing) only when asked for.
inline std::set<qint64> childProcesses(bool withEnded = false) {
    std::set<qint64> found;
    const qint64 self = ::getpid();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        const qsizetype open = line.indexOf('(');
        const QByteArray name = line.mid(open + 1, line.lastIndexOf(')') - open - 1);
        if (fields.size() > 1 && (withEnded || fields.at(0) != "Z") && fields.at(1).toLongLong() == self &&
            name != drawingTemplateName) {
            found.insert(entry.toLongLong());
        }
    }
    return found;
}

// The templates of this process, running: the processes named as the drawing program's template.
inline std::set<qint64> templateProcesses() {
    std::set<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (status.open(QIODevice::ReadOnly)) {
            const QByteArray text = status.readAll();
            if (text.startsWith(QByteArray("Name:\t") + drawingTemplateName + '\n') &&
                text.contains("\nPPid:\t" + QByteArray::number(::getpid()) + "\n") &&
                !text.contains("State:\tZ")) {
                found.insert(entry.toLongLong());
            }
        }
    }
    return found;
}

// A process's state letter (R, S, T, Z ...), or 0 once it is gone.
inline char processState(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray text = stat.readAll();
    const qsizetype at = text.lastIndexOf(')') + 2;
    return at < text.size() ? text.at(at) : 0;
}

// Whether a drawing process is done confining itself (a copy a template made ready does so at
// once, beside what a test looks at): its drawing thread started (once its file system is closed)
// and its own thread under the filter, loaded last; or it has ended.
inline bool doneConfining(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray text = status.readAll();
    return text.contains("State:\tZ") ||
           (text.contains("Seccomp:\t2") &&
            text.contains("\nThreads:\t" + QByteArray::number(DrawingConfinement::drawingThreads) + "\n"));
}

// Starts this test executable again, running only `test`, with `variable` set to `value`.
inline void startTestInChild(QProcess& child, const char* variable, const QString& test,
                             const QString& value = QStringLiteral("1")) {
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(variable), value);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + test});
}

// The milliseconds a child printed as "teardown took N ms"; nothing when it printed none.
inline std::optional<int> teardownMsIn(const QString& output) {
    const qsizetype at = output.indexOf(QStringLiteral("teardown took "));
    if (at < 0) {
        return std::nullopt;
    }
    return output.mid(at + 14).section(QLatin1Char(' '), 0, 0).toInt();
}

} // namespace velmora::images::testing
