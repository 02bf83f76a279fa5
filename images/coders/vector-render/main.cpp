// The vector drawing program. Started by VectorRenderHost, it runs as the template process: it
// loads what drawing loads (Qt's platform, the renderers, fonts' configuration), reads no
// document, is never confined, and on the host's word over its standard input and output makes
// a drawing process, a copy of itself that confines itself before it greets and then answers
// drawing requests of PDF and SVG documents on the socket it was given (see VectorRenderProtocol)
// until that stream ends, as it does when the asking process ends, however it ends. The template
// ends with its own stream.
#include "images/coders/vector-render/DrawingConfinement.h"
#include "images/coders/vector-render/PdfPageRenderer.h"
#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/coders/vector-render/SvgDocumentRenderer.h"
#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/coders/vector-render/VectorRenderStream.h"

#include <QGuiApplication>
#include <QtEndian>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#if defined(VELMORA_DRAWING_TEST_MOVES)
// A build for the tests alone, never installed: the moves of a renderer taken over, chosen by the
// name the program is started under.
#include "images/coders/vector-render/DrawingMoves.h"
#endif

using velmora::images::DrawingConfinement;
using velmora::images::PdfPageRenderer;
using velmora::images::processCpuMsSince;
using velmora::images::processCpuNow;
using velmora::images::SvgDocumentRenderer;
using velmora::images::VectorRenderProtocol;
using velmora::images::VectorRenderStream;

