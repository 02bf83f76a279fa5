#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QSizeF>

#include <optional>

namespace velmora::images {

// What the vector drawing process is asked and answers, over one stream socket. Every vector
// document from outside (a PDF, an SVG) is read and drawn in a process of its own: what a
// renderer does with hostile bytes (an operator that runs for minutes, an allocation of
// gigabytes, a crash) ends with that process, which stops itself once a drawing has used its
// budget and which the asking side kills once its time is up; no drawing ever holds a lock
// another one waits for.
//
// A request is a fixed header (magic, document kind, request id, document length, page, pixel
// width and height; no pixels asks for the page's size only; or, instead of pixels, how to fit
// the page to pixels of the drawing process's choosing, see Fit) followed by the document. An
// answer is a fixed header (status, the id of the request it answers, page width and height in
// points, pixel width and height) followed by the pixels, ARGB32 premultiplied, row after row.
// The process greets once it is ready (and confined): the magic, the protocol's version and a
// word of its confinement (see Greeting). An SVG has one page, its canvas.
//
// A drawing process stops itself (SIGSTOP) once each answer is written; the asking side continues
// it (SIGCONT) before it asks it again.
//
// The program runs first as a template process: it loads what drawing loads, reads no document,
// is never confined, and greets as the template. Each drawing process is a copy of it, made on
// the asking side's word (VectorRenderStream::sendForkRequest, with the new process's socket): a
// copy confines itself before it greets, and is a child of the asking process, not of the
// template. One copy draws one document.
class VectorRenderProtocol {
public:
    VectorRenderProtocol() = delete;

    static constexpr quint32 magic = 0x47525256; // "VRRG"
    // Raised with every change to a message. An app and a drawing program of different versions
    // (one replaced while the other runs) part at the greeting, never misreading each other.
    static constexpr quint32 version = 4;
    // What the drawing programs before versions greeted with, alone: also the magic of their
    // requests.
    static constexpr quint32 unversionedMagic = 0x52445056; // "VPDR"
    static constexpr int greetingSize = 12;
    static constexpr int requestHeaderSize = 64;
    static constexpr int answerHeaderSize = 32;
    // The largest document sent; a larger one is no image.
    static constexpr qsizetype maxDocumentBytes = 32 * 1024 * 1024;

    // What one drawing may cost the drawing process: CPU time, and wall time as a backstop on a
    // machine too busy to give it that CPU. Checked between drawing operators where the renderer
    // asks (PDF), and by timers of the process itself wherever it is (an SVG, which QtSvg reads
    // and draws without asking, or one PDF operator that never returns). Only the CPU time is the
    // document's cost: a drawing stopped at the wall time with its CPU time unspent met a busy
    // machine (Status::OutOfTime), and is tried again after a delay (see VectorRenderHost::ask).
    static constexpr int cpuBudgetMs = 1000;
    static constexpr int wallBudgetMs = 1500;
    // How long the asking side waits for an answer before it kills the process, from the request
    // on: the budget and some room.
    static constexpr int answerDeadlineMs = 2000;
    // A drawing process's CPU time in all, from its start, after which the kernel ends it
    // (its hard RLIMIT_CPU, which it cannot raise): its start, a drawing's budget, and room to
    // draw the same document again while what is left holds another budget (the asking side
    // keeps it only then). What a process that goes on after its answer (a renderer taken over)
    // can burn, whatever it does: less than this.
    static constexpr int processCpuSeconds = 2;
    // The signals that may be pending for a drawing process at once, whoever sent them (its
    // RLIMIT_SIGPENDING): what its two budget timers need, made before it lowers the limit (a
    // timer's signal is set aside when the timer is made). The kernel counts pending signals for
    // the user as a whole, so a drawing process that queued them without bound would take them
    // from every program of the user; none may make a timer of its own once confined.
    static constexpr int pendingSignals = 2;
    // What a drawing process may hold of memory (its part of the share the drawing processes have
    // together, see DrawingMemoryShare) is given to the template as this argument, in bytes. A
    // copy is held to it by its RLIMIT_DATA (what it maps privately and writable: its heap, its
    // threads' stacks), with its main thread's stack apart (RLIMIT_STACK, stackBytes).
    static constexpr const char* copyMemoryArgument = "--copy-memory-bytes=";
    static constexpr quint64 stackBytes = 8ull * 1024 * 1024;
    static constexpr quint64 dataLimitOf(quint64 copyMemory) {
        return copyMemory > 2 * stackBytes ? copyMemory - stackBytes : stackBytes;
    }
    // The status a drawing process ends with, before it greets, when it could not start its
    // drawing thread (the user's processes at their limit): a passing want, not the program's.
    static constexpr int noDrawingThreadStatus = 3;

