#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace velmora::images {

// The asking side of the vector drawing processes (see VectorRenderProtocol). Each request takes a
// process of its own, so no drawing waits for another (unless as many as the drawing slots draw at
// once: then for one of them to end, within its deadline; the slots are the cores, or fewer where
// the memory the drawing processes may hold together would leave each too little, see
// DrawingMemoryShare). A process that does not greet
// within startDeadlineMs, or does not answer by the deadline, or answers anything but its
// request, is killed and the request has no answer. Once the library's teardown has begun, a
// drawing in flight is given up at once and its process killed, so quitting never waits for one.
//
// One document, one process: a process that drew a document is given no other (one taken over by
// a hostile document could answer the next ones as it pleased), and is kept only to draw the same
// document again (a PDF's page size, then its pixels), the one used last taken first, and only
// while it has used no CPU time since its answer, has the CPU time left for another drawing (the
// kernel ends each at VectorRenderProtocol::processCpuSeconds) and holds under half of what a
// process may hold of memory. One left idle for idleExitMs is ended, and so is the oldest idle one
// when a new process would make more alive than the drawing slots, and one that runs again once
// stopped (continued by anything) as soon as it has used its slack of CPU time. Nothing wakes while
// processes wait but the one timer of the oldest's end, and a timer of each one's CPU clock, which
// stands still while it is stopped.
//
// Each process is a copy of one template process (see VectorRenderProtocol), which loads what
// drawing loads once and reads no document, so a process costs a copy and its confinement, not a
// program's start. The template is started from one thread kept for that (the kernel ties the
// death signal to the thread that forks), and its copies are this app's children that die with
// that thread too. It cannot gain privileges, has a working directory that is empty and gone, only
// the environment that fonts, the locale and the sanitisers read, and is ended once it made no
// process for templateIdleExitMs. A template found gone when asked is started again and asked at
// once, no sooner than templateRestartSpacingMs after it was last started so. A drawing process
// is given documents only when it greets confined as a whole; a program refused once is not
// started again, and its templates are ended then, with the processes they made ready.
class VectorRenderHost {
public:
    VectorRenderHost() = delete;

    // Why a request has no answer.
    enum class Failure {
        None,
        // No drawing program where it is looked for.
        NoProgram,
        // The program started and greeted, and was refused: it is of another version, or its drawing
        // process is not confined as a whole (the kernel or a sandbox lacks what confines it). It
        // is not started again until another program is chosen (in the app, at its next start).
        ProgramRefused,
        // No process greeted within the request's time to start one (or it ended before it did).
        NoGreeting,
        // No drawing slot came free within the request's time.
        Busy,
        // The library's teardown began.
        TornDown,
        // The process gave no answer by the deadline, and was killed.
        TimedOut,
        // The process ended before it answered (it crashed on the document, or was killed).
        Ended,
        // The request could not be asked (a document beyond the bounds, a fit that is none), or the
        // answer was not one to this request (another id, size or status).
        AnswerRefused,
    };

    // Nothing when the process failed, ran out of time or the teardown began; `failure` tells
    // which. An answer may say the drawing ran out of its budget (Status::OverBudget): that is
    // the document's cost, and so is a process that ended while it drew by the document's doing
    // (an answer refused, an OutOfTime with its CPU time spent among them; a crash; killed at its
    // deadline or by its CPU limit having spent more CPU time than its budget), which is tried
    // again only after a growing delay. A drawing stopped at its wall time with CPU time to spare
    // (Status::OutOfTime), or whose process was killed with its CPU time unspent, met a busy
    // machine: not the document's doing, but it ended its process all the same and waits that
    // delay too. The other failures (no slot, no process, the teardown) drew nothing. The decode
    // attempt on the calling thread (DecodeAttempt) learns which, and a drawing under its quick
    // limit is given up at that limit.
    static std::optional<VectorRenderProtocol::Answer> ask(const VectorRenderProtocol::Request& request,
                                                           Failure* failure = nullptr);