namespace {

// What the process answers when a drawing's budget is spent wherever it is: QtSvg reads and
// draws without ever asking whether to go on, and a PDF operator may not come back to be asked.
// Which answer depends on the CPU time the drawing used: only that is the document's cost, and a
// drawing stopped by its wall time with CPU time to spare met a busy machine.
volatile sig_atomic_t drawing = 0;
char overBudgetAnswer[VectorRenderProtocol::answerHeaderSize];
char outOfTimeAnswer[VectorRenderProtocol::answerHeaderSize];
timespec drawingCpuStart{};

void budgetSpent(int) {
    if (!drawing) {
        return;
    }
    // The drawing is given up with the process (whose heap it may have left in any state): the
    // answer says why, and the asking side starts a new process for the next request. Written
    // here with clock_gettime() and write() alone: nothing else is safe in a signal handler.
    const bool cpuSpent = processCpuMsSince(drawingCpuStart) >= VectorRenderProtocol::cpuBudgetMs;
    const char* from = cpuSpent ? overBudgetAnswer : outOfTimeAnswer;
    size_t left = sizeof overBudgetAnswer;
    while (left > 0) {
        const ssize_t put = ::write(STDOUT_FILENO, from, left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        from += put;
        left -= size_t(put);
    }
    ::_exit(0);
}

// What the host gives each drawing process: how long its timers run (the budgets, or longer
// where a test starts the program with --cpu-timer-ms=N or --wall-timer-ms=N, to see what stops a
// drawing without them), and what it may hold of memory (VectorRenderProtocol::copyMemoryArgument;
// without it, only the template's limit of address space).
struct Given {
    int cpuMs = VectorRenderProtocol::cpuBudgetMs;
    int wallMs = VectorRenderProtocol::wallBudgetMs;
    quint64 copyMemory = 0;

    static Given fromArguments(int argc, char** argv) {
        Given given;
        for (int i = 1; i < argc; ++i) {
            const QByteArray argument(argv[i]);
            if (argument.startsWith(VectorRenderProtocol::copyMemoryArgument)) {
                given.copyMemory =
                    argument.mid(qsizetype(std::strlen(VectorRenderProtocol::copyMemoryArgument)))
                        .toULongLong();
            }
            for (auto [name, length] :
                 {std::pair{"--cpu-timer-ms=", &given.cpuMs}, std::pair{"--wall-timer-ms=", &given.wallMs}}) {
                if (!argument.startsWith(name)) {
                    continue;
                }
                bool ok = false;
                const int value = argument.mid(qsizetype(std::strlen(name))).toInt(&ok);
                // Never shorter than the budget: the answer tells the budget's cost, not the timer's.
                if (ok && value > *length) {
                    *length = value;
                }
            }
        }
        return given;
    }
};

// Two timers, of the process's CPU time and of wall time, that signal this thread (the one that
// draws) once a drawing has used its budget of either.
class BudgetTimers {
public:
    explicit BudgetTimers(Given given) : m_given(given) {
        struct sigaction action {};
        action.sa_handler = budgetSpent;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, nullptr);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = ::gettid();
        m_ready = timer_create(CLOCK_PROCESS_CPUTIME_ID, &event, &m_cpu) == 0 &&
                  timer_create(CLOCK_MONOTONIC, &event, &m_wall) == 0;
    }
    bool ready() const { return m_ready; }

    void arm(quint32 requestId) {
        VectorRenderProtocol::Answer answer;
        answer.id = requestId;
        answer.status = VectorRenderProtocol::Status::OverBudget;
        std::memcpy(overBudgetAnswer, VectorRenderProtocol::encodeAnswer(answer).constData(),
                    sizeof overBudgetAnswer);
        answer.status = VectorRenderProtocol::Status::OutOfTime;
        std::memcpy(outOfTimeAnswer, VectorRenderProtocol::encodeAnswer(answer).constData(),
                    sizeof outOfTimeAnswer);
        drawingCpuStart = processCpuNow();
        drawing = 1;
        set(m_cpu, m_given.cpuMs);
        set(m_wall, m_given.wallMs);
    }
    // A signal after this finds nothing drawing: it runs on this thread, so never while the
    // answer is being written.
    void disarm() {
        drawing = 0;
        set(m_cpu, 0);
        set(m_wall, 0);
    }

private:
    static void set(timer_t timer, int ms) {
        itimerspec spec{};
        spec.it_value.tv_sec = ms / 1000;
        spec.it_value.tv_nsec = long(ms % 1000) * 1000000;
        timer_settime(timer, 0, &spec, nullptr);
    }

    Given m_given;
    timer_t m_cpu{};
    timer_t m_wall{};
    bool m_ready = false;
};

// The host waits for each answer within its deadline; here a wait is for as long as the host
// keeps the process, and wakes for nothing but the host's bytes or its going.
bool readAll(char* to, qsizetype size) {
    return VectorRenderStream::receive(STDIN_FILENO, to, size, QDeadlineTimer(QDeadlineTimer::Forever),
                                       VectorRenderStream::Watch::Nothing);
}

bool writeAll(const char* from, qsizetype size) {
    return VectorRenderStream::send(STDOUT_FILENO, from, size, QDeadlineTimer(QDeadlineTimer::Forever),
                                    VectorRenderStream::Watch::Nothing);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool addressSanitized = true;
#else
constexpr bool addressSanitized = false;
#endif
#else
constexpr bool addressSanitized = false;
#endif

// A small PDF and SVG with text, both renderers' ways into fonts: drawn once by the template
// before it greets, so that what a renderer loads on its first drawing (Poppler's font lookups,
// QtSvg's parser, Qt's font database and the font files it opens) is loaded once, not by each
// copy. (Warmed only once idle, the copies of a first screen each loaded it for themselves, and
// that screen took half as long again.)
QByteArray warmUpPdf() {
    const QByteArray content = "BT /F1 30 Tf 4 16 Td (Wg) Tj ET 1 0 0 rg 0 0 10 10 re f";
    const QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << /Font << /F1 5 0 R >> >> "
        "/Contents 4 0 R >>",
        "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    QByteArray pdf("%PDF-1.4\n");
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets) {
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    }
    return pdf + "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
}

void warmUp(PdfPageRenderer& pdf, SvgDocumentRenderer& svg) {
    VectorRenderProtocol::Request request;
    request.pixels = QSize(60, 60);
    request.document = warmUpPdf();
    (void)pdf.answer(request);
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\"><rect width=\"9\" "
        "height=\"9\" fill=\"red\"/><text x=\"2\" y=\"44\" font-family=\"sans-serif\" "
        "font-size=\"30\">Wg</text></svg>";
    (void)svg.answer(request);
}

// A drawing process, in the copy of the template just made (see
// VectorRenderStream::serveAsTemplate): it confines itself, greets, and draws until its stream
// ends. Never returns.
// The limits a drawing process takes before it is confined (the filter keeps each from being
// raised): the kernel's, at all times, whatever runs in it. False when one could not be set.
bool limitCopy(const Given& given) {
    const auto limit = [](int resource, rlim_t value) {
        rlimit current{};
        if (getrlimit(resource, &current) != 0) {
            return false;
        }
        // Never above what it was given: a hard limit lower already stays.
        value = current.rlim_max == RLIM_INFINITY ? value : std::min(value, current.rlim_max);
        const rlimit set{value, value};
        return setrlimit(resource, &set) == 0;
    };
    // Its CPU time in all: the budget timers are its own, which a renderer taken over may disarm,
    // and run only while it draws.
    bool limited = limit(RLIMIT_CPU, rlim_t(VectorRenderProtocol::processCpuSeconds));
    // The signals pending for it: its timers' were set aside as they were made, and the kernel
    // counts them for the user as a whole.
    limited = limited && limit(RLIMIT_SIGPENDING, rlim_t(VectorRenderProtocol::pendingSignals));
    // No memory locked (the filter refuses each way to lock it besides).
    limited = limited && limit(RLIMIT_MEMLOCK, 0);
    // Its part of the share of memory the drawing processes have together: its heap and its
    // threads' stacks, and its main thread's stack apart. (The address sanitiser maps terabytes of
    // its own.)
    if (given.copyMemory > 0 && !addressSanitized) {
        limited = limited && limit(RLIMIT_STACK, rlim_t(VectorRenderProtocol::stackBytes)) &&
                  limit(RLIMIT_DATA, rlim_t(VectorRenderProtocol::dataLimitOf(given.copyMemory)));
    }
    return limited;
}

[[noreturn]] void drawDocuments(Given given, PdfPageRenderer& pdf, SvgDocumentRenderer& svg) {
    // Named as the program: what looks for drawing processes by name finds them.
    prctl(PR_SET_NAME, "velmora-vector-render");
    BudgetTimers budget(given);
    if (!budget.ready() || !limitCopy(given)) {
        ::_exit(1);
    }
    // Confined as a whole before the first document is read; otherwise it says so and draws
    // nothing.
    const DrawingConfinement::Outcome confinement = DrawingConfinement::confine();
    if (confinement.noDrawingThread) {
        ::_exit(VectorRenderProtocol::noDrawingThreadStatus);
    }
    VectorRenderProtocol::Greeting greeting;
    greeting.held = confinement.held;
    greeting.landlock = confinement.landlock;
    greeting.namespaces = confinement.namespaces;
    greeting.filter = confinement.filter;
    greeting.filterError = quint32(confinement.filterError);
    greeting.unconfined = !confinement.confined();
    const QByteArray greetingBytes = VectorRenderProtocol::encodeGreeting(greeting);
    if (!writeAll(greetingBytes.constData(), greetingBytes.size()) || !confinement.confined()) {
        ::_exit(0);
    }
    char header[VectorRenderProtocol::requestHeaderSize];
    while (readAll(header, sizeof header)) {
        quint32 length = 0;
        auto request = VectorRenderProtocol::decodeRequestHeader(header, &length);
        if (!request) {
            ::_exit(1);
        }
        request->document.resize(length);
        if (!readAll(request->document.data(), length)) {
            ::_exit(0);
        }
        budget.arm(request->id);
        VectorRenderProtocol::Answer drawn =
            request->kind == VectorRenderProtocol::Kind::Svg ? svg.answer(*request) : pdf.answer(*request);
        budget.disarm();
        drawn.id = request->id;
#if defined(VELMORA_DRAWING_TEST_MOVES)
        velmora::images::drawingmoves::beforeAnswer(drawn);
#endif
        const QByteArray answer = VectorRenderProtocol::encodeAnswer(drawn);
        if (!writeAll(answer.constData(), answer.size())) {
            ::_exit(0);
        }
#if defined(VELMORA_DRAWING_TEST_MOVES)
        velmora::images::drawingmoves::afterAnswer();
#endif
        // Its answer written, it stops itself until it is asked again (the asking side continues
        // it then): kept idle, it cannot run at all, and one that has not stopped ran on after
        // its answer, and is ended.
        ::kill(::getpid(), SIGSTOP);
    }
    // Ended without the app's objects: a copy runs no one's clean-up but its own.
    ::_exit(0);
}

} // namespace

