#include "images/coders/vector-render/DrawingProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::images {

int DrawingProcess::end(DrawingProcess& process) {
    int status = -1;
    if (process.pid > 0) {
        ::kill(process.pid, SIGKILL);
        while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (process.socket >= 0) {
        ::close(process.socket);
    }
    process = DrawingProcess{};
    return status;
}

} // namespace velmora::images
