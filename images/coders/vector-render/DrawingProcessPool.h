#pragma once

#include "images/coders/vector-render/DrawingProcess.h"
#include "images/coders/vector-render/VectorRenderHost.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <chrono>
#include <optional>

namespace velmora::images {

// The drawing processes the app's side holds (see VectorRenderHost): the drawing slots, the
// processes kept idle for their document, and the reaper thread that ends those whose idle time is
// up (or that did not stop after their answer), asleep until the next such end.
class DrawingProcessPool {
public:
    DrawingProcessPool() = delete;

    // A drawing slot; none when the teardown begins, or when every slot stays taken for as long as
    // a drawing and the start of its process may take.
    static bool takeSlot();
    static void giveBackSlot();
    // A process for the document `key` names: an idle one that drew that very document, if it has
    // said nothing and used no CPU time since, or a new one (see DrawingTemplates).
    static std::optional<DrawingProcess> take(const QByteArray& key, const QDeadlineTimer& deadline,
                                              VectorRenderHost::Failure* failure);
    // Keeps a process that drew well for `key`, or ends it (see the .cpp).
    static void giveBack(DrawingProcess process, const QByteArray& key);
    // Ends a process of the pool's, drawing or idle; its wait status (see DrawingProcess::end).
    static int retire(DrawingProcess& process);
    // Ends every process kept idle.
    static void endIdle();

    // How long the asking side waits for an answer.
    static int answerDeadlineMs();
    static void setAnswerDeadlineMs(int milliseconds);
    // How long a process is kept idle, from now on.
    static void setIdleExit(std::chrono::milliseconds idle);

    // What the tests count.
    static void count(int VectorRenderHost::Counts::*what);
    // A drawing process started (and so alive).
    static void noteStarted();
    static VectorRenderHost::Counts takeCounts();
};

} // namespace velmora::images
