#pragma once

#include <QDeadlineTimer>
#include <QtGlobal>

#include <functional>
#include <optional>

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

    // The asking side's word to the template process (see VectorRenderProtocol) over its socket
    // `control`: make a drawing process whose socket is `socket` (passed along; the caller keeps
    // and closes its own). False when the template is gone or the deadline passed.
    static bool sendForkRequest(int control, int socket, const QDeadlineTimer& deadline, Watch watch);
    // The template's answer: the new drawing process's id, or 0 when it could make none;
    // nothing when the template is gone, answered something else, or the deadline passed.
    static std::optional<qint64> receiveForkAnswer(int control, const QDeadlineTimer& deadline, Watch watch);

    // In the template: waits for the next word on `control` (forever) and gives the socket it
    // came with; -1 once the stream ended or the word is not one.
    static int receiveForkRequest(int control);
    // In the template: makes the drawing process, a copy of this process that is a child of
    // this process's parent (the asking side, which waits for it and kills it as its own child,
    // and whose thread that started this process it dies with). Gives 0 in the copy, its id
    // here, -1 when none was made. The copy starts with this thread alone.
    static qint64 forkDrawingProcess();
    static bool sendForkAnswer(int control, qint64 pid);
    // In the template: makes a drawing process at each word of the asking side on its standard
    // input and output, until that stream ends. In each copy, before `drawingProcess` runs (and
    // never returns): the copy dies with the asking side's thread that started the template, its
    // socket is its standard input and output, and it holds no other descriptor but the error
    // stream; a copy that cannot be made so ends at once.
    static void serveAsTemplate(const std::function<void()>& drawingProcess);
};

} // namespace velmora::images
