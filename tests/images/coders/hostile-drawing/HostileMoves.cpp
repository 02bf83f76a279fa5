#include "tests/images/coders/hostile-drawing/HostileMoves.h"

#include "images/coders/vector-render/DrawingMoves.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace velmora::images::testing {

namespace {

enum class Move { None, Threads, Spin, ReadSwapped };
Move chosen = Move::None;

void* asleep(void*) {
    while (true) {
        ::pause();
    }
    return nullptr;
}

// What the file at `path` gave: nothing (it could not be opened), its bytes, or the tests' secret.
enum class Read { Nothing, Bytes, Secret };
Read readAt(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Read::Nothing;
    }
    char bytes[4096];
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    return got > 0 && QByteArray(bytes, int(got)).contains(HostileMoves::secret) ? Read::Secret : Read::Bytes;
}

} // namespace

void HostileMoves::choose(const char* argv0) {
    const char* slash = std::strrchr(argv0, '/');
    const QByteArray name = slash ? slash + 1 : argv0;
    chosen = name == "threads"        ? Move::Threads
             : name == "spin"         ? Move::Spin
             : name == "read-swapped" ? Move::ReadSwapped
                                      : Move::None;
}

void HostileMoves::beforeAnswer(VectorRenderProtocol::Answer& answer) {
    if (chosen != Move::ReadSwapped) {
        return;
    }
    const QByteArray home = qgetenv("HOME");
    for (const char* file :
         {"/.local/share/fonts/velmora-swapped.ttf", "/.cache/fontconfig/velmora-swapped.cache-8"}) {
        const Read read = readAt(home + file);
        answer.pageSize.rwidth() += read == Read::Secret ? 1 : 0;
        answer.pageSize.rheight() += read != Read::Nothing ? 1 : 0;
    }
}

void HostileMoves::afterAnswer() {
    if (chosen == Move::Spin) {
        volatile unsigned long burnt = 0;
        while (true) {
            burnt = burnt + 1;
        }
    }
    if (chosen != Move::Threads) {
        return;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    QElapsedTimer taking;
    taking.start();
    int started = 0;
    while (taking.elapsed() < 2000 && started < 1000) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, asleep, nullptr) == 0) {
            ++started;
        } else {
            const timespec moment{0, 1000000};
            ::nanosleep(&moment, nullptr);
        }
    }
    pthread_attr_destroy(&attributes);
}

} // namespace velmora::images::testing

// The drawing program's hooks, in this build of it.
namespace velmora::images::drawingmoves {

void choose(const char* argv0) {
    testing::HostileMoves::choose(argv0);
}

void beforeAnswer(VectorRenderProtocol::Answer& answer) {
    testing::HostileMoves::beforeAnswer(answer);
}

void afterAnswer() {
    testing::HostileMoves::afterAnswer();
}

} // namespace velmora::images::drawingmoves
