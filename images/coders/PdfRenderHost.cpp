#include "images/coders/PdfRenderHost.h"

#include "images/coders/PdfRenderStream.h"
#include "images/core/Teardown.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QThread>
#include <QtEndian>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

extern char** environ;

namespace velmora::images {

namespace {

struct Process {
    pid_t pid = -1;
    int socket = -1;
};

// How often a wait for a drawing slot looks whether the teardown has begun.
constexpr int teardownPollMs = 20;

void end(Process& process) {
    if (process.pid > 0) {
        ::kill(process.pid, SIGKILL);
        while (::waitpid(process.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (process.socket >= 0) {
        ::close(process.socket);
    }
    process = Process{};
}

struct IdleProcess {
    Process process;
    std::chrono::steady_clock::time_point since;
};

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
    std::chrono::milliseconds idleExit{PdfRenderHost::idleExitMs};
    // Runs while processes are idle, asleep until the front one's time is up.
    std::thread reaper;
    bool reaping = false;
    bool stopped = false;
    PdfRenderHost::Counts counts;
};

Pool& pool();

// Ends a process of the pool's, drawing or idle.
void retire(Process& process);

void reap() {
    // Named so that a look at the app's threads tells what this one waits for.
    pthread_setname_np(pthread_self(), "pdf-idle-exit");
    auto& shared = pool();
    std::unique_lock lock(shared.mutex);
    while (!shared.stopped && !shared.idle.empty()) {
        const auto due = shared.idle.front().since + shared.idleExit;
        if (std::chrono::steady_clock::now() < due) {
            shared.reaperWake.wait_until(lock, due);
            continue;
        }
        Process process = shared.idle.front().process;
        shared.idle.pop_front();
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
        Teardown::add(Teardown::Stage::Network, [created] {
            std::deque<IdleProcess> idle;
            std::thread reaper;
            {
                std::lock_guard lock(created->mutex);
                created->stopped = true;
                idle.swap(created->idle);
                created->counts.alive -= int(idle.size());
                reaper.swap(created->reaper);
            }
            created->reaperWake.notify_all();
            for (IdleProcess& waiting : idle) {
                end(waiting.process);
            }
            if (reaper.joinable()) {
                reaper.join();
            }
        });
        return created;
    }();
    return *instance;
}

std::optional<Process> start() {
    const QByteArray program = QFile::encodeName(PdfRenderHost::programPath());
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
    // Poppler's allocator reports refused sizes straight to the error stream.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* arguments[] = {const_cast<char*>(program.constData()), nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, program.constData(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sockets[1]);
    Process process{failed == 0 ? pid : -1, sockets[0]};
    if (failed != 0) {
        end(process);
        return std::nullopt;
    }
    char greeting[4];
    if (!PdfRenderStream::receive(process.socket, greeting, 4,
                                  QDeadlineTimer(PdfRenderProtocol::startDeadlineMs),
                                  PdfRenderStream::Watch::Teardown) ||
        qFromLittleEndian<quint32>(greeting) != PdfRenderProtocol::magic) {
        end(process);
        return std::nullopt;
    }
    std::lock_guard lock(pool().mutex);
    ++pool().counts.started;
    ++pool().counts.alive;
    return process;
}

std::optional<Process> take() {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        if (shared.stopped) {
            return std::nullopt;
        }
        if (!shared.idle.empty()) {
            const Process process = shared.idle.back().process;
            shared.idle.pop_back();
            return process;
        }
    }
    return start();
}

// A drawing slot; none when the teardown begins, or when every slot stays taken for as long as a
// drawing may take (each is given back by then, so only a flood of drawings waits this long).
bool takeSlot() {
    auto& shared = pool();
    const QDeadlineTimer deadline(PdfRenderProtocol::answerDeadlineMs);
    std::unique_lock lock(shared.mutex);
    while (shared.busy >= PdfRenderHost::maxBusyProcesses()) {
        if (shared.stopped || Teardown::hasBegun() || deadline.hasExpired()) {
            return false;
        }
        shared.slotFreed.wait_for(lock, std::chrono::milliseconds(teardownPollMs));
    }
    ++shared.busy;
    shared.counts.mostBusy = std::max(shared.counts.mostBusy, shared.busy);
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

// Keeps a process that drew well, however many are idle: each one alive held a drawing slot when
// it started, so there are never more than drew at once.
void giveBack(Process process) {
    auto& shared = pool();
    std::thread finished;
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.stopped) {
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
                shared.idle.push_back({process, std::chrono::steady_clock::now()});
                process = Process{};
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
    end(process);
    std::lock_guard lock(pool().mutex);
    --pool().counts.alive;
}

} // namespace

int PdfRenderHost::maxBusyProcesses() {
    static const int count = std::max(2, QThread::idealThreadCount());
    return count;
}

QString PdfRenderHost::programPath() {
    static const QString path = [] {
        const QString name = QStringLiteral("velmora-pdf-render");
        if (QCoreApplication::instance()) {
            const QFileInfo beside(QCoreApplication::applicationDirPath() + QLatin1Char('/') + name);
            if (beside.isExecutable()) {
                return beside.filePath();
            }
        }
        return QStringLiteral(VELMORA_PDF_RENDER_PROGRAM);
    }();
    return path;
}

std::optional<PdfRenderProtocol::Answer> PdfRenderHost::ask(const PdfRenderProtocol::Request& request) {
    if (request.document.size() > PdfRenderProtocol::maxDocumentBytes || request.page < 0 ||
        Teardown::hasBegun()) {
        return std::nullopt;
    }
    if (!takeSlot()) {
        return std::nullopt;
    }
    const auto slot = qScopeGuard([] { giveBackSlot(); });
    auto process = take();
    if (!process) {
        return std::nullopt;
    }
    const QDeadlineTimer deadline(PdfRenderProtocol::answerDeadlineMs);
    const QByteArray header = PdfRenderProtocol::encodeRequestHeader(request);
    char answerHeader[PdfRenderProtocol::answerHeaderSize];
    std::optional<PdfRenderProtocol::Answer> answer;
    const auto send = [&](const char* data, qsizetype size) {
        return PdfRenderStream::send(process->socket, data, size, deadline, PdfRenderStream::Watch::Teardown);
    };
    const auto receive = [&](char* data, qsizetype size) {
        return PdfRenderStream::receive(process->socket, data, size, deadline,
                                        PdfRenderStream::Watch::Teardown);
    };
    if (send(header.constData(), header.size()) &&
        send(request.document.constData(), request.document.size()) &&
        receive(answerHeader, sizeof answerHeader)) {
        answer = PdfRenderProtocol::decodeAnswerHeader(answerHeader, request);
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
    if (answer) {
        giveBack(*process);
    } else {
        retire(*process);
    }
    return answer;
}

void PdfRenderHost::setIdleExitMsForTesting(int milliseconds) {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        shared.idleExit = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : idleExitMs);
    }
    shared.reaperWake.notify_all();
}

PdfRenderHost::Counts PdfRenderHost::takeCountsForTesting() {
    auto& shared = pool();
    std::lock_guard lock(shared.mutex);
    const Counts counts = shared.counts;
    shared.counts.started = 0;
    shared.counts.mostBusy = shared.busy;
    return counts;
}

} // namespace velmora::images
