#include "platform/net/ConnectionReuse.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

namespace velmora {

namespace {

// The connections' sockets libcurl opened with a hop's setup, so the pre-request hook can find
// the one a kept connection has (libcurl names no socket to it).
struct Sockets {
    std::mutex mutex;
    std::set<curl_socket_t> open;
};

Sockets& sockets() {
    static Sockets* const all = new Sockets; // never destroyed: sockets close up to the process's end
    return *all;
}

// The port of `address`, and its address as text.
std::pair<int, QByteArray> portAndAddress(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        return {ntohs(in.sin_port), QByteArray(text)};
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        return {ntohs(in6.sin6_port), QByteArray(text)};
    }
    return {-1, {}};
}

} // namespace

curl_socket_t ConnectionReuse::socketOf(const char* peerAddress, int peerPort, int localPort) {
    Sockets& all = sockets();
    std::lock_guard lock(all.mutex);
    for (const curl_socket_t socket : all.open) {
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            continue;
        }
        const auto [peerSocketPort, peerSocketAddress] = portAndAddress(peer);
        if (portAndAddress(local).first == localPort && peerSocketPort == peerPort &&
            peerSocketAddress == peerAddress) {
            return socket;
        }
    }
    return CURL_SOCKET_BAD;
}

namespace {

// Whether bytes (or the peer's end) wait unread on `socket`, looked at without waiting or taking
// any.
bool hasUnreadBytes(curl_socket_t socket) {
    pollfd watched{socket, POLLIN, 0};
    if (::poll(&watched, 1, 0) <= 0) {
        return false;
    }
    if (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        return true;
    }
    char byte = 0;
    return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != -1 ||
           (errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace

int ConnectionReuse::closeSocket(curl_socket_t socket) {
    Sockets& all = sockets();
    std::lock_guard lock(all.mutex);
    all.open.erase(socket);
    // Closed under the lock: its number is free again only once no look-up can find it.
    return ::close(socket);
}

void ConnectionReuse::watch(CURL* easy) {
    m_opened = false;
    m_refused = false;
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &ConnectionReuse::onSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
}

bool ConnectionReuse::mayCarryRequest(const char* peerAddress, int peerPort, int localPort) {
    if (m_opened || !peerAddress) {
        return true;
    }
    const curl_socket_t socket = socketOf(peerAddress, peerPort, localPort);
    if (socket == CURL_SOCKET_BAD || !hasUnreadBytes(socket)) {
        return true;
    }
    // Shut, not closed: the descriptor stays libcurl's, which finds the connection ended.
    ::shutdown(socket, SHUT_RDWR);
    m_refused = true;
    return false;
}

int ConnectionReuse::onSocket(void* self, curl_socket_t socket, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) {
        static_cast<ConnectionReuse*>(self)->m_opened = true;
        Sockets& all = sockets();
        std::lock_guard lock(all.mutex);
        all.open.insert(socket);
    }
    return CURL_SOCKOPT_OK;
}

} // namespace velmora
