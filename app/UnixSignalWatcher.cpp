#include "app/UnixSignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora {

namespace {
int pipeFds[2] = {-1, -1};

void handleSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> watched, QObject* parent) : QObject(parent) {
    if (pipeFds[0] == -1) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0) {
            pipeFds[0] = pipeFds[1] = -1;
            return;
        }
        ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK);
    }
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readSignal);
    for (int signal : watched) {
        struct sigaction action {};
        action.sa_handler = handleSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
}

UnixSignalWatcher::~UnixSignalWatcher() = default;

void UnixSignalWatcher::readSignal() {
    unsigned char byte = 0;
    if (::read(pipeFds[0], &byte, 1) == 1) {
        emit received(byte);
    }
}

} // namespace velmora
