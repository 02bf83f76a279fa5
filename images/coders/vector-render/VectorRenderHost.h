#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace velmora::images {

// The asking side of the vector drawing processes (see VectorRenderProtocol). Each request takes a
// process of its own, so no drawing waits for another (unless as many as the machine has cores
// draw at once: then for one of them to end, within its deadline). A process that does not greet
// within startDeadlineMs, or does not answer by the deadline, or answers anything but its
// request, is killed and the request has no answer. Once the library's teardown has begun, a
// drawing in flight is given up at once and its process killed, so quitting never waits for one.
//
// One document, one process: a process that drew a document is given no other (one taken over by
// a hostile document could answer the next ones as it pleased), and is kept only to draw the same
// document again (a PDF's page size, then its pixels), the one used last taken first. One left
// idle for idleExitMs is ended, and so is the oldest idle one when a new process would make more
// alive than the drawing slots. Nothing wakes while processes wait but the one timer of the
// oldest's end.
//
// Each process is a copy of one template process (see VectorRenderProtocol), which loads what
// drawing loads once and reads no document, so a process costs a copy and its confinement, not a
// program's start. The template is started from one thread kept for that (the kernel ties the
// death signal to the thread that forks), and its copies are this app's children that die with
// that thread too. It cannot gain privileges, has a working directory that is empty and gone, only
// the environment that fonts, the locale and the sanitisers read, and is ended once it made no
// process for idleExitMs. A drawing process is given documents only when it greets confined as
// a whole; a program refused once is not started again.
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
    // the document's cost, the failures above are not, nor a drawing stopped at its wall time
    // with CPU time to spare (Status::OutOfTime), which met a busy machine. The decode attempt on the calling
    // thread (DecodeAttempt) learns the same, and a drawing under its quick limit is given up at that limit.
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
    // Processes drawing at once, and so processes at all.
    static int maxBusyProcesses();
    // How long a process is kept idle. Long enough for a screen of images that arrive one after
    // the other (as their downloads end, or a page further down) to share their processes,
    // whose start costs more than a drawing; short beside the minutes an app sits unseen.
    static constexpr int idleExitMs = 30000;

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
    // For tests: the idle time from now on (idleExitMs again with 0), and what the processes
    // did since the last call.
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
