#include "images/coders/vector-render/VectorRenderStream.h"

#include "images/core/Teardown.h"

#include <QtEndian>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

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

// The word asking the template for a drawing process, the mark of its answer, and of its word
// that it has made one ready.
constexpr quint32 forkWord = 0x4b524f46;       // "FORK"
constexpr quint32 forkAnswerWord = 0x44495046; // "FPID"
constexpr quint32 readyWord = 0x59445752;      // "RWDY"

// One message of the template's: a mark and a process id, and the descriptor sent with it (-1
// when none). False when the stream ended or failed, or the deadline passed.
bool receiveTemplateMessage(int control, const QDeadlineTimer& deadline, VectorRenderStream::Watch watch,
                            quint32* mark, qint64* pid, int* descriptor) {
    char message[8];
    qsizetype got = 0;
    *descriptor = -1;
    while (got < qsizetype(sizeof message)) {
        iovec data{message + got, sizeof message - size_t(got)};
        alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = room;
        header.msg_controllen = sizeof room;
        const ssize_t read = ::recvmsg(control, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        for (cmsghdr* part = read > 0 ? CMSG_FIRSTHDR(&header) : nullptr; part;
             part = CMSG_NXTHDR(&header, part)) {
            if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS &&
                part->cmsg_len == CMSG_LEN(sizeof(int)) && *descriptor < 0) {
                std::memcpy(descriptor, CMSG_DATA(part), sizeof(int));
            }
        }
        if (read > 0) {
            got += read;
        } else if (read < 0 && errno == EINTR) {
            continue;
        } else if (read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!streamReady(control, POLLIN, deadline, watch)) {
                break;
            }
        } else {
            break;
        }
    }
    if (got != qsizetype(sizeof message)) {
        if (*descriptor >= 0) {
            ::close(*descriptor);
            *descriptor = -1;
        }
        return false;
    }
    *mark = qFromLittleEndian<quint32>(message);
    *pid = qint64(qFromLittleEndian<qint32>(message + 4));
    return true;
}

// Sends a mark and a process id, and `descriptor` with them unless it is -1.
bool sendTemplateMessage(int control, quint32 mark, qint64 pid, int descriptor) {
    char message[8];
    qToLittleEndian(mark, message);
    qToLittleEndian(qint32(pid > 0 ? pid : 0), message + 4);
    iovec data{message, sizeof message};
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (descriptor >= 0) {
        header.msg_control = room;
        header.msg_controllen = sizeof room;
        cmsghdr* part = CMSG_FIRSTHDR(&header);
        part->cmsg_level = SOL_SOCKET;
        part->cmsg_type = SCM_RIGHTS;
        part->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(part), &descriptor, sizeof descriptor);
    }
    ssize_t sent = -1;
    do {
        // The asking side reads each at once: eight bytes go into an empty enough socket whole.
        sent = ::sendmsg(control, &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(sizeof message);
}

} // namespace

bool VectorRenderStream::sendForkRequest(int control, const QDeadlineTimer& deadline, Watch watch) {
    char word[4];
    qToLittleEndian(forkWord, word);
    return send(control, word, sizeof word, deadline, watch);
}

std::optional<VectorRenderStream::Handed>
VectorRenderStream::receiveForkAnswer(int control, const QDeadlineTimer& deadline, Watch watch,
                                      std::vector<qint64>* ready) {
    while (true) {
        quint32 mark = 0;
        qint64 pid = 0;
        int descriptor = -1;
        if (!receiveTemplateMessage(control, deadline, watch, &mark, &pid, &descriptor)) {
            return std::nullopt;
        }
        if (mark == readyWord && descriptor < 0) {
            if (pid > 0) {
                ready->push_back(pid);
            }
            continue;
        }
        if (mark != forkAnswerWord || (pid > 0) != (descriptor >= 0)) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
            return std::nullopt;
        }
        std::erase(*ready, pid);
        return Handed{pid, descriptor};
    }
}

void VectorRenderStream::drainReady(int control, const QDeadlineTimer& deadline, std::vector<qint64>* ready) {
    quint32 mark = 0;
    qint64 pid = 0;
    int descriptor = -1;
    while (receiveTemplateMessage(control, deadline, Watch::Nothing, &mark, &pid, &descriptor)) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        if (mark == readyWord && pid > 0) {
            ready->push_back(pid);
        }
    }
}

qint64 VectorRenderStream::forkDrawingProcess() {
    // A plain fork would make the copy a child of the template: the asking side could neither
    // wait for it nor be sure that an id it kills is still the copy's. As a sibling, it is the
    // asking side's own child. (The C library's fork cannot be asked for this; the template runs
    // one thread when it forks, so no lock of another thread is held in the copy.)
    const long pid = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, 0);
    return pid < 0 ? -1 : qint64(pid);
}

bool VectorRenderStream::closeAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    std::erase_if(keep, [](int fd) { return fd <= STDERR_FILENO; });
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    // The ranges between those kept, the last one open-ended.
    std::vector<std::pair<unsigned, unsigned>> ranges;
    unsigned from = STDERR_FILENO + 1;
    for (const int fd : keep) {
        if (unsigned(fd) > from) {
            ranges.push_back({from, unsigned(fd) - 1});
        }
        from = unsigned(fd) + 1;
    }
    ranges.push_back({from, ~0U});
    bool closed = true;
    for (const auto& [first, last] : ranges) {
        closed = closed && ::syscall(SYS_close_range, first, last, 0) == 0;
    }
    if (closed) {
        return true;
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(1) << 20) {
        return false;
    }
    for (const auto& [first, last] : ranges) {
        for (rlim_t fd = first; fd <= last && fd < limit.rlim_cur; ++fd) {
            ::close(int(fd));
        }
    }
    return true;
}

void VectorRenderStream::serveAsTemplate(const std::function<void()>& drawingProcess, std::vector<int> keep) {
    const pid_t app = ::getppid();
    // A drawing process made ready before it is asked for, so that its copy and its confinement
    // cost the asking side nothing: the next one is made as soon as one is handed over. The
    // asking side is told of each as it is made, so that it ends those never handed over.
    struct Ready {
        qint64 pid = -1;
        int socket = -1;
    };
    const auto makeReady = [&app, &drawingProcess, &keep]() -> Ready {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
            return {};
        }
        const qint64 pid = forkDrawingProcess();
        if (pid == 0) {
            // Checked after the copy: the app may have ended meanwhile.
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != app ||
                ::dup2(sockets[1], STDIN_FILENO) < 0 || ::dup2(sockets[1], STDOUT_FILENO) < 0 ||
                !closeAllBut(keep)) {
                ::_exit(0);
            }
            drawingProcess();
            ::_exit(0);
        }
        ::close(sockets[1]);
        if (pid < 0 || !sendTemplateMessage(STDOUT_FILENO, readyWord, pid, -1)) {
            ::close(sockets[0]);
            return {};
        }
        return {pid, sockets[0]};
    };
    Ready ready = makeReady();
    char word[4];
    while (
        receive(STDIN_FILENO, word, sizeof word, QDeadlineTimer(QDeadlineTimer::Forever), Watch::Nothing) &&
        qFromLittleEndian<quint32>(word) == forkWord) {
        if (ready.pid <= 0) {
            ready = makeReady();
        }
        const bool answered = sendTemplateMessage(STDOUT_FILENO, forkAnswerWord, ready.pid, ready.socket);
        if (ready.socket >= 0) {
            ::close(ready.socket);
        }
        if (!answered) {
            return;
        }
        ready = makeReady();
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