    enum class Kind : quint32 {
        Pdf = 0,
        Svg = 1,
    };
    // How a page is drawn where its pixels follow from its size, which the asking side does not
    // know yet: so one request has the page's size and its drawing, where a request for the size
    // and another for the pixels would each cost a wake-up of both processes. The page is scaled
    // into `box` (points; a side of 0 or less is left free), keeping its proportions or
    // stretched to the box, at `scale` pixels a point, and then down to at most `byteLimit`
    // bytes of pixels (4 a pixel; 0: the coders' default).
    struct Fit {
        QSizeF box;
        bool keepAspectRatio = true;
        double scale = 1;
        quint64 byteLimit = 0;
    };
    // A page fitted: the size it is drawn at, in points, and its pixels.
    struct Fitted {
        QSizeF size;
        QSize pixels;
    };
    // Nothing when the page has no area, the fit is no fit (a scale that is not a finite positive
    // number, a box side that is not finite) or its pixels are beyond the pixel budget. Both sides
    // reckon it, each from the page's size.
    static std::optional<Fitted> fitted(const QSizeF& page, const Fit& fit);

    struct Request {
        Kind kind = Kind::Pdf;
        // Set by the asking side for each request; the answer must carry it.
        quint32 id = 0;
        QByteArray document;
        int page = 0;
        QSize pixels; // empty: the page's size only (unless fitted)
        // Pixels as the page fits them (with no pixels given).
        std::optional<Fit> fit;
    };
    enum class Status : quint32 {
        Drawn = 0,
        // No PDF, no such page, or a page without area.
        NoPage = 1,
        // The drawing took more than its budget of CPU time and was stopped: the document's cost.
        OverBudget = 2,
        // The drawing ran past its wall time with its CPU time unspent and was stopped: the
        // machine was too busy to draw it now, which says nothing about the document.
        OutOfTime = 3,
    };
    struct Answer {
        Status status = Status::NoPage;
        quint32 id = 0;
        QSizeF pageSize;
        QImage image; // null unless pixels were asked for and drawn
    };

    // The means of the drawing process's confinement (see DrawingConfinement), as bits: the
    // system-call filter, and what closes the file system, Landlock or, where the kernel lacks it
    // or it is refused, namespaces. A process is given documents only when the filter and one
    // means of the file system hold.
    enum ConfinementMeans : quint32 {
        SystemCallFilter = 1u << 0,
        LandlockFileSystem = 1u << 1,
        NamespaceFileSystem = 1u << 2,
    };
    // What the kernel (or a sandbox around the app) answered a means that does not hold.
    enum class MeansAnswer : quint32 {
        Held = 0,
        // The kernel has no such part (ENOSYS): not built in.
        Missing = 1,
        // Built in and turned off (EOPNOTSUPP: Landlock left out of the boot's list).
        TurnedOff = 2,
        // Refused (EPERM, EACCES, ENOSPC): a sandbox, or a setting that forbids it.
        Refused = 3,
        // It failed otherwise.
        Failed = 4,
        // Not tried: another means held.
        NotTried = 5,
    };
    struct Greeting {
        quint32 version = VectorRenderProtocol::version;
        // The means that hold (ConfinementMeans bits).
        quint32 held = 0;
        // What each means that does not hold was answered.
        MeansAnswer landlock = MeansAnswer::Held;
        MeansAnswer namespaces = MeansAnswer::NotTried;
        MeansAnswer filter = MeansAnswer::Held;
        // What the kernel answered the filter when it did not hold (an errno below 1024; 0 when
        // none), so that the app says what was refused.
        quint32 filterError = 0;
        // It is not confined as a whole, and draws nothing: it ends after the greeting.
        bool unconfined = false;
        // The template process: it reads no document, and starts a drawing process for each.
        bool isTemplate = false;
    };
    // Whether the means in `held` confine a process as a whole: the filter and the file system.
    static bool confinedAsAWhole(quint32 held) {
        return (held & SystemCallFilter) && (held & (LandlockFileSystem | NamespaceFileSystem));
    }
    // Magic, version, confinement word (the means held, what the others were answered, the
    // filter's errno, the top bit when unconfined, the one below it for the template).
    static QByteArray encodeGreeting(const Greeting& greeting);
    // Whether the first four bytes of a greeting are this protocol's magic: a program that
    // greets otherwise (one from before versions) sends nothing more to wait for.
    static bool greetingStartsWell(const char* first4);
    // The version and confinement of a whole greeting whose start was good.
    static Greeting decodeGreeting(const char* greeting);

    static QByteArray encodeRequestHeader(const Request& request);
    // The kind, id, document length, page and pixel size (or fit) of a header; nothing when it is
    // no request.
    static std::optional<Request> decodeRequestHeader(const char* header, quint32* documentLength);

    static QByteArray encodeAnswer(const Answer& answer);
    // The answer a header announces, its image allocated to be filled by the pixels that follow;
    // nothing when the header does not answer `request` (another id, another size, or one that is
    // not the page's fit, an unknown status).
    static std::optional<Answer> decodeAnswerHeader(const char* header, const Request& request);
    static qsizetype pixelBytes(const QSize& pixels) {
        return qsizetype(pixels.width()) * pixels.height() * 4;
    }
};

} // namespace velmora::images
