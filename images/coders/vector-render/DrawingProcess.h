#pragma once

#include <sys/types.h>

namespace velmora::images {

// A process of the drawing program that this app started (a template) or was handed (a drawing
// process): its id, and the app's end of its socket.
struct DrawingProcess {
    pid_t pid = -1;
    int socket = -1;

    // Kills the process and waits for it; its wait status (of its own end, when it had ended before
    // the kill), or -1 when there was no process. The socket is closed, and `process` is none after.
    static int end(DrawingProcess& process);

    // How often the asking side's waits look whether the teardown has begun.
    static constexpr int teardownPollMs = 20;
};

} // namespace velmora::images
