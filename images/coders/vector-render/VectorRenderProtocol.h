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
class VectorRenderProtocol {
public:
    VectorRenderProtocol() = delete;

    static constexpr quint32 magic = 0x47525256; // "VRRG"
    // Raised with every change to a message. An app and a drawing program of different versions
    // (one replaced while the other runs) part at the greeting, never misreading each other.
    static constexpr quint32 version = 2;
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
    // machine (Status::OutOfTime), and is tried again when asked again.
    static constexpr int cpuBudgetMs = 1000;
    static constexpr int wallBudgetMs = 1500;
    // How long the asking side waits for an answer before it kills the process, from the request
    // on: the budget and some room.
    static constexpr int answerDeadlineMs = 2000;

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

    // The parts of the drawing process's confinement (see DrawingConfinement), as bits.
    enum ConfinementPart : quint32 {
        SystemCallFilter = 1u << 0,
        FileSystemClosed = 1u << 1,
    };
    // The parts in `parts`, in words.
    static QByteArray confinementPartNames(quint32 parts);
    struct Greeting {
        quint32 version = VectorRenderProtocol::version;
        // The parts of its confinement the kernel lacks (ConfinementPart bits).
        quint32 missingConfinement = 0;
        // It could not confine itself, and draws nothing: it ends after the greeting.
        bool unconfined = false;
    };
    // Magic, version, confinement word (the missing parts, and the top bit when unconfined).
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