    // The drawing program, looked for once as the library is loaded, relative to the running
    // binary as it was started (see findProgram), and opened then: the process is started from
    // that file, whatever an upgrade does to the paths while the app runs. Empty when it is
    // missing, which is logged once with the places looked at. A program that ends before it
    // greets is logged once with its exit status or signal.
    static QString programPath();
    // Where the drawing program lies as seen from a binary in `binaryDirectory`: as installed
    // (libexec/velmora beside bin), or beside the binary (the build tree); empty when in
    // neither. Never a path compiled in. `lookedAt` gets the places looked at.
    static QString findProgram(const QString& binaryDirectory, QStringList* lookedAt = nullptr);
    // For tests: starts the program at this path from now on (idle processes and templates of the
    // one before are ended); what is said once of a program is said again of it.
    static void useProgram(const QString& path);
    // Processes drawing at once, and so processes at all (besides the one each template holds
    // ready).
    static int maxBusyProcesses();
    // How long a drawing process is kept idle. It is kept for its own document alone, which comes
    // again within moments if at all (a PDF's size and then its pixels, a view drawing the same
    // page at its next size), and a new one costs a copy of a template, two or three
    // milliseconds: longer buys little and holds its memory, and its CPU time (for a process
    // taken over, up to what the kernel leaves it).
    static constexpr int idleExitMs = 5000;
    // How long a drawing process may take to stop itself once its answer is read (see
    // VectorRenderProtocol): a moment, or a busy machine's turn. One that has not stopped by then
    // ran on after its answer, and is ended.
    static constexpr int stopWithinMs = 500;
    // How long a template is kept once it made no process: its start is a program's (tens of
    // milliseconds, seconds on a busy machine), long enough for a screen of images that arrive
    // one after the other to share it; short beside the minutes an app sits unseen.
    static constexpr int templateIdleExitMs = 30000;
    // How soon a template that died (or ended before it greeted) is started again in its place
    // at the earliest, after it was last started so: one that dies at each start costs a start
    // every few seconds, never a storm of them.
    static constexpr int templateRestartSpacingMs = 3000;

    // How long a new process may take to start and greet, apart from the drawing's own deadline
    // (VectorRenderProtocol::answerDeadlineMs, from the request on): the program loads its
    // libraries in a fraction of a second on a quiet machine and in seconds on a busy one, which
    // is no reason to leave a plain image undrawn.
    static constexpr int startDeadlineMs = 10000;
    // For tests: how long the asking side waits for an answer from now on (the protocol's
    // deadline again with 0).
    static void setAnswerDeadlineMsForTesting(int milliseconds);
    // For tests: processes started from now on close the app's descriptors as on a kernel
    // without close_range (false), or as usual (true).
    static void setCloseRangeForTesting(bool available);
    // For tests: what the drawing processes may hold together from now on (see DrawingMemoryShare;
    // 0: this machine's share). Idle processes and templates are ended, so the next are started
    // with their part of it.
    static void setMemoryShareForTesting(quint64 bytes);
    // For tests: the idle time of drawing processes and templates from now on (idleExitMs and
    // templateIdleExitMs again with 0), and what the processes did since the last call.
    static void setIdleExitMsForTesting(int milliseconds);
    struct Counts {
        int started = 0;  // drawing processes started
        int mostBusy = 0; // most drawing at once
        int alive = 0;    // processes now, idle or drawing
        int requests = 0; // requests that took a drawing slot
        int refused = 0;  // drawing processes refused at their greeting
        int sent = 0;     // requests sent to a drawing process
        int programs = 0; // programs started (templates, whether they greeted or not)
    };
    static Counts takeCountsForTesting();
    // For tests: the template processes started so far, and how many run now.
    static std::pair<int, int> templatesForTesting();
};

} // namespace velmora::images
