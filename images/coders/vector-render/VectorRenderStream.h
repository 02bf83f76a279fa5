#pragma once

#include <QDeadlineTimer>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <vector>

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
    // `control`: hand over a drawing process. False when the template is gone or the deadline
    // passed.
    static bool sendForkRequest(int control, const QDeadlineTimer& deadline, Watch watch);
    // A drawing process handed over: its id, and the asking side's end of its socket.
    struct Handed {
        qint64 pid = 0;
        int socket = -1;
    };
    // The template's answer: the process handed over (id 0 and no socket when it could make
    // none). The ids of the processes it said it made ready meanwhile are added to `ready`, the
    // one handed over taken out. Nothing when the template is gone, answered something else, or
    // the deadline passed.
    static std::optional<Handed> receiveForkAnswer(int control, const QDeadlineTimer& deadline, Watch watch,
                                                   std::vector<qint64>* ready);
    // Once the asking side has shut its end of `control`: what the template said until its
    // stream ended (within the deadline), the ids of the processes it made ready added to `ready`.
    static void drainReady(int control, const QDeadlineTimer& deadline, std::vector<qint64>* ready);

    // In the template: makes a drawing process, a copy of this process that is a child of this
    // process's parent (the asking side, which waits for it and kills it as its own child, and
    // whose thread that started this process it dies with). Gives 0 in the copy, its id here, -1
    // when none was made. The copy starts with this thread alone.
    static qint64 forkDrawingProcess();
    // In the template: hands over a drawing process at each word of the asking side on its
    // standard input and output, until that stream ends. Each is made ready before it is asked for
    // (the asking side is told its id then) and the next one as soon as one is handed over. In
    // each copy, before `drawingProcess` runs (and never returns): the copy dies with the asking
    // side's thread that started the template, its socket is its standard input and output, and it
    // holds no other descriptor but the error stream and those in `keep` (what the template holds
    // for the copy's confinement, which closes them); a copy that cannot be made so ends at once.
    static void serveAsTemplate(const std::function<void()>& drawingProcess, std::vector<int> keep = {});

    // Closes every descriptor of this process above the standard three but those in `keep`: at
    // once where the kernel can (close_range, since Linux 5.9), else one by one up to the limit of
    // descriptors, which none lies above. False when it cannot be sure of it (a limit too high to
    // close each in reasonable time).
    static bool closeAllBut(std::vector<int> keep);
};

} // namespace velmora::images
