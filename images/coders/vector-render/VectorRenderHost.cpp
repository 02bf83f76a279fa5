#include "images/coders/vector-render/VectorRenderHost.h"

#include "images/coders/vector-render/DrawingMemoryShare.h"
#include "images/coders/vector-render/DrawingProcessPool.h"
#include "images/coders/vector-render/DrawingProgram.h"
#include "images/coders/vector-render/DrawingTemplates.h"
#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/coders/vector-render/VectorRenderStream.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/ImageLibraryLog.h"
#include "images/core/Teardown.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QThread>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>

namespace velmora::images {

namespace {

// What the kernel's accounting of a process's CPU time may add to what the process itself read.
constexpr qint64 cpuAccountingMs = 100;

// Whether a process's wait status tells of an end of its own (an exit, a crash), not a kill: the
// asking side kills with SIGKILL, and so do the kernel at a process's CPU limit and when memory
// runs out.
bool endedOnItsOwn(int status) {
    return status != -1 && (WIFEXITED(status) || (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL));
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
    return DrawingMemoryShare::current().drawingSlots;
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
    return DrawingProgram::currentPath();
}

void VectorRenderHost::useProgram(const QString& path) {
    DrawingProgram::choose(path);
    DrawingProcessPool::endIdle();
    DrawingTemplates::endAll();
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
    if (!DrawingProcessPool::takeSlot()) {
        why = Teardown::hasBegun() ? Failure::TornDown : Failure::Busy;
        DecodeAttempt::noteNoDrawing();
        return std::nullopt;
    }
    const auto slot = qScopeGuard([] { DrawingProcessPool::giveBackSlot(); });
    // A new process's start and greeting have a bound of their own: they are not the document's
    // cost, and take seconds on a busy machine.
    const QDeadlineTimer started(startDeadlineMs);
    const QByteArray key = documentKey(asked);
    auto process = DrawingProcessPool::take(key, started, &why);
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
    const int answerDeadlineMs = DrawingProcessPool::answerDeadlineMs();
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
    DrawingProcessPool::count(&Counts::sent);
    const qint64 cpuAtRequest = processCpuMsOf(process->pid);
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
    // What the drawing used of the process's CPU time (read before it is waited for): past the
    // budget it stops itself at, the process ran on where it should have stopped.
    const qint64 cpuUsedMs = cpuAtRequest >= 0 ? processCpuMsOf(process->pid) - cpuAtRequest : -1;
    const bool pastItsBudget = cpuUsedMs >= VectorRenderProtocol::cpuBudgetMs + cpuAccountingMs;
    // A drawing stopped at its wall time with its CPU time unspent met a busy machine; one that
    // says so having spent it answers what is refused.
    using Status = VectorRenderProtocol::Status;
    Status status = answer ? answer->status : Status::NoPage;
    if (answer && status == Status::OutOfTime && pastItsBudget) {
        answer.reset();
        refused = true;
    }
    if (!answer) {
        why = Teardown::hasBegun()   ? Failure::TornDown
              : refused              ? Failure::AnswerRefused
              : drawing.hasExpired() ? Failure::TimedOut
                                     : Failure::Ended;
    }
    // A process that ran out of its budget may have been stopped anywhere (and ends itself when
    // its own timers stopped it): the next request gets a new one.
    const bool stopped = answer && (status == Status::OverBudget || status == Status::OutOfTime);
    int ending = -1;
    if (answer && !stopped) {
        DrawingProcessPool::giveBack(*process, key);
    } else {
        ending = DrawingProcessPool::retire(*process);
    }
    // A drawing that ended its process with its CPU time unspent (stopped at its wall time, killed
    // at its deadline or by another, the kernel short of memory) met a machine too busy to give it
    // that, which says nothing of the document; but a busy machine stays busy for a while, and a
    // document asked again and again would be drawn to its wall time at every ask, each time
    // costing the machine more than its CPU budget alone. So it too waits the growing delay.
    const auto endedOnABusyMachine = [] {
        DecodeAttempt::noteNoDrawing();
        DecodeAttempt::noteDrawingEnded();
    };
    if (answer) {
        if (status == Status::OverBudget) {
            DecodeAttempt::noteOverBudget();
        } else if (status == Status::OutOfTime) {
            endedOnABusyMachine();
        }
    } else if (Teardown::hasBegun()) {
        DecodeAttempt::noteNoDrawing();
    } else if (quick && drawing.hasExpired() && !refused) {
        DecodeAttempt::noteGaveUpAtQuickLimit();
    } else if (refused || pastItsBudget || endedOnItsOwn(ending)) {
        // Its answer refused, its CPU time spent past the budget it stops itself at (killed at its
        // deadline or by its CPU limit), or crashed: the document's doing, not asked again before a
        // growing delay.
        DecodeAttempt::noteDrawingEnded();
    } else {
        endedOnABusyMachine();
    }
    return answer;
}

void VectorRenderHost::setAnswerDeadlineMsForTesting(int milliseconds) {
    DrawingProcessPool::setAnswerDeadlineMs(milliseconds > 0 ? milliseconds
                                                             : VectorRenderProtocol::answerDeadlineMs);
}

void VectorRenderHost::setCloseRangeForTesting(bool available) {
    DrawingProgram::setCloseRangeForTesting(available);
}

void VectorRenderHost::setIdleExitMsForTesting(int milliseconds) {
    DrawingProcessPool::setIdleExit(std::chrono::milliseconds(milliseconds > 0 ? milliseconds : idleExitMs));
    DrawingTemplates::setIdleExit(
        std::chrono::milliseconds(milliseconds > 0 ? milliseconds : templateIdleExitMs));
}

void VectorRenderHost::setMemoryShareForTesting(quint64 bytes) {
    DrawingMemoryShare::setShareForTesting(bytes);
    DrawingProcessPool::endIdle();
    DrawingTemplates::endAll();
}

std::pair<int, int> VectorRenderHost::templatesForTesting() {
    return DrawingTemplates::forTesting();
}

VectorRenderHost::Counts VectorRenderHost::takeCountsForTesting() {
    return DrawingProcessPool::takeCounts();
}

} // namespace velmora::images
