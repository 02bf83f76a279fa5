#include "images/coders/vector-render/VectorRenderStream.h"

#include "images/core/Teardown.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
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

} // namespace

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
