#include "images/coders/PdfRenderHost.h"

#include "images/core/DecodeAttempt.h"
#include "images/core/Teardown.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QThread>
#include <QtEndian>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

extern char** environ;

namespace velmora::images {

namespace {

struct Process {
    pid_t pid = -1;
    int socket = -1;
};

// How often a wait looks whether the teardown has begun.
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

struct Pool {
    std::mutex mutex;
    std::condition_variable slotFreed;
    std::vector<Process> idle;
    // Processes drawing now: each may hold its address-space limit of memory until it is killed,
    // so no more draw at once than the machine has cores.
    int busy = 0;
    bool stopped = false;
};

Pool& pool() {
    // Never destroyed: the teardown step may run after statics are gone.
    static Pool* instance = [] {
        auto* created = new Pool;
        Teardown::add(Teardown::Stage::Network, [created] {
            std::vector<Process> idle;
            {
                std::lock_guard lock(created->mutex);
                created->stopped = true;
                idle.swap(created->idle);
            }
            for (Process& process : idle) {
                end(process);
            }
        });
        return created;
    }();
    return *instance;
}

// Waits until the socket is ready for `events`; false once the deadline passed, the teardown
// began or the other end is gone without anything to read.
bool waitFor(int socket, short events, const QDeadlineTimer& deadline) {
    while (!Teardown::hasBegun()) {
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            return false;
        }
        pollfd entry{socket, events, 0};
        const int slice = left < 0 ? teardownPollMs : int(std::min<qint64>(left, teardownPollMs));
        const int ready = ::poll(&entry, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0) {
            return (entry.revents & events) != 0 || (entry.revents & POLLIN) != 0;
        }
    }
    return false;
}

// Both try the socket first and wait only when it is not ready: an answer of a small page is
// mostly there at once, and a wait for each of its pieces would cost more than drawing it.
bool sendAll(int socket, const char* data, qsizetype size, const QDeadlineTimer& deadline) {
    while (size > 0) {
        if (deadline.hasExpired() || Teardown::hasBegun()) {
            return false;
        }
        const ssize_t sent = ::send(socket, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(socket, POLLOUT, deadline)) {
                return false;
            }
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= sent;
    }
    return true;
}

bool receiveAll(int socket, char* data, qsizetype size, const QDeadlineTimer& deadline) {
    while (size > 0) {
        if (deadline.hasExpired() || Teardown::hasBegun()) {
            return false;
        }
        const ssize_t got = ::recv(socket, data, size_t(size), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(socket, POLLIN, deadline)) {
                return false;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= got;
    }
    return true;
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
    if (!receiveAll(process.socket, greeting, 4, QDeadlineTimer(PdfRenderProtocol::startDeadlineMs)) ||
        qFromLittleEndian<quint32>(greeting) != PdfRenderProtocol::magic) {
        end(process);
        return std::nullopt;
    }
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
            const Process process = shared.idle.back();
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

void giveBack(Process process) {
    auto& shared = pool();
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.stopped && int(shared.idle.size()) < PdfRenderHost::maxIdleProcesses) {
            shared.idle.push_back(process);
            return;
        }
    }
    end(process);
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
    if (request.document.size() > PdfRenderProtocol::maxDocumentBytes || request.page < 0) {
        return std::nullopt;
    }
    // From here on a request without an answer says nothing about the document: no slot or no
    // process in time, a process killed or crashed, or the teardown. Only an answer that the
    // drawing ran out of its budget is the document's own doing.
    if (Teardown::hasBegun() || !takeSlot()) {
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    const auto slot = qScopeGuard([] { giveBackSlot(); });
    auto process = take();
    if (!process) {
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    // A decode tried in the quick lane gives its drawing only the lane's limit; the process is
    // killed then like at its own deadline, and the decode is tried again with the whole budget.
    const int quickMs = DecodeAttempt::quickDrawingMs();
    const bool quick = quickMs > 0 && quickMs < PdfRenderProtocol::answerDeadlineMs;
    const QDeadlineTimer deadline(quick ? quickMs : PdfRenderProtocol::answerDeadlineMs);
    const QByteArray header = PdfRenderProtocol::encodeRequestHeader(request);
    char answerHeader[PdfRenderProtocol::answerHeaderSize];
    std::optional<PdfRenderProtocol::Answer> answer;
    if (sendAll(process->socket, header.constData(), header.size(), deadline) &&
        sendAll(process->socket, request.document.constData(), request.document.size(), deadline) &&
        receiveAll(process->socket, answerHeader, sizeof answerHeader, deadline)) {
        answer = PdfRenderProtocol::decodeAnswerHeader(answerHeader, request);
    }
    if (answer && !answer->image.isNull()) {
        QImage& image = answer->image;
        const qsizetype row = qsizetype(image.width()) * 4;
        if (image.bytesPerLine() == row) {
            // The rows lie one after the other, as they come.
            if (!receiveAll(process->socket, reinterpret_cast<char*>(image.bits()), row * image.height(),
                            deadline)) {
                answer.reset();
            }
        }
        for (int y = 0; answer && image.bytesPerLine() != row && y < image.height(); ++y) {
            if (!receiveAll(process->socket, reinterpret_cast<char*>(image.scanLine(y)), row, deadline)) {
                answer.reset();
            }
        }
    }
    if (answer) {
        giveBack(*process);
        if (answer->status == PdfRenderProtocol::Status::OverBudget) {
            DecodeAttempt::noteOverBudget();
        }
    } else {
        end(*process);
        if (quick && deadline.hasExpired() && !Teardown::hasBegun()) {
            DecodeAttempt::noteGaveUpAtQuickLimit();
        } else {
            DecodeAttempt::noteNoDrawing();
        }
    }
    return answer;
}

} // namespace velmora::images