// Asks the kernel to end this process first when the machine runs out of memory, before any
// other program of the user's: a drawing process (its copies inherit it) draws an avatar, which
// keeps its placeholder.
void firstToGoWhenMemoryRunsOut() {
    const int adjustment = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (adjustment >= 0) {
        (void)!::write(adjustment, "1000", 4);
        ::close(adjustment);
    }
}

int main(int argc, char** argv) {
    // Started from a descriptor, older kernels name the process after its number.
    prctl(PR_SET_NAME, "vector-template");
    firstToGoWhenMemoryRunsOut();
#if defined(VELMORA_DRAWING_TEST_MOVES)
    velmora::images::drawingmoves::choose(argv[0]);
#endif
    std::signal(SIGPIPE, SIG_IGN);
    // Glyphs are drawn through Qt's fonts, which need a GUI application; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (!addressSanitized) {
        // What a drawing may allocate: far more than any page at the pixel budget needs. (The
        // address sanitiser reserves terabytes of address space of its own.)
        const rlimit memory{rlim_t(1) << 30, rlim_t(1) << 30};
        setrlimit(RLIMIT_AS, &memory);
    }
    const Given given = Given::fromArguments(argc, argv);
    PdfPageRenderer pdf;
    SvgDocumentRenderer svg;
    DrawingConfinement::prepare();
    warmUp(pdf, svg);
    VectorRenderProtocol::Greeting greeting;
    greeting.isTemplate = true;
    greeting.landlock = VectorRenderProtocol::MeansAnswer::NotTried;
    greeting.filter = VectorRenderProtocol::MeansAnswer::NotTried;
    const QByteArray greetingBytes = VectorRenderProtocol::encodeGreeting(greeting);
    if (!writeAll(greetingBytes.constData(), greetingBytes.size())) {
        return 0;
    }
    // Each copy keeps what the template holds open for its confinement.
    VectorRenderStream::serveAsTemplate([&] { drawDocuments(given, pdf, svg); },
                                        DrawingConfinement::heldDescriptors());
    return 0;
}
