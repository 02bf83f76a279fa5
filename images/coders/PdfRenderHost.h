#pragma once

#include "images/coders/PdfRenderProtocol.h"

#include <QString>

#include <optional>

namespace velmora::images {

// The asking side of the PDF drawing processes (see PdfRenderProtocol). Each request takes a
// process of its own, an idle one or a new one, so no drawing waits for another (unless as many
// as the machine has cores draw at once: then for one of them to end, within its deadline). A
// process that does not answer by the deadline, or answers nonsense, is killed and the request
// has no answer. Once the library's teardown has begun, a drawing in flight is given up at once and
// its process killed, so quitting never waits for one.
//
// A process that drew well is kept for the next request, the one used last taken first, so a
// burst of drawings starts no more processes than drew at once and none only to end it. One
// left idle for idleExitMs is ended: an app that shows no new vector image for a while holds
// none. Nothing wakes while processes wait but the one timer of the oldest's end.
class PdfRenderHost {
public:
    PdfRenderHost() = delete;

    // Nothing when the process failed, ran out of time or the teardown began.
    static std::optional<PdfRenderProtocol::Answer> ask(const PdfRenderProtocol::Request& request);

    // The drawing program: beside the application when it is there, else where it was built.
    static QString programPath();
    // Processes drawing at once, and so processes at all.
    static int maxBusyProcesses();
    // How long a process is kept idle. Long enough for a screen of images that arrive one after
    // the other (as their downloads end, or a page further down) to share their processes,
    // whose start costs more than a drawing; short beside the minutes an app sits unseen.
    static constexpr int idleExitMs = 30000;

    // For tests: the idle time from now on (idleExitMs again with 0), and what the processes
    // did since the last call.
    static void setIdleExitMsForTesting(int milliseconds);
    struct Counts {
        int started = 0;  // processes started
        int mostBusy = 0; // most drawing at once
        int alive = 0;    // processes now, idle or drawing
    };
    static Counts takeCountsForTesting();
};

} // namespace velmora::images
