#include "app/UnixSignalWatcher.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace velmora {

namespace {

int pipeFds[2] = {-1, -1};
std::once_flag pipeMade;

std::mutex stateLock;
std::condition_variable takenChanged;
// The watcher object that hands signals to the main thread; only the main thread changes it.
UnixSignalWatcher* receiver = nullptr;
std::uint64_t handedOver = 0;
std::uint64_t taken = 0;
std::function<void()> lastResort;

void handleSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

// Saves what can be saved without the main thread, then ends the process the way `signal`
// ends one that does not handle it.
[[noreturn]] void endAsSignalled(int signal) {
    std::function<void()> save;
    {
        std::lock_guard lock(stateLock);
        save = lastResort;
    }
    if (save) {
        save();
    }
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

// The watcher's thread: each signal goes to the main thread, which has `takenWithin` to take
// it; one it does not take, or one that comes while no watcher object lives, ends the process.
void watch() {
    for (;;) {
        unsigned char byte = 0;
        const auto got = ::read(pipeFds[0], &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != 1) {
            return;
        }
        const int signal = byte;
        std::unique_lock lock(stateLock);
        if (receiver) {
            const std::uint64_t serial = ++handedOver;
            UnixSignalWatcher* watcher = receiver;
            // Dropped with the watcher, should it go first: the wait then runs out.
            QMetaObject::invokeMethod(
                watcher,
                [watcher, signal, serial] {
                    {
                        std::lock_guard held(stateLock);
                        taken = std::max(taken, serial);
                    }
                    takenChanged.notify_all();
                    emit watcher->received(signal);
                },
                Qt::QueuedConnection);
            if (takenChanged.wait_for(lock, UnixSignalWatcher::takenWithin,
                                      [serial] { return taken >= serial; })) {
                continue;
            }
        }
        lock.unlock();
        endAsSignalled(signal);
    }
}

} // namespace

void UnixSignalWatcher::install(std::initializer_list<int> watched) {
    std::call_once(pipeMade, [] {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0) {
            pipeFds[0] = pipeFds[1] = -1;
            return;
        }
        ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK);
        // Lives as long as the process, asleep in its read.
        std::thread(watch).detach();
    });
    if (pipeFds[1] < 0) {
        return;
    }
    for (int signal : watched) {
        struct sigaction action {};
        action.sa_handler = handleSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
}

void UnixSignalWatcher::setLastResort(std::function<void()> save) {
    std::lock_guard lock(stateLock);
    lastResort = std::move(save);
}

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> watched, QObject* parent) : QObject(parent) {
    connect(this, &UnixSignalWatcher::received, this, [this](int signal) { m_lastReceived = signal; });
    install(watched);
    std::lock_guard lock(stateLock);
    receiver = this;
}

UnixSignalWatcher::~UnixSignalWatcher() {
    std::lock_guard lock(stateLock);
    if (receiver == this) {
        receiver = nullptr;
    }
}

} // namespace velmora
