#pragma once

#include <QDeadlineTimer>
#include <QtGlobal>

namespace velmora::images {

// Moves the bytes of the drawing protocol (VectorRenderProtocol) over its stream socket, on both
// sides: the app's (VectorRenderHost) and the drawing process's, whose standard input and output
// are that socket.
class VectorRenderStream {
public:
    VectorRenderStream() = delete;

    enum class Direction { Send, Receive };
    // Whether a wait gives up once the library's teardown begins. The asking side looks for it
    // every few milliseconds while it waits; the drawing process waits without waking at all.
    enum class Watch { Teardown, Nothing };

    // Sends or receives all `size` bytes; false when the other end is gone or failed, the
    // deadline passed, or the teardown began (when watched). The socket is tried first and
    // waited for only when it is not ready: an answer of a small page is mostly there at once,
    // and a wait for each of its pieces would cost more than drawing it. Never raises SIGPIPE.
    static bool transfer(int socket, Direction direction, char* data, qsizetype size,
                         const QDeadlineTimer& deadline, Watch watch);

    static bool send(int socket, const char* data, qsizetype size, const QDeadlineTimer& deadline,
                     Watch watch) {
        // Only read from when sending.
        return transfer(socket, Direction::Send, const_cast<char*>(data), size, deadline, watch);
    }
    static bool receive(int socket, char* data, qsizetype size, const QDeadlineTimer& deadline, Watch watch) {
        return transfer(socket, Direction::Receive, data, size, deadline, watch);
    }
};

} // namespace velmora::images
