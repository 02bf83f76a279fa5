#pragma once

#include "images/coders/vector-render/DrawingProcess.h"
#include "images/coders/vector-render/VectorRenderHost.h"

#include <QDeadlineTimer>

#include <chrono>
#include <optional>
#include <utility>

namespace velmora::images {

// The template processes (see VectorRenderHost): each a start of the drawing program that loads
// what drawing loads, reads no document, and makes a drawing process on the app's word, one ready
// before it is asked for. They are started from one thread that lives as long as the app (the
// kernel ties a child's death signal to the thread that forked it), a few of them, one for every
// four drawing slots and at least two (see DrawingMemoryShare); one found gone when asked is started
// again in its place,
// spaced when it dies again at once; one that made no process for its idle time is ended.
class DrawingTemplates {
public:
    DrawingTemplates() = delete;

    // A new drawing process, made by a template (which is started first when none is free) and
    // greeted confined as a whole; nothing when none could be made by the deadline, or the program
    // is missing or was refused (`failure` says which).
    static std::optional<DrawingProcess> startDrawingProcess(const QDeadlineTimer& deadline,
                                                             VectorRenderHost::Failure* failure);
    // Ends every template with the processes it made ready, waiting for those in use to be given
    // back (at most two seconds).
    static void endAll();
    // How long a template is kept once it made no process, from now on.
    static void setIdleExit(std::chrono::milliseconds idle);
    // The templates started so far, and how many run now.
    static std::pair<int, int> forTesting();
};

} // namespace velmora::images
