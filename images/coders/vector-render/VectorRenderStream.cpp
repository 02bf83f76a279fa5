#include "images/coders/vector-render/VectorRenderStream.h"

#include "images/core/Teardown.h"

#include <QtEndian>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace velmora::images {

namespace {

// How often a watched wait looks whether the teardown has begun.
constexpr int streamTeardownPollMs = 20;

bool streamGivenUp(const QDeadlineTimer& deadline, VectorRenderStream::Watch watch) {
    return deadline.hasExpired() || (watch == VectorRenderStream::Watch::Teardown && Teardown::hasBegun());
}

// Waits until the socket is ready for `events`; false once the deadline passed, the teardown
// began (when watched) or the poll failed. A hang-up counts as ready: the next call reads the
// end of the stream or fails.
bool streamReady(int socket, short events, const QDeadlineTimer& deadline, VectorRenderStream::Watch watch) {
    while (!streamGivenUp(deadline, watch)) {
        const qint64 left = deadline.remainingTime();
        int slice = left < 0 ? -1 : int(std::min<qint64>(left, std::numeric_limits<int>::max()));
        if (watch == VectorRenderStream::Watch::Teardown) {
            slice = slice < 0 ? streamTeardownPollMs : std::min(slice, streamTeardownPollMs);
        }
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0) {
            return true;
        }
    }
    return false;
}

// The word asking the template for a drawing process, and the mark of its answer.
constexpr quint32 forkWord = 0x4b524f46;       // "FORK"
constexpr quint32 forkAnswerWord = 0x44495046; // "FPID"

} // namespace

bool VectorRenderStream::sendForkRequest(int control, int socket, const QDeadlineTimer& deadline,
                                         Watch watch) {
    char word[4];
    qToLittleEndian(forkWord, word);
    iovec data{word, sizeof word};
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = room;
    message.msg_controllen = sizeof room;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &socket, sizeof socket);
    while (true) {
        const ssize_t sent = ::sendmsg(control, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == ssize_t(sizeof word)) {
            return true;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        // Four bytes into an empty socket go at once, or not at all.
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            streamReady(control, POLLOUT, deadline, watch)) {
            continue;
        }
        return false;
    }
}

std::optional<qint64> VectorRenderStream::receiveForkAnswer(int control, const QDeadlineTimer& deadline,
                                                            Watch watch) {
    char answer[8];
    if (!receive(control, answer, sizeof answer, deadline, watch) ||
        qFromLittleEndian<quint32>(answer) != forkAnswerWord) {
        return std::nullopt;
    }
    return qint64(qFromLittleEndian<qint32>(answer + 4));
}

int VectorRenderStream::receiveForkRequest(int control) {
    char word[4];
    iovec data{word, sizeof word};
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = room;
    message.msg_controllen = sizeof room;
    ssize_t got = -1;
    do {
        got = ::recvmsg(control, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    } while (got < 0 && errno == EINTR);
    int socket = -1;
    for (cmsghdr* header = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr; header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int))) {
            std::memcpy(&socket, CMSG_DATA(header), sizeof socket);
        }
    }
    if (got != ssize_t(sizeof word) || qFromLittleEndian<quint32>(word) != forkWord ||
        (message.msg_flags & MSG_CTRUNC)) {
        if (socket >= 0) {
            ::close(socket);
        }
        return -1;
    }
    return socket;
}

qint64 VectorRenderStream::forkDrawingProcess() {
    // A plain fork would make the copy a child of the template: the asking side could neither
    // wait for it nor be sure that an id it kills is still the copy's. As a sibling, it is the
    // asking side's own child. (The C library's fork cannot be asked for this; the template runs
    // one thread when it forks, so no lock of another thread is held in the copy.)
    const long pid = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, 0);
    return pid < 0 ? -1 : qint64(pid);
}

bool VectorRenderStream::sendForkAnswer(int control, qint64 pid) {
    char answer[8];
    qToLittleEndian(forkAnswerWord, answer);
    qToLittleEndian(qint32(pid > 0 ? pid : 0), answer + 4);
    return send(control, answer, sizeof answer, QDeadlineTimer(QDeadlineTimer::Forever), Watch::Nothing);
}

void VectorRenderStream::serveAsTemplate(const std::function<void()>& drawingProcess) {
    const pid_t app = ::getppid();
    while (true) {
        const int socket = receiveForkRequest(STDIN_FILENO);
        if (socket < 0) {
            return;
        }
        const qint64 pid = forkDrawingProcess();
        if (pid == 0) {
            // Checked after the copy: the app may have ended meanwhile.
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != app ||
                ::dup2(socket, STDIN_FILENO) < 0 || ::dup2(socket, STDOUT_FILENO) < 0 ||
                ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) != 0) {
                ::_exit(0);
            }
            drawingProcess();
            ::_exit(0);
        }
        ::close(socket);
        if (!sendForkAnswer(STDOUT_FILENO, pid)) {
            return;
        }
    }
}

bool VectorRenderStream::transfer(int socket, Direction direction, char* data, qsizetype size,
                                  const QDeadlineTimer& deadline, Watch watch) {
    const bool sending = direction == Direction::Send;
    while (size > 0) {
        if (streamGivenUp(deadline, watch)) {
            return false;
        }
        const ssize_t moved = sending ? ::send(socket, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT)
                                      : ::recv(socket, data, size_t(size), MSG_DONTWAIT);
        if (moved > 0) {
            data += moved;
            size -= moved;
        } else if (moved < 0 && errno == EINTR) {
            continue;
        } else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!streamReady(socket, sending ? POLLOUT : POLLIN, deadline, watch)) {
                return false;
            }
        } else {
            // The end of the stream, or an error.
            return false;
        }
    }
    return true;
}

} // namespace velmora::images
